// The shared segment across real processes: creation races, take-over of a SIGKILLed
// owner's slot, refusal of foreign layouts and modes, release and liveness (also across
// PID namespaces and forks, and by pid where slot locks are missing), group usage.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "registry/registry.h"
#include "registry/shared.h"
#include "registry/testing/registry_testing.h"
#include "tests/util/stepped_clock.h"
#include "tests/util/testutil.h"

namespace {

int slot_index(SharedSlot *s) {
    if (!s || !shared_mapped()) return -1;
    for (int i = 0; i < 64; i++)
        if (shared_at(i) == s) return i;
    return -1;
}

// Runs fn in a forked child that reports one int back through a pipe, then waits for a
// byte on a second pipe before exiting (so its slot stays claimed while the parent looks).
struct Forked {
    pid_t pid = -1;
    int result_fd = -1, go_fd = -1;
    template <class F> void start(F fn) {
        int r[2], g[2];
        ASSERT_EQ(pipe(r), 0);
        ASSERT_EQ(pipe(g), 0);
        pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(r[0]);
            close(g[1]);
            shared_test_reset();
            int v = fn();
            (void)!write(r[1], &v, sizeof v);
            char c;
            (void)!read(g[0], &c, 1);
            _exit(0);
        }
        close(r[1]);
        close(g[0]);
        result_fd = r[0];
        go_fd = g[1];
    }
    int result() {
        int v = -999;
        if (read(result_fd, &v, sizeof v) != (ssize_t)sizeof v) return -998;
        return v;
    }
    void finish() {
        if (pid <= 0) return;
        char c = 1;
        (void)!write(go_fd, &c, 1);
        int st;
        waitpid(pid, &st, 0);
        close(result_fd);
        close(go_fd);
        pid = -1;
    }
    void kill9() {
        kill(pid, SIGKILL);
        int st;
        waitpid(pid, &st, 0);
        close(result_fd);
        close(go_fd);
        pid = -1;
    }
};

// Enters a new PID namespace for the children forked next; as a user without the right to,
// inside a new user namespace that maps the user's own ids to themselves (so the segment
// is still the user's own). 0, or the errno of the step that failed.
int enter_pid_namespace() {
    if (unshare(CLONE_NEWPID) == 0) return 0;
    int err = errno;
    if (geteuid() == 0) return err;
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWPID) != 0) return errno;
    auto put = [](const char *path, const std::string &text) {
        int fd = open(path, O_WRONLY);
        bool ok = fd >= 0 && write(fd, text.data(), text.size()) == (ssize_t)text.size();
        if (fd >= 0) close(fd);
        return ok ? 0 : (errno ? errno : EIO);
    };
    if (int e = put("/proc/self/setgroups", "deny")) return e;
    if (int e = put("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1")) return e;
    return put("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
}

