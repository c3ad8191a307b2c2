// The block pipeline through the real Tervik.clap (and, for gap rows, through the plug-in
// linked into the test so that time can be stepped): event timing within a block, history
// rows and gap rows, one-channel and in-place buffers, odd host input, the lookahead
// restart, MIDI learn and mapping, and the edit queue drained into host events.
#include <clap/entry.h>
#include <unistd.h>

#include <cmath>
#include <limits>

#include "params/edit_path.h"
#include "params/params.h"
#include "plugin_fixture.h"
#include "tests/util/stepped_clock.h"

namespace {

// Index of the first sample whose magnitude exceeds thr, or -1.
int first_above(const std::vector<float> &x, float thr) {
    for (size_t i = 0; i < x.size(); i++)
        if (std::fabs(x[i]) > thr) return (int)i;
    return -1;
}

} // namespace

class ProcessTest : public ClapTest {
  protected:
    void SetUp() override {
        ClapTest::SetUp();
        h = make();
        ASSERT_TRUE(h->activate(48000, 1, 512));
        s = slot_of(h);
        ASSERT_NE(s, nullptr);
    }
    HostInstance *h = nullptr;
    SharedSlot *s = nullptr;
};

TEST_F(ProcessTest, EventsTakeEffectAtTheirSamplePositions) {
    // A constant input and Ceiling -6 dB make the wet output a steady 0.25 against a dry 0.5;
    // a Mix event then moves the output from the very sample at which it takes effect.
    Stereo in(512, 0.5f), out(512);
    InputEvents prime(2);
    prime.add_param(0, 3, -6.0206);
    h->process(in.p(), out.p(), 2, 512, &prime);
    for (int i = 0; i < 20; i++)
        h->process(in.p(), out.p(), 2, 512);
    const float steady = out.l[511];
    EXPECT_NEAR(steady, 0.25f, 1e-4);
    for (int i = 0; i < 512; i++)
        ASSERT_EQ(out.l[i], steady);
    // Time 0: before the first sample.
    InputEvents ev(8);
    ev.add_param(0, 15, 0.0);
    h->process(in.p(), out.p(), 2, 512, &ev);
    EXPECT_GT(out.l[0], steady);
    EXPECT_EQ(value(h, 15), 0.0);
    // Back to a steady wet output, then two events at time 100 and one beyond the block.
    ev.clear();
    ev.add_param(0, 15, 100.0);
    h->process(in.p(), out.p(), 2, 512, &ev);
    for (int i = 0; i < 20; i++)
        h->process(in.p(), out.p(), 2, 512);
    ASSERT_EQ(out.l[511], steady);
    ev.clear();
    ev.add_param(100, 15, 0.0);
    ev.add_param(100, 1, 3.0);
    ev.add_param(700, 2, 6.0);
    h->process(in.p(), out.p(), 2, 512, &ev);
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(out.l[i], steady) << i;
    EXPECT_NE(out.l[100], steady);
    EXPECT_EQ(value(h, 1), 3.0);
    EXPECT_EQ(value(h, 2), 6.0); // applied after the last piece
}

TEST_F(ProcessTest, MixZeroFromTheStartIsTheExactlyDelayedDryInput) {
    InputEvents ev(2);
    ev.add_param(0, 15, 0.0);
    ev.add_param(0, 2, 12.0); // heavy limiting on the wet path, which Mix 0 leaves out
    Stereo q(64);
    h->process(q.p(), q.p(), 2, 64, &ev);
    h->reset(); // the smoothers now stand at their targets
    Stereo in(1024), out(1024);
    for (int i = 0; i < 1024; i++)
        in.l[i] = in.r[i] = (float)(0.9 * std::sin(i * 0.05));
    h->process(in.p(), out.p(), 2, 1024);
    for (int i = 0; i < 80; i++)
        ASSERT_EQ(out.l[i], 0.0f);
    for (int i = 80; i < 1024; i++)
        ASSERT_EQ(out.l[i], in.l[i - 80]) << i;
}

