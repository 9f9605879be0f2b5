// vizor view: the capture engine (see view_engine.h).
#include "view_engine.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "vizor/drv.h"
#include "vizor/epc660.h"

namespace fs = std::filesystem;

namespace vztool::view {

namespace {

constexpr uint32_t kRawLen = 6220800;  // the largest frame the library hands out
constexpr uint32_t kRangeEvery = 30;   // frames between automatic colour ranges

struct CapStats {
    std::atomic<uint32_t> discarded{0}, errors{0};
} g_stats;

bool on_cap_error(vizor_dev_t *, int err, int err_arg) {
    if (err == VIZOR_ERR_CAP_FRAME_DISCARD)
        g_stats.discarded = uint32_t(err_arg);
    else
        ++g_stats.errors;
    return true;
}

double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Reply fail(const std::string &msg) {
    std::string esc;
    for (char c : msg) {
        if (c == '"' || c == '\\') esc += '\\';
        esc += (c >= 0 && c < 0x20) ? ' ' : c;
    }
    return {false, "{\"ok\":false,\"error\":\"" + esc + "\"}"};
}

Reply done(const std::string &fields = "") {
    return {true, "{\"ok\":true" + (fields.empty() ? "" : "," + fields) + "}"};
}

std::string json_str(const std::string &s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += (c >= 0 && c < 0x20) ? ' ' : c;
    }
    return out + "\"";
}

}  // namespace

void reset_cap_stats() {
    g_stats.discarded = 0;
    g_stats.errors = 0;
}
uint32_t cap_discarded() { return g_stats.discarded; }
uint32_t cap_errors() { return g_stats.errors; }

Engine::Engine(const Source &src, const std::string &out_dir,
               std::optional<std::pair<float, float>> range)
    : src_(src), out_dir_(out_dir), fixed_range_(range) {
    flying_ = src_.flying;
    if (flying_ > 0) flying_on_ = flying_;
    if (fixed_range_) {
        range_ = *fixed_range_;
        have_range_ = true;
    }
    bar_vals_.resize(256);
    bar_.resize(256 * 3);
    if (src_.dev) {
        raw_.resize(kRawLen);
        reset_cap_stats();
        vizor_cap_set_callback_on_error(src_.dev, on_cap_error);
        // The camera's integration time as it stands, for the page's control.
        vizor_param_item_t it{};
        it.param_id = VIZOR_PARAM_INTG_TIME;
        it.param_val_len = 2;
        if (vizor_param_batch_get(src_.dev, &it, 1))
            intg_us_ = uint32_t(it.param_val[0] | it.param_val[1] << 8);
    } else {
        file_ = std::make_unique<DistanceFile>(src_.file);
    }
    thread_ = std::thread([this] { run(); });
}

Engine::~Engine() { stop(); }

void Engine::stop() {
    if (!thread_.joinable()) return;
    quit_ = true;
    jobs_cv_.notify_all();
    thread_.join();
    slot_.close();
    if (src_.dev && running_) vizor_cap_stop(src_.dev);
    if (rec_fd_ >= 0) ::close(rec_fd_);
    rec_fd_ = -1;
    // Jobs that never ran get a failure instead of a broken promise.
    for (auto &j : jobs_) j.done->set_value(fail("the viewer is stopping"));
    jobs_.clear();
}

Reply Engine::control(const std::string &op, const std::function<std::string(const char *)> &arg,
                      int timeout_ms) {
    auto done_p = std::make_shared<std::promise<Reply>>();
    auto fut = done_p->get_future();
    {
        std::lock_guard<std::mutex> lk(jobs_mu_);
        if (quit_) return fail("the viewer is stopping");
        if (jobs_.size() >= 64) return fail("too many controls waiting");
        // The request's arguments are read now: the request dies with its handler.
        std::vector<std::pair<std::string, std::string>> args;
        for (const char *k :
             {"on", "value", "lo", "hi", "which", "index", "x1", "x2", "y1", "y2", "h", "v"})
            args.emplace_back(k, arg(k));
        jobs_.push_back({[this, op, args] {
                             return dispatch(op, [&](const char *k) {
                                 for (const auto &[n, v] : args)
                                     if (n == k) return v;
                                 return std::string();
                             });
                         },
                         done_p});
    }
    jobs_cv_.notify_all();
    if (fut.wait_for(std::chrono::milliseconds(timeout_ms)) != std::future_status::ready)
        return fail("the camera did not answer in time");
    return fut.get();
}