// Like Forked, but fn runs as pid 1 of a new PID namespace sharing /dev/shm (a sandboxed
// host): fork, enter the namespace, fork again. why_not is set when that is not allowed.
struct Sandboxed {
    pid_t middle = -1, outer = -1; // outer: the sandboxed process's pid in this namespace
    int result_fd = -1, go_fd = -1;
    std::string why_not;
    template <class F> void start(F fn) {
        int r[2], g[2], info[2];
        ASSERT_EQ(pipe(r), 0);
        ASSERT_EQ(pipe(g), 0);
        ASSERT_EQ(pipe(info), 0);
        middle = fork();
        ASSERT_GE(middle, 0);
        if (middle == 0) {
            close(r[0]);
            close(g[1]);
            close(info[0]);
            int msg[2] = {-1, enter_pid_namespace()};
            pid_t inner = msg[1] ? -1 : fork();
            if (inner == 0) {
                shared_test_reset();
                int v = fn();
                (void)!write(r[1], &v, sizeof v);
                char c;
                (void)!read(g[0], &c, 1);
                _exit(0);
            }
            if (!msg[1] && inner < 0) msg[1] = errno;
            msg[0] = (int)inner;
            (void)!write(info[1], msg, sizeof msg);
            close(r[1]);
            close(g[0]);
            int st;
            if (inner > 0) waitpid(inner, &st, 0);
            _exit(0);
        }
        close(r[1]);
        close(g[0]);
        close(info[1]);
        int msg[2] = {-1, EIO};
        if (read(info[0], msg, sizeof msg) != (ssize_t)sizeof msg || msg[0] <= 0)
            why_not = std::string("a new PID namespace is not allowed here (") + strerror(msg[1]) + ")";
        outer = msg[0];
        close(info[0]);
        result_fd = r[0];
        go_fd = g[1];
    }
    int result() {
        int v = -999;
        if (read(result_fd, &v, sizeof v) != (ssize_t)sizeof v) return -998;
        return v;
    }
    void end(bool hard) {
        if (middle <= 0) return;
        if (hard && outer > 0) {
            kill(outer, SIGKILL); // no "go" then: the pipe may have lost its only reader
        } else {
            char c = 1;
            (void)!write(go_fd, &c, 1);
        }
        int st;
        waitpid(middle, &st, 0);
        close(result_fd);
        close(go_fd);
        middle = -1;
    }
    ~Sandboxed() { end(true); }
};

// Polls shared_alive until it is false, stepping time past the second its verdict is kept
// at every look; generous (10 s).
bool dies_soon(SharedSlot *s, tk_test::SteppedClock &clock) {
    for (int i = 0; i < 1000 && shared_alive(s); i++) {
        clock.step_ms(1001);
        usleep(10000);
    }
    return !shared_alive(s);
}

class SharedSegmentTest : public ::testing::Test {
  protected:
    void SetUp() override { shared_test_reset(); }
    void TearDown() override { shared_test_reset(); }
    tk_test::ScopedSegment seg;
    tk_test::SteppedClock clock;
};

// Writes a segment file with a header that differs from ours in one field.
void write_foreign_segment(const std::string &path, uint32_t magic, uint32_t version, uint32_t slot_size,
                           uint32_t params) {
    int fd = shm_open(path.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, (off_t)SHARED_SIZE), 0);
    void *m = mmap(nullptr, SHARED_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(m, MAP_FAILED);
    close(fd);
    SharedHeader *h = (SharedHeader *)m;
    h->magic = magic;
    h->version = version;
    h->slot_size = slot_size;
    h->param_count = params;
    h->slot_count = 64;
    h->init_state = INIT_READY;
    munmap(m, SHARED_SIZE);
}

} // namespace

TEST(SharedLayout, SegmentNameFollowsEnvironment) {
    char name[160];
    {
        tk_test::ScopedEnv e("TERVIK_SHM", "my-world");
        shared_name(name, sizeof name);
        EXPECT_STREQ(name, "/my-world");
    }
    {
        tk_test::ScopedEnv e("TERVIK_SHM", "");
        shared_name(name, sizeof name);
        char want[64];
        snprintf(want, sizeof want, "/tervik3-%d", (int)getuid());
        EXPECT_STREQ(name, want);
    }
    {
        std::string longname(300, 'x');
        tk_test::ScopedEnv e("TERVIK_SHM", longname.c_str());
        shared_name(name, sizeof name);
        EXPECT_EQ(strlen(name), 128u); // "/" and the first 127 characters
    }
}

TEST_F(SharedSegmentTest, TwoProcessesStartingAtOnceShareOneSegmentWithDistinctSlots) {
    Forked a, b;
    a.start([] { return slot_index(shared_acquire()); });
    b.start([] { return slot_index(shared_acquire()); });
    int ia = a.result(), ib = b.result();
    EXPECT_GE(ia, 0);
    EXPECT_GE(ib, 0);
    EXPECT_NE(ia, ib);
    // This process attaches to the same segment and sees both claims.
    ASSERT_TRUE(shared_mapped());
    SharedSlot *sa = shared_at(ia), *sb = shared_at(ib);
    ASSERT_NE(sa, nullptr);
    ASSERT_NE(sb, nullptr);
    EXPECT_EQ(shm_load(sa->ident.pid), a.pid);
    EXPECT_EQ(shm_load(sb->ident.pid), b.pid);
    EXPECT_TRUE(shared_alive(sa));
    a.finish();
    b.finish();
}

