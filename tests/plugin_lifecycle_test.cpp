// Entry, factory and instance lifecycle of the real Tervik.clap loaded by the host:
// refusals, every order of init/activate/deactivate/destroy, history kept or reset by
// rate, reset counters, the main-thread callback and the scan log.
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "plugin_fixture.h"
#include "registry/param_rows.h"

namespace {

std::vector<std::string> read_lines(const std::string &path) {
    std::vector<std::string> out;
    std::ifstream f(path);
    std::string line;
    while (std::getline(f, line))
        out.push_back(line);
    return out;
}

} // namespace

TEST_F(ClapTest, EntryAndFactoryAnswerExactlyTheirIds) {
    const clap_plugin_entry_t *e = lib.entry();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->clap_version.major, 1u);
    EXPECT_EQ(e->clap_version.minor, 2u);
    EXPECT_EQ(e->clap_version.revision, 10u);
    EXPECT_EQ(e->get_factory("clap.plugin-factory.x"), nullptr);
    EXPECT_EQ(e->get_factory("clap.plugin-invalidation-factory"), nullptr);
    EXPECT_EQ(e->get_factory(""), nullptr);
    EXPECT_EQ(e->get_factory(nullptr), nullptr);
    const clap_plugin_factory_t *f = lib.factory();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->get_plugin_count(f), 1u);
    EXPECT_EQ(f->get_plugin_descriptor(f, 1), nullptr);
    const clap_plugin_descriptor_t *d = f->get_plugin_descriptor(f, 0);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->id, "com.morvane.tervik");
    EXPECT_STREQ(d->name, "Tervik");
    EXPECT_STREQ(d->vendor, "Morvane");
    EXPECT_STREQ(d->version, "1.0.1");
    EXPECT_STREQ(d->description, "Multi-stage bus limiter: several instances, one user interface");
    EXPECT_STREQ(d->manual_url, "");
    EXPECT_STREQ(d->support_url, "");
    EXPECT_EQ(strncmp(d->url, "https://", 8), 0);
    const char *want[] = {"audio-effect", "limiter", "mastering", "stereo"};
    for (int i = 0; i < 4; i++)
        EXPECT_STREQ(d->features[i], want[i]);
    EXPECT_EQ(d->features[4], nullptr);
}

TEST_F(ClapTest, FactoryRefusesWrongIdsAndOldHosts) {
    HostInstance a(lib), b(lib), c(lib), d(lib);
    EXPECT_FALSE(a.create("com.morvane.terv"));
    EXPECT_FALSE(b.create("com.morvane.tervik.pro")); // begins with the right id
    EXPECT_FALSE(c.create("COM.MORVANE.TERVIK"));
    HostOptions old;
    old.clap_version.major = 0;
    HostInstance e(lib, old);
    EXPECT_FALSE(e.create("com.morvane.tervik"));
    const clap_plugin_factory_t *f = lib.factory();
    EXPECT_EQ(f->create_plugin(f, nullptr, "com.morvane.tervik"), nullptr);
    EXPECT_EQ(f->create_plugin(f, d.host(), nullptr), nullptr);
    EXPECT_TRUE(d.create("com.morvane.tervik"));
}

TEST_F(ClapTest, InitClaimsASlotWithDefaultsAndIdentity) {
    HostInstance *h = make();
    SharedSlot *s = slot_of(h);
    ASSERT_NE(s, nullptr);
    EXPECT_NE(uid_of(h), 0u);
    EXPECT_EQ(shm_load(s->ident.in_use), 1u);
    EXPECT_EQ(shm_load(s->ident.pid), (int32_t)getpid());
    EXPECT_DOUBLE_EQ(shm_load(s->values[2]), -0.3);
    EXPECT_DOUBLE_EQ(shm_load(s->values[3]), 100.0);
    EXPECT_DOUBLE_EQ(shm_load(s->values[9]), 1.5);
    EXPECT_DOUBLE_EQ(shm_load(s->values[12]), 2.0);
    EXPECT_DOUBLE_EQ(shm_load(s->values[16]), 100.0);
    EXPECT_EQ(shm_load(s->engine.active), 0u);
    // Nothing measured yet: no loudness, no reduction.
    EXPECT_EQ(shm_load(s->meters.lufs_s), -100.0f);
    EXPECT_EQ(shm_load(s->meters.lufs_i), -100.0f);
    EXPECT_EQ(shm_load(s->meters.meter_gain), 1.0f);
    // Two instances: two slots, two identities.
    HostInstance *h2 = make();
    EXPECT_NE(slot_of(h2), s);
    EXPECT_NE(uid_of(h2), uid_of(h));
}