TEST_F(ProcessTest, HistoryRowsFollowTheFrameCount) {
    Stereo a(130, 0.1f), b(62, 0.1f);
    h->process(a.p(), a.p(), 2, 130);
    EXPECT_EQ(shm_load(s->history.hist_count), 2u);
    h->process(b.p(), b.p(), 2, 62);
    EXPECT_EQ(shm_load(s->history.hist_count), 3u); // 2 left over + 62 = 64
    EXPECT_EQ(shm_load(s->meters.block_frames), 62u);
    EXPECT_EQ(shm_load(s->meters.block_max), 130u);
    EXPECT_EQ(shm_load(s->calls.ring_count), 2u);
    EXPECT_GT(shm_load(s->history.hist_time), 0u);
    // Rows carry the input as it would reach the output, and the output true peak.
    const tervik_plugin_debug_t *dbg = h->debug_ext();
    EXPECT_GT(dbg->history(h->plugin(), 1, 0), 0.0);
    EXPECT_EQ(dbg->history(h->plugin(), 0, 0), 1.0); // no reduction
}

// The same pipeline with the plug-in linked into this test program, so that it reads this
// program's clock: pauses between calls are stepped, not slept.
class SteppedProcessTest : public ClapTest {
  protected:
    void SetUp() override {
        shared_test_reset();
        ASSERT_TRUE(lib.load_linked(&clap_entry, TERVIK_CLAP_PATH)) << lib.error();
        h = make();
        ASSERT_TRUE(h->activate(48000, 1, 512));
        s = slot_of(h);
        ASSERT_NE(s, nullptr);
    }
    HostInstance *h = nullptr;
    SharedSlot *s = nullptr;
    tk_test::SteppedClock clock;
};

TEST_F(SteppedProcessTest, PausesBecomeGapRows) {
    Stereo b(480, 0.1f);
    // A 200 ms pause: no gap.
    h->process(b.p(), b.p(), 2, 480);
    clock.step_ms(200);
    uint32_t before = shm_load(s->history.hist_count);
    h->process(b.p(), b.p(), 2, 480);
    EXPECT_EQ(shm_load(s->history.hist_count), before + 8u); // 32 left over + 480 = 8 rows
    EXPECT_EQ(shm_load(s->history.hist_gap), -1);
    // A 1 s pause with the host's sample clock: exactly 742 gap rows (47520 frames / 64).
    ProcessArgs pa;
    pa.in = b.p();
    pa.out = b.p();
    pa.frames = 480;
    pa.steady_time = 0;
    h->process(pa);
    clock.step_ms(1000);
    uint32_t start = shm_load(s->history.hist_count);
    pa.steady_time = 48000;
    h->process(pa);
    EXPECT_EQ(shm_load(s->history.hist_gap), (int32_t)start);
    uint32_t rows = shm_load(s->history.hist_count) - start;
    EXPECT_GE(rows, 742u);
    EXPECT_LE(rows, 742u + 8u);
    for (uint32_t k = start; k < start + 742; k++) {
        uint32_t i = k & 8191;
        ASSERT_EQ(shm_load(s->history.hist_in[i]), -1.0f) << k;
        ASSERT_EQ(shm_load(s->history.hist_gain[i]), 1.0f);
        ASSERT_EQ(shm_load(s->history.hist_lufs[i]), -100.0f);
    }
    // Without a sample clock the wall clock decides: about 742 rows for about a second.
    h->set_steady_none(true);
    h->process(b.p(), b.p(), 2, 480);
    clock.step_ms(1000);
    start = shm_load(s->history.hist_count);
    h->process(b.p(), b.p(), 2, 480);
    EXPECT_EQ(shm_load(s->history.hist_gap), (int32_t)start);
    rows = shm_load(s->history.hist_count) - start;
    EXPECT_GE(rows, 742u);
    EXPECT_LE(rows, 800u);
}

