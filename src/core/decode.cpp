// Raw frame decode into float distance and gray images through the device's
// chip driver.
#include "base/log.h"
#include "core/device.h"
#include "core/globals.h"
#include "imgproc/flying.h"

namespace {

const char *kTag = "_vizor_frame_get_float32";

// A raw frame holds width x height pixels of pixel_depth bytes. A source
// shorter than that cannot fill the image, whatever the driver: refused here
// too, so no driver decodes part of a frame over a stale rest.
bool shorter_than_geometry(const vizor_frame_info_t &info, int src_len) {
    const uint64_t need = uint64_t(info.width) * info.height * info.pixel_depth;
    if (uint64_t(src_len) >= need) return false;
    vz_err("[%s] raw frame shorter than its geometry: datalen=%d, %ux%u x %u bytes\n", kTag,
           src_len, unsigned(info.width), unsigned(info.height), unsigned(info.pixel_depth));
    return true;
}

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
    if (shorter_than_geometry(info, src_len)) return 0;
    const int rc = ll.drv->ops->frame_decode(ll.drv.get(), dst, uint32_t(dst_len) * 4u, target,
                                             reinterpret_cast<const uint16_t *>(src),
                                             uint32_t(src_len), &info);
    if (rc < 0) {
        vz_err("[%s] raw frame decode to %d failed: %d\n", kTag, target, rc);
        return 0;
    }
    const int n = int(unsigned(rc) / 4u);
    const float t = ll.flying_threshold.load(std::memory_order_relaxed);
    if (target == VIZOR_DECODE_DIST && t > 0.0f && n >= int(info.width) * int(info.height))
        vz::flying::apply(dst, int(info.width), int(info.height), t);
    return n;
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
