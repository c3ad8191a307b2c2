// The host library (host/) against a foreign plug-in, Debian's ZaMaximX2.clap, loaded with
// dlopen: loading and its failures, the lifecycle, params, event lists, chains in series and
// on parallel threads; state streams against Tervik.clap (ZaMaximX2 has no state extension).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "host/chain.h"
#include "host/host.h"
#include "host/signal.h"
#include "tests/util/testutil.h"

namespace {

const char ZAM[] = "/usr/lib/clap/ZaMaximX2.clap";

bool have_zam() { return access(ZAM, R_OK) == 0; }

#define NEED_ZAM()                                                                                                     \
    do {                                                                                                               \
        if (!have_zam()) GTEST_SKIP() << ZAM << " is not installed";                                                   \
    } while (0)

struct Buf {
    Buf(uint32_t ch, uint32_t n) : data(ch, std::vector<float>(n, 0.0f)), ptr(ch) {
        for (uint32_t c = 0; c < ch; c++)
            ptr[c] = data[c].data();
    }
    std::vector<std::vector<float>> data;
    std::vector<float *> ptr;
    float *const *p() { return ptr.data(); }
    double peak() const {
        double m = 0;
        for (const auto &c : data)
            for (float v : c)
                m = std::max(m, (double)std::fabs(v));
        return m;
    }
    bool finite() const {
        for (const auto &c : data)
            for (float v : c)
                if (!std::isfinite(v)) return false;
        return true;
    }
};

void fill_sine(Buf &b, double freq, double amp, uint64_t start) {
    for (size_t c = 0; c < b.data.size(); c++)
        for (size_t i = 0; i < b.data[c].size(); i++)
            b.data[c][i] = (float)(amp * sin(2 * M_PI * freq * (double)(start + i) / 48000.0));
}

} // namespace

TEST(HostLibrary, LoadsAForeignPluginAndItsFactory) {
    NEED_ZAM();
    HostLib lib;
    ASSERT_TRUE(lib.load(ZAM)) << lib.error();
    ASSERT_NE(lib.entry(), nullptr);
    ASSERT_NE(lib.factory(), nullptr);
    EXPECT_EQ(lib.entry()->get_factory("clap.plugin-factory.nope"), nullptr);
    EXPECT_EQ(lib.count(), 1u);
    const clap_plugin_descriptor_t *d = lib.descriptor(0);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->id, "com.zamaudio.ZaMaximX2");
    EXPECT_EQ(lib.descriptor(1), nullptr);
    EXPECT_EQ(lib.descriptors().size(), 1u);
    EXPECT_EQ(lib.first_id(), "com.zamaudio.ZaMaximX2");
    lib.unload();
    lib.unload(); // twice is harmless
    EXPECT_FALSE(lib.loaded());
    EXPECT_EQ(lib.factory(), nullptr);
}

TEST(HostLibrary, LoadFailuresAreReportedAsText) {
    HostLib lib;
    EXPECT_FALSE(lib.load("/nonexistent/dir/Nothing.clap"));
    EXPECT_NE(lib.error().find("/nonexistent/dir/Nothing.clap"), std::string::npos) << lib.error();
    std::string dir = tk_test::make_temp_dir("hostlib");
    tk_test::write_file(dir + "/fake.clap", "not a shared object");
    EXPECT_FALSE(lib.load(dir + "/fake.clap"));
    EXPECT_FALSE(lib.error().empty());
    tk_test::remove_tree(dir);
    // A real shared library that is not a plug-in.
    const char *libm = "/lib/x86_64-linux-gnu/libm.so.6";
    if (access(libm, R_OK) == 0) {
        EXPECT_FALSE(lib.load(libm));
        EXPECT_NE(lib.error().find("clap_entry"), std::string::npos) << lib.error();
    }
    EXPECT_FALSE(lib.loaded());
    // An instance on an unloaded library fails cleanly.
    HostInstance h(lib);
    EXPECT_FALSE(h.create());
    EXPECT_FALSE(h.error().empty());
    EXPECT_FALSE(h.init());
    EXPECT_FALSE(h.activate(48000, 1, 64));
    EXPECT_EQ(h.process(nullptr, nullptr, 2, 64), CLAP_PROCESS_ERROR);
}