TEST_F(SharedSegmentTest, KilledOwnersSlotIsTakenOverWithGenerationIncremented) {
    Forked child;
    child.start([] {
        SharedSlot *s = shared_acquire();
        shm_store(s->ident.uid, (uint64_t)0xABCDEF);
        shm_store(s->values[1], 12.0);
        return slot_index(s);
    });
    int dead = child.result();
    ASSERT_EQ(dead, 0);
    child.kill9();
    ASSERT_TRUE(shared_mapped());
    SharedSlot *ds = shared_at(dead);
    ASSERT_NE(ds, nullptr); // still claimed after the crash
    uint32_t gen = shm_load(ds->ident.generation);
    // The other 63 slots are free: claims take those first.
    std::set<SharedSlot *> mine;
    for (int i = 0; i < 63; i++) {
        SharedSlot *s = shared_acquire();
        ASSERT_NE(s, nullptr);
        EXPECT_NE(s, ds);
        EXPECT_FALSE(shared_is_local(s));
        mine.insert(s);
    }
    EXPECT_EQ(mine.size(), 63u);
    // Only now does a claim take the dead owner's slot, reset it and count a generation.
    SharedSlot *taken = shared_acquire();
    EXPECT_EQ(taken, ds);
    EXPECT_EQ(shm_load(ds->ident.pid), (int32_t)getpid());
    EXPECT_EQ(shm_load(ds->ident.generation), gen + 1);
    EXPECT_EQ(shm_load(ds->ident.uid), 0u);
    EXPECT_EQ(shm_load(ds->values[1]), 0.0);
    EXPECT_EQ(shm_load(ds->history.hist_gap), -1);
    EXPECT_EQ(shm_load(ds->midi.midi_learn), -1);
    for (int i = 0; i < 17; i++)
        EXPECT_EQ(shm_load(ds->midi.midi_cc[i]), -1);
    // With every slot owned by a live process, the next claim is a local record.
    SharedSlot *local = shared_acquire();
    ASSERT_NE(local, nullptr);
    EXPECT_TRUE(shared_is_local(local));
    EXPECT_EQ(shared_max(), 65);
    EXPECT_EQ(shared_at(64), local);
    shared_release(local);
    EXPECT_EQ(shared_max(), 64);
    for (SharedSlot *s : mine)
        shared_release(s);
    shared_release(taken);
}

TEST_F(SharedSegmentTest, ForeignLayoutsAreNotAttached) {
    struct Case {
        uint32_t magic, version, slot_size, params;
    } cases[] = {
        {0x12345678, SHARED_VERSION, SHARED_SLOT_SIZE, SHARED_PARAMS},
        {SHARED_MAGIC, 2, SHARED_SLOT_SIZE, SHARED_PARAMS},
        {SHARED_MAGIC, SHARED_VERSION, SHARED_SLOT_SIZE + 8, SHARED_PARAMS},
        {SHARED_MAGIC, SHARED_VERSION, SHARED_SLOT_SIZE, 16},
    };
    for (const Case &c : cases) {
        tk_test::ScopedSegment s2("foreign");
        shared_test_reset();
        write_foreign_segment(s2.path(), c.magic, c.version, c.slot_size, c.params);
        EXPECT_FALSE(shared_mapped());
        SharedSlot *a = shared_acquire();
        SharedSlot *b = shared_acquire();
        ASSERT_NE(a, nullptr);
        EXPECT_TRUE(shared_is_local(a));
        EXPECT_TRUE(shared_is_local(b));
        EXPECT_EQ(shared_max(), 2);
        EXPECT_EQ(shared_at(0), a);
        EXPECT_EQ(shared_at(1), b);
        EXPECT_EQ(shared_at(2), nullptr);
        EXPECT_EQ(shared_at(-1), nullptr);
        EXPECT_EQ(shm_load(a->ident.generation), 1u);
        // Counters work without a segment too.
        uint32_t t1 = shared_serial_next(), t2 = shared_serial_next();
        EXPECT_EQ(t2, t1 + 1);
        shared_release(a);
        shared_release(b);
        EXPECT_EQ(shared_max(), 0);
    }
}

