// Fixture of the chain operation tests: stages with real slots in a private shared segment,
// the first of them the owner's, shown as the chain of a chain view, with the owner's
// chain history and preferences, and edit-queue readers.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "chainops/chain_gain.h"
#include "chainops/chain_view.h"
#include "chainops/factory.h"
#include "chainops/history.h"
#include "params/params.h"
#include "registry/shared.h"
#include "registry/testing/registry_testing.h"
#include "sys/sys.h"
#include "tests/util/stage_slot.h"
#include "tests/util/testutil.h"

namespace chainops_test {

struct Edit {
    uint32_t id;
    uint32_t kind;
    double value;
};

class ChainFixture : public ::testing::Test {
  protected:
    tk_test::ScopedSegment seg_;
    tk_test::ScopedPresetDir dir_;
    ChainView *view = nullptr;       // the chain shown; view->own_slot is the owner's
    ChainHistory *history = nullptr; // the owner's
    GainPrefs *gain = nullptr;       // the owner's
    PresetList *presets = nullptr;
    LoudHold loud{};
    ChainOps *ops = nullptr; // all of the above
    DragStages drag{};
    std::vector<SharedSlot *> stages; // stages[0] is the owner's slot

    void SetUp() override {
        shared_test_reset();
        view = (ChainView *)calloc(1, sizeof(ChainView));
        history = (ChainHistory *)calloc(1, sizeof(ChainHistory));
        gain = (GainPrefs *)calloc(1, sizeof(GainPrefs));
        presets = (PresetList *)calloc(1, sizeof(PresetList));
        ops = (ChainOps *)calloc(1, sizeof(ChainOps));
        ASSERT_TRUE(view && history && gain && presets && ops);
        gain->target_idx = 1;
        gain->target_custom = -16.0;
        view->own_slot = add_stage();
        ASSERT_NE(view->own_slot, nullptr);
        ASSERT_TRUE(shared_mapped()) << "the stages must live in the test's segment";
        view->focus = -1;
        *ops = ChainOps{view, history, gain, presets, &loud, 0};
    }

    void TearDown() override {
        for (SharedSlot *s : stages)
            shared_release(s);
        stages.clear();
        free(ops);
        free(presets);
        free(gain);
        free(history);
        free(view);
        shared_test_reset();
    }

    // Claims a slot with a fresh identity and the parameter defaults, as an instance does.
    SharedSlot *add_stage() {
        SharedSlot *s = tk_test::claim_stage_slot();
        if (!s) return nullptr;
        stages.push_back(s);
        return s;
    }

    // Owner plus n - 1 further stages, shown as the editor's chain in that order.
    void make_chain(int n) {
        while ((int)stages.size() < n)
            ASSERT_NE(add_stage(), nullptr);
        std::vector<SharedSlot *> c(stages.begin(), stages.begin() + n);
        show(c);
    }

    void show(const std::vector<SharedSlot *> &c) {
        view->chain_len = (int)c.size();
        for (size_t i = 0; i < c.size(); i++) {
            view->chain[i].slot = c[i];
            view->chain[i].pos = (uint32_t)i + 1;
            view->chain[i].manual = 0;
            view->chain[i].recent = 0;
        }
    }

    static double val(SharedSlot *s, int index) { return shm_load(s->values[index]); }
    static void set(SharedSlot *s, int index, double v) { shm_store(s->values[index], v); }

    // Takes every entry posted to the slot's edit queue, as the owner's drain would.
    static std::vector<Edit> drain(SharedSlot *s) {
        std::vector<Edit> out;
        uint32_t w = shm_load(s->edits.edit_write);
        for (uint32_t r = shm_load(s->edits.edit_read); r != w; r++) {
            const EditEntry &e = s->edits.edit_queue[r % EDIT_QUEUE_LEN];
            out.push_back(Edit{e.id, e.kind, e.value});
        }
        shm_store(s->edits.edit_read, w);
        return out;
    }

    void drain_all() {
        for (SharedSlot *s : stages)
            drain(s);
        for (SharedSlot *s : stages)
            shm_store(s->pending, 0u);
    }

    // Checks that the queue holds exactly one begin, value, end per (index, value) in
    // order, and that the remote owner was asked for a flush and a dirty state.
    static void expect_edits(SharedSlot *s, const std::vector<std::pair<int, double>> &changes) {
        std::vector<Edit> q = drain(s);
        ASSERT_EQ(q.size(), changes.size() * 3);
        for (size_t i = 0; i < changes.size(); i++) {
            uint32_t id = PARAMS[changes[i].first].id;
            double v = param_clamp(changes[i].first, changes[i].second);
            EXPECT_EQ(q[3 * i].id, id);
            EXPECT_EQ(q[3 * i].kind, (uint32_t)EDIT_BEGIN);
            EXPECT_EQ(q[3 * i + 1].id, id);
            EXPECT_EQ(q[3 * i + 1].kind, (uint32_t)EDIT_VALUE);
            EXPECT_NEAR(q[3 * i + 1].value, v, 1e-9) << "change " << i << " of id " << id;
            EXPECT_EQ(q[3 * i + 2].id, id);
            EXPECT_EQ(q[3 * i + 2].kind, (uint32_t)EDIT_END);
        }
        if (!changes.empty()) {
            EXPECT_EQ(shm_load(s->pending), PENDING_FLUSH | PENDING_DIRTY);
        }
        shm_store(s->pending, 0u);
    }

    static void expect_no_edits(SharedSlot *s) {
        EXPECT_TRUE(drain(s).empty());
        EXPECT_EQ(shm_load(s->pending), 0u);
    }
};

} // namespace chainops_test