TEST(HostLibrary, ForeignPluginRunsTheWholeLifecycle) {
    NEED_ZAM();
    HostLib lib;
    ASSERT_TRUE(lib.load(ZAM)) << lib.error();
    HostInstance h(lib);
    ASSERT_TRUE(h.create()) << h.error();
    EXPECT_FALSE(h.create()); // one plug-in per instance
    ASSERT_TRUE(h.init()) << h.error();
    EXPECT_GE(h.count_calls("get_extension:*"), 1u);
    EXPECT_NE(h.params_ext(), nullptr);
    EXPECT_EQ(h.debug_ext(), nullptr);
    EXPECT_EQ(h.main_channels(true), 2u);
    ASSERT_TRUE(h.activate(48000, 32, 512)) << h.error();
    EXPECT_TRUE(h.active());
    Buf in(2, 512), out(2, 512);
    double peak = 0;
    for (int k = 0; k < 40; k++) {
        fill_sine(in, 440, 0.5, (uint64_t)k * 512);
        EXPECT_NE(h.process(in.p(), out.p(), 2, 512), CLAP_PROCESS_ERROR);
        EXPECT_TRUE(out.finite());
        peak = std::max(peak, out.peak());
    }
    EXPECT_TRUE(h.processing()); // started by the first process call
    EXPECT_EQ(h.steady(), 40 * 512);
    EXPECT_GT(peak, 0.05); // the sine came through (after the plug-in's latency)
    // Deactivate and activate again at another rate and block size, then in place.
    h.deactivate();
    EXPECT_FALSE(h.active());
    EXPECT_FALSE(h.processing());
    ASSERT_TRUE(h.activate(44100, 1, 128));
    Buf io(2, 128);
    for (int k = 0; k < 10; k++) {
        fill_sine(io, 1000, 0.3, (uint64_t)k * 128);
        h.process(io.p(), io.p(), 2, 128);
        EXPECT_TRUE(io.finite());
    }
    h.reset();
    h.idle();
    h.destroy();
    EXPECT_FALSE(h.created());
    h.destroy(); // harmless
}

TEST(HostLibrary, ParamsRoundTripThroughTextFlushAndProcess) {
    NEED_ZAM();
    HostLib lib;
    ASSERT_TRUE(lib.load(ZAM));
    HostInstance h(lib);
    ASSERT_TRUE(h.create_and_init());
    ASSERT_EQ(h.param_list().size(), h.param_count());
    uint32_t id = 999;
    ASSERT_TRUE(h.find_param("tHrEsHoLd", &id)); // names match ignoring case
    EXPECT_FALSE(h.find_param("Thresh", nullptr));
    ParamDesc d;
    bool found = false;
    for (uint32_t i = 0; i < h.param_count(); i++)
        if (h.param_info(i, &d) && d.id == id) found = true;
    ASSERT_TRUE(found);
    // value -> text -> value
    bool ok = false;
    std::string t = h.value_to_text(id, -12.5, &ok);
    ASSERT_TRUE(ok);
    double v = 0;
    ASSERT_TRUE(h.text_to_value(id, t, &v));
    EXPECT_NEAR(v, -12.5, 1e-3);
    ASSERT_TRUE(h.parse_value(id, "-7", &v));
    EXPECT_NEAR(v, -7.0, 1e-9);
    // A flush with one value event sets it.
    InputEvents ev(4);
    ASSERT_TRUE(ev.add_param(0, id, -9.0));
    ASSERT_TRUE(h.flush(&ev));
    ASSERT_TRUE(h.param_value(id, &v));
    EXPECT_NEAR(v, -9.0, 1e-6);
    // A posted value arrives with the next process call.
    ASSERT_TRUE(h.activate(48000, 1, 256));
    ASSERT_TRUE(h.post_param(id, -3.0));
    Buf b(2, 256);
    h.process(b.p(), b.p(), 2, 256);
    ASSERT_TRUE(h.param_value(id, &v));
    EXPECT_NEAR(v, -3.0, 1e-6);
}

