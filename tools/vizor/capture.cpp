// capture and play: frames to coloured distance PNGs, gray PNGs, PLY point
// clouds and a distance frame file.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>

#include "app.h"
#include "cli.h"
#include "framefile.h"
#include "signals.h"
#include "vizor/drv.h"

namespace fs = std::filesystem;

namespace vztool {

namespace {

using Clock = std::chrono::steady_clock;

// Projects a distance image into points (3 floats each); returns the count.
using Projector = std::function<int(float *pcl, int pcl_len, const float *dist, int w, int h)>;
// Z-depth in millimetres of a distance image; returns the pixels written.
using Depther = std::function<int(uint16_t *out, int len, const float *dist, int w, int h)>;

// Writes the images of frames, keeping its buffers from frame to frame.
class ImageWriter {
public:
    explicit ImageWriter(const OutputOpts &o) : o_(o) {}

    // Fixes the colour range from the first frame unless one was given.
    void first_frame(const std::vector<float> &dist) {
        if (range_) return;
        if (o_.range) {
            range_ = o_.range;
        } else {
            range_ = auto_range(dist, scratch_);
            if (!range_) range_ = std::make_pair(0.1f, 5.0f);
        }
    }
    std::pair<float, float> range() const { return range_.value_or(std::make_pair(0.1f, 5.0f)); }

    // Writes the distance PNG, the gray PNG (when gray is given) and the point
    // cloud of one frame under prefix ("" or "frame_0003_").
    void write(const std::string &prefix, const std::vector<float> &dist,
               const std::vector<float> *gray, int w, int h, const Projector &project,
               const Depther &depth) {
        first_frame(dist);
        const auto [lo, hi] = range();
        const size_t n = size_t(w) * size_t(h);
        clamp_valid(dist, lo, hi, shown_);
        rgb_.resize(n * 3);
        const int coloured = vizor_cmap_float(rgb_.data(), int(rgb_.size()), shown_.data(), int(n),
                                              VIZOR_CMAP_FMT_RGB, lo, hi);
        if (coloured != int(n)) throw ToolError("colouring the distance image failed");
        if (o_.png) {
            save_png(prefix + "distance.png", w, h, 3, rgb_.data());
            if (gray) write_gray(prefix, *gray, w, h);
            depth_.resize(n);
            if (depth(depth_.data(), int(n), dist.data(), w, h) != int(n))
                throw ToolError("computing the depth image failed");
            const std::string path = path_of(prefix + "depth.png");
            const std::string err = write_png16(path, w, h, depth_.data());
            if (!err.empty()) throw ToolError("cannot write " + path + ": " + err);
            note(path);
        }
        if (o_.ply) {
            const std::vector<float> &cloud = cloud_distances(dist, w, h, o_.flying, cloud_);
            pcl_.resize(n * 3);
            const int points = project(pcl_.data(), int(pcl_.size()), cloud.data(), w, h);
            if (points < 0) throw ToolError("projecting the point cloud failed");
            const uint8_t *colours = nullptr;
            if (o_.ply_rgb) {
                // Points come densely in pixel order from the valid pixels: pick
                // those pixels' colours in the same order.
                pcl_rgb_.resize(size_t(points) * 3);
                size_t k = 0;
                for (size_t i = 0; i < n && k < size_t(points); ++i) {
                    if (!valid_distance(cloud[i])) continue;
                    std::memcpy(&pcl_rgb_[3 * k], &rgb_[3 * i], 3);
                    ++k;
                }
                if (k != size_t(points)) throw ToolError("point cloud and image disagree");
                colours = pcl_rgb_.data();
            }
            const std::string path = path_of(prefix + "cloud.ply");
            const std::string err = write_ply(path, pcl_.data(), size_t(points), colours);
            if (!err.empty()) throw ToolError("cannot write " + path + ": " + err);
            last_points_ = points;
            note(path + " (" + std::to_string(points) + " points)", path);
        }
    }

    // The gray PNG of one frame under prefix.
    void write_gray(const std::string &prefix, const std::vector<float> &gray, int w, int h) {
        const float white = gray_white_level(gray, scratch_);
        gray_to_u8(gray, white, gray8_);
        save_png(prefix + "gray.png", w, h, 1, gray8_.data());
    }

