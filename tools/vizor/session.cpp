// One run of the tool: the library, the virtual camera, the chosen device.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "app.h"

namespace vztool {

const char *const kNoCamera =
    "no camera found: plug one in and check that the udev rule is installed (see README), or "
    "run on a virtual camera with --virtual";

bool stdout_is_tty() { return ::isatty(STDOUT_FILENO) == 1; }

WorkDir::WorkDir(const std::string &dir) {
    back_ = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (back_ < 0 || ::chdir(dir.c_str()) != 0) {
        const int e = errno;
        if (back_ >= 0) ::close(back_);
        throw ToolError("cannot work in " + dir + ": " + std::strerror(e));
    }
}

WorkDir::~WorkDir() {
    if (::fchdir(back_) != 0)
        std::fprintf(stderr, "vizor: cannot return to the working directory: %s\n",
                     std::strerror(errno));
    ::close(back_);
}

Session::Session(const Globals &g) : g_(g) {
    // The library always opens a log file; without --log it goes nowhere.
    vizor_init(g.log_file.empty() ? "/dev/null" : g.log_file.c_str());
    static const int console_levels[] = {5, 3, 2, 1, 0};
    const int console = console_levels[g.verbose < 0 ? 0 : g.verbose > 4 ? 4 : g.verbose];
    vizor_log_cfg(console, g.log_file.empty() ? 5 : 1, 5);
    if (!g.scene.empty()) {
        try {
            vcam_ = start_virtual(g.scene, g.flash_dir);
        } catch (...) {
            vizor_uninit();
            throw;
        }
    }
}

std::string Session::finish() {
    if (dev_) vizor_dev_close(dev_);
    dev_ = nullptr;
    if (!calib_dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(calib_dir_, ec);
        calib_dir_.clear();
    }
    if (!started_) return {};
    started_ = false;
    vizor_uninit();
    if (!vcam_) return {};
    // Saving replaces the folder's files one by one; a signal waits for it.
    ProtectedPhase saving("saving the virtual camera's flash");
    std::string err = save_virtual_flash(*vcam_);
    vcam_.reset();
    return err;
}

Session::~Session() {
    const std::string err = finish();
    if (!err.empty()) std::fprintf(stderr, "vizor: virtual flash not saved: %s\n", err.c_str());
}

bool Session::darken_virtual(bool dark) {
    if (!vcam_) return false;
    set_virtual_dark(*vcam_, dark);
    return true;
}

std::vector<vizor_dev_t> Session::list() {
    std::vector<vizor_dev_t> devs(64);
    const int n = vizor_dev_list(devs.data(), int(devs.size()));
    devs.resize(size_t(n > 0 ? n : 0));
    return devs;
}

vizor_dev_t *Session::open() {
    const auto sel = parse_device(g_.device);
    if (!sel) throw ToolError("bad --device " + g_.device);  // validated while parsing
    const auto devs = list();
    if (devs.empty()) throw ToolError(kNoCamera);
    const vizor_dev_t *pick = nullptr;
    if (sel->by_location()) {
        for (const auto &d : devs)
            if (d.usb_bus_num == sel->bus && d.usb_port_num == sel->port) pick = &d;
        if (!pick)
            throw ToolError("no camera at bus " + std::to_string(sel->bus) + " port " +
                            std::to_string(sel->port));
    } else {
        if (size_t(sel->index) >= devs.size())
            throw ToolError("no camera " + std::to_string(sel->index) + ": " +
                            std::to_string(devs.size()) + " found");
        pick = &devs[size_t(sel->index)];
    }
    rec_ = *pick;
    if (vcam_) {
        // The virtual camera's calibration (downloaded at open, with the EPC
        // library's parameter file) goes into a private folder, not into the
        // user's working directory; the library reads the set of another
        // frequency from it when the frequency changes, so the folder stays
        // until the session ends (a signal that ends the tool leaves it in the
        // temporary folder).
        std::string dir = (std::filesystem::temp_directory_path() / "vizor-calib-XXXXXX");
        if (!::mkdtemp(dir.data()))
            throw ToolError(std::string("cannot create a calibration folder: ") +
                            std::strerror(errno));
        calib_dir_ = dir;
        const WorkDir in(dir);
        dev_ = vizor_dev_open(&rec_);
    } else {
        dev_ = vizor_dev_open(&rec_);
    }
    if (!dev_)
        throw ToolError("cannot open the camera at bus " + std::to_string(rec_.usb_bus_num) +
                        " port " + std::to_string(rec_.usb_port_num) +
                        " (in use, no permission, or an unknown product)");
    return dev_;
}

OutputFile::OutputFile(const std::string &path) {
    if (path.empty()) return;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) throw ToolError("cannot create " + path + ": " + std::strerror(errno));
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace vztool