TEST_F(SharedSegmentTest, ShortSegmentThatNeverGrowsIsGivenUp) {
    int fd = shm_open(seg.path().c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 4096), 0);
    close(fd);
    // It waits 2 s for the size, then falls back; meanwhile time runs a hundred times faster.
    std::atomic<bool> done{false};
    std::thread stepper([&] {
        while (!done.load()) {
            clock.step_ms(100);
            usleep(1000);
        }
    });
    EXPECT_FALSE(shared_mapped());
    done.store(true);
    stepper.join();
    SharedSlot *s = shared_acquire();
    EXPECT_TRUE(shared_is_local(s));
    shared_release(s);
}

TEST_F(SharedSegmentTest, SegmentOfAnotherUserIsRefused) {
    // Create the segment as this user with mode 0600, then try to attach as another user.
    ASSERT_TRUE(shared_mapped());
    if (getuid() != 0) {
        // Without root we cannot become another user; a mode that denies this user does.
        ASSERT_EQ(chmod(("/dev/shm" + seg.path()).c_str(), 0000), 0);
    }
    Forked other;
    other.start([] {
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return -5;
        bool mapped = shared_mapped();
        SharedSlot *s = shared_acquire();
        return (mapped ? 1 : 0) + (s && shared_is_local(s) ? 10 : 0);
    });
    EXPECT_EQ(other.result(), 10); // not attached; works with a local record
    other.finish();
}

TEST_F(SharedSegmentTest, ReleaseKeepsIdentityButEndsLiveness) {
    SharedSlot *s = shared_acquire();
    ASSERT_NE(s, nullptr);
    ASSERT_FALSE(shared_is_local(s));
    shm_store(s->ident.uid, (uint64_t)77);
    EXPECT_TRUE(registry_contains(s, 77));
    EXPECT_FALSE(registry_contains(s, 78));
    EXPECT_FALSE(registry_contains(nullptr, 77));
    int idx = slot_index(s);
    shared_release(s);
    EXPECT_EQ(shm_load(s->ident.pid), (int32_t)getpid());
    EXPECT_EQ(shm_load(s->ident.uid), 77u);
    EXPECT_FALSE(shared_alive(s));
    EXPECT_FALSE(registry_contains(s, 77));
    EXPECT_EQ(shared_at(idx), nullptr);
}

TEST_F(SharedSegmentTest, CountersStartAtOneAndAreSharedBetweenProcesses) {
    ASSERT_TRUE(shared_mapped());
    EXPECT_EQ(shared_serial_next(), 1u);
    EXPECT_EQ(shared_seq_next(), 1u);
    Forked child;
    child.start([] { return (int)shared_serial_next() * 1000 + (int)shared_seq_next(); });
    EXPECT_EQ(child.result(), 2002);
    child.finish();
    EXPECT_EQ(shared_serial_next(), 3u);
}