void Engine::run_jobs() {
    std::deque<Job> jobs;
    {
        std::lock_guard<std::mutex> lk(jobs_mu_);
        jobs.swap(jobs_);
    }
    for (auto &j : jobs) {
        Reply r;
        try {
            r = j.fn();
        } catch (const std::exception &e) {
            r = fail(e.what());
        }
        j.done->set_value(std::move(r));
    }
}

void Engine::run() {
    if (src_.dev)
        set_running(true);
    else
        running_ = true;
    while (!quit_) {
        run_jobs();
        if (!running_) {
            std::unique_lock<std::mutex> lk(jobs_mu_);
            jobs_cv_.wait_for(lk, std::chrono::milliseconds(200),
                              [&] { return quit_ || !jobs_.empty(); });
            continue;
        }
        try {
            if (src_.dev)
                grab_device();
            else
                grab_file();
        } catch (const std::exception &e) {
            std::fprintf(stderr, "vizor: %s\n", e.what());
            ++errors_;
            running_ = false;
        }
    }
}

void Engine::grab_device() {
    vizor_frame_info_t info{};
    const uint32_t reported = cap_errors();
    const int r = vizor_cap_get_frames(src_.dev, 1, raw_.data(), uint32_t(raw_.size()), &info);
    if (r != 1) {
        if (r < 0) {
            // Counted once: the error callback may have seen this error already.
            if (cap_errors() == reported && r != -2) ++errors_;
            last_error_ = r;
        }
        if (r == -2) running_ = false;  // the camera stopped capturing
        // A failing camera answers at once: pause instead of spinning (controls
        // still get in).
        if (r < 0) {
            std::unique_lock<std::mutex> lk(jobs_mu_);
            jobs_cv_.wait_for(lk, std::chrono::milliseconds(50),
                              [&] { return quit_ || !jobs_.empty(); });
        }
        return;
    }
    if (info.width == 0 || info.height == 0 || info.width > 8192 || info.height > 8192 ||
        info.frame_size > raw_.size()) {
        ++errors_;
        return;
    }
    const int w = int(info.width), h = int(info.height), n = w * h;
    dist_.resize(size_t(n));
    gray_.resize(size_t(n));
    if (vizor_frame_get_distance(src_.dev, dist_.data(), n, raw_.data(), int(info.frame_size),
                                 &info) != n) {
        ++errors_;
        return;
    }
    have_gray_ = vizor_frame_get_gray(src_.dev, gray_.data(), n, raw_.data(), int(info.frame_size),
                                      &info) == n;
    publish(w, h);
}

void Engine::grab_file() {
    // Paces the recording at its rate; the wait also lets controls in.
    {
        std::unique_lock<std::mutex> lk(jobs_mu_);
        jobs_cv_.wait_for(lk, std::chrono::duration<double>(1.0 / src_.file_fps),
                          [&] { return quit_ || !jobs_.empty(); });
        if (quit_ || !jobs_.empty()) return;
    }
    if (!file_->next(dist_)) {
        file_ = std::make_unique<DistanceFile>(src_.file);  // from the start again
        if (!file_->next(dist_)) throw ToolError(src_.file + " holds no whole frame");
    }
    have_gray_ = false;
    publish(file_->width(), file_->height());
}

int Engine::project(int w, int h) {
    const size_t n = size_t(w) * size_t(h);
    pcl_.resize(n * 3);
    OutputOpts o;
    o.projection = src_.projection;
    const std::vector<float> &cloud = cloud_distances(dist_, w, h, flying_, cloud_);
    const int points =
        project_points(src_.dev, o, pcl_.data(), int(pcl_.size()), cloud.data(), w, h);
    if (points < 0) return points;
    // Points come densely in pixel order from the valid pixels.
    pcl_rgb_.resize(size_t(points) * 3);
    size_t k = 0;
    for (size_t i = 0; i < n && k < size_t(points); ++i)
        if (valid_distance(cloud[i])) std::memcpy(&pcl_rgb_[3 * k++], &rgb_[3 * i], 3);
    return int(k);  // never send colours we do not have
}