TEST_F(ProcessTest, OneChannelOutputWorksTheRightChannelInScratch) {
    std::vector<float> mono(512, 0.25f), outm(512);
    float *in1[1] = {mono.data()};
    float *out1[1] = {outm.data()};
    InputEvents ev(2);
    ev.add_param(0, 15, 0.0);
    ProcessArgs a;
    a.in = in1;
    a.in_channels = 1;
    a.out = out1;
    a.out_channels = 1;
    a.frames = 512;
    a.events = &ev;
    h->process(a);
    EXPECT_EQ(outm[79], 0.0f);
    EXPECT_GT(outm[80], 0.2f);
    // A host that exceeds its own maximum with a one-channel output: counted, processed,
    // and the scratch is never overrun (sanitizer builds would catch it).
    std::vector<float> big(40000, 0.25f), bigout(40000);
    float *bi[1] = {big.data()};
    float *bo[1] = {bigout.data()};
    a.in = bi;
    a.out = bo;
    a.frames = 40000;
    a.events = nullptr;
    h->process(a);
    EXPECT_EQ(shm_load(s->meters.block_over), 1u);
    EXPECT_EQ(shm_load(s->meters.block_max), 40000u);
    EXPECT_NEAR(bigout[39999], 0.25f, 1e-4); // Mix 0 by now: the dry input
    // In place, one channel in, two out.
    std::vector<float> l(256, 0.25f), r(256, 9.0f);
    float *o2[2] = {l.data(), r.data()};
    a.in = o2;
    a.in_channels = 1;
    a.out = o2;
    a.out_channels = 2;
    a.frames = 256;
    h->process(a);
    EXPECT_EQ(r[200], l[200]); // the right output got the left input
    EXPECT_NE(r[200], 9.0f);
}

TEST_F(ProcessTest, OddHostInputStillAppliesEvents) {
    InputEvents ev(4);
    ev.add_param(0, 2, 4.0);
    ProcessArgs a;
    a.frames = 0;
    a.events = &ev;
    Stereo b(64);
    a.in = b.p();
    a.out = b.p();
    uint32_t rc = shm_load(s->calls.ring_count);
    EXPECT_EQ(h->process(a), CLAP_PROCESS_CONTINUE); // zero frames
    EXPECT_EQ(value(h, 2), 4.0);
    a.frames = 64;
    float *nulls[2] = {nullptr, nullptr};
    a.out = nulls; // null channel pointers
    ev.clear();
    ev.add_param(0, 2, 5.0);
    h->process(a);
    EXPECT_EQ(value(h, 2), 5.0);
    a.out = b.p();
    a.out_ports = 0; // no output port (a missing input is silence: see MissingInputIsSilence)
    ev.clear();
    ev.add_param(0, 2, 6.0);
    h->process(a);
    EXPECT_EQ(value(h, 2), 6.0);
    a.out_ports = 1;
    a.out_channels = 0;
    h->process(a);
    a.out_channels = 2;
    EXPECT_EQ(shm_load(s->calls.ring_count), rc); // nothing processed: ring not advanced
    // Null and foreign-space events are skipped; short headers are ignored.
    ev.clear();
    ev.add_null();
    clap_event_param_value_t foreign{};
    foreign.header.size = sizeof foreign;
    foreign.header.space_id = 77;
    foreign.header.type = CLAP_EVENT_PARAM_VALUE;
    foreign.param_id = 2;
    foreign.value = 29;
    ev.add_raw(&foreign.header);
    clap_event_param_value_t shortev = foreign;
    shortev.header.space_id = 0;
    shortev.header.size = 16;
    ev.add_raw(&shortev.header);
    a.null_out_events = true;
    h->process(a);
    EXPECT_EQ(value(h, 2), 6.0);
    a.null_in_events = true;
    h->process(a);
    EXPECT_EQ(shm_load(s->calls.ring_count), rc + 2);
    // Inactive: events only.
    h->deactivate();
    ev.clear();
    ev.add_param(0, 2, 1.0);
    a.null_in_events = false;
    a.null_out_events = false;
    h->process(a);
    EXPECT_EQ(value(h, 2), 1.0);
}

