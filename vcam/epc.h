// The epc660 and epc635 sensor chips of the virtual EPC cameras: their 256
// eight-bit registers with power-up values, the fuse memory behind registers
// 17/18, the on-chip temperature sensors, the imaging state that parameters
// 10 and 13 set, and raw DCS frames synthesised from a scene by the physics
// of a continuous-wave time-of-flight pixel (distance -> phase -> correlation
// samples), with the chip's own errors switchable one by one.
//
// The arithmetic here is written from the camera's side and shares nothing
// with the host library. vcam/README.md ("EPC cameras") gives the formulas.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vcam/sensor.h"

namespace vcam {

enum class EpcChip { epc660, epc635 };

// What the factory left in the camera's flash as calibration package.
enum class EpcCalib {
    factory,        // a valid package (header kind 1, zip with calib_and_param.bin)
    none,           // no calibration stored: parameter 8 reports valid flag 0
    wrong_kind,     // package header byte 2 (payload kind) is 2, not 1 (zip)
    truncated,      // the zip archive is cut in the middle (header length kept)
    escaping_name,  // the archive entry is named "../calib_and_param.bin"
    absolute_name,  // the archive entry is named "/tmp/calib_and_param.bin"
};

// Switches and constants of the model (defaults in vcam/README.md). Lengths
// in metres, times in ns or µs as named, temperatures in 0.1 degC.
struct EpcModel {
    // 0: from the product ("E1" -> 2, "E2" -> 4); 2, 3 (epc660 TOF/FLIM), 4, 5
    // (epc635 TOF/FLIM) choose the part type written into the fuses.
    uint8_t part_type = 0;

    // Light.
    double amplitude_ref = 800;  // sine amplitude (ADC) for reflectivity 1 at 1 m, 1000 µs
    double ambient_ref = 1500;   // offset (ADC) of ambient 1 over 1000 µs without suppression
    double abs_residual = 0.05;  // share of that offset left with background suppression on
    double min_distance = 0.05;  // distances below this count as this (amplitude)

    // Shot noise: sigma^2 = noise_k x (amplitude + ambient offset + 1), seeded.
    bool noise = true;
    double noise_k = 0.1;
    uint64_t seed = 1;

    // Delay between the light and the demodulation clock, common to all pixels.
    double system_delay_ns = 18.0 + 1.0 / 3.0;  // 6600 codes at 12 MHz

    // Distance response non-uniformity: smooth fixed pattern (amplitude in m)
    // and a cyclic error over the phase (4th harmonic, amplitude in m).
    bool drnu = true;
    double drnu_pattern_m = 0.03;
    double cyclic_error_m = 0.02;

    // Temperature: the chip warms while it captures (per frame rendered),
    // T(n) = start + rise x (1 - exp(-n / heat_frames)); the measured distance
    // drifts by drift_mm_per_dC x (T - drift_ref_dC) when temperature_drift is on.
    double chip_start_dC = 300;
    double chip_rise_dC = 60;
    double heat_frames = 300;
    double illum_start_dC = 280;
    double illum_rise_dC = 100;
    bool temperature_drift = true;
    double drift_mm_per_dC = 0;  // 0: 1.7 (epc660) or 1.56131 (epc635)
    double drift_ref_dC = 300;

    // Grayscale fixed pattern: per-pixel gain 1 +- gray_gain_spread and dark
    // offset +- gray_dark_spread (ADC).
    bool gray_fpn = true;
    double gray_gain_spread = 0.03;
    double gray_dark_spread = 8;

    // Defect pixels inside the image area: even ones stuck at full scale, odd
    // ones dead (no signal, mid scale).
    int defect_pixels = 4;

    // Delay line: register 115 = i delays the demodulation by i steps of
    // delay_step_ns + (T - 270) x 0.000395 ns while the DLL is not bypassed
    // (register 174 bit 0 clear). Register 233 holds the factory trim of it.
    double delay_step_ns = 1.9;

    // Internal reference path: every pixel sees reference_m at
    // reference_amplitude (over 1000 µs) instead of the scene.
    bool reference_path = false;
    double reference_m = 0.295;
    double reference_amplitude = 600;

    // DLL lock measurement: writing register 174 with bit 1 set while bit 0
    // (bypass) is clear measures the loop once and reports the next of these
    // readings (cycling) in registers 116..118: 116 bit 7 locked and bits 0-1
    // the fine value's high bits, 117 its low byte, 118 the coarse value.
    // Empty: the loop never reports a lock (116..118 stay 0).
    struct DllReading {
        bool locked;
        uint16_t fine;  // 10 bits
        uint8_t coarse;
    };
    std::vector<DllReading> dll_readings;

    // Factory calibration package in flash and its conditions.
    EpcCalib calib = EpcCalib::factory;
    double calib_temp_dC = 360;  // chip temperature during the factory run
    int calib_steps = 30;
    // Frequency classes the factory calibrated, one bit each: bit 0 above
    // 20 MHz, bit 1 10 to 20 MHz, bit 2 below 10 MHz; each run at the highest
    // modulation frequency of its class (24, 12 and 6 MHz after power-up).
    uint8_t calib_classes = 7;
};

class EpcSensor final : public Sensor {
public:
    // chip from the product's middle field ("E1" epc660, "E2" epc635).
    EpcSensor(EpcChip chip, const EpcModel &model, uint16_t wafer_id, uint16_t chip_id,
              uint8_t part_version);

