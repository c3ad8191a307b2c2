// The state blob through the real Tervik.clap: byte layout, round trips into a new
// instance, every malformed blob refused or partially applied as designed, short streams,
// and a fuzz pass over random and truncated blobs.
#include <cmath>
#include <cstring>
#include <random>

#include "params/params.h"
#include "plugin_fixture.h"

namespace {

struct Blob {
    std::vector<uint8_t> b;
    Blob &raw(const char *s) {
        b.insert(b.end(), s, s + 4);
        return *this;
    }
    Blob &u32(uint32_t v) {
        for (int i = 0; i < 4; i++)
            b.push_back((uint8_t)(v >> (8 * i)));
        return *this;
    }
    Blob &u64(uint64_t v) {
        for (int i = 0; i < 8; i++)
            b.push_back((uint8_t)(v >> (8 * i)));
        return *this;
    }
    Blob &f64(double d) {
        uint64_t u;
        memcpy(&u, &d, 8);
        return u64(u);
    }
    Blob &param(uint32_t id, double v) { return u32(id).f64(v); }
    Blob &ui(uint32_t sc, uint32_t sg, uint32_t lm, uint32_t sp, uint32_t ti, double scale, double custom) {
        return raw("UI01").u32(sc).u32(sg).u32(lm).u32(sp).u32(ti).f64(scale).f64(custom);
    }
};

uint32_t rd32(const std::vector<uint8_t> &b, size_t at) {
    uint32_t v;
    memcpy(&v, b.data() + at, 4);
    return v;
}

double rdf(const std::vector<uint8_t> &b, size_t at) {
    double v;
    memcpy(&v, b.data() + at, 8);
    return v;
}

// The editor preferences as the blob of a saved instance shows them.
struct Prefs {
    uint32_t show_controls, show_grid, lufs_mode, spread, target_idx;
    double ui_scale, target_custom;
};
Prefs prefs_of(const std::vector<uint8_t> &b) {
    size_t k = b.size() - 40;
    return Prefs{rd32(b, k + 4),  rd32(b, k + 8), rd32(b, k + 12), rd32(b, k + 16),
                 rd32(b, k + 20), rdf(b, k + 24), rdf(b, k + 32)};
}

} // namespace

class StateTest : public ClapTest {
  protected:
    std::vector<uint8_t> save(HostInstance *h) {
        std::vector<uint8_t> b;
        EXPECT_TRUE(h->state_save(&b));
        return b;
    }
};

TEST_F(StateTest, FreshInstanceSavesTheDocumentedLayout) {
    HostInstance *h = make();
    std::vector<uint8_t> b = save(h);
    ASSERT_EQ(b.size(), 272u);
    EXPECT_EQ(memcmp(b.data(), "TKM1", 4), 0);
    EXPECT_EQ(rd32(b, 4), 1u);
    EXPECT_EQ(rd32(b, 16), 17u);
    const uint32_t ids[17] = {1, 2, 3, 4, 100, 101, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 17; i++) {
        EXPECT_EQ(rd32(b, 20 + 12 * i), ids[i]);
        EXPECT_EQ(rdf(b, 24 + 12 * i), PARAMS[i].def);
    }
    EXPECT_EQ(memcmp(b.data() + 224, "MIDI", 4), 0);
    EXPECT_EQ(rd32(b, 228), 0u);
    EXPECT_EQ(memcmp(b.data() + 232, "UI01", 4), 0);
    Prefs p = prefs_of(b);
    EXPECT_EQ(p.show_controls, 1u);
    EXPECT_EQ(p.show_grid, 0u);
    EXPECT_EQ(p.lufs_mode, 0u);
    EXPECT_EQ(p.spread, 0u);
    EXPECT_EQ(p.target_idx, 1u);
    EXPECT_EQ(p.ui_scale, 1.0);
    EXPECT_EQ(p.target_custom, -16.0);
}