TEST_F(SharedSegmentTest, GroupUsageCountsLiveStagesAndIgnoresGarbage) {
    SharedSlot *a = shared_acquire(), *b = shared_acquire(), *c = shared_acquire();
    shm_store(a->values[5], 0.0);
    shm_store(b->values[5], 15.0);
    shm_store(c->values[5], 15.9); // truncated: P
    uint32_t counts[16];
    registry_group_usage(counts);
    EXPECT_EQ(counts[0], 1u);
    EXPECT_EQ(counts[15], 2u);
    // A foreign slot full of garbage: out of range, NaN, infinite, huge.
    const double bad[] = {std::nan(""), -1.0, 16.0, 1e300, -1e300, std::numeric_limits<double>::infinity()};
    for (double v : bad) {
        shm_store(c->values[5], v);
        registry_group_usage(counts);
        uint32_t total = 0;
        for (uint32_t n : counts)
            total += n;
        EXPECT_EQ(total, 2u) << v;
    }
    // A claimed slot of a dead process is not counted.
    Forked child;
    child.start([] {
        SharedSlot *s = shared_acquire();
        shm_store(s->values[5], 3.0);
        return slot_index(s);
    });
    ASSERT_GE(child.result(), 0);
    registry_group_usage(counts);
    EXPECT_EQ(counts[3], 1u);
    child.kill9();
    clock.step_ms(1100); // past the second the liveness verdict is kept
    registry_group_usage(counts);
    EXPECT_EQ(counts[3], 0u);
    shared_release(a);
    shared_release(b);
    shared_release(c);
}

TEST_F(SharedSegmentTest, RememberedPointersAreCheckedBeforeTheyAreRead) {
    SharedSlot *s = shared_acquire();
    shm_store(s->ident.uid, (uint64_t)5);
    EXPECT_TRUE(shared_valid(s));
    EXPECT_FALSE(shared_valid((SharedSlot *)((char *)s + 8))); // not a slot boundary
    shared_release(s);
    EXPECT_TRUE(shared_valid(s)); // segment slots stay mapped: readable, no longer alive
    EXPECT_FALSE(registry_contains(s, 5));
    // A local record freed by its release is never read again.
    shared_test_reset();
    {
        tk_test::ScopedEnv none("TERVIK_SHM", "tktest-\x01-no/such/segment");
        SharedSlot *local = shared_acquire();
        ASSERT_TRUE(shared_is_local(local));
        shm_store(local->ident.uid, (uint64_t)9);
        EXPECT_TRUE(registry_contains(local, 9));
        shared_release(local); // freed
        EXPECT_FALSE(shared_valid(local));
        EXPECT_FALSE(registry_contains(local, 9)); // no use after free (ASan would say)
    }
}

TEST_F(SharedSegmentTest, SandboxedClaimerNeverTakesALiveStagesSlot) {
    // A full segment of live stages, all of this process.
    std::vector<SharedSlot *> mine;
    for (int i = 0; i < 64; i++) {
        SharedSlot *s = shared_acquire();
        ASSERT_FALSE(shared_is_local(s));
        shm_store(s->ident.uid, (uint64_t)(1000 + i));
        shm_store(s->values[1], 6.0);
        mine.push_back(s);
    }
    std::vector<uint32_t> gens;
    for (SharedSlot *s : mine)
        gens.push_back(shm_load(s->ident.generation));
    // A host in another PID namespace cannot see this process's pid, yet must not take over.
    Sandboxed box;
    box.start([] {
        SharedSlot *s = shared_acquire();
        return !s ? -1 : shared_is_local(s) ? 1000 : slot_index(s);
    });
    if (!box.why_not.empty()) GTEST_SKIP() << box.why_not;
    EXPECT_EQ(box.result(), 1000) << "the sandboxed claimer took a live stage's slot";
    for (int i = 0; i < 64; i++) {
        EXPECT_EQ(shm_load(mine[(size_t)i]->ident.generation), gens[(size_t)i]) << i;
        EXPECT_EQ(shm_load(mine[(size_t)i]->ident.uid), (uint64_t)(1000 + i)) << i;
        EXPECT_EQ(shm_load(mine[(size_t)i]->values[1]), 6.0) << i;
        EXPECT_EQ(shm_load(mine[(size_t)i]->ident.pid), (int32_t)getpid()) << i;
    }
    box.end(false);
    for (SharedSlot *s : mine)
        shared_release(s);
}

