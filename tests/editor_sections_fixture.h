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
#include "plugin/plugin.h"
#include "registry/shared.h"
#include "sys/sys.h"
#include "tests/util/testutil.h"

namespace sections_test {

class SectionsFixture : public ::testing::Test {
  protected:
    tk_test::ScopedSegment seg_{"sections"};
    Plugin *owner = nullptr;
    Ui *ui = nullptr;
    std::vector<SharedSlot *> stages; // stages[0] is the owner's slot

    void SetUp() override {
        shared_test_reset();
        owner = (Plugin *)calloc(1, sizeof(Plugin));
        ui = (Ui *)calloc(1, sizeof(Ui));
        ASSERT_TRUE(owner && ui);
        owner->target_idx = 1;
        owner->target_custom = -16.0;
        owner->show_controls = 1;
        owner->slot = add_stage();
        ASSERT_NE(owner->slot, nullptr);
        ASSERT_TRUE(shared_mapped()) << "the stages must live in the test's segment";
        ui->owner = owner;
        ui->focus = -1;
        ui->hover_a = ui->hover_b = -1;
        ui->view_w = 960;
        ui->view_h = 600;
        ui->m_in = MeterBall{-100.f, -100.f, 0.0};
        ui->m_out = MeterBall{-100.f, -100.f, 0.0};
    }

    void TearDown() override {
        for (SharedSlot *s : stages) shared_release(s);
        stages.clear();
        free(ui);
        free(owner);
        shared_test_reset();
    }

    SharedSlot *add_stage() {
        SharedSlot *s = shared_acquire();
        if (!s) return nullptr;
        shm_store(s->ident.uid, sys_random_u64() | 1u);
        for (uint32_t i = 0; i < PARAM_COUNT; i++) shm_store(s->values[i], PARAMS[i].def);
        shm_store(s->meters.meter_gain, 1.0f);
        stages.push_back(s);
        return s;
    }

    // Owner plus n - 1 further stages as the editor's chain, positions 1..n, all recent.
    void make_chain(int n) {
        while ((int)stages.size() < n) ASSERT_NE(add_stage(), nullptr);
        ui->chain_len = n;
        for (int i = 0; i < n; i++) {
            ui->chain[i].slot = stages[(size_t)i];
            ui->chain[i].pos = (uint32_t)i + 1;
            ui->chain[i].manual = 0;
            ui->chain[i].recent = 1;
        }
    }

    void set(SharedSlot *s, int row, double v) { shm_store(s->values[row], v); }

    // The painters run as in a frame: the hit list starts empty.
    void begin_frame() { ui->hit_count = 0; }

    std::vector<Hit> hits_of(int kind) const {
        std::vector<Hit> out;
        for (int i = 0; i < ui->hit_count; i++)
            if (ui->hits[i].kind == kind) out.push_back(ui->hits[i]);
        return out;
    }

    const Hit *hit(int kind, int a, int b) const {
        for (int i = 0; i < ui->hit_count; i++)
            if (ui->hits[i].kind == kind && ui->hits[i].a == a && ui->hits[i].b == b) return &ui->hits[i];
        return nullptr;
    }
};

} // namespace sections_test
