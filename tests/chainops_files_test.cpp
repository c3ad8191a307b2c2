// User preset files on disk: the folder, file names from preset names, the exact text
// format, the tolerant reader (odd, hostile and random files) and the folder listing.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "chainops/testing/chainops_testing.h"
#include "chainops/user_presets.h"
#include "params/params.h"
#include "tests/util/testutil.h"

namespace {

using tk_test::read_file;
using tk_test::write_file;

class PresetFiles : public ::testing::Test {
  protected:
    tk_test::ScopedPresetDir dir_;
    std::string file(const std::string &stem) const { return dir_.path() + "/" + stem + ".tervik"; }
    static bool exists(const std::string &p) {
        struct stat st;
        return stat(p.c_str(), &st) == 0;
    }
    static bool is_regular_entry(const std::string &p) { // the name itself, not a link's target
        struct stat st;
        return lstat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    }
    // The names in a folder, sorted.
    static std::vector<std::string> entries(const std::string &dir) {
        std::vector<std::string> v;
        if (DIR *d = opendir(dir.c_str())) {
            while (dirent *e = readdir(d))
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) v.push_back(e->d_name);
            closedir(d);
        }
        std::sort(v.begin(), v.end());
        return v;
    }
    // A folder beside the preset folder, and the relative path that leads there from inside it.
    struct Outside {
        std::string path = tk_test::make_temp_dir("outside");
        std::string from_presets = "../" + path.substr(path.rfind('/') + 1);
        ~Outside() { tk_test::remove_tree(path); }
    };
    static PresetFile defaults_record(const char *name, int stages) {
        PresetFile r;
        memset(&r, 0, sizeof r);
        snprintf(r.name, sizeof r.name, "%s", name);
        r.stages = stages;
        for (int s = 0; s < PRESET_MAX_STAGES; s++)
            for (uint32_t i = 0; i < PARAM_COUNT; i++)
                r.values[s][i] = PARAMS[i].def;
        return r;
    }
    static void expect_in_range(const PresetFile &r) {
        ASSERT_GE(r.stages, 1);
        ASSERT_LE(r.stages, PRESET_MAX_STAGES);
        ASSERT_EQ(r.name[63], 0);
        for (int s = 0; s < PRESET_MAX_STAGES; s++) {
            for (uint32_t i = 0; i < PARAM_COUNT; i++) {
                double v = r.values[s][i];
                ASSERT_FALSE(std::isnan(v));
                ASSERT_GE(v, PARAMS[i].min);
                ASSERT_LE(v, PARAMS[i].max);
                if (PARAMS[i].flags & PF_STEPPED) {
                    ASSERT_EQ(v, std::floor(v));
                }
            }
        }
    }
};

TEST_F(PresetFiles, StagePresetFileIsWrittenByteForByte) {
    PresetFile r = defaults_record("Warm glue", 1);
    r.values[0][P_GAIN] = 2.5;
    r.values[0][P_RELEASE] = 123.456789;
    r.values[0][P_STYLE] = 4;
    r.values[0][P_BYPASS] = 1; // never written
    ASSERT_TRUE(preset_save(&r));
    const std::string expect =
        "Tervik preset 1\nname=Warm glue\nstages=1\nstage=1\n"
        "p1=0 # Input\np2=2.5 # Gain\np3=-0.3 # Ceiling\np4=123.457 # Release\np100=0 # Stage\n"
        "p101=0 # Group\np5=100 # Stereo link\np6=1 # True peak\np7=1 # Adaptive release\n"
        "p8=1.5 # Lookahead\np9=4 # Style\np10=0 # Dither\np11=2 # Noise shaping\np15=100 # Mix\n";
    std::string got = read_file(file("Warm glue"));
    EXPECT_EQ(got, expect);
    EXPECT_EQ(std::count(got.begin(), got.end(), '\n'), 18);
}