TEST_F(SharedSegmentTest, SandboxedOwnerIsAliveWhileItLivesAndDeadOnceItDies) {
    Sandboxed box;
    box.start([] {
        SharedSlot *s = shared_acquire();
        shm_store(s->values[1], 9.0);
        return slot_index(s);
    });
    if (!box.why_not.empty()) GTEST_SKIP() << box.why_not;
    int idx = box.result();
    ASSERT_GE(idx, 0);
    ASSERT_TRUE(shared_mapped());
    SharedSlot *boxed = shared_at(idx);
    ASSERT_NE(boxed, nullptr);
    // Its recorded pid is its own namespace's 1: here, init, which lives for ever.
    EXPECT_EQ(shm_load(boxed->ident.pid), 1);
    EXPECT_TRUE(shared_alive(boxed));
    // While it lives, a full segment does not give its slot away.
    std::vector<SharedSlot *> mine;
    for (int i = 0; i < 63; i++) {
        SharedSlot *s = shared_acquire();
        ASSERT_FALSE(shared_is_local(s));
        mine.push_back(s);
    }
    uint32_t gen = shm_load(boxed->ident.generation);
    SharedSlot *extra = shared_acquire();
    EXPECT_TRUE(shared_is_local(extra));
    shared_release(extra);
    EXPECT_EQ(shm_load(boxed->values[1]), 9.0);
    // Once it has died it is seen dead, and its slot is taken over.
    box.end(true);
    EXPECT_TRUE(dies_soon(boxed, clock));
    SharedSlot *taken = shared_acquire();
    EXPECT_EQ(taken, boxed);
    EXPECT_EQ(shm_load(boxed->ident.generation), gen + 1);
    EXPECT_EQ(shm_load(boxed->values[1]), 0.0);
    for (SharedSlot *s : mine)
        shared_release(s);
    shared_release(taken);
}

TEST_F(SharedSegmentTest, OwnersForkedHelperDoesNotKeepItsStageAlive) {
    // A host forks a helper that does not exec; the helper outlives the host.
    Forked owner;
    owner.start([] {
        SharedSlot *s = shared_acquire();
        if (!s || shared_is_local(s)) return -1;
        pid_t helper = fork();
        if (helper == 0) {
            for (;;)
                pause();
        }
        return (int)helper;
    });
    int helper = owner.result();
    ASSERT_GT(helper, 0);
    ASSERT_TRUE(shared_mapped());
    SharedSlot *s = nullptr;
    for (int i = 0; i < 64 && !s; i++)
        if (shared_at(i) && shm_load(shared_at(i)->ident.pid) == owner.pid) s = shared_at(i);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(shared_alive(s));
    owner.kill9();
    EXPECT_TRUE(dies_soon(s, clock));
    EXPECT_EQ(kill(helper, 0), 0); // the helper still runs
    kill(helper, SIGKILL);
}

TEST_F(SharedSegmentTest, WithoutSlotLocksLivenessFallsBackToTheOwnersPid) {
    shared_test_reset(true);
    Forked child;
    child.start([] {
        shared_test_reset(true);
        return slot_index(shared_acquire());
    });
    int idx = child.result();
    ASSERT_GE(idx, 0);
    ASSERT_TRUE(shared_mapped());
    SharedSlot *theirs = shared_at(idx);
    ASSERT_NE(theirs, nullptr);
    EXPECT_TRUE(shared_alive(theirs));
    std::vector<SharedSlot *> mine;
    for (int i = 0; i < 63; i++)
        mine.push_back(shared_acquire());
    SharedSlot *extra = shared_acquire();
    EXPECT_TRUE(shared_is_local(extra)); // a live owner keeps its slot
    shared_release(extra);
    child.kill9();
    EXPECT_TRUE(dies_soon(theirs, clock));
    SharedSlot *taken = shared_acquire();
    EXPECT_EQ(taken, theirs);
    for (SharedSlot *m : mine)
        shared_release(m);
    shared_release(taken);
}
