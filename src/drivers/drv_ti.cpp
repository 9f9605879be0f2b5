// Driver of cameras built on the OPT8241 sensor: fixed 320 x 240 geometry,
// 4 bytes per pixel (amplitude word, phase word), no processing library.
#include <string.h>

#include "vizor/drv.h"
#include "vizor/stream.h"

namespace {

constexpr uint32_t kWidth = 320;
constexpr uint32_t kHeight = 240;
constexpr uint8_t kPixelDepth = 4;
constexpr uint16_t kMask12 = 0xFFF;
constexpr float kScale = 1.0f / 4096;     // 0.000244140625
constexpr float kPhaseRange = 3.122838f;  // metres for a full phase turn

bool ti_init(vizor_drv_t *drv, vizor_dev_t *dev) {
    drv->dev = dev;
    return true;
}

void ti_uninit(vizor_drv_t *) {}

bool ti_frame_get_info(vizor_drv_t *, vizor_frame_info_t *info, const vz_stream_frame_hdr_t *hdr) {
    memset(info, 0, sizeof *info);
    info->frame_size = hdr->frame_size;
    info->frame_format = hdr->frame_format;
    info->frame_idx = hdr->frame_idx;
    info->width = kWidth;
    info->height = kHeight;
    info->pixel_depth = kPixelDepth;
    return true;
}

float ti_distance(uint16_t phase) { return float(phase & kMask12) * kScale * kPhaseRange; }
float ti_gray(uint16_t amplitude) { return float(amplitude & kMask12) * kScale; }

// Reads the little-endian word w (0 amplitude, 1 phase) of raw pixel i.
uint16_t word_at(const uint8_t *raw, uint32_t i, int w) {
    const uint8_t *p = raw + size_t(i) * kPixelDepth + size_t(w) * 2;
    return uint16_t(p[0] | p[1] << 8);
}

// A raw frame shorter than its geometry cannot fill the image: it is refused
// (-1, nothing written) rather than decoded in part over a stale rest. A
// destination smaller than the image receives its first pixels.
int ti_frame_decode(vizor_drv_t *, float *dst, uint32_t dst_len, int target, const uint16_t *src,
                    uint32_t src_len, const vizor_frame_info_t *info) {
    const uint64_t pixels = uint64_t(info->width) * info->height;
    if (uint64_t(src_len) < pixels * kPixelDepth) return -1;
    const uint64_t n = dst_len / 4;
    const auto count = uint32_t(pixels < n ? pixels : n);
    const auto *raw = reinterpret_cast<const uint8_t *>(src);
    if (target == VIZOR_DECODE_DIST) {
        for (uint32_t i = 0; i < count; ++i) dst[i] = ti_distance(word_at(raw, i, 1));
    } else if (target == VIZOR_DECODE_GRAY) {
        for (uint32_t i = 0; i < count; ++i) dst[i] = ti_gray(word_at(raw, i, 0));
    }
    return int(4 * info->width * info->height);
}

int ti_reserved_6(vizor_drv_t *) { return 0; }
int ti_calib_names_get(vizor_drv_t *, vizor_calib_names_t *, int) { return 0; }
int ti_calib_data_loaded(vizor_drv_t *, int, int b, int) { return b; }
int ti_calib_data_check(vizor_drv_t *, int, int b, int) { return b; }
int ti_reserved_11(vizor_drv_t *) { return 1; }

}  // namespace

extern "C" {

const vizor_drv_ops_t g_vizor_driver_op_ti = {
    ti_init,
    ti_uninit,
    ti_frame_get_info,
    ti_frame_decode,
    nullptr,
    ti_reserved_6,
    ti_calib_names_get,
    nullptr,
    ti_calib_data_loaded,
    ti_calib_data_check,
    ti_reserved_11,
    nullptr,
    nullptr,
};

}  // extern "C"
