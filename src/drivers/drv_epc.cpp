// Driver of cameras built on the epc660 (and epc635) sensor: describes the
// raw DCS frames, hands them to the EPC processing library for distance and
// amplitude, converts its 16-bit codes to floats (optionally undistorted),
// reports the built-in lens, names the chip's calibration files and keeps
// the processing filters.
#include <string.h>

#include <new>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "base/firewall.h"
#include "base/log.h"
#include "drivers/drv_epc.h"
#include "vizor/epc660.h"
#include "vizor/stream.h"

namespace {

constexpr uint32_t kDefaultWidth = 320;
constexpr uint32_t kDefaultHeight = 240;
constexpr uint16_t kFormatGray = 0;
constexpr uint16_t kFormatUndecoded = 8;
constexpr uint16_t kFormatCalibData = 171;
constexpr uint16_t kFirstMarker = 65300;  // codes from here on are status markers
constexpr float kCodesPerPeriod = 30000.0f;
constexpr float kUndistortFillDist = 30.0f;
constexpr float kUndistortFillGray = 0.0f;
constexpr int kDeviceAddress = 32;
constexpr int kCalibKind = 2;  // calibration data downloaded at open

// Lens of the 640 x 480 reference image; fractions of it serve smaller frames.
const vz_lens_param_t kLens = {
    324.00744, 220.10985, 638.66337, 638.51692, {-0.27313, 0.14523, -0.00099, 0.00032, 0.0},
    640,       480};

// Processing switches (pi delay, dual MGX, pseudo-noise) of formats 0 to 8.
constexpr uint8_t kSwitches[9][3] = {
    {0, 0, 0}, {1, 1, 0}, {1, 0, 0}, {0, 1, 1}, {0, 1, 0},
    {1, 0, 1}, {1, 1, 1}, {0, 0, 1}, {0, 0, 0},
};

epc_priv_t *priv_of(vizor_drv_t *drv) {
    return drv ? static_cast<epc_priv_t *>(drv->priv) : nullptr;
}

void release(vizor_drv_t *drv) {
    epc_priv_t *p = priv_of(drv);
    if (!p) return;
    vz_calib_len_uninit_map(&p->map);
    vz::epc::context_release(p->ctx);
    delete p;
    drv->priv = nullptr;
}

// Runs f in the device's processing context (locked for the call); a driver
// without state runs it in the default context.
template <class F>
auto in_context(vizor_drv_t *drv, F &&f) {
    epc_priv_t *p = priv_of(drv);
    if (!p || !p->ctx) {
        const vz::epc::Use use;
        return f();
    }
    const vz::epc::Scope scope(p->ctx);
    return f();
}

void set_invalid(epc_priv_t *p) {
    if (p) p->frame_valid = 0;
}

// Metres of one modulation period (30000 codes) at the frequency the
// device's processing context runs at: the way light travels there and back
// in one period.
double range_metres() {
    const int khz = configGetModulationFrequency();
    return khz > 0 ? calibrateGetSpeedOfLightDiv2() / (double(khz) * 1000.0) : 0.0;
}

int wrong_len(epc_priv_t *p, uint32_t src_len, uint32_t dst_len) {
    vz_err("[%s] wrong data len: src=%d, dst=%d\n", "epc_frame_decode", int(src_len), int(dst_len));
    set_invalid(p);
    return -1;
}

// Which image of the library a decode delivers.
enum class Image { distance, amplitude, gray };

// Writes the library's image into dst (n = w x h floats), through the
// undistortion map when that filter is on and the frame is a 320 x 240
// distance frame (gray frames of format 0 are never undistorted).
// An image of another pixel count than the frame's cannot fill it: refused.
int deliver(epc_priv_t *p, float *dst, Image which, uint32_t w, uint32_t h) {
    uint16_t *img = nullptr;
    const int n = which == Image::distance    ? apiGetDistanceSorted(&img)
                  : which == Image::amplitude ? apiGetAmplitudeSorted(&img)
                                              : apiGetBWSorted(&img);
    const int target = which == Image::distance ? VIZOR_DECODE_DIST : VIZOR_DECODE_GRAY;
    const uint32_t pixels = w * h;
    if (!img || n < 0 || uint32_t(n) != pixels) {
        vz_err("[%s] image of %d pixels for a %ux%u frame\n", "epc_frame_decode", n, unsigned(w),
               unsigned(h));
        set_invalid(p);
        return -1;
    }
    const bool undistort =
        p->undistort_on && which != Image::gray && w == kDefaultWidth && h == kDefaultHeight;
    float *out = undistort ? p->undistort_src : dst;
    if (target == VIZOR_DECODE_DIST) {
        p->metres_per_code = float(range_metres() / double(kCodesPerPeriod));
        vz::epcdrv::codes_to_metres(img, out, pixels, p->metres_per_code);
    } else {
        for (uint32_t i = 0; i < pixels; ++i) out[i] = float(img[i]);
    }
    if (undistort && !vz_calib_len_undistort(
                         &p->map, dst, int(pixels), p->undistort_src, int(w), int(h),
                         target == VIZOR_DECODE_DIST ? kUndistortFillDist : kUndistortFillGray)) {
        set_invalid(p);
        return -1;
    }
    return int(4 * pixels);
}

// The pushed raw record lives on the decode's stack and its samples are the
// caller's: the image source lets go of them whenever the decode returns.
struct PushedFrame {
    PushedFrame() = default;
    PushedFrame(const PushedFrame &) = delete;
    PushedFrame &operator=(const PushedFrame &) = delete;
    ~PushedFrame() { pruSetImage(nullptr); }
};

int epc_reserved_6(vizor_drv_t *) { return 0; }

int epc_calib_names_get(vizor_drv_t *drv, vizor_calib_names_t *names, int set) {
    if (!names) return 0;
    return in_context(drv, [&] {
        if (names->dist_img_name) calibrationGetDistanceImagesName(names->dist_img_name, set);
        if (names->param_name) calibrationGetParamName(names->param_name, set);
        return 1;
    });
}

// After the calibration download the library reloads its files.
int epc_calib_data_loaded(vizor_drv_t *drv, int, int b, int kind) {
    if (kind == kCalibKind) in_context(drv, [] { return configInit(kDeviceAddress); });
    return b;
}

int epc_calib_data_check(vizor_drv_t *drv, int, int, int) {
    return in_context(drv, [] { return calibrationDataFileCheck(1) == 0 ? 0 : -1; });
}

int epc_reserved_11(vizor_drv_t *) { return 1; }

bool epc_filter_enable(vizor_drv_t *drv, int id, void *arg, int) {
    epc_priv_t *p = priv_of(drv);
    if (!p) return true;
    switch (id) {
    case VIZOR_FILTER_UNDISTORT: p->undistort_on = 1; break;
    case VIZOR_FILTER_PIXEL_CALIB:
        p->calib_on = 1;
        if (arg) p->calib_mode = *static_cast<const uint8_t *>(arg);
        if (p->calib_mode == 2) in_context(drv, [] { return configInit(kDeviceAddress); });
        break;
    case VIZOR_FILTER_MIN_AMPLITUDE:
        p->min_amplitude_on = 1;
        if (arg) memcpy(&p->min_amplitude, arg, sizeof p->min_amplitude);
        break;
    case VIZOR_FILTER_AUTO_INTEGRATION:
        p->autoint_on = 1;
        if (arg) memcpy(&p->autoint_target, arg, sizeof p->autoint_target);
        break;
    default: break;
    }
    return true;
}

bool epc_filter_disable(vizor_drv_t *drv, int id) {
    epc_priv_t *p = priv_of(drv);
    if (!p) return true;
    switch (id) {
    case VIZOR_FILTER_UNDISTORT: p->undistort_on = 0; break;
    case VIZOR_FILTER_PIXEL_CALIB: p->calib_on = 0; break;
    case VIZOR_FILTER_MIN_AMPLITUDE: p->min_amplitude_on = 0; break;
    case VIZOR_FILTER_AUTO_INTEGRATION:
        p->autoint_on = 0;
        p->autoint_target = 0;
        break;
    default: break;
    }
    return true;
}

void epc_uninit(vizor_drv_t *drv) {
    // Only the device the library serves gives it up: another camera's close
    // leaves the library bound where it is. Then the camera's context goes,
    // and with it the default when it was the default.
    if (drv) vz::epcdrv::adapter_release(drv->dev);
    release(drv);
}

bool epc_init_body(vizor_drv_t *drv, vizor_dev_t *dev) {
    if (!drv) return false;
    drv->dev = dev;
    release(drv);
    auto *p = new (std::nothrow) epc_priv_t{};
    if (!p) return false;
    vz_calib_len_init_map(&p->map, &kLens);
    p->calib_mode = 2;
    p->min_amplitude_on = 1;
    p->metres_per_code = 0.0f;  // set from the frequency at every decode
    p->ctx = vz::epc::context_create(dev);
    drv->priv = p;
    if (!p->ctx || !epc_adapter_init(dev)) {
        vz_err("[%s] epc_adapter_init failed!\n", "epc_init");
        release(drv);
        return false;
    }
    return true;
}

bool epc_frame_get_info_body(vizor_drv_t *drv, vizor_frame_info_t *info,
                             const vz_stream_frame_hdr_t *hdr) {
    if (!info || !hdr) return false;
    if (epc_priv_t *p = priv_of(drv)) p->frame_valid = 1;
    uint16_t temps[4];
    memcpy(temps, hdr->sensor_data, sizeof temps);
    temperatureSetTemperatureByFrameHeader(temps);
    memset(info, 0, sizeof *info);
    const uint32_t w = hdr->width ? hdr->width : kDefaultWidth;
    const uint32_t h = hdr->height ? hdr->height : kDefaultHeight;
    vz_trc("[%s] Frame format:%d\n", "epc_frame_get_info", int(hdr->frame_format));
    if (hdr->frame_format != kFormatCalibData && hdr->frame_size % (w * h) != 0) return false;
    info->frame_size = hdr->frame_size;
    info->frame_format = hdr->frame_format;
    info->frame_idx = hdr->frame_idx;
    info->width = w;
    info->height = h;
    info->pixel_depth = uint8_t(hdr->frame_size / w / h);
    vz_trc("[%s] frame: sz=%d, wxh = %dx%d\n", "epc_frame_get_info", int(info->frame_size), int(w),
           int(h));
    return true;
}

int epc_frame_decode_body(vizor_drv_t *drv, float *dst, uint32_t dst_len, int target,
                          const uint16_t *src, uint32_t src_len, const vizor_frame_info_t *info) {
    epc_priv_t *p = priv_of(drv);
    if (!p || !dst || !src || !info) {
        set_invalid(p);
        return -1;
    }
    epc_raw_image_t raw{*info, const_cast<uint16_t *>(src)};
    raw.frame_info.frame_size = src_len < info->frame_size ? src_len : info->frame_size;
    pruSetImage(&raw);
    const PushedFrame pushed;
    const uint16_t format = info->frame_format;
    if (format <= kFormatUndecoded) {
        calculationEnablePiDelay(kSwitches[format][0]);
        calculationEnableDualMGX(kSwitches[format][1]);
        calculationEnablePN(kSwitches[format][2]);
    }
    // Setting the minimum restarts the hysteresis: only a changed value is
    // set, so that pixels keep their history from frame to frame.
    if (p->min_amplitude_on && apiGetMinAmplitude() != p->min_amplitude)
        apiSetMinAmplitude(p->min_amplitude);
    if (p->autoint_on && p->autoint_target != 0)
        vz::epcdrv::autoint_step(src, src_len / 2, p->autoint_target);

    const uint64_t w = info->width, h = info->height;
    const uint64_t pixels = w * h;
    int rc = -1;
    switch (format) {
    case kFormatGray:
        if (target != VIZOR_DECODE_GRAY) {
            vz_err("[%s] a gray frame (format 0) holds no distances\n", "epc_frame_decode");
            break;
        }
        if (dst_len < 4 * pixels || src_len < 2 * pixels) return wrong_len(p, src_len, dst_len);
        // One sample per pixel: the gray image, not DCS amplitudes.
        rc = deliver(p, dst, Image::gray, uint32_t(w), uint32_t(h));
        break;
    case kFormatCalibData:
        vz_inf("[%s] Calibration data frame,size:%d\n", "epc_frame_decode", int(info->frame_size));
        break;
    default: {
        // Every DCS format: four samples per pixel with pi delay, two without
        // (the dual-MGX frames carry two row sets for each pixel).
        if (format > kFormatUndecoded) break;
        const uint64_t samples = kSwitches[format][0] ? 4 : 2;
        if (dst_len < 4 * pixels || src_len < 2 * samples * pixels)
            return wrong_len(p, src_len, dst_len);
        if (target != VIZOR_DECODE_DIST && target != VIZOR_DECODE_GRAY) break;
        rc = deliver(p, dst, target == VIZOR_DECODE_DIST ? Image::distance : Image::amplitude,
                     uint32_t(w), uint32_t(h));
        break;
    }
    }
    if (rc < 0) set_invalid(p);
    return rc;
}

bool epc_lens_param_get_body(vizor_drv_t *, vz_lens_param_t *lens, int w, int h) {
    if (!lens) return false;
    if (w <= 0 || h <= 0 || kLens.width % w != 0 || kLens.height % h != 0) {
        vz_wrn("[%s] lens param not match the frame size: lens: %dx%d, frame: %dx%d\n",
               "epc_lens_param_get", int(kLens.width), int(kLens.height), w, h);
        return false;
    }
    const double sx = kLens.width / w, sy = kLens.height / h;
    *lens = kLens;
    lens->cx = kLens.cx / sx;
    lens->cy = kLens.cy / sy;
    lens->fx = kLens.fx / sx;
    lens->fy = kLens.fy / sy;
    lens->width = w;
    lens->height = h;
    return true;
}

float metres_of(uint16_t code, float k) {
    if (code >= kFirstMarker) return float(code) / 1000.0f;
    return float(code) * k;
}

#if defined(__x86_64__)
// GCC 12 reports the undefined pass-through register of the AVX-512
// conversion intrinsics as maybe uninitialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// Both forms of sixteen (eight) codes, one chosen per lane: the same single
// operations as metres_of.
__attribute__((target("avx512f,avx512bw,avx512vl"))) uint32_t convert_avx512(const uint16_t *in,
                                                                             float *out, uint32_t n,
                                                                             float k) {
    const __m512 vk = _mm512_set1_ps(k), thousand = _mm512_set1_ps(1000.0f);
    const __m256i first = _mm256_set1_epi16(short(kFirstMarker));
    uint32_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in + i));
        const __m512 v = _mm512_cvtepi32_ps(_mm512_cvtepu16_epi32(c));
        const __mmask16 marker = _mm256_cmpge_epu16_mask(c, first);
        _mm512_storeu_ps(out + i, _mm512_mask_blend_ps(marker, _mm512_mul_ps(v, vk),
                                                       _mm512_div_ps(v, thousand)));
    }
    return i;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