TEST(HostLibrary, EventListsKeepOrderCapacityAndOddEntries) {
    InputEvents ev(4, 4096);
    EXPECT_TRUE(ev.add_param(10, 1, 0.5));
    EXPECT_TRUE(ev.add_midi(2, 0xB0, 7, 100));
    clap_event_header_t odd{};
    odd.size = sizeof odd;
    odd.time = 5;
    odd.space_id = 77; // not the core space
    odd.type = CLAP_EVENT_PARAM_VALUE;
    EXPECT_TRUE(ev.add_raw(&odd));
    EXPECT_TRUE(ev.add_null());
    EXPECT_FALSE(ev.add_param(0, 2, 1.0)); // full
    ASSERT_EQ(ev.size(), 4u);
    const clap_input_events_t *l = ev.clap();
    EXPECT_EQ(l->size(l), 4u);
    EXPECT_EQ(l->get(l, 3), nullptr);
    EXPECT_EQ(l->get(l, 4), nullptr); // past the end
    EXPECT_EQ(l->get(l, 2)->space_id, 77);
    ev.sort_by_time();
    EXPECT_EQ(l->get(l, 0), nullptr); // a null entry sorts as time 0
    EXPECT_EQ(l->get(l, 1)->time, 2u);
    EXPECT_EQ(l->get(l, 2)->time, 5u);
    EXPECT_EQ(l->get(l, 3)->time, 10u);
    const clap_event_midi_t *m = (const clap_event_midi_t *)l->get(l, 1);
    EXPECT_EQ(m->data[0], 0xB0);
    EXPECT_EQ(m->data[2], 100);
    ev.clear();
    EXPECT_EQ(l->size(l), 0u);

    OutputEvents out(2);
    const clap_output_events_t *o = out.clap();
    clap_event_param_value_t pv{};
    pv.header.size = sizeof pv;
    pv.header.type = CLAP_EVENT_PARAM_VALUE;
    pv.header.time = 3;
    pv.param_id = 42;
    pv.value = -1.25;
    clap_event_param_gesture_t g{};
    g.header.size = sizeof g;
    g.header.type = CLAP_EVENT_PARAM_GESTURE_BEGIN;
    g.param_id = 42;
    EXPECT_TRUE(o->try_push(o, &g.header));
    EXPECT_TRUE(o->try_push(o, &pv.header));
    EXPECT_TRUE(o->try_push(o, &pv.header)); // accepted; beyond the record capacity
    EXPECT_FALSE(o->try_push(o, nullptr));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out.at(0).type, CLAP_EVENT_PARAM_GESTURE_BEGIN);
    EXPECT_EQ(out.at(1).param_id, 42u);
    EXPECT_EQ(out.at(1).value, -1.25);
    EXPECT_EQ(out.at(1).time, 3u);
    EXPECT_EQ(out.pushes(), 4u);
    out.set_refuse(true);
    EXPECT_FALSE(o->try_push(o, &pv.header));
    EXPECT_EQ(out.refused(), 2u);
}