TEST_F(ProcessTest, MissingInputIsSilenceAndEveryOutputChannelIsWritten) {
    const float stale = 2.985f; // +9.5 dBFS left in the host's output buffers
    std::vector<float> o0(64), o1(64), o2(64);
    float *outs[3] = {o0.data(), o1.data(), o2.data()};
    auto fill = [&] {
        for (std::vector<float> *v : {&o0, &o1, &o2})
            std::fill(v->begin(), v->end(), stale);
    };
    auto silent = [&](const std::vector<float> &v) {
        for (float x : v)
            if (x != 0.0f) return false;
        return true;
    };
    float *no_channels[2] = {nullptr, nullptr};
    Stereo in(64, 0.5f);
    struct Case {
        const char *what;
        float *const *in;
        uint32_t in_channels, in_ports;
    } cases[] = {
        {"null channel array", nullptr, 2, 1},
        {"null channel entries", no_channels, 2, 1},
        {"zero input channels", in.p(), 0, 1},
        {"no input port", in.p(), 2, 0},
    };
    for (const Case &c : cases) {
        fill();
        uint32_t rows = shm_load(s->history.hist_count), calls = shm_load(s->calls.ring_count);
        ProcessArgs a;
        a.in = c.in;
        a.in_channels = c.in_channels;
        a.in_ports = c.in_ports;
        a.out = outs;
        a.out_channels = 3;
        a.frames = 64;
        h->process(a);
        EXPECT_TRUE(silent(o0)) << c.what;
        EXPECT_TRUE(silent(o1)) << c.what;
        EXPECT_TRUE(silent(o2)) << c.what;
        // The stage ran: its meters and history go on.
        EXPECT_EQ(shm_load(s->calls.ring_count), calls + 1) << c.what;
        EXPECT_EQ(shm_load(s->history.hist_count), rows + 1) << c.what;
        EXPECT_EQ(shm_load(s->meters.meter_peak_in), 0.0f) << c.what;
    }
    // A third channel is zeroed behind real input too, and a block of audio followed by a
    // block without input drains the delay line: the click comes out 80 frames late.
    fill();
    in.l[0] = in.r[0] = 0.5f;
    std::fill(in.l.begin() + 1, in.l.end(), 0.0f);
    std::fill(in.r.begin() + 1, in.r.end(), 0.0f);
    ProcessArgs a;
    a.in = in.p();
    a.out = outs;
    a.out_channels = 3;
    a.frames = 64;
    h->process(a);
    EXPECT_TRUE(silent(o0)); // still inside the latency
    EXPECT_TRUE(silent(o2));
    fill();
    a.in = nullptr;
    h->process(a);
    EXPECT_EQ(first_above(o0, 0.1f), 16);
    EXPECT_EQ(first_above(o1, 0.1f), 16);
    EXPECT_TRUE(silent(o2));
    // A one-channel output without input: the stage's left channel, silent.
    fill();
    a.out_channels = 1;
    h->process(a);
    EXPECT_TRUE(silent(o0));
    EXPECT_EQ(o1[0], stale); // not the host's channel any more
}

