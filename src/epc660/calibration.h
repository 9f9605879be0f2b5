// Internal view of the DRNU calibration module: the derived quantities that
// the corrections share with the calibration, and direct (bounds-checked by
// construction) access to the module's tables for the per-frame loops.
#pragma once

#include <stdint.h>

#include <string>

namespace vz::epc::cal {

constexpr int kMaxSteps = 50;   // steps a distance-image set holds
constexpr int kPixels = 82656;  // 328 x 252 per-pixel entries
constexpr int kLutCols = 328;   // offset-table row stride
constexpr int kLutRows = 252;

// Truncates toward zero; NaN gives 0 and values beyond the int range
// saturate, so no conversion is undefined.
inline int32_t trunc_i32(double x) {
    if (x >= 2147483647.0) return INT32_MAX;
    if (x <= -2147483648.0) return INT32_MIN;
    return x == x ? (int32_t)x : 0;
}

// Rounds to the nearest integer, halves away from zero, with the same
// guards. x - trunc(x) is exact, so the half test is exact too.
inline int32_t round_i32(double x) {
    if (!(x < 2147483647.5)) return x == x ? INT32_MAX : 0;
    if (!(x > -2147483648.5)) return INT32_MIN;
    const int64_t t = (int64_t)x;
    const double frac = x - (double)t;
    return (int32_t)(frac >= 0.5 ? t + 1 : frac <= -0.5 ? t - 1 : t);
}

// Range in mm and in cm at the current modulation frequency, truncated to
// 16 bits (12491 and 1249 at 12 MHz); 0 when the frequency is not positive.
int range_mm();
int range_cm();
// Calibration step in phase codes: step in mm x 30000 / range in mm (0 when
// the range is 0).
double step_lsb();
// 885000 / range in cm: 29.5 cm expressed in phase codes (0 when the range
// is 0).
double box_offset();
// Temperature slope in codes per temperature unit for the current part.
double temperature_slope();

// Frequency mode of the current modulation frequency: 0 for the 20 MHz
// files (above 19999 kHz), 1 otherwise.
int freq_mode();
// Phase offset and default phase offset setters that remember the
// frequency the value belongs to.
int set_phase(int v);
int set_phase_default(int v);
// Frequency (kHz) of the DRNU set in use; 0 when none fits the frequency.
int set_khz();
// Loads the DRNU set of the current frequency; false when there is none.
bool load_set(const char *fn);
// File-name suffix for a modulation frequency in kHz: "_20.", "_10." or
// "_5." (followed directly by the extension).
const char *freq_suffix(int khz);

// Distance images of a frequency mode (0 or 1): kMaxSteps x kPixels codes,
// image i starting at i x width x height.
const uint16_t *dist_images(int mode);
// Per-pixel minimum and maximum over the loaded steps of a mode.
const uint16_t *dist_min(int mode);
const uint16_t *dist_max(int mode);
// Offset table, kMaxSteps x kLutRows x kLutCols entries.
const int32_t *lut();

// Mutable access for the calibration run and the table builders (same
// shapes as above).
uint16_t *dist_images_mut(int mode);
int32_t *lut_mut();
int16_t *step_temps();       // kMaxSteps step temperatures
int16_t *step_avgs();        // kMaxSteps step averages
int32_t *prev_step_image();  // kPixels
// Recomputes the per-pixel minimum and maximum of a mode over the steps and
// prepares the correction's per-pixel tables from the loaded set.
void rebuild_minmax(int mode);
// Count of changes to the distance images and their minimum and maximum.
uint64_t generation();
void set_offset_drnu(int v);
void set_temp_cal(int v);
void set_step_mm(double v);
double delay_cal();
int rows_max();  // bad-pixel search area
int cols_max();
void set_delay_cal(double v);
// Name of a calibration file: kind is one of "images_drnu", "drnu_param",
// "drnu", "temperature_drnu"; suffix from freq_suffix or a mode.
std::string file_name(const char *kind, const char *suffix, const char *ext);
// Suffix of a frequency mode: mode 1 "_10.", otherwise "_20.".
const char *mode_suffix(int mode);
// Little-endian 16-byte DRNU parameter block.
bool write_param_block(const std::string &path, int offset, int temp, double step);

// Writes one chip register through the register shim; false on failure.
bool reg_write(int reg, uint8_t value);
// Reads one chip register; -1 on failure.
int reg_read(int reg);

// Restores every table and value of the module to its start-up state.
void reset_for_tests();

}  // namespace vz::epc::cal
