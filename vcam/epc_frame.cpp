// Raw frames of the EPC sensor model: per pixel the apparent distance (scene,
// system delay, non-uniformity, temperature drift, delay line) becomes a
// phase, the phase becomes correlation samples around mid scale, and the
// samples go out in the chip's readout order (planes, row pairs from the
// middle, halves) after shot noise and 12-bit quantisation.
#include <algorithm>
#include <cmath>
#include <numbers>

#include "vcam/epc.h"

namespace vcam {

namespace {

constexpr double kHalfC = 149896229.0;  // speed of light / 2, m/s
constexpr double kTwoPi = 2.0 * std::numbers::pi;

uint64_t splitmix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}
// Uniform in [0, 1) from a hash.
double unit(uint64_t h) { return double(h >> 11) * (1.0 / 9007199254740992.0); }

// Triangular correlation of pseudo-noise modulation: 1 at 0, 0 at +-pi/2,
// -1 at pi, linear in between (the PN counterpart of cos).
double tri(double th) {
    double w = std::remainder(th, kTwoPi);  // -pi .. pi
    return 1.0 - 2.0 * std::fabs(w) / std::numbers::pi;
}

}  // namespace

double EpcSensor::gauss() {
    auto next = [this] {
        rng_ ^= rng_ >> 12;
        rng_ ^= rng_ << 25;
        rng_ ^= rng_ >> 27;
        return unit(rng_ * 0x2545F4914F6CDD1Dull);
    };
    double u1 = std::max(next(), 1e-300), u2 = next();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(kTwoPi * u2);
}

void EpcSensor::build_patterns() {
    const int w = field_cols(), h = field_rows_per_half() * halves();
    const size_t n = size_t(w) * size_t(h);
    const uint64_t cs = splitmix((uint64_t(wafer_id()) << 16 | chip_id()) ^ 0xE9C660ull);
    const double ph = kTwoPi * unit(cs);
    drnu_m_.assign(n, 0.0f);
    gray_gain_.assign(n, 1.0f);
    gray_dark_.assign(n, 0.0f);
    defect_.assign(n, 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            size_t i = size_t(y) * size_t(w) + size_t(x);
            double u = 2.0 * x / (w - 1) - 1.0, v = 2.0 * y / (h - 1) - 1.0;
            if (m_.drnu)
                drnu_m_[i] =
                    float(m_.drnu_pattern_m *
                          (0.5 * (u * u + v * v) - 0.35 + 0.3 * std::sin(2.1 * u + 1.3 * v + ph) +
                           0.1 * std::sin(5.3 * v - 3.1 * u + 2 * ph)));
            if (m_.gray_fpn) {
                gray_gain_[i] =
                    float(1.0 + m_.gray_gain_spread * (2 * unit(splitmix(cs ^ (i * 2 + 1))) - 1));
                gray_dark_[i] =
                    float(m_.gray_dark_spread * (2 * unit(splitmix(cs ^ (i * 2 + 2))) - 1));
            }
        }
    for (int k = 0; k < m_.defect_pixels; ++k) {
        uint64_t hk = splitmix(cs + 0x1000u + uint64_t(k));
        int x = 4 + int(hk % uint64_t(image_width()));
        int y = 6 + int((hk >> 20) % uint64_t(image_height()));
        defect_[size_t(y) * size_t(w) + size_t(x)] = uint8_t(k % 2 == 0 ? 1 : 2);
    }
}

bool EpcSensor::defective(int col, int full_row) const {
    return defect_[field_index(col, full_row)] != 0;
}

namespace {

// What one pixel of the field sees during one exposure.
// A mixed pixel sees up to Scene::kFootprint returns, each with its own
// amplitude and phase; their correlations add up.
struct Light {
    double amp = 0;   // correlation amplitude (ADC), all returns together
    double amb = 0;   // ambient offset of every sample (ADC)
    double gray = 0;  // gray signal (ADC above mid scale)
    int n = 0;        // returns
    double ret_amp[Scene::kFootprint] = {};
    double ret_turns[Scene::kFootprint] = {};  // measured phase in periods
};

}  // namespace

