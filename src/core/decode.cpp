// Raw frame decode into float distance and gray images through the device's
// chip driver.
#include "base/log.h"
#include "core/device.h"
#include "core/globals.h"

namespace {

const char *kTag = "_vizor_frame_get_float32";

int decode_with(vizor_dev_t &dev, float *dst, int dst_len, const uint8_t *src, int src_len,
                const vizor_frame_info_t *finfo, int target) {
    vizor_ll_t &ll = *dev.ll;
    if (!ll.drv || !ll.drv->ops->frame_decode) {
        vz::log_wrong_params(kTag);
        return 0;
    }
    const vizor_frame_info_t &info = finfo ? *finfo : ll.frame_info;
    if (src_len < 0 || uint32_t(src_len) < info.frame_size) {
        vz_err("[%s] raw frame length too small: datalen=%d, frlen=%d\n", kTag, src_len,
               int(info.frame_size));
        return 0;
    }
    if (!dst || !src || dst_len <= 0) return 0;
    const int rc = ll.drv->ops->frame_decode(ll.drv.get(), dst, uint32_t(dst_len) * 4u, target,
                                             reinterpret_cast<const uint16_t *>(src),
                                             uint32_t(src_len), &info);
    if (rc < 0) {
        vz_err("[%s] raw frame decode to %d failed: %d\n", kTag, target, rc);
        return 0;
    }
    return int(unsigned(rc) / 4u);
}

int get_float32(vizor_dev_t *dev, float *dst, int dst_len, const uint8_t *src, int src_len,
                const vizor_frame_info_t *finfo, int target) {
    if (!dev) return 0;
    return vz::dev_call(
        kTag, dev, 0,
        [&](vizor_dev_t &d) { return decode_with(d, dst, dst_len, src, src_len, finfo, target); },
        vz::log_wrong_params);
}

}  // namespace

extern "C" {

VZ_API int vizor_frame_get_distance(vizor_dev_t *dev, float *dst, int dst_len, const uint8_t *src,
                                    int src_len, const vizor_frame_info_t *finfo) noexcept {
    return get_float32(dev, dst, dst_len, src, src_len, finfo, VIZOR_DECODE_DIST);
}

VZ_API int vizor_frame_get_gray(vizor_dev_t *dev, float *dst, int dst_len, const uint8_t *src,
                                int src_len, const vizor_frame_info_t *finfo) noexcept {
    return get_float32(dev, dst, dst_len, src, src_len, finfo, VIZOR_DECODE_GRAY);
}

VZ_API int vizor_raw2dist(float *dst, int dst_len, const uint8_t *src, int src_len) noexcept {
    return get_float32(vz::current_device().load(), dst, dst_len, src, src_len, nullptr,
                       VIZOR_DECODE_DIST);
}

VZ_API int vizor_raw2gray(float *dst, int dst_len, const uint8_t *src, int src_len) noexcept {
    return get_float32(vz::current_device().load(), dst, dst_len, src, src_len, nullptr,
                       VIZOR_DECODE_GRAY);
}

}  // extern "C"