TEST_F(PresetFiles, ChainPresetRoundTrips) {
    PresetFile r = defaults_record("Three", 3);
    for (int s = 0; s < 3; s++) {
        r.values[s][P_INPUT] = -1.25 * s;
        r.values[s][P_GAIN] = 1.5 + s;
        r.values[s][P_CEILING] = -0.1 * (s + 1);
        r.values[s][P_RELEASE] = 40 + 100 * s;
        r.values[s][P_STAGE] = s + 1;
        r.values[s][P_GROUP] = 7;
        r.values[s][P_STYLE] = s;
        r.values[s][P_MIX] = 90 - s;
    }
    ASSERT_TRUE(preset_save(&r));
    PresetFile back;
    ASSERT_TRUE(preset_load("Three", &back));
    EXPECT_STREQ(back.name, "Three");
    EXPECT_EQ(back.stages, 3);
    for (int s = 0; s < PRESET_MAX_STAGES; s++)
        for (uint32_t i = 0; i < PARAM_COUNT; i++)
            EXPECT_NEAR(back.values[s][i], s < 3 ? r.values[s][i] : PARAMS[i].def, 1e-9) << s << "/" << i;
    // Stage counts outside 1..8 are not saved.
    r.stages = 0;
    EXPECT_FALSE(preset_save(&r));
    r.stages = 9;
    EXPECT_FALSE(preset_save(&r));
}

TEST_F(PresetFiles, NamesAreSanitisedIntoFileNames) {
    PresetFile r = defaults_record("Mix/Master: B.", 1);
    ASSERT_TRUE(preset_save(&r));
    ASSERT_TRUE(exists(file("Mix_Master_ B")));
    EXPECT_NE(read_file(file("Mix_Master_ B")).find("\nname=Mix/Master: B.\n"), std::string::npos);
    PresetFile back;
    EXPECT_TRUE(preset_load("Mix/Master: B.", &back));
    EXPECT_STREQ(back.name, "Mix/Master: B.");

    for (const char *bad : {"", ".", "..", " . . ", "...   "}) {
        PresetFile b = defaults_record(bad, 1);
        EXPECT_FALSE(preset_save(&b)) << "'" << bad << "'";
        char path[PRESET_PATH_MAX];
        EXPECT_FALSE(preset_path(bad, path, sizeof path));
    }
    // Separators and ".." never leave the folder.
    PresetFile up = defaults_record("../../etc/x", 1);
    ASSERT_TRUE(preset_save(&up));
    EXPECT_TRUE(exists(file(".._.._etc_x")));
    PresetFile ctl = defaults_record("a\tb<c>d|e?f*g\"h\\i", 1);
    ASSERT_TRUE(preset_save(&ctl));
    EXPECT_TRUE(exists(file("a_b_c_d_e_f_g_h_i")));
    // A control byte in the name cannot start a line of its own inside the file.
    PresetFile inj = defaults_record("x\nstages=8\np2=30", 1);
    ASSERT_TRUE(preset_save(&inj));
    PresetFile back2;
    ASSERT_TRUE(preset_load("x\nstages=8\np2=30", &back2));
    EXPECT_EQ(back2.stages, 1);
    EXPECT_EQ(back2.values[0][P_GAIN], 0.0);
    // Bytes of 128 and above are kept.
    PresetFile utf = defaults_record("Br\xc3\xbc"
                                     "cke",
                                     1);
    ASSERT_TRUE(preset_save(&utf));
    EXPECT_TRUE(exists(file("Br\xc3\xbc"
                            "cke")));
}

TEST_F(PresetFiles, SavingOverAPlantedLinkReplacesTheLinkAndNeverWritesOutside) {
    Outside out;
    write_file(out.path + "/file", "not a preset\n");
    ASSERT_EQ(symlink((out.from_presets + "/file").c_str(), file("victim").c_str()), 0);
    ASSERT_EQ(symlink((out.path + "/new").c_str(), file("dangling").c_str()), 0);
    for (const char *stem : {"victim", "dangling"}) {
        PresetFile r = defaults_record(stem, 1);
        ASSERT_TRUE(preset_save(&r)) << stem;
        EXPECT_TRUE(is_regular_entry(file(stem))) << stem;
        EXPECT_EQ(read_file(file(stem)).compare(0, 21, "Tervik preset 1\nname="), 0) << stem;
        struct stat st;
        ASSERT_EQ(lstat(file(stem).c_str(), &st), 0);
        mode_t mask = umask(0);
        umask(mask);
        EXPECT_EQ(st.st_mode & 0777, 0666u & ~mask) << stem; // an ordinary file, not a private temporary
    }
    EXPECT_EQ(read_file(out.path + "/file"), "not a preset\n");
    EXPECT_FALSE(exists(out.path + "/new"));
    EXPECT_EQ(entries(dir_.path()), (std::vector<std::string>{"dangling.tervik", "victim.tervik"}));
}

