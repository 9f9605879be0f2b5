// record and play of recordings: raw frames of a camera into a ".vzr"
// container (recording.h), and a recording decoded again through the
// library by replaying it on a virtual camera.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>

#include "app.h"
#include "cli.h"
#include "recording/recording.h"
#include "signals.h"
#include "vizor/datatrans.h"
#include "vizor/drv.h"
#include "vizor/epc660.h"

namespace fs = std::filesystem;

namespace vztool {

namespace {

using Clock = std::chrono::steady_clock;

// The parameters a replay needs (identity, chip, calibration description)
// and those kept for inspection (image mode, integration time, temperature).
constexpr int kParams[] = {VIZOR_PARAM_INFO_STR, VIZOR_PARAM_INFO_PRODUCT, VIZOR_PARAM_INFO_BLOB,
                           VIZOR_PARAM_INFO_EXT, VIZOR_PARAM_INFO_SENSOR,  VIZOR_PARAM_INFO_CALIB,
                           VIZOR_PARAM_IMG_MODE, VIZOR_PARAM_INTG_TIME,    VIZOR_PARAM_TEMP};
// The data type of the EPC calibration package in the camera's flash.
constexpr int kCalibImageType = 2;
// The epc660/epc635 fuse data register: reading it advances the fuse
// address, so a recording leaves it alone.
constexpr uint32_t kEpcFuseData = 18;

std::string hex(const uint8_t *p, size_t n) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

std::string text(const char *p, size_t n) { return std::string(p, strnlen(p, n)); }

std::string utc_now() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char b[32];
    std::strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return b;
}

// The EPC calibration package, read from the flash through a temporary file
// beside the recording; empty when the camera has none.
std::vector<uint8_t> read_calibration(vizor_dev_t *dev, const std::string &beside) {
    const std::string tmp = beside + ".calib.tmp";
    std::vector<uint8_t> bytes;
    if (vizor_data_upload(dev, uint8_t(kCalibImageType), tmp.c_str()) == 1) {
        std::error_code ec;
        const auto n = fs::file_size(tmp, ec);
        if (!ec && n <= vzrec::kMaxImageBytes) {
            bytes.resize(size_t(n));
            if (FILE *f = std::fopen(tmp.c_str(), "rb")) {
                if (std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) bytes.clear();
                std::fclose(f);
            }
        }
    }
    std::remove(tmp.c_str());
    return bytes;
}

// What the camera is and the state a later decode needs, read before capture.
vzrec::Header read_start_state(vizor_dev_t *dev, const std::string &path) {
    vzrec::Header h;
    const vizor_drv_t *drv = vizor_dev_get_drv(dev);
    const bool epc = epc_camera(dev);
    h.meta = {{"format", "vizor raw recording"},
              {"format_version", std::to_string(vzrec::kFormatVersion)},
              {"vizor_version", VIZOR_VERSION_STR},
              {"product", text(dev->product, sizeof dev->product)},
              {"driver", drv && drv->name ? drv->name : ""},
              {"dev_info_str", text(dev->dev_info_str, sizeof dev->dev_info_str)},
              {"dev_info_blob", hex(dev->dev_info_blob, sizeof dev->dev_info_blob)},
              {"dev_info_ext", hex(dev->dev_info_ext, sizeof dev->dev_info_ext)},
              {"usb_speed", std::to_string(dev->usb_speed)},
              {"usb_bus", std::to_string(dev->usb_bus_num)},
              {"usb_port", std::to_string(dev->usb_port_num)},
              {"started_utc", utc_now()},
              {"host_clock", "monotonic, ns since the first frame"},
              {"sensor_data", epc ? "epc-header-temperatures" : "not-available"}};
    for (const int id : kParams) {
        vizor_param_item_t item{};
        item.param_id = uint32_t(id);
        if (vizor_param_batch_get(dev, &item, 1) && item.param_val_len <= sizeof item.param_val)
            h.params[id].assign(item.param_val, item.param_val + item.param_val_len);
    }
    uint32_t regs[256] = {};
    if (epc) {
        // Both sides of the fuse data register, never the register itself.
        if (vizor_reg_batch_read(dev, 1, 0, regs, kEpcFuseData) &&
            vizor_reg_batch_read(dev, 1, kEpcFuseData + 1, regs + kEpcFuseData + 1,
                                 uint16_t(256 - kEpcFuseData - 1)))
            for (uint32_t a = 0; a < 256; ++a)
                if (a != kEpcFuseData) h.registers[{1, int(a)}] = regs[a];
        std::vector<uint8_t> calib = read_calibration(dev, path);
        int version = 1;
        if (auto it = h.params.find(VIZOR_PARAM_INFO_CALIB);
            it != h.params.end() && it->second.size() >= 7)
            version = int(it->second[3] | it->second[4] << 8);
        if (!calib.empty())
            h.images.push_back({kCalibImageType, version & 0xFFFF, std::move(calib)});
    } else if (vizor_reg_batch_read(dev, 1, 0, regs, 256)) {
        for (uint32_t a = 0; a < 256; ++a) h.registers[{1, int(a)}] = regs[a];
    }
    return h;
}

// The stream header's sensor bytes as far as the application can see them:
// the EPC driver keeps the chip and illumination temperatures of the last
// delivered frame's header (bytes 0-3); the rest does not reach the
// application and stays zero.
void rebuild_sensor_data(bool epc, std::array<uint8_t, 8> &sd) {
    sd.fill(0);
    if (!epc) return;
    const uint16_t chip = uint16_t(temperatureGetTemperatureByFrameHeader());
    const uint16_t ib = uint16_t(temperatureGetIbTemperatureByFrameHeader());
    sd = {uint8_t(chip), uint8_t(chip >> 8), uint8_t(ib), uint8_t(ib >> 8), 0, 0, 0, 0};
}

// The recording in progress. Frames are written by the frame-ready callback,
// which the library runs on this thread for every frame it delivers: the one
// the tool fetches and those ready beyond it, so no frame escapes the
// recording while the tool decodes.
struct RecState {
    vzrec::Writer *w = nullptr;
    bool epc = false;
    Clock::time_point t0{};
    vzrec::Frame f;
    std::string error;                  // the first write failure or unusable frame
    const uint8_t *tool_buf = nullptr;  // the tool's fetch buffer: frames put there
    size_t tool_len = 0;                // are the ones the tool itself fetched
    long long fetched = 0;
    int discarded = 0, errors = 0, last_error = 0;
} g_rec;

void on_rec_frame(vizor_dev_t *, vizor_frame_t *fr) {
    if (!g_rec.w || !fr || !fr->frame_fbuf || !g_rec.error.empty()) return;
    const vizor_frame_info_t &info = fr->frame_info;
    if (info.width == 0 || info.height == 0 || info.width > vzrec::kMaxDimension ||
        info.height > vzrec::kMaxDimension || info.frame_size == 0 ||
        info.frame_size > vzrec::kMaxFrameBytes) {
        g_rec.error = "frame of unusable geometry " + std::to_string(info.width) + " x " +
                      std::to_string(info.height);
        return;
    }
    const Clock::time_point now = Clock::now();
    if (g_rec.w->frames() == 0) g_rec.t0 = now;
    vzrec::Frame &f = g_rec.f;
    f.host_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - g_rec.t0).count();
    f.frame_idx = info.frame_idx;
    f.frame_format = info.frame_format;
    f.width = info.width;
    f.height = info.height;
    f.pixel_depth = info.pixel_depth;
    rebuild_sensor_data(g_rec.epc, f.sensor_data);
    f.data.assign(fr->frame_fbuf, fr->frame_fbuf + info.frame_size);
    if (fr->frame_fbuf >= g_rec.tool_buf && fr->frame_fbuf < g_rec.tool_buf + g_rec.tool_len)
        ++g_rec.fetched;
    try {
        g_rec.w->add_frame(f);
    } catch (const std::exception &e) {
        g_rec.error = e.what();
    }
}