TEST_F(ClapTest, LifecycleOrdersAndSecondActivate) {
    // destroy right after create, after init, while active, while processing.
    {
        HostInstance h(lib);
        ASSERT_TRUE(h.create());
        h.destroy(false);
    }
    {
        HostInstance h(lib);
        ASSERT_TRUE(h.create_and_init());
        h.destroy(false);
    }
    {
        HostInstance h(lib);
        ASSERT_TRUE(h.create_and_init());
        ASSERT_TRUE(h.activate(48000, 1, 512));
        SharedSlot *s = slot_of(&h);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(shm_load(s->engine.active), 1u);
        h.destroy(false); // frees the engine and marks the slot inactive before releasing
        EXPECT_EQ(shm_load(s->engine.active), 0u);
        EXPECT_EQ(shm_load(s->ident.in_use), 0u);
    }
    {
        HostInstance h(lib);
        ASSERT_TRUE(h.create_and_init());
        ASSERT_TRUE(h.activate(44100, 32, 256));
        ASSERT_TRUE(h.start_processing());
        Stereo buf(256, 0.1f);
        h.process(buf.p(), buf.p(), 2, 256);
        h.destroy(false);
    }
    HostInstance *h = make();
    SharedSlot *s = slot_of(h);
    ASSERT_TRUE(h->activate(48000, 1, 512));
    EXPECT_EQ(shm_load(s->meters.activate_count), 1u);
    // A second activate while active fails and changes nothing.
    const clap_plugin_t *p = h->plugin();
    EXPECT_FALSE(p->activate(p, 96000, 1, 1024));
    EXPECT_EQ(shm_load(s->meters.activate_count), 1u);
    EXPECT_DOUBLE_EQ(shm_load(s->engine.sample_rate), 48000.0);
    EXPECT_EQ(shm_load(s->engine.latency), 80u);
    h->deactivate();
    EXPECT_EQ(shm_load(s->engine.active), 0u);
    p->deactivate(p); // deactivating twice does nothing
    ASSERT_TRUE(h->activate(96000, 1, 1024));
    EXPECT_EQ(shm_load(s->meters.activate_count), 2u);
    EXPECT_EQ(shm_load(s->engine.latency), 152u); // 144 + 8
    // Odd rates are refused rather than building an engine from them.
    h->deactivate();
    EXPECT_FALSE(p->activate(p, 0.0, 1, 512));
    EXPECT_FALSE(p->activate(p, std::nan(""), 1, 512));
    EXPECT_FALSE(p->activate(p, -48000.0, 1, 512));
}

// The engine is made anew by each activation: the settings in the slot reach the new one
// too, though none of them changed in between.
TEST_F(ClapTest, SettingsReachTheEngineAgainAfterReactivation) {
    HostInstance *h = make();
    SharedSlot *s = slot_of(h);
    ASSERT_NE(s, nullptr);
    shm_store(s->values[P_GAIN], 12.0);
    for (double rate : {48000.0, 48000.0, 44100.0}) {
        ASSERT_TRUE(h->activate(rate, 1, 512));
        Stereo in(512, 0.5f), out(512);
        h->process(in.p(), out.p(), 2, 512);
        // 0.5 driven by 12 dB is about 2: the stage reduces by some 7 dB at once.
        EXPECT_LT(shm_load(s->meters.meter_gain), 0.5f) << rate;
        h->deactivate();
    }
}

TEST_F(ClapTest, ResetCountsAndOnlyTouchesAnActiveEngine) {
    HostInstance *h = make();
    SharedSlot *s = slot_of(h);
    h->reset(); // inactive: only the counter
    EXPECT_EQ(shm_load(s->meters.reset_count), 1u);
    ASSERT_TRUE(h->activate(48000, 1, 512));
    h->reset();
    EXPECT_EQ(shm_load(s->meters.reset_count), 2u);
}

TEST_F(ClapTest, HistoryIsKeptAtTheSameRateAndResetAtAnother) {
    HostInstance *h = make();
    const tervik_plugin_debug_t *dbg = h->debug_ext();
    ASSERT_NE(dbg, nullptr);
    const clap_plugin_t *p = h->plugin();
    ASSERT_TRUE(h->activate(48000, 1, 512));
    EXPECT_EQ(dbg->history(p, 0, 0), -1000.0); // nothing written yet
    Stereo buf(512, 0.25f);
    for (int i = 0; i < 4; i++)
        h->process(buf.p(), buf.p(), 2, 512);
    SharedSlot *s = slot_of(h);
    EXPECT_EQ(shm_load(s->history.hist_count), 32u);
    EXPECT_NE(dbg->history(p, 1, 0), -1000.0);
    EXPECT_EQ(dbg->history(p, 1, 32), -1000.0);
    EXPECT_EQ(dbg->history(p, 1, 9000), -1000.0);
    EXPECT_EQ(dbg->history(p, 1, 0xFFFFFFFFu), -1000.0); // -1 taken as signed
    h->deactivate();
    ASSERT_TRUE(h->activate(48000, 1, 512));
    EXPECT_EQ(shm_load(s->history.hist_count), 32u); // same rate: kept
    h->deactivate();
    ASSERT_TRUE(h->activate(44100, 1, 512));
    EXPECT_EQ(shm_load(s->history.hist_count), 0u); // new rate: reset
    EXPECT_EQ(shm_load(s->history.hist_gap), -1);
    EXPECT_EQ(shm_load(s->history.hist_gain[5]), 1.0f);
    EXPECT_EQ(shm_load(s->history.hist_lufs[5]), -100.0f);
    EXPECT_EQ(dbg->history(p, 3, 0), -1000.0);
}