    // ---- Sensor ----
    FrameDesc describe() const override;
    void render(std::span<uint8_t> out, uint32_t frame_no) override;
    void reset() override;  // registers to power-up values; the chip keeps its heat
    bool has_registers() const override { return true; }
    uint8_t reg_read(uint32_t addr) override;
    void reg_write(uint32_t addr, uint8_t value) override;
    uint8_t reg_peek(uint32_t addr) const override;
    std::optional<std::string> param_check(uint8_t id,
                                           std::span<const uint8_t> value) const override;
    void param_changed(uint8_t id, std::vector<uint8_t> &value) override;
    std::optional<std::vector<uint8_t>> param_value(uint8_t id) const override;

    // ---- test access ----
    EpcChip chip() const { return chip_; }
    const EpcModel &model() const { return m_; }
    // Changes switches; the pixel patterns follow the new values.
    void set_model(const EpcModel &m);
    // Register writes since the last call (address, value), oldest first; at
    // most the last 4096 are kept.
    std::vector<std::pair<uint8_t, uint8_t>> take_reg_writes();
    void set_scene(const Scene &scene);  // image-area size: 320 x 240 or 160 x 60
    void set_ids(uint16_t wafer_id, uint16_t chip_id);
    uint16_t wafer_id() const;
    uint16_t chip_id() const;
    uint8_t part_type() const { return fuse_[250]; }
    uint8_t fuse(uint8_t addr) const { return fuse_[addr]; }

    // Chip and illumination temperature of the next frame (0.1 degC).
    int16_t chip_temperature() const;
    int16_t illum_temperature() const;
    uint32_t frames_rendered() const { return frames_; }
    void set_frames_rendered(uint32_t n) { frames_ = n; }

    // Image-area size of the chip (the scene size) and full pixel field.
    int image_width() const { return chip_ == EpcChip::epc660 ? 320 : 160; }
    int image_height() const { return chip_ == EpcChip::epc660 ? 240 : 60; }
    int field_cols() const { return chip_ == EpcChip::epc660 ? 328 : 168; }
    int field_rows_per_half() const { return chip_ == EpcChip::epc660 ? 126 : 72; }
    int halves() const { return chip_ == EpcChip::epc660 ? 2 : 1; }

    // Modulation frequency from the clock registers, in kHz.
    double mod_freq_khz() const;
    // Readout as the registers and parameters select it.
    struct Readout {
        bool gray = false;     // image mode 0 (or 2): one gray sample per pixel
        bool pi_delay = true;  // 4 samples (2 with dual MGX)
        bool dual_mgx = false;
        bool pn = false;
        int planes = 4;         // DCS planes in the frame
        int x1 = 0, y1 = 0;     // region of interest (columns, rows of one half)
        int cols = 0;           // output columns
        int rows_per_half = 0;  // raw rows per half
        int col_step = 1;       // 2 with horizontal binning
        int row_step = 1;       // row reduction 1, 2, 4, 8
        bool vbin = false;
        uint16_t format = 2;
    };
    Readout readout() const;
    uint16_t integration_time_us() const { return intg_us_; }  // parameter 13
    // Exposure the integration registers 160..163 select at the current clock.
    double exposure_us() const;
    double mod_clock_ns() const;
    uint8_t image_mode() const { return img_mode_; }

    // The phase (in codes, 30000 per period, 0 .. 30000) that the noise-free
    // pixel (col, full_row) of the pixel field measures on the reference path
    // at temperature t_dC, delay-line step `step` and f_khz. Used for the
    // factory package.
    double reference_code(int col, int full_row, double t_dC, int step, double f_khz) const;
    // True for defect pixels (field coordinates).
    bool defective(int col, int full_row) const;

    // The factory calibration package (17-byte header + zip) for this chip at
    // its wafer and chip ID; empty for EpcCalib::none.
    std::vector<uint8_t> factory_package() const;
    // Frequency (kHz) of the factory run of class cls (0 "_20", 1 "_10",
    // 2 "_5"); 0 when the power-up clock gives no frequency of the class.
    double factory_freq_khz(int cls) const;

private:
    void power_up_registers();
    std::vector<uint8_t> factory_run(double f_khz) const;
    void program_integration();
    void build_patterns();
    double drift_coef() const;
    double temperature_at(double start, double rise) const;
    uint16_t temp_register_pair(int sensor) const;
    double sensor_temperature(int sensor) const;  // 0.1 degC of one on-chip sensor
    uint32_t field_index(int col, int full_row) const {
        return uint32_t(full_row) * uint32_t(field_cols()) + uint32_t(col);
    }
    double gauss();

    EpcChip chip_;
    EpcModel m_;
    std::array<uint8_t, 256> regs_{};
    std::array<uint8_t, 256> fuse_{};
    size_t dll_next_ = 0;  // next of the model's DLL readings
    std::vector<std::pair<uint8_t, uint8_t>> writes_;
    uint8_t img_mode_ = 1;
    uint16_t intg_us_ = 1000;
    uint32_t frames_ = 0;
    uint64_t rng_ = 1;
    Scene scene_;
    std::vector<float> drnu_m_;     // fixed pattern per field pixel (m)
    std::vector<float> gray_gain_;  // per field pixel
    std::vector<float> gray_dark_;
    std::vector<uint8_t> defect_;  // 0 ok, 1 stuck at full scale, 2 dead
};

}  // namespace vcam
