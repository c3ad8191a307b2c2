// Presets applied from the command line: factory stage and chain presets and user preset
// files resolved into settings on a chain of real Tervik stages, and the CLI around them.
#include <unistd.h>

#include "chainops/factory.h"
#include "host/chain.h"
#include "host/preset_cli.h"
#include "params/params.h"
#include "plugin_fixture.h"

namespace {

std::string run_host(const std::vector<std::string> &args, int *status) {
    tk_test::Child c;
    std::vector<std::string> argv = {TERVIK_HOST_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_TRUE(c.start(argv));
    c.close_stdin();
    std::string out, line;
    while (c.read_line(&line, 30000))
        out += line + "\n";
    *status = c.wait(30000);
    return out;
}

} // namespace

class HostPresetTest : public ClapTest {
  protected:
    void SetUp() override {
        ClapTest::SetUp();
        ASSERT_TRUE(chain.create(lib, 3));
    }
    void TearDown() override {
        chain.clear(); // the stages go before their library is unloaded
        ClapTest::TearDown();
    }
    double value(size_t stage, int index) {
        double v = -999;
        EXPECT_TRUE(chain.stage(stage).param_value(PARAMS[index].id, &v));
        return v;
    }
    bool apply(const std::string &spec, std::string *what = nullptr) {
        std::vector<Setting> s;
        std::string w, err;
        if (!resolve_preset(chain, spec, &s, &w, &err)) return false;
        apply_settings(chain, s);
        if (what) *what = w;
        return true;
    }
    tk_test::ScopedPresetDir dir;
    Chain chain;
};

TEST_F(HostPresetTest, StagePresetsGoToEveryStageOrToOne) {
    std::string what;
    ASSERT_TRUE(apply("punchy STAGE", &what));
    EXPECT_EQ(what, "Punchy stage");
    for (size_t k = 0; k < 3; k++) {
        EXPECT_EQ(value(k, P_RELEASE), 40);
        EXPECT_EQ(value(k, P_LINK), 60);
        EXPECT_EQ(value(k, P_ADAPTIVE), 0);
        EXPECT_EQ(value(k, P_STYLE), 2);
    }
    ASSERT_TRUE(apply("2:6")); // "Loud" on stage 2
    EXPECT_EQ(value(1, P_GAIN), 8);
    EXPECT_EQ(value(0, P_GAIN), 3);
    EXPECT_EQ(value(2, P_GAIN), 3);
    EXPECT_FALSE(apply("4:Loud")); // only three stages
    EXPECT_FALSE(apply("no such preset"));
    EXPECT_FALSE(apply("99"));
}

TEST_F(HostPresetTest, ChainPresetsSetEachPositionAndRepeatTheirLastStage) {
    Chain four;
    ASSERT_TRUE(four.create(lib, 5));
    std::vector<Setting> s;
    std::string w, err;
    ASSERT_TRUE(resolve_preset(four, "8", &s, &w, &err)) << err; // transparent > punchy > final
    apply_settings(four, s);
    double v;
    four.stage(0).param_value(4, &v);
    EXPECT_EQ(v, 260);
    four.stage(1).param_value(4, &v);
    EXPECT_EQ(v, 40);
    for (size_t k = 2; k < 5; k++) {
        four.stage(k).param_value(3, &v);
        EXPECT_EQ(v, -1); // the final stage, repeated
        four.stage(k).param_value(10, &v);
        EXPECT_EQ(v, 1);
    }
    EXPECT_FALSE(resolve_preset(four, "2:8", &s, &w, &err)); // a chain preset sets every position
    // Stage and Group are never touched.
    four.stage(0).param_value(101, &v);
    EXPECT_EQ(v, 0);
}

TEST_F(HostPresetTest, UserPresetFilesApplyByNameAndNumber) {
    tk_test::write_file(dir.path() + "/Wide and slow.tervik",
                        "Tervik preset 1\nname=Wide and slow\nstages=1\nstage=1\np4=900 # Release\n"
                        "p5=20 # Stereo link\np100=5 # Stage\np101=7 # Group\np12=1 # Bypass\n");
    tk_test::write_file(dir.path() + "/Two.tervik",
                        "Tervik preset 1\nname=Two\nstages=2\nstage=1\np2=5\nstage=2\np2=7\n");
    int st = 0;
    std::string listing = run_host({"presets"}, &st);
    EXPECT_EQ(st, 0);
    EXPECT_NE(listing.find("13  Two (2 stages)"), std::string::npos) << listing;
    EXPECT_NE(listing.find("14  Wide and slow (1 stage)"), std::string::npos) << listing;
    ASSERT_TRUE(apply("wide and slow"));
    for (size_t k = 0; k < 3; k++) {
        EXPECT_EQ(value(k, P_RELEASE), 900);
        EXPECT_EQ(value(k, P_LINK), 20);
        EXPECT_EQ(value(k, P_STAGE), 0); // never applied
        EXPECT_EQ(value(k, P_GROUP), 0);
        EXPECT_EQ(value(k, P_BYPASS), 0);
    }
    ASSERT_TRUE(apply("13"));
    EXPECT_EQ(value(0, P_GAIN), 5);
    EXPECT_EQ(value(1, P_GAIN), 7);
    EXPECT_EQ(value(2, P_GAIN), 7);
    EXPECT_EQ(value(0, P_RELEASE), 100); // a user preset carries all its parameters
}

TEST_F(HostPresetTest, AListedNameAppliesExactlyItsOwnFile) {
    tk_test::write_file(dir.path() + "/a:b.tervik", "Tervik preset 1\nstages=1\nstage=1\np2=5\n");
    tk_test::write_file(dir.path() + "/a_b.tervik", "Tervik preset 1\nstages=1\nstage=1\np2=6\n");
    tk_test::write_file(dir.path() + "/2:x.tervik", "Tervik preset 1\nstages=1\nstage=1\np2=4\n");
    ASSERT_TRUE(apply("a:b"));
    for (size_t k = 0; k < 3; k++)
        EXPECT_EQ(value(k, P_GAIN), 5);
    ASSERT_TRUE(apply("A_B")); // without case: the one name that matches
    for (size_t k = 0; k < 3; k++)
        EXPECT_EQ(value(k, P_GAIN), 6);
    ASSERT_TRUE(apply("2:x")); // "x" names no preset: the listed "2:x" itself
    for (size_t k = 0; k < 3; k++)
        EXPECT_EQ(value(k, P_GAIN), 4);
    ASSERT_TRUE(apply("2:a:b")); // a stage prefix before a listed name
    EXPECT_EQ(value(0, P_GAIN), 4);
    EXPECT_EQ(value(1, P_GAIN), 5);
    // A listed link that leads out of the folder is not read.
    std::string outside = tk_test::make_temp_dir("outside");
    tk_test::write_file(outside + "/x.tervik", "Tervik preset 1\nstages=1\nstage=1\np2=9\n");
    ASSERT_EQ(symlink((outside + "/x.tervik").c_str(), (dir.path() + "/out.tervik").c_str()), 0);
    std::vector<Setting> s;
    std::string w, err;
    EXPECT_FALSE(resolve_preset(chain, "out", &s, &w, &err));
    EXPECT_NE(err.find("cannot read the user preset \"out\""), std::string::npos) << err;
    int st = 0;
    std::string text = run_host({"render", "--stages", "1", "--seconds", "0.05", "--preset", "out"}, &st);
    EXPECT_EQ(st, 2) << text;
    tk_test::remove_tree(outside);
}

TEST_F(HostPresetTest, PresetListingPrintsControlBytesEscaped) {
    const std::string preset = "Tervik preset 1\nstages=1\nstage=1\np2=1\n";
    tk_test::write_file(dir.path() + "/evil\x1b]0;owned\x07.tervik", preset);
    tk_test::write_file(dir.path() + "/csi\xc2\x9b"
                                     "2J.tervik",
                        preset); // a C1 control in UTF-8
    tk_test::write_file(dir.path() + "/bad\xff"
                                     "byte.tervik",
                        preset);
    tk_test::write_file(dir.path() + "/Br\xc3\xbc"
                                     "cke.tervik",
                        preset);
    int st = 0;
    std::string listing = run_host({"presets"}, &st);
    EXPECT_EQ(st, 0);
    EXPECT_NE(listing.find("  evil\\x1b]0;owned\\x07 (1 stage)\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("  csi\\xc2\\x9b2J (1 stage)\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("  bad\\xffbyte (1 stage)\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("  Br\xc3\xbc"
                           "cke (1 stage)\n"),
              std::string::npos)
        << listing;
    size_t raw = 0; // control bytes and the malformed byte reaching the terminal as they are
    for (unsigned char c : listing)
        raw += c != '\n' && (c < 0x20 || c == 0x7F || c == 0xFF);
    EXPECT_EQ(raw, 0u) << listing;
}

TEST_F(HostPresetTest, RenderAppliesPresetsBeforeSettings) {
    std::string out = tk_test::make_temp_dir("render") + "/o.wav";
    int st = 0;
    std::string text = run_host({"render", "--plugin", TERVIK_CLAP_PATH, "--stages", "2", "--seconds", "1", "--preset",
                                 "Loud", "--set", "2:Gain=1", "--out", out},
                                &st);
    EXPECT_EQ(st, 0) << text;
    EXPECT_NE(text.find("preset: Loud (Loud)"), std::string::npos) << text;
    EXPECT_NE(text.find("latency 56 samples"), std::string::npos) << text; // Loud's 1 ms lookahead
    text = run_host({"render", "--plugin", TERVIK_CLAP_PATH, "--preset", "3:Loud", "--stages", "2"}, &st);
    EXPECT_EQ(st, 2);
    tk_test::remove_tree(out.substr(0, out.rfind('/')));
}
