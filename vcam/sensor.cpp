// The sensor models of the virtual camera that fill each captured frame.
#include "vcam/sensor.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace vcam {

Scene Scene::flat(int width, int height, float distance_m, float reflectivity) {
    Scene s;
    s.width = width;
    s.height = height;
    size_t n = size_t(std::max(width, 0)) * size_t(std::max(height, 0));
    s.distance_m.assign(n, distance_m);
    s.reflectivity.assign(n, reflectivity);
    return s;
}

Scene Scene::ramp(int width, int height, float near_m, float far_m, float reflectivity) {
    Scene s = flat(width, height, near_m, reflectivity);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            s.distance_m[size_t(y) * size_t(width) + size_t(x)] =
                width > 1 ? near_m + (far_m - near_m) * float(x) / float(width - 1) : near_m;
    return s;
}

Opt8241Sensor::Opt8241Sensor() {
    desc_.size = kWidth * kHeight * kBytesPerPixel;
    desc_.format = 0;
    desc_.width = kWidth;
    desc_.height = kHeight;
    scene_ = Scene::flat(kWidth, kHeight, 1.0f, 0.5f);
    rebuild();
}

uint16_t Opt8241Sensor::phase_code(float distance_m) {
    double turns = double(distance_m) / double(kRangeM);
    long code = std::lround(turns * 4096.0);
    return uint16_t(((code % 4096) + 4096) % 4096);
}

uint16_t Opt8241Sensor::amplitude_code(float reflectivity) {
    double r = std::clamp(double(reflectivity), 0.0, 1.0);
    return uint16_t(std::lround(r * 4095.0));
}

void Opt8241Sensor::set_scene(const Scene &scene) {
    size_t n = size_t(kWidth) * kHeight;
    if (scene.width != kWidth || scene.height != kHeight || scene.distance_m.size() != n ||
        scene.reflectivity.size() != n)
        throw std::invalid_argument("OPT8241 scene must be 320 x 240");
    scene_ = scene;
    rebuild();
}

void Opt8241Sensor::set_upper_bits(uint8_t amplitude_hi, uint8_t phase_hi) {
    amp_hi_ = amplitude_hi & 0xF;
    phase_hi_ = phase_hi & 0xF;
    rebuild();
}

// The phasor sum of a mixed pixel's returns (reflectivity as amplitude, the
// phase of each distance within the range) as one amplitude and distance.
void Opt8241Sensor::mix_returns(const Scene::Return *rs, float &refl, float &dist) {
    double re = 0, im = 0;
    for (int k = 0; k < Scene::kFootprint; ++k) {
        const double a = std::clamp(double(rs[k].reflectivity), 0.0, 1.0) / Scene::kFootprint;
        const double ph = 2.0 * std::numbers::pi * double(rs[k].distance_m) / double(kRangeM);
        re += a * std::cos(ph);
        im += a * std::sin(ph);
    }
    double turns = std::atan2(im, re) / (2.0 * std::numbers::pi);
    if (turns < 0) turns += 1.0;
    refl = float(std::hypot(re, im));
    dist = float(turns * double(kRangeM));
}

void Opt8241Sensor::rebuild() {
    image_.resize(desc_.size);
    uint8_t *p = image_.data();
    for (size_t i = 0; i < size_t(kWidth) * kHeight; ++i, p += 4) {
        float refl = scene_.reflectivity[i], dist = scene_.distance_m[i];
        if (const Scene::Return *rs = scene_.returns_of(i)) mix_returns(rs, refl, dist);
        uint16_t amp = uint16_t(amplitude_code(refl) | (amp_hi_ << 12));
        uint16_t ph = uint16_t(phase_code(dist) | (phase_hi_ << 12));
        p[0] = uint8_t(amp);
        p[1] = uint8_t(amp >> 8);
        p[2] = uint8_t(ph);
        p[3] = uint8_t(ph >> 8);
    }
}

void Opt8241Sensor::render(std::span<uint8_t> out, uint32_t) {
    std::copy_n(image_.data(), std::min(out.size(), image_.size()), out.data());
}

PatternSensor::PatternSensor(uint16_t width, uint16_t height, uint32_t bytes_per_pixel,
                             uint16_t format) {
    desc_.size = uint32_t(width) * height * bytes_per_pixel;
    desc_.format = format;
    desc_.width = width;
    desc_.height = height;
}

void PatternSensor::render(std::span<uint8_t> out, uint32_t frame_no) {
    // (n*7 + i) mod 251, computed incrementally.
    uint32_t v = uint32_t((uint64_t(frame_no) * 7u) % 251u);
    for (auto &b : out) {
        b = uint8_t(v);
        if (++v == 251u) v = 0;
    }
}

}  // namespace vcam