TEST(HostLibrary, StateStreamsMoveChunksAndFailOnRequest) {
    tk_test::ScopedSegment seg;
    if (have_zam()) { // a plug-in without the state extension: a clean refusal
        HostLib zam;
        ASSERT_TRUE(zam.load(ZAM));
        HostInstance z(zam);
        ASSERT_TRUE(z.create_and_init());
        std::vector<uint8_t> blob;
        EXPECT_FALSE(z.state_save(&blob));
        EXPECT_FALSE(z.state_load(blob));
    }
    HostLib lib;
    ASSERT_TRUE(lib.load(TERVIK_CLAP_PATH)) << lib.error();
    HostInstance a(lib), b(lib);
    ASSERT_TRUE(a.create_and_init());
    ASSERT_TRUE(b.create_and_init());
    uint32_t gain = 0;
    ASSERT_TRUE(a.find_param("Gain", &gain));
    InputEvents ev(2);
    ev.add_param(0, gain, 7.5);
    ASSERT_TRUE(a.flush(&ev));
    std::vector<uint8_t> whole, chunked;
    ASSERT_TRUE(a.state_save(&whole));
    StreamLimits seven;
    seven.max_chunk = 7;
    StreamStats st;
    ASSERT_TRUE(a.state_save(&chunked, seven, &st));
    EXPECT_EQ(chunked, whole);
    EXPECT_GE(st.calls, (whole.size() + 6) / 7);
    EXPECT_EQ(st.bytes, whole.size());
    StreamLimits one;
    one.max_chunk = 1;
    ASSERT_TRUE(b.state_load(chunked, one, &st));
    EXPECT_EQ(st.bytes, whole.size());
    double v = 0;
    ASSERT_TRUE(b.param_value(gain, &v));
    EXPECT_EQ(v, 7.5);
    // A write stream that stops after 10 bytes, and a read stream that fails after 10.
    for (int64_t res : {(int64_t)-1, (int64_t)0}) {
        StreamLimits fail;
        fail.fail_after = 10;
        fail.fail_result = res;
        std::vector<uint8_t> part;
        EXPECT_FALSE(a.state_save(&part, fail));
        EXPECT_EQ(part.size(), 10u);
        EXPECT_FALSE(b.state_load(whole, fail, &st));
        EXPECT_EQ(st.bytes, 10u);
    }
}