TEST_F(StateTest, SavedBlobReloadsIntoANewInstance) {
    HostInstance *a = make();
    SharedSlot *sa = slot_of(a);
    InputEvents ev(8);
    ev.add_param(0, 2, 7.5);
    ev.add_param(0, 9, 3);
    ev.add_param(0, 101, 4);
    ASSERT_TRUE(a->flush(&ev));
    shm_store(sa->midi.midi_cc[13], 64);
    shm_store(sa->midi.midi_cc[1], 7);
    std::vector<uint8_t> b = save(a);
    ASSERT_EQ(b.size(), 272u + 16u); // two mappings
    EXPECT_EQ(rd32(b, 228), 2u);
    EXPECT_EQ(rd32(b, 232), 2u); // Gain first (index order)
    EXPECT_EQ(rd32(b, 236), 7u);
    EXPECT_EQ(rd32(b, 240), 12u); // Bypass
    EXPECT_EQ(rd32(b, 244), 64u);
    HostInstance *c = make();
    SharedSlot *sc = slot_of(c);
    ASSERT_NE(sc, nullptr);
    c->clear_calls();
    ASSERT_TRUE(c->state_load(b));
    EXPECT_EQ(value(c, 2), 7.5);
    EXPECT_EQ(value(c, 9), 3);
    EXPECT_EQ(value(c, 101), 4);
    EXPECT_EQ(uid_of(c), uid_of(a));
    EXPECT_EQ(shm_load(sc->ident.uid), shm_load(sa->ident.uid)); // two instances that load one blob share one uid
    EXPECT_EQ(shm_load(sc->midi.midi_cc[13]), 64);
    EXPECT_EQ(shm_load(sc->midi.midi_cc[1]), 7);
    EXPECT_EQ(shm_load(sc->midi.midi_cc[0]), -1);
    EXPECT_EQ(c->count_calls("rescan:1"), 1u);
    EXPECT_EQ(save(c), b);
}

TEST_F(StateTest, OpeningAProjectIsQuiet) {
    // The project as saved: values the host set, Bypass mapped to the sustain controller.
    HostInstance *a = make();
    InputEvents set(8);
    set.add_param(0, 2, 6.0);
    set.add_param(0, 3, -1.0);
    set.add_param(0, 9, 2.0);
    set.add_param(0, 15, 80.0);
    ASSERT_TRUE(a->flush(&set));
    shm_store(slot_of(a)->midi.midi_cc[13], 64);
    std::vector<uint8_t> project = save(a);
    // Opening it: a new stage loads the project, then the host plays; at playback start it
    // chases the controllers' last values (sustain off, which is where Bypass already is).
    HostInstance *b = make();
    ASSERT_TRUE(b->activate(48000, 1, 512));
    b->take_events();
    b->clear_calls();
    ASSERT_TRUE(b->state_load(project));
    EXPECT_EQ(value(b, 2), 6.0);
    InputEvents chase(4);
    chase.add_midi(0, 0xB0, 64, 0);
    Stereo buf(512, 0.1f);
    b->process(buf.p(), buf.p(), 2, 512, &chase);
    for (int i = 0; i < 20; i++)
        b->process(buf.p(), buf.p(), 2, 512);
    ASSERT_TRUE(b->flush(nullptr));
    // The host's main loop with the stage's own timer fired twice, as in 300 ms of it.
    for (int i = 0; i < 2; i++) {
        b->idle();
        b->fire_timers();
    }
    b->idle();
    std::vector<OutEvent> e = b->take_events();
    EXPECT_TRUE(e.empty()) << e.size() << " events, the first for parameter " << e[0].param_id;
    EXPECT_EQ(b->count_calls("mark_dirty"), 0u);
    EXPECT_EQ(b->count_calls("request_flush"), 0u);
}

TEST_F(StateTest, MalformedHeadersAreRefusedWithoutRescan) {
    HostInstance *h = make();
    std::vector<std::vector<uint8_t>> bad = {
        {},
        Blob().raw("TKM2").u32(1).u64(5).u32(0).b,
        Blob().raw("TKM1").u32(2).u64(5).u32(0).b,
        Blob().raw("TKM1").u32(1).u64(5).u32(1025).b,
        Blob().raw("TKM1").u32(1).u64(5).b,
        Blob().raw("TKM1").u32(1).u64(5).u32(2).param(2, 5.0).u32(3).b, // short inside records
    };
    for (size_t i = 0; i < bad.size(); i++) {
        h->clear_calls();
        EXPECT_FALSE(h->state_load(bad[i])) << i;
        EXPECT_EQ(h->count_calls("rescan:*"), 0u) << i;
    }
    // Values stored before the short read stay.
    EXPECT_EQ(value(h, 2), 5.0);
}

