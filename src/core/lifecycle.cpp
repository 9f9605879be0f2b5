// Start and end of the library, log and calibration-folder configuration and
// the names of the capture error codes.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <string>

#include "base/log.h"
#include "core/device.h"
#include "core/globals.h"
#include "vizor/ll.h"
#include "vizor/vizor.h"

namespace {

constexpr int kLibraryPaletteSize = 30000;
constexpr size_t kPathCap = 256;

bool is_sep(char c) { return c == '/' || c == '\\'; }

// Creates dir unless something already exists there.
bool ensure_dir(const std::string &dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    return mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST;
}

// libusb debug level for the USB log level of vizor_log_cfg.
int usb_debug_for(int usb_level) {
    switch (usb_level) {
    case 0:
    case 1: return 4;
    case 2: return 3;
    case 3: return 2;
    case 4: return 1;
    default: return 0;
    }
}

}  // namespace

extern "C" {

VZ_API void vizor_init(const char *log_fname) noexcept {
    vz::entry_void(__func__, [&] {
        vz_log_enable(VZ_LOG_CH_CONSOLE, 3, nullptr);
        char name[64];
        if (!log_fname) {
            time_t now = time(nullptr);
            struct tm tm;
            localtime_r(&now, &tm);
            snprintf(name, sizeof name, "vizor_%04u%02u%02u.log", unsigned(tm.tm_year + 1900),
                     unsigned(tm.tm_mon + 1), unsigned(tm.tm_mday));
            log_fname = name;
        }
        vz_log_enable(VZ_LOG_CH_FILE, 1, log_fname);
        vz_inf("[%s]  --- %s %s(compile at %s %s) log start -----\n", "vizor_init", "VIZOR",
               VIZOR_VERSION_STR, __DATE__, __TIME__);
        vizor_ll_init();
        vz_cmap_t &cmap = vz::library_cmap();
        vz_cmap_uninit(&cmap);  // a repeated init must not leak the previous palette
        vz_cmap_init(&cmap, kLibraryPaletteSize);
    });
}

VZ_API void vizor_uninit(void) noexcept {
    vz_dbg("[%s] ----- AL log END ----\n\n", "vizor_uninit");
    vz_cmap_uninit(&vz::library_cmap());
    vz_log_disable();
    vizor_ll_uninit();
}

VZ_API void vizor_log_cfg(int console_level, int file_level, int usb_level) noexcept {
    vz_log_enable(VZ_LOG_CH_CONSOLE, console_level, nullptr);
    vz_log_enable(VZ_LOG_CH_FILE, file_level, nullptr);
    vizor_ll_set_debug(usb_debug_for(usb_level));
}

VZ_API int vizor_path_cfg(vizor_dev_t *dev, const char *path) noexcept {
    const char *const fn = __func__;
    // Runs while the device is open and idle: it needs the record's folder
    // buffer only, and marks nothing busy.
    return vz::entry(fn, -1, [&] {
        if (!dev || !dev->ll || !dev->cfg_path || !path) {
            vz::log_bad_handle(fn);
            return -1;
        }
        vizor_dev_t &d = *dev;
        snprintf(d.cfg_path, kPathCap, "%s", path);
        vz_inf("[%s] CFG_PATH:%s\n", fn, d.cfg_path);

        std::string work = strlen(path) < kPathCap ? path : "";
        if (!work.empty() && is_sep(work.back())) work.pop_back();
        // Create every parent in turn; both separators count, '/' is written back.
        for (size_t i = 0; i < work.size(); ++i) {
            putchar(work[i]);
            putchar(' ');
            if (!is_sep(work[i])) continue;
            if (i > 0) ensure_dir(work.substr(0, i));
            work[i] = '/';
        }
        return !work.empty() && ensure_dir(work) ? 0 : -1;
    });
}

VZ_API const char *vizor_error_name(int err) noexcept {
    switch (err) {
    case VIZOR_ERR_CAP_UNKNOWN: return "VIZOR_ERR_CAP_UNKNOWN";
    case VIZOR_ERR_CAP_ERROR: return "VIZOR_ERR_CAP_ERROR";
    case VIZOR_ERR_CAP_STALL: return "VIZOR_ERR_CAP_STALL";
    case VIZOR_ERR_CAP_TIMEOUT: return "VIZOR_ERR_CAP_TIMEOUT";
    case VIZOR_ERR_CAP_OK: return "OK";
    case VIZOR_ERR_CAP_FRAME_DISCARD: return "VIZOR_ERR_CAP_FRAME_DISCARD";
    default: return "**UNKNOWN**";
    }
}

}  // extern "C"
