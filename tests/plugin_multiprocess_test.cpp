// Stages in real host processes (tervik-host script children) seen and edited from this
// process through the shared segment: the edit queue across processes, a full queue,
// chains resolved across processes, and segments that are not the user's own refused.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "params/edit_path.h"
#include "plugin_fixture.h"
#include "registry/chain.h"
#include "registry/registry.h"
#include "registry/testing/registry_testing.h"
#include "tests/util/script_slot.h"
#include "tests/util/stepped_clock.h"

namespace {

using tk_test::ScriptHost;
using Ev = ScriptHost::Event;

std::vector<Ev> parse_events(const std::vector<std::string> &lines) { return ScriptHost::parse_events(lines); }

SharedSlot *slot_of(ScriptHost &h, int stage) { return tk_test::script_slot(h, stage); }

// Polls until every slot's call ring has taken two rings' worth of calls more than when
// asked; false after a generous 20 s.
bool rings_refilled(std::initializer_list<SharedSlot *> slots) {
    std::vector<std::pair<SharedSlot *, uint32_t>> from;
    for (SharedSlot *s : slots)
        from.emplace_back(s, shm_load(s->calls.ring_count));
    auto done = [&] {
        for (auto &[s, n] : from)
            if (shm_load(s->calls.ring_count) - n < 2 * CALL_RING) return false;
        return true;
    };
    return tk_test::poll_until(done);
}

// Creates a ready segment (valid header, nothing claimed) at path with the given mode, as
// the calling user. False when it cannot.
bool make_segment(const std::string &path, mode_t mode) {
    int fd = shm_open(path.c_str(), O_CREAT | O_EXCL | O_RDWR, mode);
    if (fd < 0) return false;
    bool ok = fchmod(fd, mode) == 0 && ftruncate(fd, (off_t)SHARED_SIZE) == 0;
    void *m = ok ? mmap(nullptr, SHARED_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
    close(fd);
    if (m == MAP_FAILED) return false;
    SharedHeader *h = (SharedHeader *)m;
    h->magic = SHARED_MAGIC;
    h->version = SHARED_VERSION;
    h->slot_size = SHARED_SLOT_SIZE;
    h->param_count = SHARED_PARAMS;
    h->slot_count = SHARED_SLOTS;
    shm_store(h->init_state, (uint32_t)INIT_READY);
    munmap(m, SHARED_SIZE);
    return true;
}

// Claimed slots of the segment at path, read through a mapping of the caller's; -1 when it
// cannot be read.
int claimed_slots(const std::string &path) {
    int fd = shm_open(path.c_str(), O_RDONLY, 0);
    if (fd < 0) return -1;
    void *m = mmap(nullptr, SHARED_SIZE, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (m == MAP_FAILED) return -1;
    const SharedSlot *slots = (const SharedSlot *)((const char *)m + sizeof(SharedHeader));
    int n = 0;
    for (uint32_t i = 0; i < SHARED_SLOTS; i++)
        n += shm_load(slots[i].ident.in_use) != 0;
    munmap(m, SHARED_SIZE);
    return n;
}

std::string refusal_text(const std::string &path) {
    return "Tervik: shared segment " + path +
           " refused: not owned by this user or open to other users; stages of this process are not shared";
}

} // namespace

// Stages of the real plug-in in this process (through the real host library) meeting a
// segment under their name that is not theirs alone.
class SegmentTrustTest : public ClapTest {
  protected:
    // Two stages, created, initialised, activated and run for a block; the host records
    // their log lines.
    void run_two_stages() {
        HostOptions opt;
        opt.log_to_stderr = false;
        for (int i = 0; i < 2; i++) {
            instances.push_back(std::make_unique<HostInstance>(lib, opt));
            HostInstance *h = instances.back().get();
            ASSERT_TRUE(h->create_and_init()) << h->error();
            ASSERT_TRUE(h->activate(48000, 32, 256));
            Stereo buf(256, 0.25f);
            EXPECT_EQ(h->process(buf.p(), buf.p(), 2, 256), CLAP_PROCESS_CONTINUE);
        }
    }
    size_t log_lines(const std::string &text) {
        size_t n = 0;
        for (auto &h : instances)
            n += h->count_calls(text);
        return n;
    }
};

TEST_F(SegmentTrustTest, OwnSegmentOpenToOthersIsRefusedWithOneWarning) {
    ASSERT_TRUE(make_segment(seg.path(), 0644));
    run_two_stages();
    EXPECT_EQ(log_lines("log:*"), 1u);
    EXPECT_EQ(log_lines("log:2:" + refusal_text(seg.path())), 1u);
    EXPECT_EQ(claimed_slots(seg.path()), 0); // the stages work with local records
}

TEST_F(SegmentTrustTest, SegmentAnotherUserCreatedFirstIsNotUsed) {
    if (geteuid() != 0) GTEST_SKIP() << "acting as a second user (uid 65534) needs root; running as uid " << geteuid();
    // The other user creates this user's segment first, open to everyone, and later looks in.
    int ready[2], go[2], seen[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(seen), 0);
    pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        char made = setgid(65534) == 0 && setuid(65534) == 0 && make_segment(seg.path(), 0666) ? 1 : 0;
        (void)!write(ready[1], &made, 1);
        char c;
        (void)!read(go[0], &c, 1);
        int n = claimed_slots(seg.path());
        (void)!write(seen[1], &n, sizeof n);
        _exit(0);
    }
    char made = 0;
    ASSERT_EQ(read(ready[0], &made, 1), 1);
    ASSERT_EQ(made, 1);
    struct stat st {};
    ASSERT_EQ(stat(("/dev/shm" + seg.path()).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    run_two_stages();
    EXPECT_EQ(log_lines("log:*"), 1u);
    EXPECT_EQ(log_lines("log:2:" + refusal_text(seg.path())), 1u);
    char c = 1;
    ASSERT_EQ(write(go[1], &c, 1), 1);
    int n = -1;
    ASSERT_EQ(read(seen[0], &n, sizeof n), (ssize_t)sizeof n);
    EXPECT_EQ(n, 0) << "the other user sees this user's stages";
    int status = 0;
    waitpid(other, &status, 0);
    for (int fd : {ready[0], ready[1], go[0], go[1], seen[0], seen[1]})
        close(fd);
}

class MultiProcessTest : public ::testing::Test {
  protected:
    void SetUp() override { shared_test_reset(); }
    void TearDown() override { shared_test_reset(); }
    tk_test::ScopedSegment seg;
};

TEST_F(MultiProcessTest, EditsFromAnotherProcessReachTheOwnersHostAsGestures) {
    ScriptHost owner;
    ASSERT_TRUE(owner.start());
    ASSERT_TRUE(owner.cmd("create 1"));
    ASSERT_TRUE(owner.cmd("activate 48000 512"));
    ASSERT_TRUE(owner.cmd("process 2 512"));
    ASSERT_TRUE(owner.cmd("calls"));
    SharedSlot *s = slot_of(owner, 1);
    ASSERT_NE(s, nullptr);
    // The editor side, in this process: begin, two values, end on the foreign stage.
    plugin_edit_begin(s, 2);
    plugin_edit_value(s, 2, -3.0);
    plugin_edit_value(s, 2, -4.5);
    plugin_edit_end(s, 2);
    EXPECT_EQ(shm_load(s->values[2]), -4.5);
    EXPECT_EQ(shm_load(s->pending), PENDING_FLUSH | PENDING_DIRTY);
    std::vector<std::string> lines;
    ASSERT_TRUE(owner.cmd("value 1 Ceiling", &lines));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("-4.5"), std::string::npos) << lines[0]; // live before any echo
    ASSERT_TRUE(owner.cmd("process 1 512"));
    lines.clear();
    ASSERT_TRUE(owner.cmd("events", &lines));
    std::vector<Ev> ev = parse_events(lines);
    ASSERT_EQ(ev.size(), 4u);
    EXPECT_EQ(ev[0].type, 7);
    EXPECT_EQ(ev[1].type, 5);
    EXPECT_EQ(ev[1].value, -3.0);
    EXPECT_EQ(ev[2].value, -4.5);
    EXPECT_EQ(ev[3].type, 8);
    for (const Ev &e : ev)
        EXPECT_EQ(e.id, 3u);
    // The process call asked for the main thread; there the owner marks its state dirty
    // and then asks for a flush.
    ASSERT_TRUE(owner.cmd("idle"));
    lines.clear();
    ASSERT_TRUE(owner.cmd("calls", &lines));
    int cb = -1, dirty = -1, flush = -1;
    for (int i = 0; i < (int)lines.size(); i++) {
        if (cb < 0 && lines[i].find("request_callback") != std::string::npos) cb = i;
        if (dirty < 0 && lines[i].find("mark_dirty") != std::string::npos) dirty = i;
        if (flush < 0 && lines[i].find("request_flush") != std::string::npos) flush = i;
    }
    EXPECT_GE(cb, 0);
    EXPECT_GT(dirty, cb);
    EXPECT_GT(flush, dirty);
    EXPECT_EQ(shm_load(s->pending), 0u);
}

TEST_F(MultiProcessTest, ThreeHundredPostsWithoutADrainDeliverTheFirstInOrderThenTheLast) {
    ScriptHost owner;
    ASSERT_TRUE(owner.start());
    ASSERT_TRUE(owner.cmd("create 1"));
    ASSERT_TRUE(owner.cmd("activate 48000 512"));
    SharedSlot *s = slot_of(owner, 1);
    ASSERT_NE(s, nullptr);
    for (int i = 0; i < 300; i++)
        plugin_edit_value(s, 3, 5 + i);
    EXPECT_EQ(shm_load(s->values[3]), 304.0);
    ASSERT_TRUE(owner.cmd("process 1 512"));
    std::vector<std::string> lines;
    ASSERT_TRUE(owner.cmd("events", &lines));
    std::vector<Ev> ev = parse_events(lines);
    // The queue keeps room for gesture ends; what did not fit reaches the host as the
    // stage's value once the queue is drained.
    const size_t kept = EDIT_QUEUE_LEN - EDIT_END_ROOM;
    ASSERT_EQ(ev.size(), kept + 1);
    for (size_t i = 0; i < kept; i++)
        EXPECT_EQ(ev[i].value, 5.0 + (double)i);
    EXPECT_EQ(ev[kept].value, 304.0);
}

TEST_F(MultiProcessTest, ChainsAreResolvedAcrossProcesses) {
    // Process A runs two stages in series; process B one stage whose calls overlap A's in
    // time, on a sample clock of its own.
    ScriptHost a, b;
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(a.cmd("create 2"));
    ASSERT_TRUE(b.cmd("create 1"));
    ASSERT_TRUE(a.cmd("activate 48000 512"));
    ASSERT_TRUE(b.cmd("activate 48000 512"));
    ASSERT_TRUE(b.cmd("steady 777"));
    SharedSlot *a1 = slot_of(a, 1), *a2 = slot_of(a, 2), *b1 = slot_of(b, 1);
    ASSERT_TRUE(a1 && a2 && b1);
    ASSERT_TRUE(a.cmd("run start fast 512"));
    ASSERT_TRUE(b.cmd("run start fast 512"));
    // Every call ring is filled twice over once both run, so all it holds overlaps in time.
    ASSERT_TRUE(rings_refilled({a1, a2, b1}));
    ChainEntry e[64];
    for (ChainCache *c = registry_caches(); c < registry_caches() + 64; c++)
        c->key = nullptr;
    int n = registry_chain_for(a2, 0, e, 64);
    ASSERT_EQ(n, 2);
    EXPECT_EQ(e[0].slot, a1);
    EXPECT_EQ(e[0].pos, 1u);
    EXPECT_EQ(e[1].slot, a2);
    EXPECT_EQ(e[1].pos, 2u);
    n = registry_chain_for(b1, 0, e, 64);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(e[0].slot, b1);
    // The stages' own processes agree.
    std::vector<std::string> lines;
    ASSERT_TRUE(a.cmd("slot 2", &lines));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "slot 2 chain 2 2");
    ASSERT_TRUE(a.cmd("run stop"));
    ASSERT_TRUE(b.cmd("run stop"));
}

// Two buses, each a chain of two stages in its own host process, bounced offline at the
// same time (clap.render): blocks come far faster than real time, and the machine runs the
// two processes at once or in turns. Each chain must stay its own, in its own order.
TEST_F(MultiProcessTest, TwoChainsRenderingOfflineInTwoProcessesStayTwoChains) {
    ScriptHost a, b;
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    for (ScriptHost *h : {&a, &b}) {
        ASSERT_TRUE(h->cmd("create 2"));
        ASSERT_TRUE(h->cmd("activate 48000 512"));
        ASSERT_TRUE(h->cmd("render * offline"));
    }
    SharedSlot *a1 = slot_of(a, 1), *a2 = slot_of(a, 2), *b1 = slot_of(b, 1), *b2 = slot_of(b, 2);
    ASSERT_TRUE(a1 && a2 && b1 && b2);
    EXPECT_EQ(shm_load(a1->render_mode), 1u);
    ChainEntry e[64];
    for (ChainCache *c = registry_caches(); c < registry_caches() + 64; c++)
        c->key = nullptr;
    auto own_chain = [&](SharedSlot *first, SharedSlot *second, SharedSlot *asking) {
        int n = registry_chain_for(asking, 0, e, 64);
        for (int i = 0; i < n; i++)
            if (e[i].slot != first && e[i].slot != second) return false;
        return true;
    };
    // Both render at once, as fast as they can, from the same sample position.
    ASSERT_TRUE(a.cmd("run start fast 512"));
    ASSERT_TRUE(b.cmd("run start fast 512"));
    for (int q = 0; q < 100; q++) {
        EXPECT_TRUE(own_chain(a1, a2, a2)) << "query " << q << ": another bus's stage in a's chain";
        EXPECT_TRUE(own_chain(b1, b2, b1)) << "query " << q << ": another bus's stage in b's chain";
        usleep(5000);
    }
    ASSERT_TRUE(a.cmd("run stop"));
    ASSERT_TRUE(b.cmd("run stop"));
    // Then in turns, as on a busy machine: each process renders a stretch of blocks while
    // the other waits, so that every block of b comes after a's call for the same block.
    ASSERT_TRUE(a.cmd("steady 0"));
    ASSERT_TRUE(b.cmd("steady 0"));
    for (int turn = 0; turn < 3; turn++) {
        ASSERT_TRUE(a.cmd("process 100 512"));
        ASSERT_TRUE(b.cmd("process 100 512"));
        int n = registry_chain_for(a2, 0, e, 64);
        ASSERT_EQ(n, 2) << "turn " << turn;
        EXPECT_EQ(e[0].slot, a1);
        EXPECT_EQ(e[0].pos, 1u);
        EXPECT_EQ(e[1].slot, a2);
        EXPECT_EQ(e[1].pos, 2u);
        n = registry_chain_for(b2, 0, e, 64);
        ASSERT_EQ(n, 2) << "turn " << turn;
        EXPECT_EQ(e[0].slot, b1);
        EXPECT_EQ(e[1].slot, b2);
    }
    // The stages' own processes agree.
    std::vector<std::string> lines;
    ASSERT_TRUE(b.cmd("slot 2", &lines));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "slot 2 chain 2 2");
}

TEST_F(MultiProcessTest, KilledHostLeavesADeadStageThatIsNoLongerListed) {
    tk_test::SteppedClock clock; // this process's liveness cache
    ScriptHost a;
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(a.cmd("create 1"));
    ASSERT_TRUE(a.cmd("activate 48000 512"));
    ASSERT_TRUE(a.cmd("process 30 512"));
    SharedSlot *s = slot_of(a, 1);
    ASSERT_NE(s, nullptr);
    ChainEntry e[64];
    EXPECT_EQ(registry_chain_for(nullptr, 0, e, 64), 1);
    uint32_t counts[16];
    registry_group_usage(counts);
    EXPECT_EQ(counts[0], 1u);
    a.child.kill_hard();
    clock.step_ms(1100);                      // past the second the liveness verdict is kept
    EXPECT_EQ(shm_load(s->ident.in_use), 1u); // still claimed
    EXPECT_FALSE(shared_alive(s));
    EXPECT_EQ(registry_chain_for(nullptr, 0, e, 64), 0);
    registry_group_usage(counts);
    EXPECT_EQ(counts[0], 0u);
}