    std::string path_of(const std::string &name) const {
        return (fs::path(o_.dir) / name).string();
    }
    // What was written, for the summary (per-frame runs name the first and
    // count the rest).
    void note(const std::string &what, const std::string &path = {}) {
        if (written_.size() < 8) written_.push_back(what);
        all_.push_back(path.empty() ? what : path);
        ++files_;
    }
    const std::vector<std::string> &all_files() const { return all_; }
    const std::vector<std::string> &written() const { return written_; }
    int files() const { return files_; }

private:
    void save_png(const std::string &name, int w, int h, int channels, const uint8_t *px) {
        const std::string path = path_of(name);
        const std::string err = write_png(path, w, h, channels, px);
        if (!err.empty()) throw ToolError("cannot write " + path + ": " + err);
        note(path);
    }

    const OutputOpts &o_;
    std::optional<std::pair<float, float>> range_;
    std::vector<float> scratch_, shown_, pcl_, cloud_;
    std::vector<uint8_t> rgb_, gray8_, pcl_rgb_;
    std::vector<uint16_t> depth_;
    std::vector<std::string> written_, all_;
    int files_ = 0;
    int last_points_ = 0;
};

void make_out_dir(const std::string &dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir)) throw ToolError("cannot create " + dir + ": " + ec.message());
}

std::string frame_prefix(int i) {
    char b[32];
    std::snprintf(b, sizeof b, "frame_%04d_", i);
    return b;
}

const char *vzd_name(int fmt) {
    return fmt == VIZOR_SAVE_FMT_U32 ? "U32" : fmt == VIZOR_SAVE_FMT_U16 ? "U16" : "F32";
}

// Capture statistics; the library calls the error callback on this thread
// inside the fetch calls.
struct CapStats {
    int discarded = 0;
    int errors = 0;
    int last_error = 0;
} g_cap;

bool on_cap_error(vizor_dev_t *, int err, int err_arg) {
    if (err == VIZOR_ERR_CAP_FRAME_DISCARD) {
        g_cap.discarded = err_arg;
    } else {
        ++g_cap.errors;
        g_cap.last_error = err;
    }
    return true;
}

void print_summary(const ImageWriter &iw, const OutputOpts &o) {
    if (o.ply) std::printf("%s\n", flying_note(o.flying).c_str());
    if (o.png || o.ply) {
        const auto [lo, hi] = iw.range();
        std::printf("colour range %.3f .. %.3f m (near red, far blue)\n", double(lo), double(hi));
    }
    for (const auto &w : iw.written()) std::printf("wrote %s\n", w.c_str());
    if (iw.files() > int(iw.written().size()))
        std::printf("... and %d more files in %s\n", iw.files() - int(iw.written().size()),
                    o.dir.c_str());
}

}  // namespace

