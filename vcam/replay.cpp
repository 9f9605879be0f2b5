// A recording replayed as a virtual camera: the camera's configuration from
// the recording's start state, and a frame source over its frames.
#include "vcam/replay.h"

#include <algorithm>
#include <cstring>

#include "recording/recording.h"

namespace vcam {

namespace {

// The recorded frames in order, read one at a time from the container.
class RecordingSource final : public FrameSource {
public:
    RecordingSource(const std::string &path, bool paced) : rec_(path), paced_(paced) {}

    bool peek(FrameDesc &d) override {
        if (!load()) return false;
        d.size = uint32_t(cur_.data.size());
        d.format = cur_.frame_format;
        d.width = uint16_t(cur_.width);
        d.height = uint16_t(cur_.height);
        d.sensor_data = cur_.sensor_data;
        return true;
    }

    std::optional<std::chrono::nanoseconds> take(std::span<uint8_t> out) override {
        if (!load()) return std::nullopt;
        std::copy_n(cur_.data.data(), std::min(out.size(), cur_.data.size()), out.data());
        const int64_t t = cur_.host_ns;
        next_seq_ = cur_.seq + 1;
        have_ = false;
        if (!paced_ || !load()) return std::nullopt;
        // Out-of-order or absurd times of a damaged file pace at most 10 s.
        const int64_t gap = std::clamp<int64_t>(cur_.host_ns - t, 0, 10'000'000'000);
        return std::chrono::nanoseconds(gap);
    }

    std::optional<uint16_t> next_index() const override {
        return have_ ? std::optional<uint16_t>(cur_.frame_idx) : std::nullopt;
    }

private:
    // The frame at the cursor; a frame the container refuses ends the stream.
    bool load() {
        if (have_) return true;
        if (done_) return false;
        try {
            have_ = rec_.frame_at(next_seq_, cur_);
        } catch (const std::exception &) {
            have_ = false;
        }
        done_ = !have_;
        return have_;
    }

    vzrec::Reader rec_;
    bool paced_;
    vzrec::Frame cur_;
    int64_t next_seq_ = 0;
    bool have_ = false, done_ = false;
};

Speed speed_of(const std::string &libusb_code) {
    if (libusb_code == "2") return Speed::full;
    if (libusb_code == "4" || libusb_code == "5") return Speed::super;
    return Speed::high;
}

uint16_t le16(const std::vector<uint8_t> &v, size_t i) {
    return i + 1 < v.size() ? uint16_t(v[i] | v[i + 1] << 8) : 0;
}

}  // namespace

bool is_recording(const std::string &path) { return vzrec::looks_like_recording(path); }

Camera &add_replay_camera(Bus &bus, uint8_t bus_no, uint8_t port, const std::string &path,
                          const ReplayOptions &opts) {
    auto source = std::make_unique<RecordingSource>(path, opts.paced);
    const vzrec::Reader rec(path);  // the start state (the source has its own cursor)
    const vzrec::Header &h = rec.header();
    CameraConfig cfg;
    cfg.fw.product = h.get("product");
    cfg.speed = speed_of(h.get("usb_speed"));
    cfg.fw.stream.fps = opts.paced ? 30 : 0;  // rate mode; the recording sets each gap
    // Identity parameters go out exactly as recorded; parameter 7 also gives
    // the EPC chip model its wafer and chip id (its fuses follow from them).
    for (const int id : {2, 3, 5, 6, 7})
        if (auto it = h.params.find(id); it != h.params.end() && !it->second.empty())
            cfg.params[uint8_t(id)] = it->second;
    if (auto it = h.params.find(7); it != h.params.end() && it->second.size() >= 6) {
        cfg.fw.part_version = le16(it->second, 0);
        cfg.fw.chip_id = le16(it->second, 2);
        cfg.fw.wafer_id = le16(it->second, 4);
    }
    Camera &cam = bus.add_camera(bus_no, port, cfg);
    try {
        for (const auto &img : h.images)
            cam.fw().store_image(uint8_t(img.type), uint16_t(img.version), img.bytes);
        // A chip with a register model of its own answers from the model (its
        // identity came with parameter 7); the others get the recorded values.
        bool model = false;
        cam.fw().with_sensor([&](Sensor &s) { model = s.has_registers(); });
        if (!model)
            for (const auto &[key, v] : h.registers)
                cam.fw().set_reg(uint8_t(key.first), uint32_t(key.second), v);
        cam.fw().set_frame_source(std::move(source));
    } catch (...) {
        bus.remove_camera(cam);
        throw;
    }
    return cam;
}

}  // namespace vcam
