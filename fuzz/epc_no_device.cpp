// The device calls the EPC library's shims make, for fuzz targets built
// without the device API: there is no camera, so every call fails the way a
// closed device does.
#include "vizor/vizor.h"

extern "C" {

bool vizor_dev_reset(vizor_dev_t *, uint32_t) noexcept { return false; }
bool vizor_reg_batch_write(vizor_dev_t *, uint8_t, uint32_t, const uint32_t *, uint16_t) noexcept {
    return false;
}
bool vizor_reg_batch_read(vizor_dev_t *, uint8_t, uint32_t, uint32_t *, uint16_t) noexcept {
    return false;
}
bool vizor_param_batch_set(vizor_dev_t *, const vizor_param_item_t *, int) noexcept {
    return false;
}
bool vizor_param_batch_get(vizor_dev_t *, vizor_param_item_t *, int) noexcept { return false; }
bool vizor_cap_is_ongoing(vizor_dev_t *) noexcept { return false; }
bool vizor_cap_start(vizor_dev_t *) noexcept { return false; }
bool vizor_cap_stop(vizor_dev_t *) noexcept { return false; }
int vizor_cap_get_frames(vizor_dev_t *, uint32_t, uint8_t *, uint32_t,
                         vizor_frame_info_t *) noexcept {
    return 0;
}

}  // extern "C"