int cmd_capture(Session &s, const CaptureOpts &o) {
    vizor_dev_t *dev = s.open();
    apply_filters(dev, o.filters);
    apply_epc_controls(dev, s.calib_dir(), o.frequency, o.mode);
    if (o.buffer_frames > 0)
        vizor_cap_set_frame_buffer(dev, nullptr, uint32_t(o.buffer_frames) * 307200u);
    make_out_dir(o.out.dir);
    ImageWriter iw(o.out);

    // Points and depth: the driver's lens when it has one, else the given or
    // default camera for the frame size.
    const vizor_drv_t *drv = vizor_dev_get_drv(dev);
    Projector project = [&](float *pcl, int len, const float *dist, int w, int h) {
        return project_points(dev, o.out, pcl, len, dist, w, h);
    };
    Depther depth = [&](uint16_t *out, int len, const float *dist, int w, int h) {
        return depth_mm(dev, o.out, out, len, dist, w, h);
    };

    // The 2D gray mode of an EPC camera: its frames hold light, no distances.
    const bool gray_only = o.mode == "gray";
    const std::string vzd_path = iw.path_of("distance.vzd");
    const OutputFile vzd(o.out.vzd && !gray_only ? vzd_path : std::string());
    const int fd = vzd.fd();

    // Ctrl-C ends the loop; the frames so far are kept and every file is
    // closed whole.
    StoppablePhase stoppable;
    g_cap = {};
    vizor_cap_set_callback_on_error(dev, on_cap_error);
    if (!vizor_cap_start(dev)) throw ToolError("the camera did not start capturing");

    std::vector<uint8_t> raw(6220800);                    // the largest frame the library hands out
    std::vector<float> dist, gray, last_dist, last_gray;  // last_*: the last good frame
    vizor_frame_info_t info{};
    int w = 0, h = 0, last_w = 0, last_h = 0, got = 0;
    std::string stop_reason;
    const bool tty = stdout_is_tty() && !o.json;
    Clock::time_point t_first{}, t_last{};
    const bool want_gray = o.out.png;

    for (int i = 0; i < o.frames && !pending_signal(); ++i) {
        const int r = vizor_cap_get_frames(dev, 1, raw.data(), uint32_t(raw.size()), &info);
        if (r != 1 && pending_signal()) break;
        if (r != 1) {
            stop_reason = r == 0    ? "no frame within the time-out"
                          : r == -2 ? "the camera stopped capturing"
                          : r < 0   ? std::string("capture error ") + vizor_error_name(r)
                                    : "unexpected fetch result";
            break;
        }
        t_last = Clock::now();
        if (got == 0) t_first = t_last;
        if (info.width == 0 || info.height == 0 || info.width > 8192 || info.height > 8192 ||
            info.frame_size > raw.size()) {
            stop_reason = "frame of unusable geometry " + std::to_string(info.width) + " x " +
                          std::to_string(info.height);
            break;
        }
        w = int(info.width);
        h = int(info.height);
        const int n = w * h;
        dist.resize(gray_only ? 0 : size_t(n));
        if (!gray_only && vizor_frame_get_distance(dev, dist.data(), n, raw.data(),
                                                   int(info.frame_size), &info) != n) {
            stop_reason = std::string("the driver cannot decode this camera's frames (driver ") +
                          (drv && drv->name ? drv->name : "?") + ")";
            break;
        }
        if (want_gray) {
            gray.resize(size_t(n));
            if (vizor_frame_get_gray(dev, gray.data(), n, raw.data(), int(info.frame_size),
                                     &info) != n)
                gray.clear();
        }
        if (gray_only && gray.empty()) {
            stop_reason = "the driver cannot decode this camera's gray frames";
            break;
        }
        if (fd >= 0 && !vizor_frame_save_distance(fd, o.out.vzd_fmt, dist.data(), n, w, h)) {
            stop_reason = "cannot write " + vzd_path;
            break;
        }
        ++got;
        if (gray_only) {
            if (o.out.each) iw.write_gray(frame_prefix(i), gray, w, h);
        } else {
            iw.first_frame(dist);
            if (o.out.each && (o.out.png || o.out.ply))
                iw.write(frame_prefix(i), dist, gray.empty() ? nullptr : &gray, w, h, project,
                         depth);
        }
        std::swap(dist, last_dist);
        std::swap(gray, last_gray);
        last_w = w;
        last_h = h;
        if (tty) {
            const double secs = std::chrono::duration<double>(t_last - t_first).count();
            char fps[16] = "  ---";
            if (got > 1 && secs > 0) std::snprintf(fps, sizeof fps, "%5.1f", (got - 1) / secs);
            std::printf("\rframe %d/%d  %s fps  %d discarded  %d errors   ", got, o.frames, fps,
                        g_cap.discarded, g_cap.errors);
            std::fflush(stdout);
        }
    }
    vizor_cap_stop(dev);
    if (tty) std::printf("\n");

    if (got > 0 && !o.out.each && gray_only)
        iw.write_gray("", last_gray, last_w, last_h);
    else if (got > 0 && !o.out.each && (o.out.png || o.out.ply))
        iw.write("", last_dist, last_gray.empty() ? nullptr : &last_gray, last_w, last_h, project,
                 depth);
    if (got > 0 && fd >= 0)
        iw.note(vzd_path + " (" + std::to_string(got) + " frames, " + vzd_name(o.out.vzd_fmt) + ")",
                vzd_path);

    const double secs = std::chrono::duration<double>(t_last - t_first).count();
    const int sig = pending_signal();
    if (o.json) {
        Json j = {{"frames_requested", o.frames},
                  {"frames_captured", got},
                  {"width", last_w},
                  {"height", last_h},
                  {"seconds", secs},
                  {"fps", nullptr},
                  {"discarded", g_cap.discarded},
                  {"errors", g_cap.errors},
                  {"stopped_by", sig ? Json(signal_name(sig)) : Json(nullptr)},
                  {"colour_range", nullptr},
                  {"flying_pixels", nullptr},
                  {"files", iw.all_files()}};
        if (Json e = epc_capture_json(dev, o.mode); !e.is_null()) j["epc"] = e;
        if (o.out.ply && !gray_only && o.out.flying > 0)
            j["flying_pixels"] = std::round(double(o.out.flying) * 1e6) / 1e6;
        if (got > 1 && secs > 0) j["fps"] = (got - 1) / secs;
        if (got > 0 && !gray_only && (o.out.png || o.out.ply))
            j["colour_range"] = {iw.range().first, iw.range().second};
        print_json(j);
    } else {
        char rate[32] = "n/a";
        if (got > 1 && secs > 0) std::snprintf(rate, sizeof rate, "%.1f fps", (got - 1) / secs);
        std::printf("captured %d of %d frames (%d x %d) in %.2f s: %s, %d discarded, %d errors\n",
                    got, o.frames, last_w, last_h, secs, rate, g_cap.discarded, g_cap.errors);
        if (got > 0) print_summary(iw, o.out);
    }
    if (sig && got < o.frames) {
        std::fflush(stdout);
        std::fprintf(stderr,
                     "vizor: capture stopped by %s after %d of %d frames; the files above are "
                     "complete\n",
                     signal_name(sig), got, o.frames);
        return signal_exit_code();
    }
    if (g_cap.errors > 0 && stop_reason.empty() && got < o.frames)
        stop_reason = std::string("capture error ") + vizor_error_name(g_cap.last_error);
    if (got < o.frames)
        throw ToolError("capture stopped after " + std::to_string(got) + " of " +
                        std::to_string(o.frames) + " frames: " + stop_reason);
    return 0;
}

