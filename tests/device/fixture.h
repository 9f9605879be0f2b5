// Device API tests on a virtual bus: the bus exists before any USB context,
// the log is captured, and helpers open the first camera.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/device.h"
#include "log_capture.h"
#include "resources.h"
#include "testutil.h"
#include "vcam/vcam.h"
#include "vizor/vizor.h"

namespace vzt {

inline int open_fd_count() { return fd_count(); }

inline int64_t elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 since)
        .count();
}

// A fault that strikes count times (0: until cleared) after `after` occurrences.
inline vcam::FaultSpec times(uint32_t count, uint32_t after = 0) {
    return vcam::FaultSpec{}.times(count).after(after);
}

constexpr uint32_t kFrameBytes = 320 * 240 * 4;

class DeviceTest : public ::testing::Test {
protected:
    explicit DeviceTest(const char *product = "VZ-T0-320") {
        cam = &bus.add_camera(1, 2, vcam::Speed::high, product);
    }
    ~DeviceTest() override {
        if (dev) vizor_dev_close(dev);
    }

    // Opens the camera at bus 1, port 2 into rec.
    vizor_dev_t *open() {
        vizor_dev_t list[4];
        if (vizor_dev_list(list, 4) < 1) return nullptr;
        rec = list[0];
        dev = vizor_dev_open(&rec);
        return dev;
    }

    vcam::Bus bus;
    LogCapture log;
    vcam::Camera *cam = nullptr;
    vizor_dev_t rec{};
    vizor_dev_t *dev = nullptr;
};

}  // namespace vzt