TEST_F(ProcessTest, LookaheadChangeAsksForOneRestartAndWaitsForIt) {
    Stereo in(2048), out(2048);
    in.l[0] = in.r[0] = 0.5f;
    InputEvents ev(4);
    ev.add_param(0, 8, 3.0); // Lookahead 3 ms
    h->process(in.p(), out.p(), 2, 2048, &ev);
    EXPECT_EQ(first_above(out.l, 0.1f), 80); // old latency still in force
    EXPECT_EQ(h->latency(), 80u);
    // The lookahead is compared before the block's events apply: the next block asks.
    EXPECT_EQ(h->count_calls("request_callback"), 0u);
    Stereo in2(512), out2(512);
    h->process(in2.p(), out2.p(), 2, 512);
    EXPECT_EQ(h->count_calls("request_callback"), 1u);
    h->process(in2.p(), out2.p(), 2, 512);
    EXPECT_EQ(h->count_calls("request_callback"), 1u); // requested once
    // Until the next activate, every main-thread callback asks for the restart again.
    const clap_plugin_t *p = h->plugin();
    p->on_main_thread(p);
    p->on_main_thread(p);
    EXPECT_EQ(h->count_calls("request_restart"), 2u);
    h->idle(); // the host serves the callback and restarts
    EXPECT_EQ(h->restarts_done(), 1u);
    h->clear_calls();
    p->on_main_thread(p); // activate cleared the request
    EXPECT_EQ(h->count_calls("request_restart"), 0u);
    EXPECT_EQ(h->latency(), 152u);
    EXPECT_EQ(shm_load(s->engine.latency), 152u);
    Stereo in3(2048), out3(2048);
    in3.l[0] = in3.r[0] = 0.5f;
    h->process(in3.p(), out3.p(), 2, 2048);
    EXPECT_EQ(first_above(out3.l, 0.1f), 152);
    h->process(in3.p(), out3.p(), 2, 512);
    EXPECT_EQ(h->count_calls("request_callback"), 0u);
}

TEST_F(ProcessTest, LatencyBeforeActivationIsEstimatedAt48k) {
    HostInstance *g = make();
    EXPECT_EQ(g->latency(), 80u);
    InputEvents ev(2);
    ev.add_param(0, 8, 0.1);
    ASSERT_TRUE(g->flush(&ev));
    EXPECT_EQ(g->latency(), 13u); // trunc(4.8 + 0.5) + 8
    ASSERT_TRUE(g->activate(44100, 1, 64));
    EXPECT_EQ(g->latency(), 12u); // trunc(4.41 + 0.5) = 4, + 8
}

TEST_F(ProcessTest, PortsAndNotePorts) {
    EXPECT_EQ(h->audio_port_count(true), 1u);
    EXPECT_EQ(h->audio_port_count(false), 1u);
    clap_audio_port_info_t info;
    ASSERT_TRUE(h->audio_port(0, true, &info));
    EXPECT_STREQ(info.name, "Input");
    EXPECT_EQ(info.channel_count, 2u);
    EXPECT_EQ(info.flags, CLAP_AUDIO_PORT_IS_MAIN);
    EXPECT_STREQ(info.port_type, CLAP_PORT_STEREO);
    EXPECT_EQ(info.in_place_pair, 0u);
    ASSERT_TRUE(h->audio_port(0, false, &info));
    EXPECT_STREQ(info.name, "Output");
    EXPECT_FALSE(h->audio_port(1, false, &info));
    const clap_plugin_note_ports_t *np = h->note_ports_ext();
    ASSERT_NE(np, nullptr);
    EXPECT_EQ(np->count(h->plugin(), true), 1u);
    EXPECT_EQ(np->count(h->plugin(), false), 0u);
    clap_note_port_info_t ni;
    ASSERT_TRUE(np->get(h->plugin(), 0, true, &ni));
    EXPECT_STREQ(ni.name, "MIDI (learn)");
    EXPECT_EQ(ni.supported_dialects, 2u);
    EXPECT_EQ(ni.preferred_dialect, 2u);
    EXPECT_FALSE(np->get(h->plugin(), 0, false, &ni));
    EXPECT_FALSE(np->get(h->plugin(), 1, true, &ni));
}

