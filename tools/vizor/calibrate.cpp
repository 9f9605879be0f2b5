// vizor calibrate: runs the EPC library's calibrations on an epc660/epc635
// camera (the DRNU sweep, the grayscale gain and offset from a lit and a dark
// scene, the bad-pixel search) and leaves their files in the folder the user
// names. The library writes its files relative to the working directory, so
// the calibration runs with that folder as working directory; a progress
// line on standard error counts the frames the library takes.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <thread>

#include "app.h"
#include "cli.h"
#include "signals.h"
#include "vizor/drv.h"
#include "vizor/epc660.h"

namespace fs = std::filesystem;

namespace vztool {

namespace {

// Progress of the running calibration, advanced by the frame-ready callback
// (it runs on this thread, inside the library's frame fetches).
struct Progress {
    const char *what = "";
    int per_step = 1;  // frames per step
    int steps = 1;     // steps of one pass
    int frames = 0;    // frames taken so far
    bool tty = false;
    int shown = -1;  // frames when the last line was shown
    int first = 0;   // steps before this phase
    int total = 0;   // steps of the whole calibration (0: steps)
};
Progress g_progress;

// "drnu: step 3 of 30, frame 2 of 25": on a terminal one line redrawn per
// frame, otherwise one line per step and one at the end.
void show(bool final_line) {
    Progress &p = g_progress;
    const int done = p.frames > 0 ? p.frames - 1 : 0;
    const int step = done / p.per_step % p.steps + 1;
    const int pass = done / (p.per_step * p.steps) + 1;
    const int frame = p.frames > 0 ? done % p.per_step + 1 : 0;
    if (p.shown == p.frames || (!p.tty && !final_line && frame != 1)) return;
    p.shown = p.frames;
    std::string line = std::string(p.what) + ": step " + std::to_string(p.first + step) + " of " +
                       std::to_string(p.total ? p.total : p.steps) + ", frame " +
                       std::to_string(frame) + " of " + std::to_string(p.per_step);
    if (pass > 1) line += " (sweep " + std::to_string(pass) + ")";
    if (p.tty)
        std::fprintf(stderr, "\r%-70s%s", line.c_str(), final_line ? "\n" : "");
    else
        std::fprintf(stderr, "%s\n", line.c_str());
}

void on_frame(vizor_dev_t *, vizor_frame_t *) {
    std::fflush(stdout);  // the library's diagnostics before the progress line
    ++g_progress.frames;
    show(false);
}

// The EPC library prints its diagnostics on standard output; while it runs
// they go to standard error (with -v) or nowhere, so that standard output
// holds only the results.
class Diagnostics {
public:
    explicit Diagnostics(bool show) {
        std::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        const int to = show ? STDERR_FILENO : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && to >= 0) ::dup2(to, STDOUT_FILENO);
        if (!show && to >= 0) ::close(to);
    }
    ~Diagnostics() {
        std::fflush(stdout);
        if (saved_ < 0) return;
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
    }
    Diagnostics(const Diagnostics &) = delete;
    Diagnostics &operator=(const Diagnostics &) = delete;

private:
    int saved_ = -1;
};

// Starts counting frames for a new phase of per_step x steps frames, the
// steps numbered from first + 1 of total.
void begin(const char *what, int per_step, int steps, int first = 0, int total = 0) {
    g_progress = Progress{
        what, std::max(per_step, 1), std::max(steps, 1), 0, ::isatty(STDERR_FILENO) == 1, -1, first,
        total};
}

// The files below dir (relative to it) with their modification times.
std::map<std::string, fs::file_time_type> files_in(const fs::path &dir) {
    std::map<std::string, fs::file_time_type> out;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) out[fs::relative(e.path(), dir).string()] = e.last_write_time();
    return out;
}

const char *kDriverHint = "calibrate needs an epc660 or epc635 camera";

int run_gray(Session &s, const CalibrateOpts &o) {
    begin("gray (lit scene)", 100, 1, 0, 2);
    if (apiCalibrateGrayscale(1) < 0) return -1;
    show(true);
    std::string dark = o.dark;
    if (dark == "auto") dark = s.is_virtual() ? "virtual" : "prompt";
    if (dark == "virtual") {
        if (!s.darken_virtual(true))
            throw ToolError("--dark virtual needs the virtual camera (--virtual)");
    } else if (dark == "prompt") {
        std::fprintf(stderr,
                     "vizor: cover the lens (or darken the scene completely), then press Enter\n");
        std::string answer;
        if (!std::getline(std::cin, answer))
            throw ToolError(
                "no answer on standard input for the dark step (use --dark now when "
                "the scene is already dark)");
    }
    begin("gray (dark scene)", 100, 1, 1, 2);
    const int rc = apiCalibrateGrayscale(2);
    show(true);
    if (dark == "virtual") s.darken_virtual(false);
    return rc < 0 ? -1 : 0;
}

// While alive, a watcher thread closes dev as soon as a signal is pending.
class CloseOnSignal {
public:
    explicit CloseOnSignal(vizor_dev_t *dev)
        : watcher_([this, dev] {
              while (!done_.load()) {
                  if (pending_signal()) {
                      vizor_dev_close(dev);
                      return;
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(10));
              }
          }) {}
    ~CloseOnSignal() {
        done_.store(true);
        watcher_.join();
    }
    CloseOnSignal(const CloseOnSignal &) = delete;
    CloseOnSignal &operator=(const CloseOnSignal &) = delete;

private:
    std::atomic<bool> done_{false};
    std::thread watcher_;
};

}  // namespace

