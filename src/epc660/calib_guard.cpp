// Calibration runs: camera check and hold, stop on a missing frame, staged
// files. See calib_guard.h.
#include "epc660/calib_guard.h"

#include <stdio.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "base/dev_hold.h"
#include "base/log.h"
#include "epc660/base.h"
#include "epc660/context.h"

namespace vz::epc {

namespace {

constexpr const char *kStagedSuffix = ".part";

// Files of the camera's active run: real name and staged name; depth of
// nested runs. One per context, so that a run on one camera never commits or
// drops another camera's files.
struct Staging {
    int depth = 0;
    std::vector<std::pair<std::string, std::string>> files;
};

Staging &staging() { return state<Staging>(kSlotCalibGuard); }

void drop_staged() {
    Staging &g_staging = staging();
    for (const auto &f : g_staging.files) unlink(f.second.c_str());
    g_staging.files.clear();
}

}  // namespace

constinit const SlotOps calib_guard_slot = slot_ops<Staging>();

CalibRun::CalibRun(const char *fn) : fn_(fn) {
    Staging &g_staging = staging();
    if (g_staging.depth++ == 0) drop_staged();
    vizor_dev_t *dev = default_device();
    if (dev) hold_ = std::make_unique<DevHold>(dev);
    ok_ = hold_ && hold_->ok();
    if (!ok_) vz_err("[%s] no camera open: calibration not run\n", fn);
}

CalibRun::~CalibRun() {
    Staging &g_staging = staging();
    if (--g_staging.depth == 0 && !committed_) drop_staged();
}

bool CalibRun::commit() {
    Staging &g_staging = staging();
    committed_ = true;
    if (g_staging.depth > 1) return true;
    bool ok = true;
    for (const auto &f : g_staging.files) {
        if (rename(f.second.c_str(), f.first.c_str()) != 0) {
            vz_err("[%s] %s could not take its name\n", fn_, f.first.c_str());
            unlink(f.second.c_str());
            ok = false;
        }
    }
    g_staging.files.clear();
    return ok;
}

bool frame_missing(const char *fn) {
    if (!pru_fetch_failed()) return false;
    vz_err("[%s] frame fetch failed: calibration stopped\n", fn);
    return true;
}

std::string write_path(const std::string &name) {
    Staging &g_staging = staging();
    if (g_staging.depth == 0) return name;
    for (const auto &f : g_staging.files)
        if (f.first == name) return f.second;
    g_staging.files.emplace_back(name, name + kStagedSuffix);
    return g_staging.files.back().second;
}

std::string read_path(const std::string &name) {
    for (const auto &f : staging().files)
        if (f.first == name && access(f.second.c_str(), F_OK) == 0) return f.second;
    return name;
}

}  // namespace vz::epc
