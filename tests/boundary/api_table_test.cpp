// Every exported function of the device API, transport, stream, data
// transfer, drivers, colour map, lens and 3D math called with NULL, zeroed and
// out-of-range arguments: each answers with its documented failure value and
// nothing crashes (the suite also runs under ASan+UBSan). One table row per
// call; later groups add their rows here.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <stdexcept>
#include <vector>

#include "base/firewall.h"
#include "boundary/device_calls.h"
#include "log_capture.h"
#include "vizor/cmap.h"
#include "vizor/datatrans.h"
#include "vizor/drv.h"
#include "vizor/lens.h"
#include "vizor/ll.h"
#include "vizor/math3d.h"
#include "vizor/stream.h"
#include "vizor/vizor.h"

namespace {

struct Call {
    const char *name;
    std::function<bool()> fails;
};

// A zero-filled transport record, as a caller may pass one.
vizor_ll_usb_t g_usb{};
vizor_ll_t *const zll = reinterpret_cast<vizor_ll_t *>(&g_usb);
uint8_t g_bytes[64] = {};
uint32_t g_regs[4] = {};
vizor_ll_param_wire_t g_wire[2] = {};
double g_v[16] = {};
char g_text[8];

const std::vector<Call> &api_calls() {
    static const std::vector<Call> calls = {
        // device API without a device
        {"dev_list_null", [] { return vizor_dev_list(nullptr, 4) == 0; }},
        {"dev_list_neg",
         [] {
             vizor_dev_t l[1];
             return vizor_dev_list(l, -3) == 0;
         }},
        {"dev_open_by_fd", [] { return vizor_dev_open_by_fd(3) == nullptr; }},
        {"dev_close_null",
         [] {
             vizor_dev_close(nullptr);
             return true;
         }},
        {"raw2dist", [] { return vizor_raw2dist(nullptr, 4, g_bytes, 64) == 0; }},
        {"raw2gray", [] { return vizor_raw2gray(nullptr, -4, nullptr, -64) == 0; }},
        {"depth_to_pcl",
         [] { return vizor_depth_to_pcl(nullptr, 9, nullptr, 1, 1, nullptr) == 0; }},
        {"depth_to_pcl_size",
         [] {
             const vizor_camera_param_t p{1, 1, 1, 1, 1};
             float f[4] = {};
             return vizor_depth_to_pcl(f, 4, f, -1, 1 << 30, &p) == 0;
         }},
        {"cmap_float_null",
         [] { return vizor_cmap_float(nullptr, 30, nullptr, 10, 0, 0, 1) == 0; }},
        {"cmap_float_neg",
         [] {
             float f[1] = {};
             return vizor_cmap_float(g_bytes, -30, f, 1, 0, 0, 1) == 0;
         }},
        {"cmap_float_fmt",
         [] {
             float f[1] = {};
             return vizor_cmap_float(g_bytes, 30, f, 1, 77, 0, 1) == 0;
         }},
        {"save_distance", [] { return vizor_frame_save_distance(-1, 0, nullptr, 4, 2, 2) == 0; }},
        {"save_distance_size",
         [] { return vizor_frame_save_distance(-1, 0, nullptr, 4, -2, 2) == 0; }},
        {"save_gray", [] { return vizor_frame_save_gray(-1, 1, nullptr, 4, 2, 2) == 0; }},
        {"load_distance",
         [] { return vizor_frame_load_distance(-1, nullptr, 4, nullptr, nullptr) == 0; }},
        {"load_gray", [] { return vizor_frame_load_gray(-1, nullptr, -4, nullptr, nullptr) == 0; }},
        {"error_name", [] { return std::string(vizor_error_name(12345)) == "**UNKNOWN**"; }},
        {"log_enable_channel", [] { return vz_log_enable(9, 1, nullptr) == 0; }},
        {"log_null_format",
         [] {
             vz_log(VZ_LOG_ERR, nullptr, nullptr);
             return true;
         }},
        // transport
        {"ll_dev_list", [] { return vizor_ll_dev_list(nullptr, 3) == 0; }},
        {"ll_dev_open", [] { return vizor_ll_dev_open(nullptr) == nullptr; }},
        {"ll_dev_close",
         [] {
             vizor_ll_dev_close(nullptr);
             vizor_ll_dev_close(zll);
             return true;
         }},
        {"ll_dev_reset",
         [] { return !vizor_ll_dev_reset(nullptr, 0) && !vizor_ll_dev_reset(zll, 1); }},
        {"ll_exe_cmd",
         [] {
             return !vizor_ll_exe_cmd(nullptr, 1, 0, 0, g_bytes, 4, 10) &&
                    !vizor_ll_exe_cmd(zll, 0, 0, 0, nullptr, 4, 10);
         }},
        {"ll_check_last_cmd", [] { return !vizor_ll_check_last_cmd(zll, 0xC2, 0); }},
        {"ll_reg_write", [] { return !vizor_ll_reg_write(zll, 1, 0, nullptr, 65535); }},
        {"ll_reg_read", [] { return !vizor_ll_reg_read(zll, 1, 0, g_regs, 4); }},
        {"ll_param_set", [] { return !vizor_ll_param_set(zll, nullptr, -5); }},
        {"ll_param_get", [] { return !vizor_ll_param_get(nullptr, g_wire, 2); }},
        {"ll_event_loop",
         [] {
             return vizor_ll_event_loop(nullptr, 10, nullptr) < 0 &&
                    vizor_ll_event_loop(zll, -1, nullptr) < 0;
         }},
        {"ll_cap_start", [] { return !vizor_ll_cap_start(zll, 0); }},
        {"ll_cap_stop", [] { return !vizor_ll_cap_stop(nullptr); }},
        // stream
        {"stream_create", [] { return vz_stream_create(nullptr) == nullptr; }},
        {"stream_null",
         [] {
             vz_stream_cfg_t cfg{};
             vz_stream_state_t st{};
             vz_stream_destroy(nullptr);
             vz_stream_set_cfg(nullptr, &cfg);
             vz_stream_reset(nullptr);
             return vz_stream_get_cfg(nullptr, &cfg) == nullptr &&
                    vz_stream_get_state(nullptr, &st) == nullptr &&
                    vz_stream_fetch_frames(nullptr, g_bytes, 64, 1, nullptr, false) == 0 &&
                    vz_stream_feed_input(nullptr, g_bytes, 64) == 1;
         }},
        {"stream_bad_args",
         [] {
             vz_stream_cfg_t cfg{4};
             vz_stream_t *s = vz_stream_create(&cfg);
             const bool ok = vz_stream_get_cfg(s, nullptr) == nullptr &&
                             vz_stream_get_state(s, nullptr) == nullptr &&
                             vz_stream_feed_input(s, nullptr, 64) == 1 &&
                             vz_stream_feed_input(s, g_bytes, -64) == 1 &&
                             vz_stream_fetch_frames(s, nullptr, 0, UINT32_MAX, nullptr, true) == 0;
             vz_stream_destroy(s);
             return ok;
         }},
        // data transfer
        {"crc", [] { return al_data_calc_crc(nullptr, 5) == 0; }},
        {"send_action",
         [] {
             return al_data_send_action_info(nullptr, AL_ACT_ACK, g_bytes, nullptr) == -1 &&
                    al_data_send_action_info(zll, AL_ACT_DATA, nullptr, nullptr) == -1;
         }},
        {"read_action", [] { return al_data_read_action_info(zll, AL_ACT_ACK, nullptr) == 0; }},
        {"get_data_info", [] { return al_get_data_info(nullptr, 0, nullptr, 16) == 0; }},
        {"get_data_payload", [] { return al_get_data_payload(zll, nullptr, 450) == 0; }},
        {"build_file_buffer",
         [] {
             int n = 5;
             return al_data_build_file_buffer(nullptr, &n) == -1 &&
                    al_data_build_file_buffer("/nonexistent/x", nullptr) == -1;
         }},
        {"bin_data_write", [] { return vizor_bin_data_write(nullptr, 0, 0, 0, nullptr) == -1; }},
        {"bin_data_read", [] { return vizor_bin_data_read(zll, 2, nullptr) == -1; }},
        {"ll_firmware_upgrade", [] { return vizor_ll_firmware_upgrade(nullptr, 0, 0, "x") == -1; }},
        {"progress_cb",
         [] {
             vizor_data_set_progress_cb(nullptr, g_bytes);
             return true;
         }},
        // drivers
        {"drv_find",
         [] {
             vizor_dev_t zero{};
             return vizor_drv_find(nullptr) == nullptr && vizor_drv_find(&zero) == nullptr;
         }},
        // colour map
        {"cmap_null",
         [] {
             vz_cmap_init(nullptr, 10);
             vz_cmap_uninit(nullptr);
             vz_cmap_set_range(nullptr, 0, 1);
             return vz_cmap_get_color(nullptr, 5) == 0 && vz_cmap_get_gray(nullptr, 5) == 0;
         }},
        {"cmap_neg_size",
         [] {
             vz_cmap_t m;
             vz_cmap_init(&m, -7);
             vz_cmap_set_range(&m, INT32_MIN, INT32_MAX);
             const bool ok = m.palette == nullptr && vz_cmap_get_color(&m, 3) == 0;
             vz_cmap_uninit(&m);
             return ok;
         }},
        // lens
        {"lens_init_null",
         [] {
             vz_calib_map_t m{};
             vz_lens_param_t l{};
             return vz_calib_len_init_map(nullptr, &l) == 0 &&
                    vz_calib_len_init_map(&m, nullptr) == 0 &&
                    vz_calib_len_init_map(&m, &l) == 0;  // zero size
         }},
        {"lens_undistort",
         [] {
             vz_calib_map_t m{};
             float f[4] = {};
             vz_calib_len_uninit_map(nullptr);
             vz_calib_len_uninit_map(&m);
             return vz_calib_len_undistort(nullptr, f, 4, f, 2, 2, 0) == 0 &&
                    vz_calib_len_undistort(&m, f, 4, f, 2, 2, 0) == 0;
         }},
    };
    return calls;
}

// The 3D math calls with a NULL operand: NULL, NaN or -1 as their contract says.
const std::vector<Call> &math_calls() {
    double *const v = g_v;
    static const std::vector<Call> calls = {
        {"vec3",
         [=] {
             return !vec3_set(nullptr, v) && !vec3_add(v, nullptr, v) &&
                    !vec3_subtract(nullptr, v, v) && !vec3_multiply(v, nullptr, nullptr) &&
                    !vec3_negate(nullptr, v) && !vec3_scale(nullptr, 2, v) &&
                    !vec3_normalize(nullptr, nullptr) && !vec3_cross(nullptr, v, v) &&
                    std::isnan(vec3_length(nullptr)) && std::isnan(vec3_dot(v, nullptr)) &&
                    !vec3_direction(v, nullptr, v) && !vec3_lerp(nullptr, v, 0.5, v) &&
                    std::isnan(vec3_dist(nullptr, v)) && !vec3_unproject(v, v, nullptr, v, v) &&
                    vec3_str(nullptr, g_text, 8) == -1;
         }},
        {"mat3",
         [=] {
             return !mat3_set(nullptr, v) && !mat3_transpose(nullptr, v) &&
                    !mat3_toMat4(nullptr, v) && !mat3_inverse(nullptr, v) &&
                    !mat3_multiply(v, nullptr, v) && mat3_str(nullptr, nullptr, 0) == -1;
         }},
        {"mat4",
         [=] {
             return !mat4_set(nullptr, v) && !mat4_transpose(nullptr, v) &&
                    std::isnan(mat4_determinant(nullptr)) && !mat4_inverse(nullptr, v) &&
                    !mat4_toRotationMat(nullptr, v) && !mat4_toMat3(nullptr, v) &&
                    !mat4_toInverseMat3(nullptr, v) && !mat4_multiply(nullptr, v, v) &&
                    !mat4_multiplyVec3(v, nullptr, v) && !mat4_multiplyVec4(nullptr, v, v) &&
                    !mat4_translate(v, nullptr, v) && !mat4_scale(nullptr, v, v) &&
                    !mat4_rotate(v, 1, nullptr, v) && !mat4_rotateX(nullptr, 1, v) &&
                    !mat4_rotateY(nullptr, 1, v) && !mat4_rotateZ(nullptr, 1, v) &&
                    !mat4_lookAt(v, nullptr, v, v) &&
                    !mat4_fromRotationTranslation(nullptr, v, v) &&
                    mat4_str(nullptr, g_text, 8) == -1;
         }},
        {"quat",
         [=] {
             return !quat_set(nullptr, v) && !quat_calculateW(nullptr, v) &&
                    std::isnan(quat_dot(nullptr, v)) && !quat_inverse(nullptr, v) &&
                    !quat_conjugate(nullptr, v) && std::isnan(quat_length(nullptr)) &&
                    !quat_normalize(nullptr, v) && !quat_multiply(v, nullptr, v) &&
                    !quat_multiplyVec3(nullptr, v, v) && !quat_toMat3(nullptr, v) &&
                    !quat_toMat4(nullptr, v) && !quat_slerp(v, nullptr, 0.5, v) &&
                    quat_str(nullptr, g_text, 8) == -1;
         }},
    };
    return calls;
}

class Boundary : public ::testing::TestWithParam<Call> {};

TEST_P(Boundary, AnswersWithItsFailureValue) {
    LogCapture log;
    EXPECT_TRUE(GetParam().fails()) << GetParam().name;
}

std::string row_name(const ::testing::TestParamInfo<Call> &info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Api, Boundary, ::testing::ValuesIn(api_calls()), row_name);
INSTANTIATE_TEST_SUITE_P(Math, Boundary, ::testing::ValuesIn(math_calls()), row_name);

// Records that name no device: NULL and zero-filled.
TEST(BoundaryDevice, NullAndZeroedRecordsGetTheFailureValue) {
    LogCapture log;
    for (const vzt::DeviceCall &c : vzt::device_calls()) {
        vizor_dev_t zero{};
        EXPECT_TRUE(c.fails(nullptr)) << c.name << " on NULL";
        EXPECT_TRUE(c.fails(&zero)) << c.name << " on a zeroed record";
        EXPECT_EQ(zero.api_busy, 0) << c.name;
    }
    // A bad handle is reported with the standard line.
    EXPECT_TRUE(log.has("[ERR] [vizor_reg_batch_write]  Device handler Is NULL!\r\n"));
    EXPECT_TRUE(log.has("[ERR] [_vizor_param_batch_get]  Device handler Is NULL!\r\n"));
}

// What every entry does with an exception: the failure value and one line.
TEST(Firewall, AnExceptionBecomesTheFailureValue) {
    LogCapture log;
    EXPECT_EQ(vz::entry("f_alloc", -7, []() -> int { throw std::bad_alloc(); }), -7);
    EXPECT_EQ(vz::entry("f_any", 3u, []() -> unsigned { throw 42; }), 3u);
    vz::entry_void("f_void", [] { throw std::runtime_error("x"); });
    EXPECT_TRUE(log.has("[ERR] [f_alloc] out of memory\n"));
    EXPECT_TRUE(log.has("[ERR] [f_any] internal error\n"));
    EXPECT_TRUE(log.has("[ERR] [f_void] internal error\n"));
}

}  // namespace
