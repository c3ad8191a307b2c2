// Fixture for tests of the real Tervik.clap in the real host library: its own segment,
// the library loaded with dlopen, instances, and the test's own view of the stage's slot.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "host/host.h"
#include "registry/shared.h"
#include "registry/testing/registry_testing.h"
#include "tests/util/testutil.h"

class ClapTest : public ::testing::Test {
  protected:
    void SetUp() override {
        shared_test_reset();
        ASSERT_TRUE(lib.load(TERVIK_CLAP_PATH)) << lib.error();
    }
    void TearDown() override {
        instances.clear();
        lib.unload();
        shared_test_reset();
    }

    // A created and initialised instance (owned by the fixture).
    HostInstance *make(const HostOptions &opt = HostOptions()) {
        instances.push_back(std::make_unique<HostInstance>(lib, opt));
        HostInstance *h = instances.back().get();
        EXPECT_TRUE(h->create_and_init()) << h->error();
        h->clear_calls();
        return h;
    }

    // The instance's identity, from the start of its state blob.
    static uint64_t uid_of(HostInstance *h) {
        std::vector<uint8_t> blob;
        if (!h->state_save(&blob) || blob.size() < 16) return 0;
        uint64_t uid;
        memcpy(&uid, blob.data() + 8, 8);
        return uid;
    }

    // The instance's slot as this test process sees the segment (not through the plug-in).
    static SharedSlot *slot_of(HostInstance *h) {
        uint64_t uid = uid_of(h);
        for (int i = 0; i < shared_max(); i++) {
            SharedSlot *s = shared_at(i);
            if (s && shm_load(s->ident.uid) == uid) return s;
        }
        return nullptr;
    }

    double value(HostInstance *h, uint32_t id) {
        double v = -12345;
        EXPECT_TRUE(h->param_value(id, &v));
        return v;
    }

    tk_test::ScopedSegment seg;
    HostLib lib;
    std::vector<std::unique_ptr<HostInstance>> instances;
};

// Stereo buffers for process calls.
struct Stereo {
    explicit Stereo(uint32_t n, float v = 0.0f) : l(n, v), r(n, v) {
        ptr[0] = l.data();
        ptr[1] = r.data();
    }
    std::vector<float> l, r;
    float *ptr[2];
    float *const *p() { return ptr; }
};