__attribute__((target("avx2"))) uint32_t convert_avx2(const uint16_t *in, float *out, uint32_t n,
                                                      float k) {
    const __m256 vk = _mm256_set1_ps(k), thousand = _mm256_set1_ps(1000.0f);
    const __m256 first = _mm256_set1_ps(float(kFirstMarker));
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i));
        const __m256 v = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(c));
        const __m256 marker = _mm256_cmp_ps(v, first, _CMP_GE_OQ);
        _mm256_storeu_ps(
            out + i, _mm256_blendv_ps(_mm256_mul_ps(v, vk), _mm256_div_ps(v, thousand), marker));
    }
    return i;
}
#endif

}  // namespace

namespace vz::epcdrv {

float code_to_metres(uint16_t code, float metres_per_code) {
    return metres_of(code, metres_per_code);
}

void codes_to_metres(const uint16_t *in, float *out, uint32_t n, float metres_per_code) {
    uint32_t i = 0;
#if defined(__x86_64__)
    static const int isa = __builtin_cpu_supports("avx512bw") ? 2
                           : __builtin_cpu_supports("avx2")   ? 1
                                                              : 0;
    if (isa == 2) i = convert_avx512(in, out, n, metres_per_code);
    if (isa == 1) i = convert_avx2(in, out, n, metres_per_code);
#endif
    for (; i < n; ++i) out[i] = metres_of(in[i], metres_per_code);
}

}  // namespace vz::epcdrv

