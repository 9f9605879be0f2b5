// The vizor command-line tool: shared state of one run (the library, the
// optional virtual camera, the open device) and the subcommands.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "signals.h"
#include "toolkit.h"
#include "vizor/vizor.h"

namespace vztool {

// A runtime failure: main prints "vizor: <what>" on one line and exits 1.
struct ToolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A file created (or truncated) for writing, closed when it goes out of
// scope; an empty path opens nothing (fd() is -1).
class OutputFile {
public:
    explicit OutputFile(const std::string &path);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

using Json = nlohmann::ordered_json;
// Prints j (indented) and a newline on standard output.
void print_json(const Json &j);

// The failure of list and of every command that opens a camera when there is none.
extern const char *const kNoCamera;

// Options every subcommand takes.
struct Globals {
    std::string scene;      // non-empty: run on a virtual camera showing this scene
    std::string flash_dir;  // the virtual camera keeps its flash here between runs
    std::string log_file;   // library log file (none by default)
    int verbose = 0;        // library messages on the console: 1 WRN, 2 INF, 3 DBG
    std::string device = "0";
};

// ---- virtual mode (virtual.cpp) ---------------------------------------------

// Whether this build carries the virtual camera.
bool virtual_supported();
// Re-executes the program under the umockdev preload unless it already runs
// under it (keeping LD_PRELOAD and a shared sanitizer runtime first); returns
// only when the preload is in place. Throws ToolError without a virtual camera.
void ensure_virtual_preload(char **argv);

class VirtualCamera;
void destroy_virtual(VirtualCamera *cam);
struct VirtualCameraDeleter {
    void operator()(VirtualCamera *c) const { destroy_virtual(c); }
};
// The virtual bus leaves with this object, which must happen after every
// device on it was closed.
using VirtualCameraPtr = std::unique_ptr<VirtualCamera, VirtualCameraDeleter>;

// Puts one camera (an epc660 unless the scene names another product first)
// on a virtual bus showing the scene (see --virtual),
// with its flash loaded from flash_dir when given. Call after vizor_init and
// before the library lists cameras. Throws ToolError.
VirtualCameraPtr start_virtual(const std::string &scene, const std::string &flash_dir);
// Turns the camera's scene black (dark) or back to the scene it started with.
void set_virtual_dark(VirtualCamera &cam, bool dark);
// Stores the flash of the camera into its flash folder (if any); returns an
// empty string or the reason it failed.
std::string save_virtual_flash(VirtualCamera &cam);

// ---- one run ----------------------------------------------------------------

// Makes dir the working directory for its lifetime and then returns to the
// one before (the EPC library reads and writes its calibration files, and
// the calibration download its temporary files, in the working directory).
// Throws ToolError when dir cannot be entered.
class WorkDir {
public:
    explicit WorkDir(const std::string &dir);
    ~WorkDir();
    WorkDir(const WorkDir &) = delete;
    WorkDir &operator=(const WorkDir &) = delete;

private:
    int back_ = -1;  // descriptor of the previous working directory
};

class Session {
public:
    // Starts the library (log levels from g) and the virtual camera if asked.
    explicit Session(const Globals &g);
    // Closes the device, ends the library, saves the virtual flash.
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // The cameras on the bus (USB locations only, nothing opened).
    std::vector<vizor_dev_t> list();
    // Opens the camera the --device option names. Throws ToolError.
    vizor_dev_t *open();
    vizor_dev_t *dev() { return dev_; }
    bool is_virtual() const { return static_cast<bool>(vcam_); }
    // Where the EPC library finds the camera's calibration files: the
    // virtual camera's private folder (kept until the session ends, since a
    // frequency change reads the set of the new frequency), or empty for the
    // working directory.
    const std::string &calib_dir() const { return calib_dir_; }
    // Virtual camera only: turns its scene black (no light comes back) or
    // back to what it was; false without a virtual camera.
    bool darken_virtual(bool dark);
    // From now until the session has ended (device closed, virtual flash
    // saved) no signal interrupts the program; what says why.
    void protect_until_end(const char *what) {
        if (!protected_) protected_.emplace(what);
    }
    // Ends the session early (as the destructor does); returns an empty
    // string or why the virtual flash could not be saved.
    std::string finish();

private:
    std::optional<ProtectedPhase> protected_;  // first member: released last
    Globals g_;
    VirtualCameraPtr vcam_;
    vizor_dev_t rec_{};
    vizor_dev_t *dev_ = nullptr;
    bool started_ = true;  // the library runs (until finish)
    std::string calib_dir_;
};

// ---- subcommands ---------------------------------------------------------------

// How distances become points: exact (distance times the unit ray of each
// pixel through the camera's lens) or compat (the library's
// vizor_frame_get_pcl projection, z from the horizontal angle only).
enum class Projection { exact, compat };

// Image outputs of capture and play.
struct OutputOpts {
    std::string dir = "out";
    bool each = false;  // images of every frame (else of the last one)
    bool png = true, ply = true, vzd = true;
    bool ply_rgb = true;
    int vzd_fmt = VIZOR_SAVE_FMT_F32;
    std::optional<std::pair<float, float>> range;  // colour range, metres
    std::optional<Intrinsics> intrinsics;          // point-cloud camera
    Projection projection = Projection::exact;
    float flying = kFlyingDefault;  // flying-pixel threshold of the point cloud, 0: off
};

// Points (3 floats each, valid pixels only) of a w x h distance image through
// the device's driver lens when it has one and o names no intrinsics, else
// through o's intrinsics or the default camera; dev may be null. Returns the
// number of points.
int project_points(vizor_dev_t *dev, const OutputOpts &o, float *pcl, int len, const float *dist,
                   int w, int h);
// The distances the point cloud is made of: dist itself with the filter off
// (t 0), else a copy in scratch without its flying pixels (threshold t).
const std::vector<float> &cloud_distances(const std::vector<float> &dist, int w, int h, float t,
                                          std::vector<float> &scratch);
// The flying-pixel threshold --filter choices leave (the last flying-pixels
// choice; the default without one). The choices are checked already.
float flying_threshold(const std::vector<std::string> &choices);
// Z-depth in millimetres (0: invalid) of a w x h distance image through the
// same lens as project_points, always exact. Returns the pixels written.
int depth_mm(vizor_dev_t *dev, const OutputOpts &o, uint16_t *out, int len, const float *dist,
             int w, int h);

struct CaptureOpts {
    int frames = 10;
    bool json = false;  // the summary as JSON
    OutputOpts out;
    std::vector<std::string> filters;  // "undistort", "min-amplitude=N", "flying-pixels=off", ...
    int buffer_frames = 0;             // the library's frame buffer in frames (0: its default)
    std::string frequency;             // EPC modulation frequency in MHz; empty: the camera's
    std::string mode;                  // EPC readout mode (epc_modes()); empty: the camera's
};
struct PlayOpts {
    std::string file;
    OutputOpts out;
    std::vector<std::string> filters;  // "flying-pixels..." only
};
// vizor record (record.cpp): raw frames into a ".vzr" recording.
struct RecordOpts {
    std::string file;  // the recording
    int frames = 100;  // 0: until Ctrl-C
    std::string vzd;   // non-empty: also the live-decoded distances into this frame file
};
struct RegOpts {
    bool write = false;
    int target = 1;
    uint32_t addr = 0;
    int count = 1;
    bool json = false;
    std::vector<uint32_t> values;
};
struct ParamOpts {
    bool set = false;
    std::vector<uint32_t> ids;
    int len = 0;  // get: length byte of the request
    bool json = false;
    std::vector<uint8_t> value;  // set
};
struct DataOpts {
    enum class Op { upload, download, firmware } op = Op::upload;
    std::string file;
    int type = 0;
    int version = 0;
};

int cmd_list(Session &s, bool json);
int cmd_info(Session &s, bool json);
int cmd_capture(Session &s, const CaptureOpts &o);
int cmd_play(Session &s, const PlayOpts &o);
int cmd_reg(Session &s, const RegOpts &o);
int cmd_record(Session &s, const RecordOpts &o);
// Whether path is a recording (SQLite header) rather than a distance frame file.
bool is_recording_file(const std::string &path);
// Decodes a recording replayed on the virtual camera (the session runs on
// it: Globals::scene is the recording) into play's outputs.
int cmd_play_recording(Session &s, const PlayOpts &o);
int cmd_param(Session &s, const ParamOpts &o);
int cmd_data(Session &s, const DataOpts &o);

// vizor view (view_server.cpp): the live viewer in the browser.
struct ViewOpts {
    std::string bind = "127.0.0.1";
    int port = 8080;              // 0: any free port (printed)
    std::string out_dir = "out";  // snapshots and recordings
    std::string assets;           // the page's folder (default: installed or source tree)
    std::string play;             // a distance frame file to show instead of a camera
    double play_fps = 10;
    std::optional<std::pair<float, float>> range;
    Projection projection = Projection::exact;
    float flying = kFlyingDefault;  // flying-pixel threshold of the point cloud, 0: off
};
int cmd_view(Session &s, const ViewOpts &o);
// ---- EPC cameras (epc_cmds.cpp) ----------------------------------------------
// Prints the chip identity, modulation frequency, integration time and
// calibration state of epc_state_json; nothing for null (other cameras).
void print_epc_state(const Json &epc);
// Whether the camera runs the EPC driver (an epc660 or epc635 sensor).
bool epc_camera(vizor_dev_t *dev);
// The EPC part of `vizor info --json` ("epc" object); null for other cameras.
Json epc_state_json(vizor_dev_t *dev);

// vizor calibrate (calibrate.cpp): the EPC library's calibrations, their
// files written into dir.
struct CalibrateOpts {
    std::string what;           // "drnu", "gray" or "bad-pixels"
    std::string dir;            // output folder (created when missing)
    int frames = 0;             // DRNU frames averaged per step; 0: the library's (25)
    int delay_ms = -1;          // DRNU pause before each frame; -1: the library's (200 ms)
    int steps = 0;              // DRNU delay-line steps; 0: the library's (30)
    bool diagnostics = false;   // the library's console diagnostics on standard error
    std::string dark = "auto";  // gray dark step: auto, virtual, prompt or now
};
int cmd_calibrate(Session &s, const CalibrateOpts &o);

// Why a --filter choice is not one of the filters (empty when it is).
std::string filter_error(const std::string &choice);
// The same for commands without a camera (play, view of a file), which take
// the flying-pixels choices only.
std::string flying_filter_error(const std::string &choice);
// Switches on the driver filters named by --filter (flying-pixels choices are
// the point cloud's, not the driver's: they are skipped); throws ToolError for
// an unknown name, a bad value or a driver without filters.
void apply_filters(vizor_dev_t *dev, const std::vector<std::string> &choices);

// The readout modes `vizor capture --mode` offers on an EPC camera.
const std::vector<std::string> &epc_modes();
// Why a --frequency value is no frequency in MHz (empty when it is one).
std::string frequency_error(const std::string &mhz);
// Sets the modulation frequency (MHz, one the chip offers) and the readout
// mode of an EPC camera before capture, each when given; the set of the new
// frequency is read from calib_dir (empty: the working directory). Throws
// ToolError for another camera or a frequency the chip does not offer. A
// frequency without factory calibration is said on standard error.
void apply_epc_controls(vizor_dev_t *dev, const std::string &calib_dir, const std::string &mhz,
                        const std::string &mode);
// The modulation frequency (kHz), the mode and whether a calibration set fits,
// for the capture summary; null for other cameras.
Json epc_capture_json(vizor_dev_t *dev, const std::string &mode);

// Whether standard output is a terminal (progress displays are drawn only
// there).
bool stdout_is_tty();

}  // namespace vztool