void Engine::publish(int w, int h) {
    const size_t n = size_t(w) * size_t(h);
    w_ = w;
    h_ = h;
    ++frames_;
    const double t = now_s();
    if (fps_count_ == 0) fps_t0_ = t;
    if (++fps_count_ > 10 && t - fps_t0_ >= 1.0) {
        fps_ = float((fps_count_ - 1) / (t - fps_t0_));
        fps_count_ = 0;
    }
    if (!fixed_range_ && (!have_range_ || frames_ % kRangeEvery == 0)) {
        if (auto r = auto_range(dist_, scratch_)) {
            range_ = *r;
            have_range_ = true;
        }
    }
    if (have_gray_ && (frames_ % kRangeEvery == 1 || white_ <= 0))
        white_ = gray_white_level(gray_, scratch_);
    clamp_valid(dist_, range_.first, range_.second, shown_);
    rgb_.resize(n * 3);
    vizor_cmap_float(rgb_.data(), int(rgb_.size()), shown_.data(), int(n), VIZOR_CMAP_FMT_RGB,
                     range_.first, range_.second);
    for (int i = 0; i < 256; ++i)
        bar_vals_[size_t(i)] = range_.first + (range_.second - range_.first) * float(i) / 255.0f;
    vizor_cmap_float(bar_.data(), int(bar_.size()), bar_vals_.data(), 256, VIZOR_CMAP_FMT_RGB,
                     range_.first, range_.second);
    points_ = project(w, h);
    if (points_ < 0) points_ = 0;
    if (rec_fd_ >= 0) {
        if (vizor_frame_save_distance(rec_fd_, VIZOR_SAVE_FMT_F32, dist_.data(), int(n), w, h))
            ++recorded_;
        else
            set_record(false);
    }

    FrameHeader hd;
    hd.seq = frames_;
    hd.width = uint32_t(w);
    hd.height = uint32_t(h);
    hd.points = uint32_t(points_);
    hd.range_lo = range_.first;
    hd.range_hi = range_.second;
    hd.fps = fps_;
    hd.discarded = cap_discarded();
    hd.errors = errors_ + cap_errors();
    hd.last_error = last_error_;
    hd.gray_white = have_gray_ ? white_ : 0;
    hd.intg_us = intg_us_;
    hd.flags = (running_ ? kFlagRunning : 0) | (rec_fd_ >= 0 ? kFlagRecording : 0);
    hd.recorded = recorded_;
    auto buf = pool_.take();
    encode_frame(*buf, hd, bar_.data(), rgb_.data(), dist_.data(),
                 have_gray_ ? gray_.data() : nullptr, pcl_.data(), pcl_rgb_.data());
    slot_.publish(buf);
}

bool Engine::is_epc() const { return src_.dev && epc_camera(src_.dev); }

Reply Engine::dispatch(const std::string &op, const std::function<std::string(const char *)> &arg) {
    if (op == "state") return state();
    if (op == "start" || op == "stop") return set_running(op == "start");
    if (op == "snapshot") return snapshot();
    if (op == "record") return set_record(arg("on") == "1");
    if (op == "range") return set_range(arg("lo"), arg("hi"));
    if (op != "intg" && op != "filter" && op != "modfreq" && op != "roi" && op != "binning")
        return fail("unknown control " + op.substr(0, 32));
    // The point cloud's own filter: for recordings too.
    if (op == "filter" && arg("which") == "flying_pixels") return set_flying(arg("on") == "1");
    if (!src_.dev) return fail("a recording has no camera controls");
    if (op == "intg") {
        const auto v = form_number(arg("value"), 1, 65535);
        return v ? set_intg(*v) : fail("integration time must be 1..65535 us");
    }
    if (op == "filter") {
        const auto v = form_number(arg("value").empty() ? "0" : arg("value"), 0, 65535);
        if (!v) return fail("filter value must be 0..65535");
        return set_filter(arg("which"), arg("on") == "1", *v);
    }
    return epc(op, arg);
}

