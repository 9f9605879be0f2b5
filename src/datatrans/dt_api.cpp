// The data-transfer flows on an open device record: argument checks and the
// busy mark around the flows of dt_flow.cpp, so that closing the device waits
// for a flow (including the wait after a firmware upgrade).
#include "core/device.h"
#include "core/vzlog.h"
#include "datatrans/datatrans.h"

namespace {

int download(const char *fn, vizor_dev_t *dev, const char *fname, uint8_t type,
             uint16_t version) {
    if (!vz::dev_ok(dev)) {
        vz_dbg("[%s] Wrong params\n", fn);
        return -1;
    }
    vz::BusyGuard busy(dev);
    return vz::dt::write_image(dev->ll, type, version, fname);
}

}  // namespace

extern "C" {

VZ_API int vizor_data_download(vizor_dev_t *dev, const char *fname, uint8_t type,
                               uint16_t version, uint32_t reserved) {
    return download("vizor_data_download", dev, fname, type, version);
}

VZ_API int vizor_firmware_upgrade(vizor_dev_t *dev, uint8_t type, uint16_t version,
                                  const char *fname) {
    return download("vizor_firmware_upgrade", dev, fname, type, version);
}

VZ_API int vizor_data_upload(vizor_dev_t *dev, uint8_t type, const char *fname) {
    if (!vz::dev_ok(dev)) {
        vz_dbg("[%s] Wrong params\n", "vizor_data_upload");
        return -1;
    }
    vz::BusyGuard busy(dev);
    return vz::dt::read_image(dev->ll, type, fname);
}

}  // extern "C"