bool on_rec_error(vizor_dev_t *, int err, int err_arg) {
    if (err == VIZOR_ERR_CAP_FRAME_DISCARD) {
        g_rec.discarded = err_arg;
    } else {
        ++g_rec.errors;
        g_rec.last_error = err;
    }
    return true;
}

// Detaches the callbacks and the writer however the recording ends.
struct RecGuard {
    vizor_dev_t *dev;
    ~RecGuard() {
        vizor_cap_set_callback_on_frame_ready(dev, nullptr);
        vizor_cap_set_callback_on_error(dev, nullptr);
        g_rec.w = nullptr;
    }
};

}  // namespace

bool is_recording_file(const std::string &path) { return vzrec::looks_like_recording(path); }

int cmd_record(Session &s, const RecordOpts &o) {
    vizor_dev_t *dev = s.open();
    const bool epc = epc_camera(dev);
    std::error_code ec;
    if (const fs::path dir = fs::path(o.file).parent_path(); !dir.empty())
        fs::create_directories(dir, ec);
    vzrec::Header header = read_start_state(dev, o.file);
    vzrec::Writer w(o.file);
    w.write_header(header);

    const OutputFile vzd(o.vzd);
    const int fd = vzd.fd();

    // Ctrl-C ends the loop; the frames so far are committed and the file closed whole.
    StoppablePhase stoppable;
    g_rec.discarded = g_rec.errors = g_rec.last_error = 0;
    g_rec.error.clear();
    g_rec.epc = epc;
    g_rec.f.data.reserve(vzrec::kMaxFrameBytes);
    g_rec.w = &w;
    RecGuard guard{dev};
    vizor_cap_set_callback_on_frame_ready(dev, on_rec_frame);
    vizor_cap_set_callback_on_error(dev, on_rec_error);
    if (!vizor_cap_start(dev)) throw ToolError("the camera did not start capturing");

    std::vector<uint8_t> raw(vzrec::kMaxFrameBytes);
    g_rec.tool_buf = raw.data();
    g_rec.tool_len = raw.size();
    g_rec.fetched = 0;
    std::vector<float> dist;
    vizor_frame_info_t info{};
    std::string stop_reason;
    const bool tty = stdout_is_tty();
    int fetched = 0;
    for (; (o.frames == 0 || fetched < o.frames) && !pending_signal(); ++fetched) {
        const int r = vizor_cap_get_frames(dev, 1, raw.data(), uint32_t(raw.size()), &info);
        if (r != 1 && pending_signal()) break;
        if (r != 1) {
            stop_reason = r == 0    ? "no frame within the time-out"
                          : r == -2 ? "the camera stopped capturing"
                                    : std::string("capture error ") + vizor_error_name(r);
            break;
        }
        if (!g_rec.error.empty()) break;
        if (fd >= 0) {
            // The live decode, for comparing with a later play of the recording.
            const int n = int(info.width * info.height);
            dist.resize(size_t(n));
            if (vizor_frame_get_distance(dev, dist.data(), n, raw.data(), int(info.frame_size),
                                         &info) != n ||
                !vizor_frame_save_distance(fd, VIZOR_SAVE_FMT_F32, dist.data(), n, int(info.width),
                                           int(info.height))) {
                stop_reason = "cannot decode or write the distances into " + o.vzd;
                break;
            }
        }
        if (tty) {
            std::printf("\rframe %lld  %d discarded  %d errors   ", (long long)w.frames(),
                        g_rec.discarded, g_rec.errors);
            std::fflush(stdout);
        }
    }
    vizor_cap_stop(dev);
    w.close();
    if (stop_reason.empty()) stop_reason = g_rec.error;
    if (tty) std::printf("\n");
    const long long got = w.frames();
    // Frames the library delivered beyond the tool's fetches went only to the
    // recording.
    std::printf(
        "recorded %lld frames of %s into %s: %lld fetched by the tool, %d discarded, "
        "%d errors\n",
        got, header.get("product").c_str(), o.file.c_str(), g_rec.fetched, g_rec.discarded,
        g_rec.errors);
    if (const int sig = pending_signal()) {
        std::fflush(stdout);
        std::fprintf(stderr, "vizor: recording stopped by %s after %lld frames; %s is complete\n",
                     signal_name(sig), got, o.file.c_str());
        return signal_exit_code();
    }
    if (g_rec.errors > 0 && stop_reason.empty() && o.frames > 0 && fetched < o.frames)
        stop_reason = std::string("capture error ") + vizor_error_name(g_rec.last_error);
    if (!stop_reason.empty())
        throw ToolError("recording stopped after " + std::to_string(got) +
                        " frames: " + stop_reason + " (" + o.file + " holds them)");
    return 0;
}