TEST_F(ProcessTest, MidiLearnAndMapping) {
    Stereo b(64);
    auto midi = [&](uint8_t s0, uint8_t s1, uint8_t s2) {
        InputEvents ev(2);
        ev.add_midi(0, s0, s1, s2);
        h->process(b.p(), b.p(), 2, 64, &ev);
        return h->take_events();
    };
    // Nothing mapped: control changes and notes change nothing.
    EXPECT_TRUE(midi(0xB0, 7, 100).empty());
    EXPECT_TRUE(midi(0x90, 60, 100).empty());
    // Learn Mix to 64, then Bypass to 64: Mix is unmapped, the learning message changes nothing.
    h->debug_ext()->midi_learn(h->plugin(), 16);
    EXPECT_TRUE(midi(0xB3, 64, 127).empty());
    EXPECT_EQ(shm_load(s->midi.midi_cc[16]), 64);
    EXPECT_EQ(shm_load(s->midi.midi_learn), -1);
    h->debug_ext()->midi_learn(h->plugin(), 13);
    midi(0xB0, 64, 127);
    EXPECT_EQ(shm_load(s->midi.midi_cc[16]), -1);
    EXPECT_EQ(shm_load(s->midi.midi_cc[13]), 64);
    EXPECT_EQ(value(h, 12), 0.0);
    // Switch rows go by bit 64, on any channel; a value event goes to the host.
    std::vector<OutEvent> e = midi(0xBF, 64, 64);
    EXPECT_EQ(value(h, 12), 1.0);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].type, CLAP_EVENT_PARAM_VALUE);
    EXPECT_EQ(e[0].param_id, 12u);
    EXPECT_EQ(e[0].value, 1.0);
    midi(0xB0, 64, 63);
    EXPECT_EQ(value(h, 12), 0.0);
    // Continuous and stepped rows.
    shm_store(s->midi.midi_cc[2], 20);
    midi(0xB0, 20, 127);
    EXPECT_EQ(value(h, 3), 0.0);
    midi(0xB0, 20, 0);
    EXPECT_EQ(value(h, 3), -12.0);
    shm_store(s->midi.midi_cc[10], 21);
    midi(0xB0, 21, 64);
    EXPECT_EQ(value(h, 9), 3.0); // 2.52 rounds half up to 3
    // Out-of-range learn targets leave learning disarmed.
    h->debug_ext()->midi_learn(h->plugin(), 17);
    midi(0xB0, 30, 5);
    EXPECT_EQ(shm_load(s->midi.midi_cc[0]), -1);
    h->debug_ext()->midi_learn(h->plugin(), -7);
    midi(0xB0, 31, 5);
    for (int i = 0; i < 17; i++)
        EXPECT_NE(shm_load(s->midi.midi_cc[i]), 31);
}

TEST_F(ProcessTest, EditsPostedFromOutsideReachTheOwnersHostAsGestures) {
    h->clear_calls();
    // The test's own registry does not know the owner, so these take the remote path.
    plugin_edit_begin(s, 1);
    plugin_edit_value(s, 1, 4.5);
    plugin_edit_value(s, 1, 99); // clamped to 30
    plugin_edit_end(s, 1);
    EXPECT_EQ(value(h, 2), 30.0); // live in the slot at once
    EXPECT_EQ(shm_load(s->pending), PENDING_FLUSH | PENDING_DIRTY);
    Stereo b(64);
    h->process(b.p(), b.p(), 2, 64);
    std::vector<OutEvent> e = h->take_events();
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[0].type, CLAP_EVENT_PARAM_GESTURE_BEGIN);
    EXPECT_EQ(e[1].type, CLAP_EVENT_PARAM_VALUE);
    EXPECT_EQ(e[1].value, 4.5);
    EXPECT_EQ(e[2].value, 30.0);
    EXPECT_EQ(e[3].type, CLAP_EVENT_PARAM_GESTURE_END);
    for (const OutEvent &x : e) {
        EXPECT_EQ(x.param_id, 2u);
        EXPECT_EQ(x.time, 0u);
        EXPECT_EQ(x.size, x.type == CLAP_EVENT_PARAM_VALUE ? 56u : 20u);
    }
    EXPECT_EQ(h->count_calls("request_callback"), 1u);
    h->idle();
    std::vector<std::string> calls = h->take_calls();
    int dirty = -1, flush = -1;
    for (size_t i = 0; i < calls.size(); i++) {
        if (calls[i] == "mark_dirty" && dirty < 0) dirty = (int)i;
        if (calls[i] == "request_flush" && flush < 0) flush = (int)i;
    }
    EXPECT_GE(dirty, 0);
    EXPECT_GT(flush, dirty);
    // A flush call without input events still drains the queue.
    plugin_edit_begin(s, 0);
    plugin_edit_end(s, 0);
    ASSERT_TRUE(h->flush(nullptr));
    EXPECT_EQ(h->take_events().size(), 2u);
}