int cmd_play(Session &, const PlayOpts &o) {
    DistanceFile file(o.file);
    make_out_dir(o.out.dir);
    ImageWriter iw(o.out);
    const int w = file.width(), h = file.height();
    Projector project = [&](float *pcl, int len, const float *dist, int fw, int fh) {
        return project_points(nullptr, o.out, pcl, len, dist, fw, fh);
    };
    Depther depth = [&](uint16_t *out, int len, const float *dist, int fw, int fh) {
        return depth_mm(nullptr, o.out, out, len, dist, fw, fh);
    };
    StoppablePhase stoppable;
    std::vector<float> cur, last;
    int frames = 0;
    while (!pending_signal() && file.next(cur)) {
        if (o.out.each) iw.write(frame_prefix(frames), cur, nullptr, w, h, project, depth);
        std::swap(cur, last);
        ++frames;
    }
    if (frames == 0) throw ToolError(o.file + " holds no whole frame");
    if (!o.out.each) iw.write("", last, nullptr, w, h, project, depth);
    std::printf("played %d frames (%d x %d) from %s\n", frames, w, h, o.file.c_str());
    print_summary(iw, o.out);
    if (const long long rest = file.trailing_bytes(); rest > 0)
        std::fprintf(stderr, "vizor: %lld bytes after the last whole frame were ignored\n", rest);
    if (const int sig = pending_signal()) {
        std::fflush(stdout);
        std::fprintf(stderr, "vizor: play stopped by %s after %d frames\n", signal_name(sig),
                     frames);
        return signal_exit_code();
    }
    return 0;
}

// ---- the commands' options ---------------------------------------------------------

