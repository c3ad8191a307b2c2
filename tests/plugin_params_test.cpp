// The parameter table as a host sees it through the real Tervik.clap: info records, values
// in the slot, value text and parsing (locale-independent), clamping on every write path.
#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>

#include "plugin_fixture.h"

namespace {

struct Row {
    uint32_t id;
    const char *name;
    double min, max, def;
    uint32_t flags;
};
const Row ROWS[17] = {
    {1, "Input", -24, 24, 0, 0x20},        {2, "Gain", 0, 30, 0, 0x20},     {3, "Ceiling", -12, 0, -0.3, 0x20},
    {4, "Release", 5, 2000, 100, 0x20},    {100, "Stage", 0, 8, 0, 0x01},   {101, "Group", 0, 15, 0, 0x01},
    {5, "Stereo link", 0, 100, 100, 0x20}, {6, "True peak", 0, 1, 1, 0x21}, {7, "Adaptive release", 0, 1, 1, 0x21},
    {8, "Lookahead", 0.1, 10, 1.5, 0x00},  {9, "Style", 0, 5, 0, 0x21},     {10, "Dither", 0, 2, 0, 0x01},
    {11, "Noise shaping", 0, 2, 2, 0x01},  {12, "Bypass", 0, 1, 0, 0x31},   {13, "Delta listen", 0, 1, 0, 0x21},
    {14, "Unity gain", 0, 1, 0, 0x21},     {15, "Mix", 0, 100, 100, 0x20},
};

} // namespace

class ParamsTest : public ClapTest {
  protected:
    void SetUp() override {
        ClapTest::SetUp();
        h = make();
    }
    std::string text(uint32_t id, double v) {
        bool ok = false;
        std::string t = h->value_to_text(id, v, &ok);
        EXPECT_TRUE(ok) << id;
        return t;
    }
    bool parse(uint32_t id, const char *s, double *out) { return h->text_to_value(id, s, out); }
    double parsed(uint32_t id, const char *s) {
        double v = -999;
        EXPECT_TRUE(parse(id, s, &v)) << id << " '" << s << "'";
        return v;
    }
    // Sets a value through a host event and reads back what was stored.
    double stored_after_event(uint32_t id, double v) {
        InputEvents ev(4);
        ev.add_param(0, id, v);
        EXPECT_TRUE(h->flush(&ev));
        return value(h, id);
    }
    HostInstance *h = nullptr;
};

TEST_F(ParamsTest, InfoRecordsDescribeTheTable) {
    EXPECT_EQ(h->param_count(), 17u);
    for (uint32_t i = 0; i < 17; i++) {
        ParamDesc d;
        ASSERT_TRUE(h->param_info(i, &d));
        EXPECT_EQ(d.id, ROWS[i].id);
        EXPECT_EQ(d.name, ROWS[i].name);
        EXPECT_EQ(d.module, "");
        EXPECT_EQ(d.min, ROWS[i].min);
        EXPECT_EQ(d.max, ROWS[i].max);
        EXPECT_EQ(d.def, ROWS[i].def);
        EXPECT_EQ(d.flags, ROWS[i].flags);
        EXPECT_EQ(value(h, ROWS[i].id), ROWS[i].def);
    }
    ParamDesc d;
    EXPECT_FALSE(h->param_info(17, &d));
    EXPECT_FALSE(h->param_info(0xFFFFFFFFu, &d));
    const clap_plugin_params_t *pe = h->params_ext();
    EXPECT_FALSE(pe->get_info(h->plugin(), 0, nullptr));
    double v;
    EXPECT_FALSE(h->param_value(16, &v));
    EXPECT_FALSE(h->param_value(0, &v));
    EXPECT_FALSE(h->param_value(102, &v));
    char buf[8];
    EXPECT_FALSE(pe->value_to_text(h->plugin(), 16, 1.0, buf, sizeof buf));
    EXPECT_FALSE(pe->text_to_value(h->plugin(), 16, "1", &v));
}