TEST(HostChain, StagesRunInSeriesLikeSeparateInstancesDo) {
    NEED_ZAM();
    HostLib lib;
    ASSERT_TRUE(lib.load(ZAM));
    const uint32_t N = 256, BLOCKS = 30;
    // Reference: two instances processed one after the other by hand.
    HostInstance r1(lib), r2(lib);
    ASSERT_TRUE(r1.create_and_init() && r2.create_and_init());
    uint32_t thr;
    ASSERT_TRUE(r1.find_param("Threshold", &thr));
    InputEvents set(2);
    set.add_param(0, thr, -15);
    r1.flush(&set);
    ASSERT_TRUE(r1.activate(48000, N, N) && r2.activate(48000, N, N));
    Audio demo = demo_signal(48000, 1.0, 2);
    BufferSource ref_src(demo, true);
    Buf in(2, N), mid(2, N), ref(2, N * BLOCKS);
    for (uint32_t k = 0; k < BLOCKS; k++) {
        ref_src.fill(in.p(), 2, N);
        r1.process(in.p(), mid.p(), 2, N);
        float *o[2] = {ref.data[0].data() + k * N, ref.data[1].data() + k * N};
        r2.process(mid.p(), o, 2, N);
    }
    // The chain: same stages, same settings, same input; run on its audio thread.
    Chain chain(2);
    std::string err;
    ASSERT_TRUE(chain.create(lib, 2, HostOptions(), std::string(), &err)) << err;
    chain.stage(0).flush(&set);
    ASSERT_TRUE(chain.activate(48000, N, N, &err)) << err;
    BufferSource src(demo, true);
    chain.set_source(&src);
    Buf got(2, N * BLOCKS);
    for (uint32_t k = 0; k < BLOCKS; k++) {
        chain.cycle(N);
        for (int c = 0; c < 2; c++)
            memcpy(got.data[c].data() + k * N, chain.output()[c], N * sizeof(float));
    }
    EXPECT_EQ(got.data, ref.data);
    EXPECT_GT(got.peak(), 0.01);
    EXPECT_EQ(chain.cycles(), BLOCKS);
    {
        // A source that lends its blocks in place feeds a second chain alike, and what it
        // lends is read, never written.
        // (The copy of the demo that it lends from; filling instead of lending fails.)
        struct LendOnly : BufferSource {
            using BufferSource::BufferSource;
            void fill(float *const *, uint32_t, uint32_t) override { ADD_FAILURE() << "filled, not lent"; }
        };
        Audio lent_audio = demo;
        LendOnly lending(lent_audio, true, true);
        Chain second(2);
        ASSERT_TRUE(second.create(lib, 2, HostOptions(), std::string(), &err)) << err;
        second.stage(0).flush(&set);
        ASSERT_TRUE(second.activate(48000, N, N, &err)) << err;
        second.set_source(&lending);
        for (uint32_t k = 0; k < BLOCKS; k++) {
            second.cycle(N);
            for (int c = 0; c < 2; c++)
                EXPECT_EQ(0, memcmp(got.data[c].data() + k * N, second.output()[c], N * sizeof(float))) << k;
        }
        EXPECT_EQ(lending.position(), (size_t)BLOCKS * N);
        EXPECT_EQ(lent_audio.ch, demo.ch);
        second.deactivate();
    }
    EXPECT_EQ(chain.stage(0).process_calls(), BLOCKS);
    // Blocks on the audio thread, then with the order swapped: stage 2 now runs first.
    ASSERT_TRUE(chain.run_blocks(10, N));
    EXPECT_EQ(chain.cycles(), BLOCKS + 10);
    EXPECT_FALSE(chain.stage(0).processing()); // stopped when the audio thread ended
    ASSERT_TRUE(chain.swap_positions(0, 1));
    EXPECT_EQ(chain.stage_at(0), 1);
    EXPECT_EQ(chain.stage_at(1), 0);
    EXPECT_FALSE(chain.swap_positions(0, 2));
    chain.deactivate();
}

TEST(HostChain, BufferSourceLendsWholeBlocksAndFillsTheOneThatWraps) {
    Audio a;
    a.ch.assign(2, std::vector<float>(1000));
    for (size_t i = 0; i < 1000; i++) {
        a.ch[0][i] = (float)i;
        a.ch[1][i] = -(float)i;
    }
    BufferSource lending(a, true, true), plain(a, true);
    EXPECT_EQ(plain.lend(2, 400), nullptr); // only when asked to
    float *const *p = lending.lend(2, 400);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[0], a.ch[0].data());
    EXPECT_EQ(p[1], a.ch[1].data());
    p = lending.lend(3, 400); // a third channel repeats the last
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[0], a.ch[0].data() + 400);
    EXPECT_EQ(p[2], a.ch[1].data() + 400);
    EXPECT_EQ(lending.lend(2, 400), nullptr); // 200 left: this block wraps
    Buf b(2, 400);
    lending.fill(b.p(), 2, 400);
    EXPECT_EQ(b.data[0][199], 999.0f);
    EXPECT_EQ(b.data[0][200], 0.0f);
    EXPECT_EQ(b.data[1][399], -199.0f);
    EXPECT_EQ(lending.lend(2, 400)[0], a.ch[0].data() + 200);
    BufferSource once(a, false, true); // without a loop the end is followed by silence
    EXPECT_NE(once.lend(2, 1000), nullptr);
    EXPECT_EQ(once.lend(2, 1), nullptr);
    once.fill(b.p(), 2, 400);
    EXPECT_EQ(b.peak(), 0.0);
}

