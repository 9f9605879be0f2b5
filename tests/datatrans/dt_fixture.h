// Data-transfer flows on the virtual camera: a virtual bus with one camera
// opened through the device API, the log captured, a private working
// directory, and the flows' clock and pauses replaced so that the erase
// bound and the waits after a write take no real time.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/device.h"
#include "datatrans/datatrans.h"
#include "ll/vcam_fixture.h"
#include "testutil.h"
#include "vizor/datatrans.h"

using Bytes = std::vector<uint8_t>;

// Records the pauses a flow asks for; each pause advances a fake clock by its
// length times scale.
struct FakeTiming {
    static inline std::vector<uint32_t> sleeps;
    static inline int64_t now = 0;
    static inline int64_t scale = 1;
    static inline std::function<void(uint32_t)> on_sleep;  // runs inside each pause

    FakeTiming() {
        sleeps.clear();
        now = 0;
        scale = 1;
        on_sleep = nullptr;
        old_ = vz::dt::set_timing({&sleep, &clock});
    }
    ~FakeTiming() {
        vz::dt::set_timing(old_);
        on_sleep = nullptr;
    }
    FakeTiming(const FakeTiming &) = delete;
    FakeTiming &operator=(const FakeTiming &) = delete;

    static void sleep(uint32_t ms) {
        sleeps.push_back(ms);
        now += int64_t(ms) * scale;
        if (on_sleep) on_sleep(ms);
    }
    static int64_t clock() { return now; }

private:
    vz::dt::Timing old_;
};

inline Bytes random_image(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto &x : b) x = uint8_t(rng());
    return b;
}

inline void write_file(const std::string &path, const Bytes &b) {
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    if (!b.empty()) {
        ASSERT_EQ(std::fwrite(b.data(), 1, b.size(), f), b.size());
    }
    std::fclose(f);
}

inline Bytes read_bytes(const std::string &path) {
    const std::string s = vzt::read_file(path);
    return Bytes(s.begin(), s.end());
}

class DataVcam : public ::testing::Test {
public:
    void SetUp() override {
        cam = &bus.add_camera(3, 2);
        vizor_dev_t list[2];
        ASSERT_EQ(vizor_dev_list(list, 2), 1);
        rec = list[0];
        ASSERT_EQ(vizor_dev_open(&rec), &rec);
        dev = &rec;
        ll = dev->ll;
        cam->fw().clear_command_log();
    }
    void TearDown() override {
        vizor_data_set_progress_cb(nullptr, nullptr);
        if (dev) vizor_dev_close(dev);
    }

    // Data-transfer commands the camera received (status reads left out).
    std::vector<vcam::CommandRecord> data_cmds(int action = -1, bool out_only = true) const {
        std::vector<vcam::CommandRecord> r;
        for (auto &c : cam->fw().command_log())
            if (c.request == VIZOR_REQ_DATA && (action < 0 || c.value == action) &&
                (!out_only || c.request_type == VIZOR_REQTYPE_WRITE))
                r.push_back(c);
        return r;
    }
    std::vector<vcam::CommandRecord> resets() const {
        std::vector<vcam::CommandRecord> r;
        for (auto &c : cam->fw().command_log())
            if (c.request == VIZOR_REQ_CFG && c.value == VIZOR_CFG_RESET) r.push_back(c);
        return r;
    }
    // An OUT command of the data-transfer request handed straight to the
    // camera's firmware, as if another host had sent it.
    void fw_out(uint16_t action, const Bytes &payload) {
        const uint8_t setup[8] = {VIZOR_REQTYPE_WRITE,
                                  VIZOR_REQ_DATA,
                                  uint8_t(action),
                                  uint8_t(action >> 8),
                                  0,
                                  0,
                                  uint8_t(payload.size()),
                                  uint8_t(payload.size() >> 8)};
        cam->fw().control(setup, payload, {});
    }
    // The image the camera holds for type (empty when none).
    Bytes flash(uint8_t type) const {
        auto img = cam->fw().image(type);
        return img ? img->bytes : Bytes{};
    }

    vcam::Bus bus;  // before any USB context
    LogCapture log;
    vzt::TempCwd cwd;
    FakeTiming timing;
    vcam::Camera *cam = nullptr;
    vizor_dev_t rec{};
    vizor_dev_t *dev = nullptr;  // the opened camera
    vizor_ll_t *ll = nullptr;    // its transport state
};