Reply Engine::state() const {
    const vizor_drv_t *drv = src_.dev ? vizor_dev_get_drv(src_.dev) : nullptr;
    std::string j = "\"source\":" + json_str(src_.dev ? "camera" : "file:" + src_.file);
    j += ",\"driver\":" + json_str(drv && drv->name ? drv->name : "");
    j += ",\"running\":" + std::string(running_ ? "true" : "false");
    j += ",\"recording\":" + std::string(rec_fd_ >= 0 ? "true" : "false");
    j += ",\"recorded\":" + std::to_string(recorded_);
    j += ",\"intg_us\":" + std::to_string(intg_us_);
    j += ",\"undistort\":" + std::string(undistort_ ? "true" : "false");
    j += ",\"min_amplitude\":" + std::to_string(min_amp_);
    j += ",\"auto_integration\":" + std::to_string(auto_intg_);
    char flying[32];
    std::snprintf(flying, sizeof flying, "%.6g", double(flying_));
    j += ",\"flying_pixels\":" + std::string(flying);
    j += ",\"epc\":" + std::string(is_epc() ? "true" : "false");
    if (is_epc()) j += "," + epc_state();
    j += ",\"camera\":" + std::string(src_.dev ? "true" : "false");
    j += ",\"frames\":" + std::to_string(frames_);
    j += ",\"errors\":" + std::to_string(errors_ + cap_errors());
    j += ",\"last_error\":" + json_str(last_error_ ? vizor_error_name(last_error_) : "");
    j += ",\"out_dir\":" + json_str(out_dir_);
    return done(j);
}

Reply Engine::set_running(bool on) {
    if (!src_.dev || on == running_) {
        running_ = on;
        return done();
    }
    if (on) {
        reset_cap_stats();
        if (!vizor_cap_start(src_.dev)) return fail("the camera did not start capturing");
    } else {
        vizor_cap_stop(src_.dev);
    }
    running_ = on;
    return done();
}

Reply Engine::set_intg(long us) {
    vizor_param_item_t it{};
    it.param_id = VIZOR_PARAM_INTG_TIME;
    it.param_val_len = 2;
    it.param_val[0] = uint8_t(us & 0xFF);
    it.param_val[1] = uint8_t(us >> 8);
    if (!vizor_param_batch_set(src_.dev, &it, 1))
        return fail("the camera refused the integration time");
    // What the camera holds now.
    vizor_param_item_t back{};
    back.param_id = VIZOR_PARAM_INTG_TIME;
    back.param_val_len = 2;
    if (!vizor_param_batch_get(src_.dev, &back, 1))
        return fail("reading the integration time back failed");
    intg_us_ = uint32_t(back.param_val[0] | back.param_val[1] << 8);
    return done("\"intg_us\":" + std::to_string(intg_us_));
}

Reply Engine::set_filter(const std::string &which, bool on, long value) {
    int id = -1;
    if (which == "undistort") id = VIZOR_FILTER_UNDISTORT;
    if (which == "min_amplitude") id = VIZOR_FILTER_MIN_AMPLITUDE;
    if (which == "auto_integration") id = VIZOR_FILTER_AUTO_INTEGRATION;
    if (id < 0) return fail("unknown filter " + which.substr(0, 32));
    int r;
    if (!on) {
        r = vizor_filter_disable(src_.dev, id);
    } else if (id == VIZOR_FILTER_MIN_AMPLITUDE) {
        int32_t a = int32_t(value);
        r = vizor_filter_enable(src_.dev, id, &a, int(sizeof a));
    } else if (id == VIZOR_FILTER_AUTO_INTEGRATION) {
        uint16_t a = uint16_t(value);
        r = vizor_filter_enable(src_.dev, id, &a, int(sizeof a));
    } else {
        r = vizor_filter_enable(src_.dev, id, nullptr, 0);
    }
    if (r != 1) return fail("the driver does not offer the " + which + " filter");
    if (id == VIZOR_FILTER_UNDISTORT) undistort_ = on;
    if (id == VIZOR_FILTER_MIN_AMPLITUDE) min_amp_ = on ? value : -1;
    if (id == VIZOR_FILTER_AUTO_INTEGRATION) auto_intg_ = on ? value : -1;
    return done();
}

Reply Engine::set_flying(bool on) {
    flying_ = on ? flying_on_ : 0.0f;
    return done();
}