TEST_F(StateTest, PartialBlobsApplyWhatTheyHold) {
    HostInstance *h = make();
    SharedSlot *s = slot_of(h);
    uint64_t own = uid_of(h);
    shm_store(s->midi.midi_cc[4], 9);
    // n = 0 and no trailer: only the MIDI map is cleared; uid 0 keeps the identity.
    ASSERT_TRUE(h->state_load(Blob().raw("TKM1").u32(1).u64(0).u32(0).b));
    EXPECT_EQ(uid_of(h), own);
    EXPECT_EQ(shm_load(s->midi.midi_cc[4]), -1);
    // Stage 2.6 stores 3; id 999 skipped; clamped values.
    ASSERT_TRUE(h->state_load(Blob().raw("TKM1").u32(1).u64(0).u32(3).param(100, 2.6).param(999, 1).param(1, 99).b));
    EXPECT_EQ(value(h, 100), 3);
    EXPECT_EQ(value(h, 1), 24);
    // MIDI control 128 skipped; unknown id skipped.
    ASSERT_TRUE(h->state_load(
        Blob().raw("TKM1").u32(1).u64(0).u32(0).raw("MIDI").u32(3).u32(2).u32(128).u32(3).u32(5).u32(55).u32(6).b));
    EXPECT_EQ(shm_load(s->midi.midi_cc[1]), -1);
    EXPECT_EQ(shm_load(s->midi.midi_cc[2]), 5);
    // m = 18 ends the load: the UI chunk is not read.
    ASSERT_TRUE(
        h->state_load(Blob().raw("TKM1").u32(1).u64(0).u32(0).raw("MIDI").u32(18).ui(0, 1, 2, 2, 3, 2.0, -20).b));
    Prefs p = prefs_of(save(h));
    EXPECT_EQ(p.show_grid, 0u);
    // A UI chunk without a MIDI chunk is not read.
    ASSERT_TRUE(h->state_load(Blob().raw("TKM1").u32(1).u64(0).u32(0).ui(0, 1, 2, 2, 3, 2.0, -20).b));
    p = prefs_of(save(h));
    EXPECT_EQ(p.show_grid, 0u);
    EXPECT_EQ(p.show_controls, 1u);
    // Good preferences apply; out-of-range ones take their defaults.
    ASSERT_TRUE(
        h->state_load(Blob().raw("TKM1").u32(1).u64(0).u32(0).raw("MIDI").u32(0).ui(0, 7, 2, 1, 3, 2.0, -20).b));
    p = prefs_of(save(h));
    EXPECT_EQ(p.show_controls, 0u);
    EXPECT_EQ(p.show_grid, 1u);
    EXPECT_EQ(p.lufs_mode, 2u);
    EXPECT_EQ(p.spread, 1u);
    EXPECT_EQ(p.target_idx, 3u);
    EXPECT_EQ(p.ui_scale, 2.0);
    EXPECT_EQ(p.target_custom, -20.0);
    ASSERT_TRUE(
        h->state_load(Blob().raw("TKM1").u32(1).u64(0).u32(0).raw("MIDI").u32(0).ui(1, 0, 3, 9, 7, 3.0, -45).b));
    p = prefs_of(save(h));
    EXPECT_EQ(p.lufs_mode, 0u);
    EXPECT_EQ(p.spread, 0u);
    EXPECT_EQ(p.target_idx, 1u);
    EXPECT_EQ(p.ui_scale, 1.0);
    EXPECT_EQ(p.target_custom, -16.0);
    ASSERT_TRUE(h->state_load(
        Blob().raw("TKM1").u32(1).u64(0).u32(0).raw("MIDI").u32(0).ui(1, 0, 0, 0, 0, std::nan(""), std::nan("")).b));
    p = prefs_of(save(h));
    EXPECT_EQ(p.ui_scale, 1.0);
    EXPECT_EQ(p.target_custom, -16.0);
    EXPECT_EQ(p.target_idx, 0u);
    // A UI chunk cut short applies nothing of it.
    std::vector<uint8_t> cut = Blob().raw("TKM1").u32(1).u64(0).u32(0).raw("MIDI").u32(0).ui(1, 1, 1, 1, 1, 1.5, -10).b;
    cut.resize(cut.size() - 3);
    ASSERT_TRUE(h->state_load(cut));
    p = prefs_of(save(h));
    EXPECT_EQ(p.show_grid, 0u);
    EXPECT_EQ(p.ui_scale, 1.0);
}