TEST_F(ParamsTest, ValueTextFollowsEachRowsRule) {
    EXPECT_EQ(text(1, 1.5), "1.5 dB");
    EXPECT_EQ(text(4, 100), "100 ms");
    EXPECT_EQ(text(4, 99.5), "100 ms");
    EXPECT_EQ(text(5, 100), "100 %");
    EXPECT_EQ(text(8, 1.5), "1.5 ms");
    EXPECT_EQ(text(3, -0.3), "-0.3 dB");
    EXPECT_EQ(text(100, 0.4), "Auto");
    EXPECT_EQ(text(100, 0.5), "1");
    EXPECT_EQ(text(100, 3), "3");
    EXPECT_EQ(text(101, 0), "A");
    EXPECT_EQ(text(101, 15), "P");
    EXPECT_EQ(text(10, 1.49), "24 bit");
    EXPECT_EQ(text(10, 0), "Off");
    EXPECT_EQ(text(10, 2), "16 bit");
    EXPECT_EQ(text(11, 0), "None");
    EXPECT_EQ(text(11, 1), "Light");
    EXPECT_EQ(text(11, 2), "Weighted");
    EXPECT_EQ(text(12, 0.5), "On");
    EXPECT_EQ(text(6, 0.49), "Off");
    EXPECT_EQ(text(9, 2), "Punchy");
    EXPECT_EQ(text(9, 99), "Safe"); // style number clamped
    EXPECT_EQ(text(9, -4), "Transparent");
    // Garbage values never break the text.
    EXPECT_EQ(text(101, std::nan("")), "A");
    EXPECT_EQ(text(101, 1e300), "P");
    EXPECT_FALSE(text(4, std::nan("")).empty());
    EXPECT_FALSE(text(4, -1e300).empty());
    // A tiny buffer truncates.
    char small[4];
    ASSERT_TRUE(h->params_ext()->value_to_text(h->plugin(), 4, 1000, small, sizeof small));
    EXPECT_STREQ(small, "100");
}

TEST_F(ParamsTest, ParsingNamesAndNumbers) {
    EXPECT_EQ(parsed(100, "  auto"), 0);
    EXPECT_EQ(parsed(100, "5"), 5);
    EXPECT_EQ(parsed(101, "b"), 1);
    EXPECT_EQ(parsed(101, "P"), 15);
    double v;
    EXPECT_FALSE(parse(101, "Q", &v)); // falls through to the number reader, which fails
    EXPECT_EQ(parsed(101, "3"), 3);
    EXPECT_EQ(parsed(12, "on"), 1);
    EXPECT_EQ(parsed(12, "oFF"), 0);
    EXPECT_EQ(parsed(12, "o"), 0);
    EXPECT_EQ(parsed(12, "1"), 1);
    EXPECT_EQ(parsed(9, "p"), 2);
    EXPECT_EQ(parsed(9, "a"), 1);
    EXPECT_EQ(parsed(9, "ag"), 3);
    EXPECT_EQ(parsed(9, "Safe mode"), 5);
    EXPECT_EQ(parsed(9, "BUS"), 4);
    EXPECT_EQ(parsed(11, "Weigh"), 2);
    EXPECT_EQ(parsed(11, "l"), 1);
    EXPECT_EQ(parsed(10, "16"), 2);
    EXPECT_EQ(parsed(10, "24 bit"), 1);
    EXPECT_EQ(parsed(10, "of"), 0);
    EXPECT_EQ(parsed(4, "3.14159"), 5); // clamped up to the minimum
    EXPECT_EQ(parsed(1, "-3 dB"), -3);
    EXPECT_EQ(parsed(1, "99"), 24);
    EXPECT_EQ(parsed(3, "nan"), -0.3); // a NaN number takes the default
    EXPECT_FALSE(parse(1, "", &v));
    EXPECT_FALSE(parse(1, "   ", &v));
    EXPECT_FALSE(parse(1, "loud", &v));
    EXPECT_FALSE(parse(9, " ", &v));
    EXPECT_FALSE(h->params_ext()->text_to_value(h->plugin(), 1, nullptr, &v));
}

