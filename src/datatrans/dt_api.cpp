// The data-transfer flows on an open device record: the device firewall
// (handle check and busy mark) around the flows of dt_flow.cpp, so that
// closing the device waits for a flow (including the wait after a firmware
// upgrade).
#include "core/device.h"
#include "datatrans/datatrans.h"

namespace {

int download(const char *fn, vizor_dev_t *dev, const char *fname, uint8_t type,
             uint16_t version) noexcept {
    return vz::dev_call(
        fn, dev, -1,
        [&](vizor_dev_t &d) { return vz::dt::write_image(d.ll, type, version, fname); },
        vz::log_wrong_params);
}

}  // namespace

extern "C" {

VZ_API int vizor_data_download(vizor_dev_t *dev, const char *fname, uint8_t type, uint16_t version,
                               uint32_t reserved) noexcept {
    return download("vizor_data_download", dev, fname, type, version);
}

VZ_API int vizor_firmware_upgrade(vizor_dev_t *dev, uint8_t type, uint16_t version,
                                  const char *fname) noexcept {
    return download("vizor_firmware_upgrade", dev, fname, type, version);
}

VZ_API int vizor_data_upload(vizor_dev_t *dev, uint8_t type, const char *fname) noexcept {
    return vz::dev_call(
        "vizor_data_upload", dev, -1,
        [&](vizor_dev_t &d) { return vz::dt::read_image(d.ll, type, fname); },
        vz::log_wrong_params);
}

}  // extern "C"