double EpcSensor::reference_code(int col, int full_row, double t_dC, int step, double f_khz) const {
    const double f = f_khz * 1e3, range = kHalfC / f;
    double dist =
        m_.reference_m + m_.system_delay_ns * 1e-9 * kHalfC + drnu_m_[field_index(col, full_row)];
    if (m_.temperature_drift) dist += drift_coef() * 1e-3 * (t_dC - m_.drift_ref_dC);
    double x =
        dist / range + double(step) * (m_.delay_step_ns + (t_dC - 270.0) * 0.000395) * 1e-9 * f;
    if (m_.drnu) x += m_.cyclic_error_m / range * std::sin(4.0 * kTwoPi * x);
    x -= std::floor(x);
    return x * 30000.0;
}

void EpcSensor::render(std::span<uint8_t> out, uint32_t) {
    const Readout r = readout();
    const bool e660 = chip_ == EpcChip::epc660;
    const int nh = halves(), fw = field_cols(), frows = field_rows_per_half();
    const size_t plane_len = size_t(r.cols) * size_t(r.rows_per_half) * size_t(nh);
    const size_t total = plane_len * size_t(r.planes);
    const double f = mod_freq_khz() * 1e3, range = kHalfC / f;
    const double t_int = exposure_us() / 1000.0;
    const double t_chip = double(chip_temperature());
    const bool abs_on = (regs_[34] & 0x30) == 0x30;
    const bool dll = (regs_[174] & 0x01) == 0;
    const double fine = double((regs_[113] & 3) << 8 | regs_[114]) / 1024.0;
    const double delay_turns = dll ? (double(regs_[115]) + fine) *
                                         (m_.delay_step_ns + (t_chip - 270.0) * 0.000395) * 1e-9 * f
                                   : 0.0;
    double base = m_.system_delay_ns * 1e-9 * kHalfC;
    if (m_.temperature_drift) base += drift_coef() * 1e-3 * (t_chip - m_.drift_ref_dC);
    const double cyc = m_.drnu ? m_.cyclic_error_m / range : 0.0;
    const int sw = scene_.width, sh = scene_.height;

    auto light_at = [&](int c, int fy) {
        Light l;
        size_t fi = field_index(c, fy);
        int sx = std::clamp(c - 4, 0, sw - 1), sy = std::clamp(fy - 6, 0, sh - 1);
        size_t si = size_t(sy) * size_t(sw) + size_t(sx);
        // One return at distance d with reflectivity refl (share w of the pixel).
        auto add = [&](double d, double refl, double w) {
            double dd = std::max(d, m_.min_distance);
            const double a = w * m_.amplitude_ref * refl * t_int / (dd * dd);
            double x = (d + base + drnu_m_[fi]) / range + delay_turns;
            if (cyc != 0) x += cyc * std::sin(4.0 * kTwoPi * x);
            l.ret_amp[l.n] = a;
            l.ret_turns[l.n] = x;
            ++l.n;
            l.amp += a;
        };
        double amb = 0;
        if (m_.reference_path) {
            l.n = 1;
            l.amp = l.ret_amp[0] = m_.reference_amplitude * t_int;
            double x = (m_.reference_m + base + drnu_m_[fi]) / range + delay_turns;
            if (cyc != 0) x += cyc * std::sin(4.0 * kTwoPi * x);
            l.ret_turns[0] = x;
        } else {
            amb = scene_.ambient.empty() ? 0.0 : std::max(0.0, double(scene_.ambient[si]));
            if (const Scene::Return *rs = scene_.returns_of(si)) {
                for (int k = 0; k < Scene::kFootprint; ++k)
                    add(rs[k].distance_m, std::clamp(double(rs[k].reflectivity), 0.0, 1.0),
                        1.0 / Scene::kFootprint);
            } else {
                add(scene_.distance_m[si], std::clamp(double(scene_.reflectivity[si]), 0.0, 1.0),
                    1.0);
            }
        }
        l.gray = gray_gain_[fi] * (l.amp + amb * m_.ambient_ref * t_int) + gray_dark_[fi];
        l.amb = amb * m_.ambient_ref * t_int * (abs_on ? m_.abs_residual : 1.0);
        return l;
    };

    // Gray value of the on-chip temperature sensors in the border columns of
    // the two middle rows of each half (epc660).
    auto temp_pixel = [&](int c, int half, int y, double &v) {
        if (!e660 || y < 124 || (c > 1 && c < 326)) return false;
        int sensor = (c > 1 ? 1 : 0) + 2 * half;
        uint8_t o = regs_[232 + 2 * sensor], s = regs_[233 + 2 * sensor];
        double off = o == 255 ? 1082.0 : 1082.0 - (double(o) - 127.0);
        double slope = s == 255 ? 3.7424012151 : 3.7424012151 - (double(s) - 127.0) / 127.0;
        v = 2048.0 + (sensor_temperature(sensor) / 10.0 - 25.0) * slope + off;
        return true;
    };

    for (int k = 0; k < r.rows_per_half; ++k) {
        // Row of one half (a dual-MGX row set pair may reach past a one-row ROI).
        const int y = std::min(r.y1 + (r.rows_per_half - 1 - k) * r.row_step, frows - 1);
        for (int h = 0; h < nh; ++h) {
            for (int j = 0; j < r.cols; ++j) {
                const size_t pos =
                    (size_t(k) * size_t(nh) + size_t(h)) * size_t(r.cols) + size_t(j);
                // Charge of the binned pixels is summed before the readout.
                double dcs[4] = {0, 0, 0, 0}, gray = 0, amp = 0, amb = 0;
                int n = 0, stuck = 0, dead = 0;
                double tv = 0;
                const int c0 = r.x1 + j * r.col_step;
                bool tpix = r.gray && temp_pixel(c0, h, y, tv);
                for (int dy = 0; dy < (r.vbin ? 2 : 1); ++dy) {
                    int yy = std::min(y + dy, frows - 1);
                    int fy = h == 0 ? yy : 2 * frows - 1 - yy;
                    for (int dx = 0; dx < r.col_step; ++dx) {
                        int c = std::min(c0 + dx, fw - 1);
                        uint8_t def = defect_[field_index(c, fy)];
                        if (def == 1) ++stuck;
                        if (def == 2) ++dead;
                        ++n;
                        if (def) continue;
                        Light l = light_at(c, fy);
                        amp += l.amp;
                        amb += l.amb;
                        gray += l.gray;
                        for (int m = 0; m < l.n; ++m) {
                            const double a = l.ret_amp[m], t = l.ret_turns[m];
                            if (r.pn) {
                                double th = (t - std::floor(t)) * std::numbers::pi / 2;
                                for (int q = 0; q < 4; ++q)
                                    dcs[q] += a * tri(th - q * std::numbers::pi / 2);
                            } else {
                                double ph = kTwoPi * t, cs = std::cos(ph), sn = std::sin(ph);
                                dcs[0] += a * cs;
                                dcs[1] += a * sn;
                                dcs[2] -= a * cs;
                                dcs[3] -= a * sn;
                            }
                        }
                    }
                }
                const double inv = 1.0 / n;
                for (int p = 0; p < r.planes; ++p) {
                    const size_t at = size_t(p) * plane_len + pos;
                    if (2 * at + 1 >= out.size() || at >= total) continue;
                    double v;
                    if (stuck) {
                        v = 4095;
                    } else if (dead == n) {
                        v = 2048;
                    } else if (r.gray) {
                        v = tpix ? tv : 2048.0 + gray * inv;
                    } else {
                        int q = r.dual_mgx ? 2 * p + (k & 1) : p;
                        v = 2048.0 + (dcs[q] + amb) * inv;
                    }
                    if (m_.noise && !stuck && dead != n)
                        v += std::sqrt(m_.noise_k * (amp + amb) * inv + m_.noise_k) * gauss();
                    uint16_t s = uint16_t(std::clamp(std::lround(v), 0L, 4095L));
                    if (!e660) s = uint16_t(s << 4);
                    out[2 * at] = uint8_t(s);
                    out[2 * at + 1] = uint8_t(s >> 8);
                }
            }
        }
    }
    ++frames_;
}

}  // namespace vcam
