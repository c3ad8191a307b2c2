// Platform services: the per-user folder from XDG_CONFIG_HOME or HOME, listing files by
// extension, the monotonic clock (and a source installed in its place) and the random source.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "sys/sys.h"
#include "sys/testing/sys_testing.h"
#include "tests/util/stepped_clock.h"
#include "tests/util/testutil.h"

namespace {

bool is_dir(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

TEST(SysUserDir, UsesXdgConfigHomeThenHomeAndCreatesEachLevel) {
    std::string root = tk_test::make_temp_dir("sys");
    char out[1024];
    {
        tk_test::ScopedEnv x("XDG_CONFIG_HOME", (root + "/xdg").c_str());
        ASSERT_TRUE(sys_mkdir((root + "/xdg").c_str()));
        ASSERT_TRUE(sys_user_dir("Morvane", "Tervik", out, sizeof out));
        EXPECT_EQ(std::string(out), root + "/xdg/Morvane/Tervik");
        EXPECT_TRUE(is_dir(out));
    }
    {
        tk_test::ScopedEnv x("XDG_CONFIG_HOME", ""); // empty: falls back to HOME
        tk_test::ScopedEnv h("HOME", (root + "/home").c_str());
        ASSERT_TRUE(sys_mkdir((root + "/home").c_str()));
        ASSERT_TRUE(sys_user_dir("Morvane", "Tervik", out, sizeof out));
        EXPECT_EQ(std::string(out), root + "/home/.config/Morvane/Tervik");
        EXPECT_TRUE(is_dir(root + "/home/.config/Morvane/Tervik"));
    }
    {
        tk_test::ScopedEnv x("XDG_CONFIG_HOME", nullptr);
        tk_test::ScopedEnv h("HOME", nullptr);
        EXPECT_FALSE(sys_user_dir("Morvane", "Tervik", out, sizeof out));
    }
    {
        // A level that cannot be made (a file in the way of the vendor folder... is taken
        // as existing, as mkdir reports EEXIST; a missing base folder is not).
        tk_test::ScopedEnv x("XDG_CONFIG_HOME", (root + "/missing/deeper").c_str());
        EXPECT_FALSE(sys_user_dir("Morvane", "Tervik", out, sizeof out));
    }
    tk_test::remove_tree(root);
}

TEST(SysListFiles, ListsByExtensionIgnoringCaseSortedAndBounded) {
    std::string d = tk_test::make_temp_dir("list");
    for (const char *n : {"b.tervik", "A.tervik", "c.TERVIK", ".tervik", "notes.txt", "x.tervik.bak"})
        tk_test::write_file(d + "/" + n, "x");
    char names[8][64];
    int n = sys_list_files(d.c_str(), ".tervik", &names[0][0], 64, 8);
    ASSERT_EQ(n, 3);
    EXPECT_STREQ(names[0], "A");
    EXPECT_STREQ(names[1], "b");
    EXPECT_STREQ(names[2], "c");
    for (int i = 0; i < 30; i++)
        tk_test::write_file(d + "/p" + std::to_string(100 + i) + ".tervik", "x");
    char many[24][64];
    n = sys_list_files(d.c_str(), ".tervik", &many[0][0], 64, 24);
    EXPECT_EQ(n, 24);
    for (int i = 1; i < n; i++)
        EXPECT_LE(cmp_ci(many[i - 1], many[i]), 0);
    // Names longer than a record are left out (a cut name would name another file), never
    // overrun; a larger record lists them.
    tk_test::write_file(d + "/" + std::string(100, 'z') + ".tervik", "x");
    char small[64][8];
    n = sys_list_files(d.c_str(), ".tervik", &small[0][0], 8, 64);
    EXPECT_EQ(n, 33);
    EXPECT_STREQ(small[n - 1], "p129");
    char large[64][128];
    n = sys_list_files(d.c_str(), ".tervik", &large[0][0], 128, 64);
    EXPECT_EQ(n, 34);
    EXPECT_EQ(std::string(large[n - 1]), std::string(100, 'z'));
    EXPECT_EQ(sys_list_files((d + "/none").c_str(), ".tervik", &names[0][0], 64, 8), 0);
    EXPECT_TRUE(sys_delete_file((d + "/A.tervik").c_str()));
    EXPECT_FALSE(sys_delete_file((d + "/A.tervik").c_str()));
    tk_test::remove_tree(d);
}

TEST(SysClockAndRandom, ClockIsMonotonicAndRandomValuesDiffer) {
    uint64_t a = sys_time_ns();
    sys_sleep_ms(2);
    uint64_t b = sys_time_ns();
    EXPECT_GE(b - a, 2000000u);
    std::set<uint64_t> seen;
    for (int i = 0; i < 100; i++)
        seen.insert(sys_random_u64());
    EXPECT_EQ(seen.size(), 100u);
    EXPECT_EQ(seen.count(0), 0u);
    pthread_mutex_t m;
    EXPECT_EQ(sys_mutex_init(&m), 0);
    EXPECT_EQ(sys_mutex_lock(&m), 0);
    EXPECT_EQ(sys_mutex_unlock(&m), 0);
    EXPECT_EQ(sys_mutex_destroy(&m), 0);
}

TEST(SysClockAndRandom, AnInstalledSourceGivesTheTimeUntilTheOldOneIsBack) {
    uint64_t fixed = 123456789;
    const SysClock held{[](void *ctx) { return *(uint64_t *)ctx; }, &fixed};
    EXPECT_EQ(sys_set_clock(&held), nullptr); // the monotonic clock was the source
    EXPECT_EQ(sys_time_ns(), 123456789u);
    fixed += 500000000;
    EXPECT_DOUBLE_EQ(sys_time_s(), 0.623456789);
    EXPECT_EQ(sys_set_clock(nullptr), &held);
    uint64_t a = sys_monotonic_ns(), b = sys_time_ns();
    EXPECT_GE(b, a); // the monotonic clock again
    {
        tk_test::SteppedClock clock;
        uint64_t before = sys_time_ns();
        clock.step_ms(1500);
        uint64_t stepped = sys_time_ns();
        EXPECT_GE(stepped - before, 1500000000u);
        EXPECT_LT(stepped, sys_monotonic_ns() + 1600000000u);
    }
    uint64_t now = sys_time_ns(), later = sys_monotonic_ns();
    EXPECT_LE(now, later); // the steps are gone with the stepped clock
}
