// The device API calls of the boundary table: each entry calls one exported
// function on a record that names no usable device and says whether the
// result is that function's documented failure value.
#pragma once

#include <stdint.h>

#include <functional>
#include <vector>

#include "vizor/datatrans.h"
#include "vizor/vizor.h"

namespace vzt {

struct DeviceCall {
    const char *name;
    std::function<bool(vizor_dev_t *)> fails;
};

inline const std::vector<DeviceCall> &device_calls() {
    static uint8_t raw[64] = {};
    static float out[64] = {};
    static uint32_t regs[4] = {};
    static vizor_param_item_t items[2] = {};
    static vizor_frame_info_t info{};
    static const vizor_camera_param_t cam{1, 1, 1, 1, 1};
    static const std::vector<DeviceCall> calls = {
        {"dev_reset", [](vizor_dev_t *d) { return !vizor_dev_reset(d, 0); }},
        {"dev_get_drv", [](vizor_dev_t *d) { return vizor_dev_get_drv(d) == nullptr; }},
        {"reg_write", [](vizor_dev_t *d) { return !vizor_reg_batch_write(d, 1, 0, regs, 4); }},
        {"reg_read", [](vizor_dev_t *d) { return !vizor_reg_batch_read(d, 1, 0, regs, 4); }},
        {"param_set", [](vizor_dev_t *d) { return !vizor_param_batch_set(d, items, 2); }},
        {"param_set_null", [](vizor_dev_t *d) { return !vizor_param_batch_set(d, nullptr, 1); }},
        {"param_set_neg", [](vizor_dev_t *d) { return !vizor_param_batch_set(d, items, -1); }},
        {"param_get", [](vizor_dev_t *d) { return !vizor_param_batch_get(d, items, 2); }},
        {"param_get_null", [](vizor_dev_t *d) { return !vizor_param_batch_get(d, nullptr, 7); }},
        {"set_frame_buffer",
         [](vizor_dev_t *d) { return !vizor_cap_set_frame_buffer(d, nullptr, 1u << 24); }},
        {"get_frame_buffer",
         [](vizor_dev_t *d) {
             uint8_t *b = raw;
             uint32_t n = 1;
             return vizor_cap_get_frame_buffer(d, &b, &n) && !b && n == 0;
         }},
        {"on_frame_ready",
         [](vizor_dev_t *d) { return !vizor_cap_set_callback_on_frame_ready(d, nullptr); }},
        {"on_error", [](vizor_dev_t *d) { return !vizor_cap_set_callback_on_error(d, nullptr); }},
        {"is_ongoing", [](vizor_dev_t *d) { return !vizor_cap_is_ongoing(d); }},
        {"cap_start", [](vizor_dev_t *d) { return !vizor_cap_start(d); }},
        {"cap_stop", [](vizor_dev_t *d) { return !vizor_cap_stop(d); }},
        {"snapshot", [](vizor_dev_t *d) { return !vizor_cap_snapshot(d, raw, 64, &info); }},
        {"get_frames",
         [](vizor_dev_t *d) { return vizor_cap_get_frames(d, 1, raw, 64, &info) == -1; }},
        {"get_frames_huge",
         [](vizor_dev_t *d) { return vizor_cap_get_frames(d, UINT32_MAX, raw, 64, &info) == -1; }},
        {"get_frame", [](vizor_dev_t *d) { return vizor_cap_get_frame(d, raw, 64, &info) == -1; }},
        {"cap_wait", [](vizor_dev_t *d) { return !vizor_cap_wait(d, 10); }},
        {"get_distance",
         [](vizor_dev_t *d) { return vizor_frame_get_distance(d, out, 64, raw, -1, &info) == 0; }},
        {"get_gray",
         [](vizor_dev_t *d) { return vizor_frame_get_gray(d, out, 64, raw, 64, nullptr) == 0; }},
        {"get_pcl",
         [](vizor_dev_t *d) {
             return vizor_frame_get_pcl(d, out, 64, out, 4, 2, 2, nullptr) == 0;
         }},
        {"get_pcl_bad_size",
         [](vizor_dev_t *d) { return vizor_frame_get_pcl(d, out, 64, out, 4, -2, 2, &cam) == 0; }},
        {"get_pcl_xyzd",
         [](vizor_dev_t *d) {
             return vizor_frame_get_pcl_xyzd(d, nullptr, 64, out, 4, 2, 2, true, &cam) == 0;
         }},
        {"filter_enable",
         [](vizor_dev_t *d) { return vizor_filter_enable(d, 0, nullptr, 0) == -1; }},
        {"filter_disable", [](vizor_dev_t *d) { return vizor_filter_disable(d, 0) == -1; }},
        {"filter_enable_flying",
         [](vizor_dev_t *d) {
             return vizor_filter_enable(d, VIZOR_FILTER_FLYING_PIXELS, nullptr, 0) == -1;
         }},
        {"filter_disable_flying",
         [](vizor_dev_t *d) { return vizor_filter_disable(d, VIZOR_FILTER_FLYING_PIXELS) == -1; }},
        {"path_cfg", [](vizor_dev_t *d) { return vizor_path_cfg(d, nullptr) == -1; }},
        {"data_download",
         [](vizor_dev_t *d) { return vizor_data_download(d, "x.bin", 5, 1, 0) == -1; }},
        {"firmware_upgrade",
         [](vizor_dev_t *d) { return vizor_firmware_upgrade(d, 0, 1, nullptr) == -1; }},
        {"data_upload", [](vizor_dev_t *d) { return vizor_data_upload(d, 2, nullptr) == -1; }},
    };
    return calls;
}

}  // namespace vzt