TEST_F(PresetFiles, AFailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
    PresetFile old = defaults_record("keep", 1);
    ASSERT_TRUE(preset_save(&old));
    const std::string before = read_file(file("keep"));
    // A child whose files may not grow beyond 300 bytes saves an eight-stage preset over it.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        struct rlimit lim = {300, 300};
        signal(SIGXFSZ, SIG_IGN);
        PresetFile big = defaults_record("keep", 8);
        _exit(setrlimit(RLIMIT_FSIZE, &lim) == 0 && !preset_save(&big) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the failed write was not reported";
    EXPECT_EQ(read_file(file("keep")), before);
    EXPECT_EQ(entries(dir_.path()), (std::vector<std::string>{"keep.tervik"}));
}

TEST_F(PresetFiles, ReadingFollowsLinksOnlyWhileTheyStayInTheFolder) {
    Outside out;
    write_file(out.path + "/x.tervik", "Tervik preset 1\nstages=1\nstage=1\np2=9\n");
    ASSERT_EQ(symlink((out.from_presets + "/x.tervik").c_str(), file("up").c_str()), 0);
    ASSERT_EQ(symlink((out.path + "/x.tervik").c_str(), file("abs").c_str()), 0);
    ASSERT_EQ(mkdir((dir_.path() + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink(("sub/../" + out.from_presets + "/x.tervik").c_str(), file("sneak").c_str()), 0);
    write_file(file("real"), "Tervik preset 1\nstages=1\nstage=1\np2=4\n");
    write_file(dir_.path() + "/sub/inner.tervik", "Tervik preset 1\nstages=1\nstage=1\np2=5\n");
    ASSERT_EQ(symlink("real.tervik", file("alias").c_str()), 0);
    ASSERT_EQ(symlink("sub/inner.tervik", file("deep").c_str()), 0);
    ASSERT_EQ(symlink(file("real").c_str(), file("absolute").c_str()), 0);
    PresetFile r;
    for (const char *stem : {"up", "abs", "sneak"}) {
        EXPECT_FALSE(preset_load(stem, &r)) << stem;
        EXPECT_FALSE(preset_load_listed(stem, &r)) << stem;
    }
    for (const char *stem : {"alias", "absolute"}) {
        ASSERT_TRUE(preset_load_listed(stem, &r)) << stem;
        EXPECT_EQ(r.values[0][P_GAIN], 4.0) << stem;
    }
    ASSERT_TRUE(preset_load("deep", &r));
    EXPECT_EQ(r.values[0][P_GAIN], 5.0);
    // The folder itself may be reached through a link.
    ASSERT_EQ(symlink(dir_.path().c_str(), (out.path + "/presets").c_str()), 0);
    tk_test::ScopedEnv env("TERVIK_PRESET_DIR", (out.path + "/presets").c_str());
    EXPECT_TRUE(preset_load("alias", &r));
    EXPECT_FALSE(preset_load("up", &r));
}

TEST_F(PresetFiles, DeletingRemovesAFileOrALinkButNeverADirectory) {
    Outside out;
    write_file(out.path + "/file", "kept\n");
    ASSERT_EQ(mkdir(file("folder").c_str(), 0755), 0);
    ASSERT_EQ(symlink((out.path + "/file").c_str(), file("link").c_str()), 0);
    write_file(file("plain"), "");
    char names[24][64];
    ASSERT_EQ(presets_list(names, 24), 2); // a directory is no preset
    EXPECT_STREQ(names[0], "link");
    EXPECT_STREQ(names[1], "plain");
    EXPECT_FALSE(preset_delete("folder"));
    EXPECT_TRUE(exists(file("folder")));
    EXPECT_TRUE(preset_delete("link"));
    struct stat st;
    EXPECT_NE(lstat(file("link").c_str(), &st), 0);
    EXPECT_EQ(read_file(out.path + "/file"), "kept\n");
}

TEST_F(PresetFiles, SeventyCharacterNameIsCutTo63) {
    std::string name(70, 'n');
    name[10] = 'X';
    PresetFile r = defaults_record("", 1);
    memcpy(r.name, name.data(), 63); // the record holds at most 63 bytes
    ASSERT_TRUE(preset_save(&r));
    EXPECT_TRUE(exists(file(name.substr(0, 63))));
    PresetFile back;
    ASSERT_TRUE(preset_load(name.c_str(), &back));
    EXPECT_EQ(std::string(back.name), name.substr(0, 63));
    char names[24][64];
    ASSERT_EQ(presets_list(names, 24), 1);
    EXPECT_EQ(std::string(names[0]), name.substr(0, 63));
}

TEST_F(PresetFiles, OddLinesAreReadTolerantly) {
    write_file(file("odd"), "Tervik preset 7 (any version)\n"
                            "p2=4.5 # before any stage line: stage 1\n"
                            "garbage line\n"
                            "stage=2\np3=-2\n"
                            "stage=9\np2=9 # stage 9 does not exist\n"
                            "stage=0\np2=8\n"
                            "stage=3\np16=3 # Foo\np1=99\np9=2.6\np12=1\n"
                            "stages=12\n");
    PresetFile r;
    ASSERT_TRUE(preset_load("odd", &r));
    EXPECT_EQ(r.stages, 8);
    EXPECT_EQ(r.values[0][P_GAIN], 4.5);
    EXPECT_EQ(r.values[1][P_CEILING], -2.0);
    EXPECT_EQ(r.values[1][P_GAIN], 0.0);
    EXPECT_EQ(r.values[2][P_INPUT], 24.0);
    EXPECT_EQ(r.values[2][P_STYLE], 3.0);
    EXPECT_EQ(r.values[2][P_BYPASS], 1.0);
    for (int s = 1; s < 8; s++)
        EXPECT_EQ(r.values[s][P_GAIN], 0.0) << s;

    write_file(file("zero"), "Tervik preset 1\nstages=0\n");
    ASSERT_TRUE(preset_load("zero", &r));
    EXPECT_EQ(r.stages, 1);

    write_file(file("nostages"), "Tervik preset 1\nname=x\nstage=1\np2=7\n");
    EXPECT_FALSE(preset_load("nostages", &r));
    EXPECT_EQ(r.values[0][P_GAIN], 7.0); // read, but refused as a whole
    EXPECT_STREQ(r.name, "nostages");

    write_file(file("header"), "Tervik presets 1\nstages=1\n");
    EXPECT_TRUE(preset_load("header", &r)); // only the first 13 characters count
    write_file(file("badheader"), "tervik preset 1\nstages=1\n");
    EXPECT_FALSE(preset_load("badheader", &r));
    write_file(file("empty"), "");
    EXPECT_FALSE(preset_load("empty", &r));
    EXPECT_FALSE(preset_load("missing", &r));
    EXPECT_FALSE(preset_load("", &r));
}

TEST_F(PresetFiles, HostileNumbersLinesAndEndings) {
    // The tails of over-long lines sit where a reader with a 256-byte buffer would start a
    // new line: they must not be read as settings.
    std::string header = "Tervik preset 1" + std::string(255 - 15, ' ') + "p2=29";
    std::string longline = "name=" + std::string(255 * 16 - 5, 'a') + "p2=30";
    write_file(file("hostile"), header + "\n" + longline + "\n" +
                                    "stages=-99999999999999999999999\n"
                                    "stage=99999999999999999999999\np2=28\n"
                                    "stage=-99999999999999999999999\np2=27\n"
                                    "stage=1\n"
                                    "p4294967298=26 # wraps to id 2 if taken modulo 2^32\n"
                                    "p99999999999999999999999=25\n"
                                    "p1=1e999\np3=-1e999\np4=nan\np5=\np8=0x10\np9=inf\np100=1e300\n"
                                    "p15=12,5\r\n"
                                    "p101=-0.5");
    PresetFile r;
    ASSERT_TRUE(preset_load("hostile", &r));
    EXPECT_EQ(r.stages, 1);
    EXPECT_EQ(r.values[0][P_GAIN], 0.0);
    EXPECT_EQ(r.values[0][P_INPUT], 24.0);
    EXPECT_EQ(r.values[0][P_CEILING], -12.0);
    EXPECT_EQ(r.values[0][P_RELEASE], 100.0);  // NaN gives the default
    EXPECT_EQ(r.values[0][P_LINK], 100.0);     // no number: line ignored
    EXPECT_EQ(r.values[0][P_LOOKAHEAD], 10.0); // hexadecimal 16, clamped
    EXPECT_EQ(r.values[0][P_STYLE], 5.0);
    EXPECT_EQ(r.values[0][P_STAGE], 8.0);
    EXPECT_EQ(r.values[0][P_MIX], 12.0);  // the C locale's point: "12" and a comma
    EXPECT_EQ(r.values[0][P_GROUP], 0.0); // last line without a line feed is read
    expect_in_range(r);
}

TEST_F(PresetFiles, PipesDevicesAndHugeFilesAreNotRead) {
    ASSERT_EQ(mkfifo(file("pipe").c_str(), 0600), 0);
    PresetFile r;
    EXPECT_FALSE(preset_load("pipe", &r)); // returns at once instead of waiting for a writer
    PresetFile w = defaults_record("pipe", 1);
    EXPECT_FALSE(preset_save(&w));
    ASSERT_EQ(symlink("/dev/zero", file("zero").c_str()), 0);
    EXPECT_FALSE(preset_load("zero", &r));
    // Only the first megabyte of a file is looked at.
    std::string big = "Tervik preset 1\n";
    while (big.size() < (2u << 20))
        big += "# padding padding padding padding padding padding\n";
    tk_test::write_file(file("big"), big + "stages=2\n");
    EXPECT_FALSE(preset_load("big", &r));
    tk_test::write_file(file("big"), "Tervik preset 1\nstages=2\n" + big);
    EXPECT_TRUE(preset_load("big", &r));
    EXPECT_EQ(r.stages, 2);
}

TEST_F(PresetFiles, ThousandsOfRandomAndTruncatedFilesLoadSafely) {
    PresetFile base = defaults_record("seed", 8);
    for (int s = 0; s < 8; s++)
        base.values[s][P_GAIN] = s * 3.5;
    ASSERT_TRUE(preset_save(&base));
    const std::string valid = read_file(file("seed"));
    std::mt19937 rng(12345);
    const char *pieces[] = {"stage=", "stages=", "p",  "=",   "\n",
                            "#",      "1",       "9",  "100", "101",
                            "-",      "e308",    ".",  "nan", "99999999999999999999",
                            " ",      "\r",      "\0", "\xff"};
    int accepted = 0;
    for (int it = 0; it < 3000; it++) {
        std::string data;
        switch (it % 4) {
        case 0:
            data = valid.substr(0, rng() % (valid.size() + 1));
            break; // truncated
        case 1: {  // flipped bytes
            data = valid;
            for (int k = 0; k < 8; k++)
                data[rng() % data.size()] = (char)(rng() & 0xFF);
            break;
        }
        case 2: { // random tokens after a good header
            data = "Tervik preset 1\n";
            int n = (int)(rng() % 200);
            for (int k = 0; k < n; k++)
                data += pieces[rng() % (sizeof pieces / sizeof pieces[0])];
            break;
        }
        default: { // binary noise, sometimes with the header
            if (rng() & 1) data = "Tervik preset 1\n";
            int n = (int)(rng() % 700);
            for (int k = 0; k < n; k++)
                data += (char)(rng() & 0xFF);
        }
        }
        write_file(file("fuzz"), data);
        PresetFile r;
        memset(&r, 0x7F, sizeof r);
        if (preset_load("fuzz", &r)) accepted++;
        expect_in_range(r);
        if (HasFatalFailure()) {
            ADD_FAILURE() << "iteration " << it;
            return;
        }
    }
    EXPECT_GT(accepted, 0);
}

TEST_F(PresetFiles, ListingStripsTheExtensionSortsAndStopsAt24) {
    write_file(dir_.path() + "/x.TERVIK", "");
    write_file(dir_.path() + "/b.tervik", "");
    write_file(dir_.path() + "/A.tervik", "");
    write_file(dir_.path() + "/.tervik", "");
    write_file(dir_.path() + "/notes.txt", "");
    char names[24][64];
    int n = presets_list(names, 24);
    ASSERT_EQ(n, 3);
    EXPECT_STREQ(names[0], "A");
    EXPECT_STREQ(names[1], "b");
    EXPECT_STREQ(names[2], "x");
    for (int i = 0; i < 30; i++)
        write_file(dir_.path() + "/p" + std::to_string(100 + i) + ".tervik", "");
    EXPECT_EQ(presets_list(names, 24), 24);
    for (int i = 1; i < 24; i++)
        EXPECT_LT(strcasecmp(names[i - 1], names[i]), 0);
    EXPECT_EQ(presets_list(names, 0), 0);
    EXPECT_TRUE(preset_delete("b"));
    EXPECT_FALSE(preset_delete("b"));
}

TEST_F(PresetFiles, DefaultFolderIsBelowTheUserConfiguration) {
    std::string cfg = tk_test::make_temp_dir("cfg");
    {
        tk_test::ScopedEnv no_dir("TERVIK_PRESET_DIR", nullptr);
        tk_test::ScopedEnv xdg("XDG_CONFIG_HOME", cfg.c_str());
        char out[PRESET_DIR_MAX];
        ASSERT_TRUE(presets_dir(out, sizeof out));
        EXPECT_EQ(std::string(out), cfg + "/Morvane/Tervik/Presets");
        EXPECT_TRUE(exists(out));
        PresetFile r = defaults_record("here", 1);
        EXPECT_TRUE(preset_save(&r));
        EXPECT_TRUE(exists(cfg + "/Morvane/Tervik/Presets/here.tervik"));
        tk_test::ScopedEnv no_xdg("XDG_CONFIG_HOME", nullptr);
        tk_test::ScopedEnv no_home("HOME", nullptr);
        EXPECT_FALSE(presets_dir(out, sizeof out));
        char names[24][64];
        EXPECT_EQ(presets_list(names, 24), 0);
        EXPECT_FALSE(preset_save(&r));
    }
    tk_test::remove_tree(cfg);
}

TEST_F(PresetFiles, FolderPathsNearTheLengthLimits) {
    // Build an existing folder whose path is exactly 1023 bytes long.
    std::string deep = dir_.path();
    while (deep.size() + 201 < 1023 - 1) {
        deep += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    std::string last = deep + "/" + std::string(1023 - deep.size() - 1, 'e');
    ASSERT_EQ(last.size(), 1023u);
    {
        tk_test::ScopedEnv env("TERVIK_PRESET_DIR", last.c_str());
        char out[PRESET_DIR_MAX];
        ASSERT_TRUE(presets_dir(out, sizeof out));
        EXPECT_EQ(std::string(out), last);
        PresetFile r = defaults_record(std::string(63, 'z').c_str(), 1);
        ASSERT_TRUE(preset_save(&r));
        char path[PRESET_PATH_MAX];
        ASSERT_TRUE(preset_path(r.name, path, sizeof path));
        EXPECT_EQ(strlen(path), 1023u + 1 + 63 + 7);
        PresetFile back;
        EXPECT_TRUE(preset_load(r.name, &back));
        char small[100];
        EXPECT_FALSE(preset_path(r.name, small, sizeof small)); // never a cut-short path
        EXPECT_FALSE(presets_dir(small, sizeof small));
    }
    {
        std::string too_long = last + "f";
        tk_test::ScopedEnv env("TERVIK_PRESET_DIR", too_long.c_str());
        char out[PRESET_DIR_MAX];
        EXPECT_FALSE(presets_dir(out, sizeof out));
        PresetFile r = defaults_record("x", 1);
        EXPECT_FALSE(preset_save(&r));
    }
    {
        std::string huge(5000, 'h');
        huge[0] = '/';
        tk_test::ScopedEnv env("TERVIK_PRESET_DIR", huge.c_str());
        char names[24][64];
        EXPECT_EQ(presets_list(names, 24), 0);
    }
}

} // namespace
