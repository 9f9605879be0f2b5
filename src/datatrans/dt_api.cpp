// The data-transfer flows on an open device record: argument checks and the
// busy mark around the flows of dt_flow.cpp.
#include <atomic>

#include "core/vzlog.h"
#include "datatrans/datatrans.h"

namespace {

// An open record: its private state exists and holds an open USB handle.
bool dev_ok(vizor_dev_t *dev) { return dev && dev->ll && vz::dt::has_handle(dev->ll); }

// Marks the device busy for the lifetime of the guard, so that closing the
// device waits for the flow. The mark counts, so overlapping calls do not
// clear each other's.
class BusyGuard {
public:
    explicit BusyGuard(vizor_dev_t *dev) : busy_(dev->api_busy) { busy_.fetch_add(1); }
    ~BusyGuard() { busy_.fetch_sub(1); }
    BusyGuard(const BusyGuard &) = delete;
    BusyGuard &operator=(const BusyGuard &) = delete;

private:
    std::atomic_ref<uint8_t> busy_;
};

int download(const char *fn, vizor_dev_t *dev, const char *fname, uint8_t type,
             uint16_t version) {
    if (!dev_ok(dev)) {
        vz_dbg("[%s] Wrong params\n", fn);
        return -1;
    }
    BusyGuard busy(dev);
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
    if (!dev_ok(dev)) {
        vz_dbg("[%s] Wrong params\n", "vizor_data_upload");
        return -1;
    }
    BusyGuard busy(dev);
    return vz::dt::read_image(dev->ll, type, fname);
}

}  // extern "C"
