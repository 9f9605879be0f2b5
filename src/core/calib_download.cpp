// Calibration download at open: when the driver lacks its calibration files,
// the device is put into data-upload mode and sends its stored calibration
// package as one frame; the zip archive inside goes through the temporary
// files "calibration.bin" and "tmp.zip" of the working directory into the
// calibration folder, and the driver is told to load what arrived. Every
// failure is logged and leaves the open to succeed with the driver's
// defaults; the temporary files never outlive the download, and the device
// leaves it in the mode it was found in (a camera without valid calibration
// would otherwise stay in data-upload mode and send no images).
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <vector>

#include "base/log.h"
#include "core/calib_download.h"
#include "core/capture.h"
#include "core/device.h"
#include "vizor/zip.h"

namespace vz::calib {

namespace {

const char *kTag = "_load_calib_data";
const char *kCalibFile = "calibration.bin";
const char *kZipFile = "tmp.zip";

uint32_t le32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The description of the stored calibration data (parameter 8).
struct CalibInfo {
    uint8_t valid;
    uint32_t version, fsize, vsize;
    uint16_t cksum;
};

CalibInfo parse_info(const vizor_param_item_t &item) {
    // Bytes the device did not report count as zero.
    uint8_t v[sizeof item.param_val] = {};
    memcpy(v, item.param_val, std::min<size_t>(item.param_val_len, sizeof v));
    return {v[0], le32(v + 3), le32(v + 7), le32(v + 11), uint16_t(v[15] | v[16] << 8)};
}

// Writes a temporary file of the working directory; a symbolic link in its
// place is refused, not followed. A failed write removes the file.
bool write_temp(const char *name, const uint8_t *data, size_t len) {
    const int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        vz_err("[%s] cannot create %s: %s\n", kTag, name, strerror(errno));
        return false;
    }
    bool ok = true;
    while (ok && len > 0) {
        const ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) {
            data += n;
            len -= size_t(n);
        }
    }
    if (close(fd) != 0) ok = false;
    if (!ok) {
        vz_err("[%s] cannot write %s\n", kTag, name);
        unlink(name);
    }
    return ok;
}

int on_extract_to_folder_entry(const char *name, void *) {
    static std::atomic<int> extracted{0};
    vz_dbg("[%s] Extracted: %s (%d of %d)\n", "on_extract_to_folder_entry", name, ++extracted, 1);
    return 0;
}

void load_failed() { vz_err("[%s] Load calibration data failed\n", "vizor_dev_open"); }

// The device mode before the download; a device that does not report it is
// taken to be in its normal mode (0).
uint8_t current_mode(vizor_dev_t &dev) {
    vizor_param_item_t item{};
    item.param_id = VIZOR_PARAM_DEV_MODE;
    if (!vizor_param_batch_get(&dev, &item, 1) || item.param_val_len < 1) return 0;
    return item.param_val[0];
}

bool set_mode(vizor_dev_t &dev, uint8_t value) {
    vizor_param_item_t mode{};
    mode.param_id = VIZOR_PARAM_DEV_MODE;
    mode.param_val_len = 1;
    mode.param_val[0] = value;
    return vizor_param_batch_set(&dev, &mode, 1);
}

// Puts the device back into the mode it was found in when the download ends,
// whichever way it ends once the data-upload mode was set.
class ModeRestore {
public:
    ModeRestore(vizor_dev_t &dev, uint8_t mode) : dev_(dev), mode_(mode) {}
    ~ModeRestore() {
        if (!set_mode(dev_, mode_))
            vz_err("[%s] the device mode could not be set back to %d\n", kTag, int(mode_));
    }
    ModeRestore(const ModeRestore &) = delete;
    ModeRestore &operator=(const ModeRestore &) = delete;

private:
    vizor_dev_t &dev_;
    uint8_t mode_;
};