TEST_F(StateTest, StreamsMovingFewBytesPerCallWork) {
    HostInstance *a = make();
    InputEvents ev(2);
    ev.add_param(0, 3, -2.5);
    ASSERT_TRUE(a->flush(&ev));
    StreamLimits one;
    one.max_chunk = 1;
    std::vector<uint8_t> b;
    StreamStats st;
    ASSERT_TRUE(a->state_save(&b, one, &st));
    EXPECT_EQ(b.size(), 272u);
    EXPECT_EQ(st.calls, 272u);
    HostInstance *c = make();
    ASSERT_TRUE(c->state_load(b, one));
    EXPECT_EQ(value(c, 3), -2.5);
    // A stream that fails part-way: save reports failure; load keeps what it applied.
    for (int64_t res : {(int64_t)-1, (int64_t)0}) {
        StreamLimits fail;
        fail.fail_after = 100;
        fail.fail_result = res;
        std::vector<uint8_t> part;
        EXPECT_FALSE(a->state_save(&part, fail));
        EXPECT_EQ(part.size(), 100u);
    }
}

TEST_F(StateTest, RandomAndTruncatedBlobsNeverBreakTheStage) {
    HostInstance *h = make();
    SharedSlot *s = slot_of(h);
    std::vector<uint8_t> good = save(h);
    std::mt19937 rng(1234);
    for (int iter = 0; iter < 4000; iter++) {
        std::vector<uint8_t> b;
        int mode = iter % 4;
        if (mode == 0) { // truncated good blob
            b.assign(good.begin(), good.begin() + (long)(rng() % (good.size() + 1)));
        } else if (mode == 1) { // flipped bytes in a good blob
            b = good;
            for (int k = 0; k < 6; k++)
                b[rng() % b.size()] ^= (uint8_t)(1u << (rng() % 8));
        } else if (mode == 2) { // valid header, random records
            Blob x;
            x.raw("TKM1").u32(1).u64(rng()).u32(rng() % 40);
            size_t n = rng() % 600;
            for (size_t k = 0; k < n; k++)
                x.b.push_back((uint8_t)rng());
            b = x.b;
        } else { // pure noise
            size_t n = rng() % 400;
            for (size_t k = 0; k < n; k++)
                b.push_back((uint8_t)rng());
            if (n >= 4 && (rng() & 1)) memcpy(b.data(), "TKM1", 4);
        }
        h->state_load(b);
        for (int i = 0; i < 17; i++) {
            double v = shm_load(s->values[i]);
            ASSERT_FALSE(std::isnan(v)) << iter;
            ASSERT_GE(v, PARAMS[i].min) << iter;
            ASSERT_LE(v, PARAMS[i].max) << iter;
            if (PARAMS[i].flags & PF_STEPPED) {
                ASSERT_EQ(v, std::floor(v)) << iter;
            }
            int32_t cc = shm_load(s->midi.midi_cc[i]);
            ASSERT_TRUE(cc >= -1 && cc <= 127) << iter;
        }
        Prefs p = prefs_of(save(h));
        ASSERT_LE(p.lufs_mode, 2u);
        ASSERT_LE(p.spread, 2u);
        ASSERT_LE(p.target_idx, 4u);
        ASSERT_TRUE(p.ui_scale >= 0.6 && p.ui_scale <= 2.5);
        ASSERT_TRUE(p.target_custom >= -40 && p.target_custom <= 0);
    }
}
