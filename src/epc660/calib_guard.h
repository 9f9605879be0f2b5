// What every calibration run (DRNU, grayscale, FLIM, bad pixels) shares: it
// runs only with a camera open, holds that camera for its whole length (a
// close from another thread waits for the run to stop), stops at the first
// frame fetch that brings no frame, and stages every file it writes under a
// temporary name that becomes the real one only when the run completes, so
// a stopped run leaves the previous calibration as it was.
#pragma once

#include <memory>
#include <string>

namespace vz {
class DevHold;
}

namespace vz::epc {

class CalibRun {
public:
    // Checks for the camera (an ERR line under fn when there is none) and
    // starts staging. Runs nest: an inner one shares the outer one's files.
    explicit CalibRun(const char *fn);
    // Removes the staged files of a run that was not committed.
    ~CalibRun();
    CalibRun(const CalibRun &) = delete;
    CalibRun &operator=(const CalibRun &) = delete;

    // A camera is open and held.
    bool ok() const { return ok_; }
    // Gives the staged files their real names (outermost run only); false,
    // with an ERR line, when one of them cannot be renamed.
    bool commit();

private:
    const char *fn_;
    std::unique_ptr<DevHold> hold_;
    bool ok_ = false;
    bool committed_ = false;
};

// After taking a frame: true, with an ERR line under fn, when the image
// source's fetch brought no frame from the camera.
bool frame_missing(const char *fn);

// The name a file is written under: while a run is active, a staged name
// next to the real one (remembered for commit); otherwise the name itself.
std::string write_path(const std::string &name);
// The name a file is read under: its staged name when the active run wrote
// it, otherwise the name itself.
std::string read_path(const std::string &name);

}  // namespace vz::epc
