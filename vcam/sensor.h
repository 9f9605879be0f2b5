// Sensor models of the virtual camera: what a capture puts into each frame.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vcam {

// What the camera writes into the stream header of a frame.
struct FrameDesc {
    uint32_t size = 0;    // bytes of one frame
    uint16_t format = 0;  // frame_format
    uint16_t width = 0;
    uint16_t height = 0;
    std::array<uint8_t, 8> sensor_data{};
};

// A scene in front of the camera: per pixel, row-major, top row first.
struct Scene {
    int width = 0;
    int height = 0;
    std::vector<float> distance_m;    // true distance in metres
    std::vector<float> reflectivity;  // 0 (black) .. 1 (white)
    std::vector<float> ambient;       // ambient light 0 .. 1 (empty: none); EPC sensors only

    // Mixed pixels: a pixel whose footprint spans surfaces at different
    // distances receives light from each of them. Such a pixel carries
    // kFootprint returns (rays spread evenly over its area), which the sensor
    // sums as phasors, as the pixel sums light, in place of its single
    // distance and reflectivity above.
    static constexpr int kFootprint = 16;  // 4 x 4 rays
    struct Return {
        float distance_m;
        float reflectivity;
    };
    std::vector<int32_t> mix_slot;  // per pixel: -1 or its slot (empty: no mixed pixels)
    std::vector<Return> mix;        // kFootprint returns per slot
    // The returns of pixel i, or nullptr for a pixel with one return.
    const Return *returns_of(size_t i) const {
        if (mix_slot.empty() || i >= mix_slot.size() || mix_slot[i] < 0) return nullptr;
        return mix.data() + size_t(mix_slot[i]) * kFootprint;
    }

    // Every pixel at the same distance and reflectivity.
    static Scene flat(int width, int height, float distance_m, float reflectivity);
    // Distance grows linearly along each row from near (left) to far (right).
    static Scene ramp(int width, int height, float near_m, float far_m, float reflectivity);
};

// Frames that replace the sensor's own while set (a replayed recording); the
// sensor still answers registers and parameters.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    // Header fields of the next frame; false when the stream has ended.
    virtual bool peek(FrameDesc &desc) = 0;
    // Writes the next frame into out (desc.size bytes; empty: the frame is
    // lost at the sensor) and moves on. Returns the time until the frame after
    // it is due, or nullopt for the stream's regular period.
    virtual std::optional<std::chrono::nanoseconds> take(std::span<uint8_t> out) = 0;
    // The stream frame index the next frame carries (nullopt: the stream's count).
    virtual std::optional<uint16_t> next_index() const { return std::nullopt; }
};

class Sensor {
public:
    virtual ~Sensor() = default;
    // Geometry and header fields of the next frame.
    virtual FrameDesc describe() const = 0;
    // Writes frame number frame_no into out (exactly describe().size bytes).
    // Must not allocate: it runs once per frame.
    virtual void render(std::span<uint8_t> out, uint32_t frame_no) = 0;
    // The sensor chip was reset (reset target 1).
    virtual void reset() {}

    // Sensors with a register file of their own (target 1, 8-bit registers):
    // reads may have side effects (fuse address advance), peeks have none.
    virtual bool has_registers() const { return false; }
    virtual uint8_t reg_read(uint32_t) { return 0; }
    virtual void reg_write(uint32_t, uint8_t) {}
    virtual uint8_t reg_peek(uint32_t) const { return 0; }
    // Parameters the sensor answers for: a refusal text for a value it cannot
    // take, the value as stored after a set (clamped in place), and the value
    // it reports instead of the stored one (nullopt: the stored one).
    virtual std::optional<std::string> param_check(uint8_t, std::span<const uint8_t>) const {
        return std::nullopt;
    }
    virtual void param_changed(uint8_t, std::vector<uint8_t> &) {}
    virtual std::optional<std::vector<uint8_t>> param_value(uint8_t) const { return std::nullopt; }
};

// OPT8241 camera: 320 x 240 pixels, 4 bytes per pixel: a little-endian
// amplitude word then a little-endian phase word, 12 bits used each. The
// phase code of a distance d is d / 3.122838 m x 4096 (rounded, wrapping
// beyond one period); the amplitude code is reflectivity x 4095 (rounded,
// clamped). The upper four bits of both words are settable, so tests can
// check that the host masks them.
class Opt8241Sensor final : public Sensor {
public:
    static constexpr int kWidth = 320;
    static constexpr int kHeight = 240;
    static constexpr int kBytesPerPixel = 4;
    static constexpr float kRangeM = 3.122838f;

    Opt8241Sensor();

    FrameDesc describe() const override { return desc_; }
    void render(std::span<uint8_t> out, uint32_t frame_no) override;

    // Scene of kWidth x kHeight pixels; other sizes throw std::invalid_argument.
    void set_scene(const Scene &scene);
    // Bits 12..15 of every amplitude and phase word (values 0..15).
    void set_upper_bits(uint8_t amplitude_hi, uint8_t phase_hi);
    void set_format(uint16_t format) { desc_.format = format; }
    void set_sensor_data(const std::array<uint8_t, 8> &data) { desc_.sensor_data = data; }

    static uint16_t phase_code(float distance_m);
    static uint16_t amplitude_code(float reflectivity);

private:
    void rebuild();
    static void mix_returns(const Scene::Return *rs, float &refl, float &dist);
    FrameDesc desc_;
    Scene scene_;
    uint8_t amp_hi_ = 0;
    uint8_t phase_hi_ = 0;
    std::vector<uint8_t> image_;  // the frame, rebuilt when the scene changes
};

// A sensor of any geometry whose frames carry a counting pattern: byte i of
// frame n is (7n + i) mod 251, so every frame and every offset differ. Used for products whose sensor has no model of its own and
// by stream tests that need recognisable frames.
class PatternSensor final : public Sensor {
public:
    PatternSensor(uint16_t width, uint16_t height, uint32_t bytes_per_pixel, uint16_t format);
    FrameDesc describe() const override { return desc_; }
    void render(std::span<uint8_t> out, uint32_t frame_no) override;
    static uint8_t byte_at(uint32_t frame_no, uint32_t i) {
        return uint8_t((uint64_t(frame_no) * 7u + i) % 251u);
    }
    void set_sensor_data(const std::array<uint8_t, 8> &data) { desc_.sensor_data = data; }

private:
    FrameDesc desc_;
};

}  // namespace vcam