int cmd_calibrate(Session &s, const CalibrateOpts &o) {
    vizor_dev_t *dev = s.open();
    const vizor_drv_t *drv = vizor_dev_get_drv(dev);
    if (!epc_camera(dev))
        throw ToolError(std::string(kDriverHint) + "; this one has the " +
                        (drv && drv->name ? drv->name : "no") + " driver");
    std::error_code ec;
    fs::create_directories(fs::path(o.dir) / "calibration", ec);  // bad pixels go below it
    if (ec) throw ToolError("cannot create " + o.dir + ": " + ec.message());
    const auto before = files_in(o.dir);

    // Ctrl-C (or SIGTERM) stops a calibration: the camera is closed from
    // another thread, the library's run stops at its next frame and drops the
    // files it staged, so the folder keeps its previous calibration. Nothing
    // goes into the camera's flash, and the next open initialises the chip.
    vizor_cap_set_callback_on_frame_ready(dev, on_frame);
    int rc = 0, bad = 0;
    {
        const StoppablePhase stoppable;
        const CloseOnSignal closer(dev);
        const WorkDir in(o.dir);
        const Diagnostics diagnostics(o.diagnostics);
        if (o.what == "drnu") {
            if (o.frames > 0) calibrateSetDRNUAverage(o.frames);
            if (o.delay_ms >= 0) calibrateSetDRNUCalibrateDelay(o.delay_ms * 1000);
            if (o.steps > 0) calibrateSetNumDistances(o.steps);
            begin("drnu", calibrateGetDRNUAverage(), calibrateGetNumDistances());
            rc = apiCalibrateDRNU();
            show(true);
        } else if (o.what == "gray") {
            rc = run_gray(s, o);
        } else {
            begin("bad pixels", 1, 1);
            bad = calibrationSearchBadPixelsWithMin();
            rc = bad < 0 ? -1 : 0;
            show(true);
        }
    }
    if (const int sig = pending_signal()) {
        std::fflush(stdout);
        std::fprintf(stderr,
                     "vizor: calibration stopped by %s; %s keeps its previous calibration files\n",
                     signal_name(sig), o.dir.c_str());
        return signal_exit_code();
    }
    if (rc < 0)
        throw ToolError(o.what == "bad-pixels" ? "the bad-pixel search could not write its file"
                                               : "the calibration stopped (see the log); " + o.dir +
                                                     " keeps its previous files");
    if (o.what == "bad-pixels") std::printf("%d bad pixels\n", bad);
    vizor_cap_set_callback_on_frame_ready(dev, nullptr);
    int written = 0;
    for (const auto &[name, time] : files_in(o.dir)) {
        const auto was = before.find(name);
        if (was != before.end() && was->second == time) continue;
        std::printf("wrote %s\n", (fs::path(o.dir) / name).c_str());
        ++written;
    }
    if (written == 0) throw ToolError("the calibration wrote no file into " + o.dir);
    return rc;
}

// ---- the command's options ----------------------------------------------------------

void add_calibrate_command(Commands &c) {
    // calibrate (EPC cameras)
    auto args = std::make_shared<CalibrateOpts>();
    CalibrateOpts &cal = *args;
    auto *calc =
        c.add("calibrate",
              "Run a calibration of an epc660/epc635 camera and write its files into DIR", true);
    calc->add_option("WHAT", cal.what,
                     "drnu (distance non-uniformity sweep), gray (grayscale gain and offset from a "
                     "lit and a dark scene) or bad-pixels")
        ->required()
        ->check(CLI::IsMember({"drnu", "gray", "bad-pixels"}));
    calc->add_option("-o,--out", cal.dir,
                     "Folder of the calibration's files (created when missing)")
        ->type_name("DIR")
        ->required();
    calc->add_option("--frames", cal.frames,
                     "drnu: frames averaged per step (default: the library's 25)")
        ->check(whole(1, 1000));
    calc->add_option("--delay", cal.delay_ms,
                     "drnu: pause before each frame in ms (default: the library's 200)")
        ->check(whole(0, 999));
    calc->add_option("--steps", cal.steps,
                     "drnu: delay-line steps of the sweep (default: the library's 30)")
        ->check(whole(2, 50));
    calc->add_option("--dark", cal.dark,
                     "gray: how the scene goes dark for the second step: prompt (cover the lens "
                     "and press Enter), virtual (the virtual camera turns its scene black), now "
                     "(it is dark already); auto picks virtual or prompt")
        ->check(CLI::IsMember({"auto", "prompt", "virtual", "now"}))
        ->capture_default_str();
    calc->footer(
        "The drnu sweep takes 30 steps of 25 frames with 200 ms before each (at least 150 s; it "
        "repeats while the chip temperature drifts; --steps 4 --frames 1 --delay 0 for a quick "
        "run on the virtual camera) and writes the "
        "distance images, the DRNU table, the step temperatures and the upload image "
        "calib_and_param_NNN.bin. gray averages 100 frames of each scene and writes "
        "grayscale660_gain_offset_W..._C....txt. bad-pixels writes "
        "calibration/PTnn_Wnnn_Cnnn_bad_pixels.txt. Each file written is printed; the progress "
        "goes to standard error.");

    c.on_run(calc, [args](Session &s, const Globals &g) {
        args->diagnostics = g.verbose > 0;
        return cmd_calibrate(s, *args);
    });
}

}  // namespace vztool