std::string describe_recording(const std::string &path, long long &frames) {
    try {
        vzrec::Reader r(path);
        frames = r.frame_count();
        // Every frame's data against its checksum before the replay starts,
        // which would end at a damaged frame.
        vzrec::Frame f;
        for (int64_t seq = 0; r.frame_at(seq, f);) seq = f.seq + 1;
        return r.header().get("product") + ", recorded " + r.header().get("started_utc", "?");
    } catch (const vzrec::RecordingError &e) {
        throw ToolError(e.what());
    }
}

int cmd_play_recording(Session &s, const PlayOpts &o) {
    long long frames = 0;
    const std::string what = describe_recording(o.file, frames);
    if (frames <= 0) throw ToolError(o.file + " holds no frame");
    if (!s.is_virtual())
        throw ToolError("playing a recording needs the virtual camera (" + o.file + ")");
    std::printf("playing %s (%lld frames of %s) through the driver\n", o.file.c_str(), frames,
                what.c_str());
    CaptureOpts cap;
    cap.frames = int(std::min<long long>(frames, 1000000));
    cap.out = o.out;
    cap.out.vzd = true;  // the decoded distances, as vizor capture writes them
    // The replay keeps the recorded pace like the live camera; a buffer of
    // many frames lets the decoding lag behind for a while without a loss.
    cap.buffer_frames = 64;
    return cmd_capture(s, cap);
}

// ---- the command's options ----------------------------------------------------------

void add_record_command(Commands &c) {
    auto args = std::make_shared<RecordOpts>();
    RecordOpts &rec = *args;
    auto *recordc =
        c.add("record",
              "Record the camera's raw frames and the state to decode them into FILE (.vzr)", true);
    recordc->add_option("FILE", rec.file, "The recording (replaced when it exists)")->required();
    recordc->add_option("-n,--frames", rec.frames, "Frames to record (0: until Ctrl-C)")
        ->check(whole(0, 1000000))
        ->capture_default_str();
    recordc->add_option("--vzd", rec.vzd, "Also decode each frame now into this distance file")
        ->type_name("FILE");
    recordc->footer(
        "The recording is an SQLite database (docs/recording.md): device information, "
        "parameters, registers and the EPC calibration read at the start, then every raw frame "
        "with its header fields and host time. Ctrl-C stops it with the frames so far. Replay "
        "it with 'vizor play FILE' or --virtual=FILE.");
    c.on_run(recordc, [args](Session &s, const Globals &) { return cmd_record(s, *args); });
}

}  // namespace vztool