TEST_F(ProcessTest, FullQueueDeliversInOrderThenTheStagesValueAndCorruptCountersAreDropped) {
    for (int i = 0; i < 300; i++)
        plugin_edit_value(s, 0, -24.0 + i * 0.1);
    EXPECT_NEAR(value(h, 1), -24.0 + 299 * 0.1, 1e-9);
    Stereo b(64);
    h->process(b.p(), b.p(), 2, 64);
    std::vector<OutEvent> e = h->take_events();
    // Values fill the queue up to the room kept for gesture ends; the rest are dropped, and
    // the drain then sends the stage's value, so the host ends where the stage is.
    const size_t kept = EDIT_QUEUE_LEN - EDIT_END_ROOM;
    ASSERT_EQ(e.size(), kept + 1);
    for (size_t i = 0; i < kept; i++)
        ASSERT_NEAR(e[i].value, -24.0 + (double)i * 0.1, 1e-9);
    EXPECT_EQ(e[kept].param_id, 1u);
    EXPECT_EQ(e[kept].value, value(h, 1));
    // A corrupted write counter from another process: nothing is sent, the queue resyncs.
    shm_store(s->edits.edit_write, shm_load(s->edits.edit_read) + 3000000000u);
    h->process(b.p(), b.p(), 2, 64);
    EXPECT_TRUE(h->take_events().empty());
    EXPECT_EQ(shm_load(s->edits.edit_read), shm_load(s->edits.edit_write));
    // Garbage entries (unknown ids, unknown kinds) are skipped, the rest delivered; the value
    // of an entry that no poster stored into the slot is followed by the stage's own.
    uint32_t w = shm_load(s->edits.edit_write);
    s->edits.edit_queue[w % 256] = EditEntry{9999, 0, 1.0};
    s->edits.edit_queue[(w + 1) % 256] = EditEntry{2, 7, 1.0};
    s->edits.edit_queue[(w + 2) % 256] = EditEntry{2, 0, 12.0};
    shm_store(s->edits.edit_write, w + 3);
    h->process(b.p(), b.p(), 2, 64);
    e = h->take_events();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].value, 12.0);
    EXPECT_EQ(e[1].param_id, 2u);
    EXPECT_EQ(e[1].value, value(h, 2));
}

TEST_F(ProcessTest, DeadPosterHoldingTheEditLockDoesNotFreezeEditors) {
    shm_store(s->edits.edit_lock, 1u); // a poster died inside the critical section
    plugin_edit_begin(s, 1);           // returns after the stale lock is broken
    plugin_edit_end(s, 1);
    EXPECT_EQ(shm_load(s->edits.edit_lock), 0u);
    Stereo b(64);
    h->process(b.p(), b.p(), 2, 64);
    EXPECT_EQ(h->take_events().size(), 2u);
}

TEST_F(ProcessTest, LoudResetRestartsTheMeter) {
    Stereo b(4800);
    for (int i = 0; i < 4800; i++)
        b.l[i] = b.r[i] = (float)(0.5 * std::sin(2 * M_PI * 1000.0 * i / 48000.0));
    for (int i = 0; i < 10; i++) {
        Stereo o(4800);
        h->process(b.p(), o.p(), 2, 4800);
    }
    double li;
    ASSERT_TRUE(h->debug_meter(7, &li));
    EXPECT_GT(li, -20.0);
    shm_store(s->loud_reset, 1u);
    Stereo q(64);
    h->process(q.p(), q.p(), 2, 64);
    EXPECT_EQ(shm_load(s->loud_reset), 0u);
    ASSERT_TRUE(h->debug_meter(7, &li));
    EXPECT_EQ(li, -100.0);
}