TEST(HostChain, BusesRunOnParallelThreadsAndRealTimeRuns) {
    NEED_ZAM();
    HostLib lib;
    ASSERT_TRUE(lib.load(ZAM));
    Chain a(2), b(2);
    ASSERT_TRUE(a.create(lib, 2) && b.create(lib, 3));
    ASSERT_TRUE(a.activate(48000, 64, 64) && b.activate(48000, 64, 64));
    SineSource s1(100, -6, 48000), s2(300, -6, 48000);
    a.set_source(&s1);
    b.set_source(&s2);
    ASSERT_TRUE(Chain::run_parallel({&a, &b}, 50, 64));
    EXPECT_EQ(a.cycles(), 50u);
    EXPECT_EQ(b.cycles(), 50u);
    for (size_t i = 0; i < b.size(); i++)
        EXPECT_EQ(b.stage(i).process_calls(), 50u);
    // Continuous real-time processing, with the transport stopped for a while.
    ASSERT_TRUE(a.start(64, true));
    EXPECT_FALSE(a.start(64, true)); // already running
    ASSERT_TRUE(tk_test::poll_until([&] { return a.cycles() >= 60; }));
    a.set_transport(false);
    uint64_t passes = a.stopped_passes();
    ASSERT_TRUE(tk_test::poll_until([&] { return a.stopped_passes() >= passes + 1; })); // the loop has seen the stop
    uint64_t stopped_at = a.stage(0).process_calls();
    ASSERT_TRUE(tk_test::poll_until([&] { return a.stopped_passes() >= passes + 4; }));
    EXPECT_EQ(a.stage(0).process_calls(), stopped_at); // no calls while stopped
    a.set_transport(true);
    ASSERT_TRUE(tk_test::poll_until([&] { return a.cycles() >= 80; }));
    ASSERT_TRUE(a.swap_positions(0, 1)); // applied between two cycles
    EXPECT_EQ(a.stage_at(0), 1);
    a.idle();
    a.stop();
    EXPECT_FALSE(a.running());
}

TEST(HostChain, RestartRequestsAreServedAlsoWhileRunning) {
    // Tervik asks for a restart when its Lookahead changes; the host deactivates and
    // activates again, after which the latency follows the new setting.
    tk_test::ScopedSegment seg;
    HostLib lib;
    ASSERT_TRUE(lib.load(TERVIK_CLAP_PATH)) << lib.error();
    HostInstance h(lib);
    ASSERT_TRUE(h.create_and_init());
    ASSERT_TRUE(h.activate(48000, 1, 256));
    uint32_t la = 0;
    ASSERT_TRUE(h.find_param("Lookahead", &la));
    uint32_t before = h.latency();
    Buf b(2, 256);
    h.post_param(la, 5.0);
    for (int i = 0; i < 3 && !h.callback_requested(); i++)
        h.process(b.p(), b.p(), 2, 256);
    ASSERT_TRUE(h.callback_requested());
    for (int i = 0; i < 3 && h.restarts_done() == 0; i++)
        h.idle();
    EXPECT_EQ(h.restarts_done(), 1u);
    EXPECT_TRUE(h.active());
    EXPECT_NE(h.latency(), before);
    EXPECT_EQ(h.count_calls("request_restart"), 1u);

    Chain chain(2);
    ASSERT_TRUE(chain.create(lib, 2));
    ASSERT_TRUE(chain.activate(48000, 1, 128));
    ASSERT_TRUE(chain.start(128, false));
    chain.post_param(1, la, 3.0);
    for (int i = 0; i < 20000 && chain.stage(1).restarts_done() == 0; i++) {
        chain.idle();
        usleep(500);
    }
    EXPECT_EQ(chain.stage(1).restarts_done(), 1u);
    EXPECT_EQ(chain.stage(0).restarts_done(), 0u);
    uint64_t c = chain.cycles();
    ASSERT_TRUE(tk_test::poll_until([&] { return chain.cycles() >= c + 5; }, 20000,
                                    200)); // processing goes on after the restart
    chain.stop();
    EXPECT_TRUE(chain.stage(1).active());
    chain.clear();
}