void add_capture_commands(Commands &c) {
    // capture
    struct CaptureArgs {
        CaptureOpts cap;
        OutputArgs out{"last", "rgb", "f32", {}, {}, {"png", "ply", "vzd"}};
    };
    auto args = std::make_shared<CaptureArgs>();
    CaptureOpts &cap = args->cap;
    auto *capture =
        c.add("capture", "Capture frames into images, a point cloud and a frame file", true);
    capture->add_option("-n,--frames", cap.frames, "Frames to capture")
        ->check(whole(1, 1000000))
        ->capture_default_str();
    capture->add_flag("--json", cap.json, "Print the summary as JSON (keys in the README)");
    add_output_opts(capture, cap.out, args->out, true);
    capture
        ->add_option("--filter", cap.filters,
                     "EPC driver filter: undistort, min-amplitude=N, auto-integration=N "
                     "(saturated samples per thousand); and for any camera flying-pixels=off "
                     "or flying-pixels=METRES (the point cloud's filter, on at 0.15 m by "
                     "default); repeatable")
        ->check(CLI::Validator([](std::string &v) { return filter_error(v); }, "FILTER"));
    capture
        ->add_option("--frequency", cap.frequency,
                     "EPC cameras: modulation frequency in MHz, one the chip offers "
                     "(24, 12, 6, 3, 1.5 or 0.75); the calibration set of its "
                     "class is used, and a frequency without one is said")
        ->check(CLI::Validator([](std::string &v) { return frequency_error(v); }, "MHZ"));
    capture
        ->add_option("--mode", cap.mode,
                     "EPC cameras: readout mode; gray (the 2D mode) writes gray.png only")
        ->check(CLI::IsMember(epc_modes()));
    capture->footer(
        "Files in the output folder: distance.png (distance coloured from red, near, to blue, far; "
        "black where invalid), gray.png (amplitude), cloud.ply (binary little-endian point cloud, "
        "metres; points straddling a depth edge are left out unless --filter flying-pixels=off), "
        "distance.vzd (every frame's distances, unfiltered, for 'vizor play' and "
        "--virtual=FILE). "
        "With --images each the PNG and PLY files are frame_NNNN_distance.png, frame_NNNN_gray.png "
        "and frame_NNNN_cloud.ply.");
    c.on_run(
        capture, [args](Session &s, const Globals &) { return cmd_capture(s, args->cap); },
        [args] {
            finish_output_opts(args->cap.out, args->out);
            args->cap.out.flying = flying_threshold(args->cap.filters);
            const OutputOpts &o = args->cap.out;
            if (args->cap.mode == "gray" && !o.png)
                return std::string("--mode gray writes gray images only: --formats needs png");
            return o.png || o.ply || o.vzd
                       ? std::string()
                       : "--formats names no file to write (see vizor capture --help)";
        });

    // play
    struct PlayArgs {
        PlayOpts play;
        OutputArgs out{"each", "rgb", "f32", {}, {}, {"png", "ply"}};
    };
    auto pargs = std::make_shared<PlayArgs>();
    PlayOpts &play = pargs->play;
    auto *playc = c.add(
        "play", "Turn a distance frame file, or a raw recording decoded again, into files", false);
    playc
        ->add_option("FILE", play.file,
                     "Distance frame file (.vzd) or raw recording of vizor record (.vzr)")
        ->required()
        ->check(CLI::ExistingFile);
    add_output_opts(playc, play.out, pargs->out, false);
    playc
        ->add_option("--filter", play.filters,
                     "flying-pixels=off or flying-pixels=METRES: the point cloud's flying-pixel "
                     "filter (on at 0.15 m by default)")
        ->check(CLI::Validator([](std::string &v) { return flying_filter_error(v); }, "FILTER"));
    playc->footer(
        "A recording (.vzr) is replayed on the virtual camera and decoded by the driver as a live "
        "camera's frames: distance.vzd and the PNG and PLY files as vizor capture writes them. "
        "It needs the tool's virtual component.");
    c.on_run(
        playc,
        [pargs](Session &s, const Globals &) {
            const PlayOpts &o = pargs->play;
            return is_recording_file(o.file) ? cmd_play_recording(s, o) : cmd_play(s, o);
        },
        [pargs] {
            finish_output_opts(pargs->play.out, pargs->out);
            OutputOpts &o = pargs->play.out;
            o.vzd = false;
            o.flying = flying_threshold(pargs->play.filters);
            return o.png || o.ply ? std::string()
                                  : "--formats names no file to write (see vizor play --help)";
        },
        // A recording plays on the virtual camera replaying it.
        [pargs](Globals &g) {
            if (is_recording_file(pargs->play.file)) g.scene = pargs->play.file;
        });
}

}  // namespace vztool