extern "C" {

VZ_API bool epc_init(vizor_drv_t *drv, vizor_dev_t *dev) noexcept {
    return vz::entry(__func__, false, [&] { return epc_init_body(drv, dev); });
}

VZ_API bool epc_frame_get_info(vizor_drv_t *drv, vizor_frame_info_t *info,
                               const vz_stream_frame_hdr_t *hdr) noexcept {
    return vz::entry(__func__, false, [&] {
        return in_context(drv, [&] { return epc_frame_get_info_body(drv, info, hdr); });
    });
}

VZ_API int epc_frame_decode(vizor_drv_t *drv, float *dst, uint32_t dst_len, int target,
                            const uint16_t *src, uint32_t src_len,
                            const vizor_frame_info_t *info) noexcept {
    return vz::entry(__func__, -1, [&] {
        return in_context(drv, [&] {
            return epc_frame_decode_body(drv, dst, dst_len, target, src, src_len, info);
        });
    });
}

VZ_API bool epc_lens_param_get(vizor_drv_t *drv, vz_lens_param_t *lens, int w, int h) noexcept {
    return vz::entry(__func__, false, [&] { return epc_lens_param_get_body(drv, lens, w, h); });
}

const vizor_drv_ops_t g_vizor_driver_op_epc = {
    epc_init,
    epc_uninit,
    epc_frame_get_info,
    epc_frame_decode,
    epc_lens_param_get,
    epc_reserved_6,
    epc_calib_names_get,
    nullptr,
    epc_calib_data_loaded,
    epc_calib_data_check,
    epc_reserved_11,
    epc_filter_enable,
    epc_filter_disable,
};

}  // extern "C"