TEST_F(ClapTest, OnMainThreadServesPendingBitsInOrder) {
    HostInstance *h = make();
    SharedSlot *s = slot_of(h);
    const clap_plugin_t *p = h->plugin();
    std::atomic_ref<uint32_t>(s->pending).store(PENDING_FLUSH | PENDING_DIRTY);
    p->on_main_thread(p);
    std::vector<std::string> calls = h->take_calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], "mark_dirty");
    EXPECT_EQ(calls[1], "request_flush");
    EXPECT_EQ(shm_load(s->pending), 0u);
    p->on_main_thread(p); // nothing pending: nothing asked
    EXPECT_TRUE(h->take_calls().empty());
    std::atomic_ref<uint32_t>(s->pending).store(PENDING_FLUSH);
    p->on_main_thread(p);
    calls = h->take_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], "request_flush");
}

TEST_F(ClapTest, PoorHostsAreSkippedSilently) {
    for (ExtOffer offer : {ExtOffer::Off, ExtOffer::NullFns}) {
        HostOptions o;
        o.params = o.gui = o.latency = o.log = o.state = o.timer = offer;
        HostInstance *h = make(o);
        SharedSlot *s = slot_of(h);
        ASSERT_NE(s, nullptr);
        std::atomic_ref<uint32_t>(s->pending).store(PENDING_FLUSH | PENDING_DIRTY);
        const clap_plugin_t *p = h->plugin();
        p->on_main_thread(p);
        EXPECT_EQ(shm_load(s->pending), 0u);
        ASSERT_TRUE(h->activate(48000, 1, 256));
        Stereo buf(256, 0.5f);
        h->process(buf.p(), buf.p(), 2, 256);
        std::vector<uint8_t> blob;
        EXPECT_TRUE(h->state_save(&blob));
        EXPECT_TRUE(h->state_load(blob));
    }
    // A host whose get_extension is null.
    HostInstance h(lib);
    ASSERT_TRUE(h.create());
    const_cast<clap_host_t *>(h.host())->get_extension = nullptr;
    EXPECT_TRUE(h.init());
}

TEST_F(ClapTest, ExtensionTableMatchesWholeIds) {
    HostInstance *h = make();
    const char *ids[] = {"clap.params",  "clap.audio-ports", "clap.note-ports",    "clap.state",
                         "clap.latency", "clap.gui",         "clap.timer-support", "com.morvane.tervik.debug/1"};
    for (const char *id : ids)
        EXPECT_NE(h->get_extension(id), nullptr) << id;
    const char *bad[] = {"clap.param", "clap.params.x", "clap.log", "com.morvane.tervik.debug", ""};
    for (const char *id : bad)
        EXPECT_EQ(h->get_extension(id), nullptr) << id;
    EXPECT_EQ(h->plugin()->get_extension(h->plugin(), nullptr), nullptr);
}

TEST(ScanLog, WritesLifecycleLinesInOrderOnlyWhenAsked) {
    tk_test::ScopedSegment seg;
    std::string dir = tk_test::make_temp_dir("scanlog");
    std::string path = dir + "/scan.log";
    {
        tk_test::ScopedEnv off("TERVIK_SCANLOG", nullptr);
        HostLib lib;
        ASSERT_TRUE(lib.load(TERVIK_CLAP_PATH));
        HostInstance h(lib);
        ASSERT_TRUE(h.create_and_init());
    }
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    {
        tk_test::ScopedEnv on("TERVIK_SCANLOG", path.c_str());
        HostLib lib;
        ASSERT_TRUE(lib.load(TERVIK_CLAP_PATH));
        HostInstance h(lib);
        ASSERT_TRUE(h.create_and_init());
        ASSERT_TRUE(h.activate(48000, 1, 64));
        h.destroy();
        lib.unload();
    }
    std::vector<std::string> lines = read_lines(path);
    std::vector<std::string> msgs;
    for (const std::string &l : lines) {
        size_t sp = l.find(' ');
        ASSERT_NE(sp, std::string::npos) << l;
        for (size_t i = 0; i < sp; i++)
            ASSERT_TRUE(isdigit((unsigned char)l[i])) << l;
        msgs.push_back(l.substr(sp + 1));
    }
    std::vector<std::string> want = {
        "entry_init",        "clap.plugin-factory",     "factory_create",  "plug_init", "plug_init: extensions",
        "plug_init: random", "plug_init: registry_add", "plug_init: done", "activate",  "entry_deinit"};
    size_t at = 0;
    for (const std::string &m : msgs)
        if (at < want.size() && m == want[at]) at++;
    EXPECT_EQ(at, want.size()) << "scan log:\n" << tk_test::read_file(path);
    tk_test::remove_tree(dir);
}