// Unpacks the received package (received bytes of the fsize-byte buffer).
void unpack(vizor_dev_t &dev, const std::vector<uint8_t> &buf, size_t received) {
    if (!write_temp(kCalibFile, buf.data(), buf.size())) return;
    uint32_t payload = 0;
    if (zip_payload(buf.data(), received, &payload)) {
        if (write_temp(kZipFile, buf.data() + kHeaderLen, payload)) {
            if (!dev.cfg_path) {
                vz_err("[%s] no calibration folder\n", kTag);
            } else if (zip_extract(kZipFile, folder_of(dev.cfg_path).c_str(),
                                   on_extract_to_folder_entry, nullptr) < 0) {
                printf("%s zip failed\n", kZipFile);
                vz_err("[%s] %s could not be extracted into %s\n", kTag, kZipFile, dev.cfg_path);
            } else {
                parse_file(dev.cfg_path, dev.calib_names[1]);
            }
            unlink(kZipFile);
        }
    }
    unlink(kCalibFile);
}

}  // namespace

bool zip_payload(const uint8_t *data, size_t len, uint32_t *payload_len) {
    if (len < kHeaderLen) {
        vz_wrn("[%s] calibration package header missing (%u bytes)\n", kTag, unsigned(len));
        return false;
    }
    if (data[0] == 0 || data[2] != 1) {
        vz_wrn("[%s] calibration package is not a zip archive (flag %d, kind %d)\n", kTag, data[0],
               data[2]);
        return false;
    }
    const uint32_t n = le32(data + 11);
    if (n > len - kHeaderLen) {
        vz_err("[%s] calibration payload of %u bytes beyond the %u bytes received\n", kTag,
               unsigned(n), unsigned(len - kHeaderLen));
        return false;
    }
    *payload_len = n;
    return true;
}

}  // namespace vz::calib

namespace vz {

void load_calib_data(vizor_dev_t &dev) {
    using namespace vz::calib;
    vizor_cap_set_frame_buffer(&dev, nullptr, kDownloadFrames * cap::kFrameUnit);
    vizor_cap_set_callback_on_error(&dev, nullptr);
    vizor_cap_set_callback_on_frame_ready(&dev, nullptr);

    const uint8_t found = current_mode(dev);
    if (!set_mode(dev, VIZOR_DEV_MODE_DATA_UP)) {
        vz_err("[%s]  set mode to DATA_UP failed!\n", kTag);
        return load_failed();
    }
    const ModeRestore restore(dev, found);
    vizor_param_item_t item{};
    item.param_id = VIZOR_PARAM_INFO_CALIB;
    if (!vizor_param_batch_get(&dev, &item, 1)) {
        vz_err("[%s]  get param of calib data failed!\n", kTag);
        return load_failed();
    }
    const CalibInfo info = parse_info(item);
    if (info.valid != 1) {
        vz_dbg("[%s] %s: fsize:%d, valid data size:%d, ck_sum:%d, version:%d\n", kTag,
               "Calib data not valid", int(info.fsize), int(info.vsize), int(info.cksum),
               int(info.version));
        return load_failed();
    }
    if (info.fsize > kMaxPackage) {
        vz_err("[%s] calibration data of %u bytes above the limit of %u\n", kTag,
               unsigned(info.fsize), unsigned(kMaxPackage));
        return load_failed();
    }
    std::vector<uint8_t> buf;
    try {
        buf.assign(info.fsize, 0);
    } catch (const std::bad_alloc &) {
        vz_err("[%s] malloc failed\n", kTag);
        return load_failed();
    }

    vizor_cap_start(&dev);
    vizor_frame_info_t finfo{};
    int got;
    {
        BusyGuard busy(&dev);
        got = get_frames(dev, 1, buf.data(), uint32_t(buf.size()), &finfo, kFetchTimeoutMs);
    }
    vz_dbg("[%s] get %d frames: [%u, %ux%u, %u]\n", kTag, got, unsigned(finfo.frame_idx),
           unsigned(finfo.width), unsigned(finfo.height), unsigned(finfo.frame_format));
    if (got != 1) {
        vz_dbg("[%s] capturing is stopped due to some error!\n", kTag);
        vz_err("[%s] calibration frame not received: nothing written\n", kTag);
    } else {
        unpack(dev, buf, std::min<size_t>(finfo.frame_size, buf.size()));
    }
    vizor_cap_stop(&dev);
    vizor_drv_t *drv = dev.ll->drv.get();
    if (drv && drv->ops->calib_data_loaded) drv->ops->calib_data_loaded(drv, 0, 0, 2);
}

}  // namespace vz