TEST_F(ParamsTest, NumbersReadTheSameInAnyLocale) {
    const char *loc = setlocale(LC_ALL, "de_DE.UTF-8");
    if (!loc) loc = setlocale(LC_ALL, "fr_FR.UTF-8");
    EXPECT_EQ(parsed(1, "1.5"), 1.5);
    EXPECT_EQ(text(1, 1.5), "1.5 dB");
    setlocale(LC_ALL, "C");
}

TEST_F(ParamsTest, EveryStoredValueIsClamped) {
    EXPECT_EQ(stored_after_event(3, std::nan("")), -0.3);
    EXPECT_EQ(stored_after_event(9, 2.5), 3);
    EXPECT_EQ(stored_after_event(9, 7.7), 5);
    EXPECT_EQ(stored_after_event(101, -1), 0);
    EXPECT_EQ(stored_after_event(100, 2.6), 3);
    EXPECT_EQ(stored_after_event(100, -0.5), 0);
    EXPECT_EQ(stored_after_event(2, std::numeric_limits<double>::infinity()), 30);
    EXPECT_EQ(stored_after_event(2, -std::numeric_limits<double>::infinity()), 0);
    EXPECT_EQ(stored_after_event(8, 0.0), 0.1);
    // An unknown id is ignored.
    InputEvents ev(4);
    ev.add_param(0, 16, 5.0);
    ASSERT_TRUE(h->flush(&ev));
    for (const Row &r : ROWS) {
        if (r.id != 3 && r.id != 9 && r.id != 101 && r.id != 100 && r.id != 2 && r.id != 8) {
            EXPECT_EQ(value(h, r.id), r.def) << r.name;
        }
    }
}

TEST_F(ParamsTest, ValuesAnotherProcessStoredReachTheHostBounded) {
    SharedSlot *s = slot_of(h);
    ASSERT_NE(s, nullptr);
    const double inf = std::numeric_limits<double>::infinity();
    struct Bad {
        int index;
        double stored, told;
    } bad[] = {
        {0, std::nan(""), 0.0}, // Input: NaN -> default
        {1, inf, 0.0},          // Gain: +Inf -> default
        {2, -inf, -0.3},        // Ceiling: -Inf -> default
        {3, 1e308, 2000.0},     // Release: bounded
        {16, -1e308, 0.0},      // Mix: bounded
        {10, 2.6, 3.0},         // Style: stepped
        {5, 1e308, 15.0},       // Group
    };
    // Another process writes garbage into the stage's slot.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        for (const Bad &b : bad)
            shm_store(s->values[b.index], b.stored);
        _exit(0);
    }
    ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
    std::vector<uint8_t> blob;
    ASSERT_TRUE(h->state_save(&blob));
    ASSERT_EQ(blob.size(), 272u);
    for (const Bad &b : bad) {
        uint32_t id = ROWS[b.index].id;
        EXPECT_EQ(value(h, id), b.told) << ROWS[b.index].name;
        double saved;
        memcpy(&saved, blob.data() + 20 + 12 * b.index + 4, 8);
        EXPECT_EQ(saved, b.told) << ROWS[b.index].name;
    }
    // Value text of what a host hands back is bounded the same way.
    EXPECT_EQ(text(3, inf), "-0.3 dB");
    EXPECT_EQ(text(3, -inf), "-0.3 dB");
    EXPECT_EQ(text(1, std::nan("")), "0.0 dB");
    EXPECT_EQ(text(4, 1e308), "2000 ms");
    EXPECT_EQ(text(15, -inf), "100 %");
}