Reply Engine::epc(const std::string &op, const std::function<std::string(const char *)> &arg) {
    // The EPC library acts on its default device, which the EPC driver binds
    // at open; on any other camera these registers mean something else. The
    // controls go through the library's facade, which keeps the chip, the
    // image geometry, the calibration in use and the filters together.
    if (!is_epc()) return fail(op + " needs an EPC camera");
    constexpr int kAddr = 32;  // the chip on the default device
    if (op == "modfreq") {
        const auto i = form_number(arg("index"), 0, configGetModFreqCount() - 1);
        if (!i)
            return fail("modulation frequency index must be 0.." +
                        std::to_string(configGetModFreqCount() - 1));
        int rc;
        {
            // The set of the new frequency is read from the calibration folder.
            std::optional<WorkDir> in;
            if (!src_.calib_dir.empty()) in.emplace(src_.calib_dir);
            rc = apiSetModulationFrequency(int(*i), kAddr);
        }
        if (rc != 0) return fail("the camera refused the modulation frequency");
        return done(epc_state());
    }
    if (op == "binning") {
        apiEnableHorizontalBinning(arg("h") == "1", kAddr);
        apiEnableVerticalBinning(arg("v") == "1", kAddr);
        return done();
    }
    const auto x1 = form_number(arg("x1"), 0, 327), x2 = form_number(arg("x2"), 0, 327);
    const auto y1 = form_number(arg("y1"), 0, 251), y2 = form_number(arg("y2"), 0, 251);
    if (!x1 || !x2 || !y1 || !y2 || *x1 >= *x2 || *y1 >= *y2 ||
        apiSetROI(int(*x1), int(*x2), int(*y1), int(*y2), kAddr) != 0)
        return fail(
            "bad region of interest (x from an even to an odd column, y from an even to "
            "an odd row of one half)");
    return done();
}

// The frequencies the chip offers (kHz), the current one and the frequency
// of the DRNU calibration in use (0: uncalibrated at this frequency).
std::string Engine::epc_state() const {
    const int *f = configGetModulationFrequencies();
    std::string list;
    for (int i = 0; f && i < configGetModFreqCount(); ++i) {
        if (i) list += ',';
        list += std::to_string(f[i]);
    }
    return "\"modfreqs_khz\":[" + list +
           "],\"modfreq_index\":" + std::to_string(configGetModFreqMode()) +
           ",\"khz\":" + std::to_string(configGetModulationFrequency()) +
           ",\"calibration_khz\":" + std::to_string(calibrationGetSetFrequency());
}

Reply Engine::set_range(const std::string &lo, const std::string &hi) {
    if (lo.empty() && hi.empty()) {
        fixed_range_.reset();
        have_range_ = false;
        return done();
    }
    const auto r = parse_range(lo + ":" + hi);
    if (!r) return fail("range must be MIN < MAX metres below 60");
    fixed_range_ = r;
    range_ = *r;
    return done();
}

Reply Engine::set_record(bool on) {
    if (on == (rec_fd_ >= 0)) return done("\"file\":" + json_str(rec_path_));
    if (!on) {
        ::close(rec_fd_);
        rec_fd_ = -1;
        return done("\"file\":" + json_str(rec_path_) + ",\"frames\":" + std::to_string(recorded_));
    }
    std::error_code ec;
    fs::create_directories(out_dir_, ec);
    char name[48];
    std::snprintf(name, sizeof name, "record_%04u.vzd", ++records_);
    rec_path_ = (fs::path(out_dir_) / name).string();
    rec_fd_ = ::open(rec_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (rec_fd_ < 0) return fail("cannot create " + rec_path_ + ": " + std::strerror(errno));
    recorded_ = 0;
    return done("\"file\":" + json_str(rec_path_));
}

Reply Engine::snapshot() {
    if (w_ == 0) return fail("no frame yet");
    std::error_code ec;
    fs::create_directories(out_dir_, ec);
    char prefix[48];
    std::snprintf(prefix, sizeof prefix, "snapshot_%04u_", ++snapshots_);
    const fs::path base = fs::path(out_dir_) / prefix;
    std::vector<std::string> files;
    std::string err = write_png(base.string() + "distance.png", w_, h_, 3, rgb_.data());
    if (err.empty()) files.push_back(base.string() + "distance.png");
    if (err.empty() && have_gray_) {
        std::vector<uint8_t> g8;
        gray_to_u8(gray_, white_, g8);
        err = write_png(base.string() + "gray.png", w_, h_, 1, g8.data());
        if (err.empty()) files.push_back(base.string() + "gray.png");
    }
    if (err.empty()) {
        err = write_ply(base.string() + "cloud.ply", pcl_.data(), size_t(points_), pcl_rgb_.data());
        if (err.empty()) files.push_back(base.string() + "cloud.ply");
    }
    if (!err.empty()) return fail("snapshot: " + err);
    std::string list;
    for (const auto &f : files) list += (list.empty() ? "" : ",") + json_str(f);
    return done("\"files\":[" + list + "]");
}

}  // namespace vztool::view
