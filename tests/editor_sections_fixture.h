// Fixture of the section painter tests: an owner and stages with real slots in a private
// shared segment, an editor record without a NanoVG context showing them as its chain, and
// helpers to find the hit targets a painter recorded.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "editor/draw.h"
#include "editor/sections.h"
#include "editor/ui.h"
#include "params/params.h"
#include "registry/shared.h"
#include "registry/testing/registry_testing.h"
#include "sys/sys.h"
#include "tests/util/stage_slot.h"
#include "tests/util/testutil.h"

namespace sections_test {

// What the editor record is bound to: the owner's slot and preferences.
struct Owner {
    SharedSlot *slot = nullptr;
    EditorPrefs prefs = editor_prefs_default();
};

class SectionsFixture : public ::testing::Test {
  protected:
    tk_test::ScopedSegment seg_{"sections"};
    Owner *owner = nullptr;
    Ui *ui = nullptr;
    std::vector<SharedSlot *> stages; // stages[0] is the owner's slot

    void SetUp() override {
        shared_test_reset();
        owner = new Owner;
        ui = (Ui *)calloc(1, sizeof(Ui));
        ASSERT_TRUE(ui);
        owner->slot = add_stage();
        ASSERT_NE(owner->slot, nullptr);
        ASSERT_TRUE(shared_mapped()) << "the stages must live in the test's segment";
        EditorOwner bound{nullptr, owner->slot, &owner->prefs, nullptr, 0.0, nullptr, nullptr};
        ui_bind(ui, &bound);
        ui->input.hover_a = ui->input.hover_b = -1;
        ui->win.view_w = 960;
        ui->win.view_h = 600;
        ui->meters.m_in = MeterBall{-100.f, -100.f, 0.0};
        ui->meters.m_out = MeterBall{-100.f, -100.f, 0.0};
    }

    void TearDown() override {
        for (SharedSlot *s : stages)
            shared_release(s);
        stages.clear();
        free(ui);
        delete owner;
        shared_test_reset();
    }

    SharedSlot *add_stage() {
        SharedSlot *s = tk_test::claim_stage_slot();
        if (!s) return nullptr;
        shm_store(s->meters.meter_gain, 1.0f);
        stages.push_back(s);
        return s;
    }

    // Owner plus n - 1 further stages as the editor's chain, positions 1..n, all recent.
    void make_chain(int n) {
        while ((int)stages.size() < n)
            ASSERT_NE(add_stage(), nullptr);
        ui->chain.chain_len = n;
        for (int i = 0; i < n; i++) {
            ui->chain.chain[i].slot = stages[(size_t)i];
            ui->chain.chain[i].pos = (uint32_t)i + 1;
            ui->chain.chain[i].manual = 0;
            ui->chain.chain[i].recent = 1;
        }
    }

    void set(SharedSlot *s, int row, double v) { shm_store(s->values[row], v); }

    // The painters run as in a frame: the hit list starts empty.
    void begin_frame() { ui->input.hit_count = 0; }

    std::vector<Hit> hits_of(int kind) const {
        std::vector<Hit> out;
        for (int i = 0; i < ui->input.hit_count; i++)
            if (ui->input.hits[i].kind == kind) out.push_back(ui->input.hits[i]);
        return out;
    }

    const Hit *hit(int kind, int a, int b) const {
        for (int i = 0; i < ui->input.hit_count; i++)
            if (ui->input.hits[i].kind == kind && ui->input.hits[i].a == a && ui->input.hits[i].b == b)
                return &ui->input.hits[i];
        return nullptr;
    }
};

} // namespace sections_test
