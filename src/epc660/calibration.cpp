// DRNU calibration tables and files: the distance images of both frequency
// modes with their per-pixel minimum and maximum, the offset table and the
// table text buffer, step temperatures, the calibration scalars, the phase
// offset, file names, loaders and savers, table analysis and the bad-pixel
// list reader.
//
// Every loader checks what it reads before it commits it: truncated or
// oversized files, absurd values (non-positive step, offsets outside one
// period), over-long lines and surplus values are refused or clipped with a
// log line, the previous values stay, and no table is written past its end.
#include "epc660/calibration.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <vector>

#include "base/firewall.h"
#include "base/log.h"
#include "epc660/base.h"
#include "epc660/calib_guard.h"
#include "epc660/correction_drnu.h"
#include "vizor/epc660.h"

namespace vz::epc::cal {
namespace {

constexpr int kDefaultOffset = 8364;
constexpr int kDefaultTemp = 361;
constexpr double kDefaultStep = 298.2;
constexpr int kBadPixelCapacity = 2 * kPixels;
constexpr size_t kLineMax = 16384;  // longest text line kept; longer ones are clipped

struct Slot {
    int offset = kDefaultOffset;
    int temp = kDefaultTemp;
    double step = kDefaultStep;
};

// The tables: zero at start, kept apart from the scalars so that they live
// in zero-filled storage.
struct Tables {
    uint16_t dist[2][kMaxSteps * kPixels];
    uint16_t dmin[2][kPixels];
    uint16_t dmax[2][kPixels];
    int32_t lut[kMaxSteps * kLutRows * kLutCols];
    int32_t lut_text[2][kMaxSteps * kPixels];
    int16_t step_temp[kMaxSteps];
    int16_t step_avg[kMaxSteps];
    int32_t prev_step[kPixels];
};

struct State {
    int width = 320;
    int height = 240;
    int num_dist = 30;
    Slot slot[2];

    int offset_drnu = kDefaultOffset;
    int temp_cal = kDefaultTemp;
    double step_mm = kDefaultStep;
    double delay_cal = 1.8;
    double c2 = 149896229.0;
    double coef660 = 1.7;
    double coef635 = 1.56131;
    int average = 25;
    int delay_us = 200000;
    int diff_temp = 7;
    int rows_max = 240;
    int cols_max = 320;

    int phase = 0;
    int phase_default = 0;
    int default_on = 1;
    // Grows whenever the distance images or their minimum and maximum may
    // change: tables prepared from them are valid while it stays put.
    uint64_t generation = 0;
    // The phase offsets as last set and the frequency (kHz) they were set
    // at: at a frequency without a calibration set both follow as the same
    // distance, and a return to that frequency restores them exactly.
    int phase_ref = 0, phase_ref_khz = 0;
    int default_ref = 0, default_ref_khz = 0;

    int set_khz = 0;      // frequency of the DRNU set in use, 0: none
    int looked_khz = 0;   // frequency whose set was looked for last
    int suspended = 0;    // DRNU mode held back while no set fits the frequency
    uint32_t warned = 0;  // frequency indexes already reported as uncalibrated
};

Tables &tables() { return vz::epc::state<Tables>(vz::epc::kSlotCalibrationTables); }
State &state() { return vz::epc::state<State>(vz::epc::kSlotCalibration); }
#undef EPC_BIND
#define EPC_BIND                           \
    [[maybe_unused]] Tables &T = tables(); \
    [[maybe_unused]] State &S = state();

bool is_epc635() {
    const int pt = configGetPartType();
    return pt == 4 || pt == 5;
}

int plane() {
    const Use epc_use;
    cal::State &S = cal::state();
    return S.width * S.height;
}

// ---- files ----------------------------------------------------------------

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Files written during a calibration run go under their staged names.
File open_file(const std::string &name, const char *mode) {
    const bool write = strchr(mode, 'w') != nullptr;
    return File(fopen((write ? write_path(name) : read_path(name)).c_str(), mode));
}

long file_size(const std::string &name) {
    struct stat st;
    if (stat(read_path(name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return (long)st.st_size;
}

// Reads text lines of bounded length; a longer line is clipped to the
// buffer (one log line per file) and its remainder skipped.
class LineReader {
public:
    LineReader(FILE *f, const char *fn, const std::string &name) : f_(f), fn_(fn), name_(name) {}
    bool next(std::string &line) {
        line.clear();
        int ch;
        bool any = false;
        while ((ch = fgetc(f_)) != EOF) {
            any = true;
            if (ch == '\n') return true;
            if (line.size() < kLineMax) {
                line.push_back((char)ch);
            } else if (!clipped_) {
                clipped_ = true;
                vz_wrn("[%s] line longer than %zu bytes clipped in %s\n", fn_, kLineMax,
                       name_.c_str());
            }
        }
        return any;
    }

private:
    FILE *f_;
    const char *fn_;
    const std::string &name_;
    bool clipped_ = false;
};

// Integers of a line as "%i" reads them (0x hex, leading 0 octal), at most
// max of them; returns how many were found, which may exceed max.
int parse_ints(const std::string &line, int32_t *out, int max) {
    const char *p = line.c_str();
    int n = 0;
    for (;;) {
        char *end;
        const long v = strtol(p, &end, 0);
        if (end == p) break;
        if (n < max) out[n] = (int32_t)std::clamp<long>(v, INT32_MIN, INT32_MAX);
        ++n;
        p = end;
    }
    return n;
}

bool parse_int(const std::string &line, int &out) {
    int32_t v = 0;
    if (parse_ints(line, &v, 1) < 1) return false;
    out = v;
    return true;
}

bool parse_double(const std::string &line, double &out) {
    char *end;
    const double v = strtod(line.c_str(), &end);
    if (end == line.c_str()) return false;
    out = v;
    return true;
}

// Calibration scalars that a file may carry, checked before use.
bool params_valid(int offset, int temp, double step) {
    return offset >= 0 && offset < 30000 && temp > -2000 && temp < 3000 && isfinite(step) &&
           step > 0 && step < 10000;
}

// Reads a 16-byte parameter block; false (with a log line) when the file is
// missing, not exactly 16 bytes, or holds absurd values.
bool read_param_block(const std::string &name, Slot &out, const char *fn) {
    const long size = file_size(name);
    if (size < 0) return false;
    if (size != 16) {
        vz_wrn("[%s] %s holds %ld bytes instead of 16, ignored\n", fn, name.c_str(), size);
        return false;
    }
    File f = open_file(name, "rb");
    uint8_t b[16];
    if (!f || fread(b, 1, 16, f.get()) != 16) return false;
    auto i32 = [&](int o) {
        return (int32_t)((uint32_t)b[o] | (uint32_t)b[o + 1] << 8 | (uint32_t)b[o + 2] << 16 |
                         (uint32_t)b[o + 3] << 24);
    };
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = bits << 8 | b[8 + i];
    double step;
    static_assert(sizeof step == sizeof bits);
    memcpy(&step, &bits, sizeof step);
    Slot s{i32(0), i32(4), step};
    if (!params_valid(s.offset, s.temp, s.step)) {
        vz_wrn("[%s] %s holds absurd values (offset %d, temperature %d, step %g), ignored\n", fn,
               name.c_str(), s.offset, s.temp, s.step);
        return false;
    }
    out = s;
    return true;
}

void put_u16(std::vector<uint8_t> &b, uint16_t v) {
    b.push_back((uint8_t)v);
    b.push_back((uint8_t)(v >> 8));
}

}  // namespace

// ---- derived quantities -----------------------------------------------------

int range_mm() {
    const Use epc_use;
    cal::State &S = cal::state();
    // Not cut to 16 bits: below 2.3 MHz the range exceeds 65535 mm.
    return trunc_i32(S.c2 / configGetModulationFrequency());
}
int range_cm() {
    const Use epc_use;
    cal::State &S = cal::state();
    return (uint16_t)trunc_i32(S.c2 / (configGetModulationFrequency() * 10.0));
}
double step_lsb() {
    const Use epc_use;
    cal::State &S = cal::state();
    return S.step_mm * 30000 / range_mm();
}
double box_offset() { return 885000.0 / range_cm(); }
double temperature_slope() {
    return calibrateGetTempCoef(configGetPartType()) * 30000 / range_mm();
}

int freq_mode() { return configGetModulationFrequency() > 19999 ? 0 : 1; }

int set_phase(int v) {
    const Use epc_use;
    cal::State &S = cal::state();
    S.phase_ref_khz = configGetModulationFrequency();
    return S.phase = S.phase_ref = v;
}
int set_phase_default(int v) {
    const Use epc_use;
    cal::State &S = cal::state();
    S.default_ref_khz = configGetModulationFrequency();
    return S.phase_default = S.default_ref = v;
}
int set_khz() {
    const Use epc_use;
    return cal::state().set_khz;
}

const char *freq_suffix(int khz) {
    if (khz > 19999) return "_20.";
    if (khz > 9999) return "_10.";
    return "_5.";
}

// Frequency classes: mode 0 "_20.", mode 1 "_10.", mode 2 "_5."; other
// modes name the "_20." files.
const char *mode_suffix(int mode) { return mode == 1 ? "_10." : mode == 2 ? "_5." : "_20."; }

int freq_class(int khz) { return khz > 19999 ? 0 : khz > 9999 ? 1 : 2; }

// A DRNU set holds codes of one frequency: the highest one of its class in
// the chip's frequency table (the class's file names carry no more). A
// lower frequency of the class has no set of its own.
bool set_fits(int khz) {
    const int *f = configGetModulationFrequencies();
    for (int i = 0; f && i < configGetModFreqCount(); ++i)
        if (freq_class(f[i]) == freq_class(khz) && f[i] > khz) return false;
    return khz > 0;
}

std::string file_name(const char *kind, const char *suffix, const char *ext) {
    char buf[160];
    snprintf(buf, sizeof buf, "%s_%s_W%03i_C%03i%s%s", is_epc635() ? "epc635" : "epc660", kind,
             (int)configGetWaferID(), (int)configGetChipID(), suffix, ext);
    return buf;
}

bool write_param_block(const std::string &path, int offset, int temp, double step) {
    uint8_t b[16];
    for (int i = 0; i < 4; ++i) {
        b[i] = (uint8_t)((uint32_t)offset >> (8 * i));
        b[4 + i] = (uint8_t)((uint32_t)temp >> (8 * i));
    }
    uint64_t bits;
    memcpy(&bits, &step, sizeof bits);
    for (int i = 0; i < 8; ++i) b[8 + i] = (uint8_t)(bits >> (8 * i));
    File f = open_file(path, "wb");
    return f && fwrite(b, 1, 16, f.get()) == 16;
}

// ---- table access -------------------------------------------------------------

const uint16_t *dist_images(int mode) {
    cal::Tables &T = cal::tables();
    return T.dist[mode == 0 ? 0 : 1];
}
const uint16_t *dist_min(int mode) {
    cal::Tables &T = cal::tables();
    return T.dmin[mode == 0 ? 0 : 1];
}
const uint16_t *dist_max(int mode) {
    cal::Tables &T = cal::tables();
    return T.dmax[mode == 0 ? 0 : 1];
}
const int32_t *lut() {
    cal::Tables &T = cal::tables();
    return T.lut;
}
uint16_t *dist_images_mut(int mode) {
    cal::Tables &T = cal::tables();
    ++cal::state().generation;
    return T.dist[mode == 0 ? 0 : 1];
}
int32_t *lut_mut() {
    cal::Tables &T = cal::tables();
    return T.lut;
}
int16_t *step_temps() {
    cal::Tables &T = cal::tables();
    return T.step_temp;
}
int16_t *step_avgs() {
    cal::Tables &T = cal::tables();
    return T.step_avg;
}
int32_t *prev_step_image() {
    cal::Tables &T = cal::tables();
    return T.prev_step;
}
void set_offset_drnu(int v) {
    const Use epc_use;
    cal::State &S = cal::state();
    S.offset_drnu = v;
}
void set_temp_cal(int v) {
    const Use epc_use;
    cal::State &S = cal::state();
    S.temp_cal = v;
}
void set_step_mm(double v) {
    const Use epc_use;
    cal::State &S = cal::state();
    S.step_mm = v;
}
double delay_cal() {
    const Use epc_use;
    cal::State &S = cal::state();
    return S.delay_cal;
}
int rows_max() {
    const Use epc_use;
    cal::State &S = cal::state();
    return S.rows_max;
}
int cols_max() {
    const Use epc_use;
    cal::State &S = cal::state();
    return S.cols_max;
}
void set_delay_cal(double v) {
    const Use epc_use;
    cal::State &S = cal::state();
    S.delay_cal = v;
}

void rebuild_minmax(int mode) {
    cal::Tables &T = cal::tables();
    const Use epc_use;
    cal::State &S = cal::state();
    const int m = mode == 0 ? 0 : 1;
    std::fill(std::begin(T.dmin[m]), std::end(T.dmin[m]), 65535);
    std::fill(std::begin(T.dmax[m]), std::end(T.dmax[m]), 0);
    const int n = plane();
    for (int i = 0; i < S.num_dist; ++i) {
        const uint16_t *img = T.dist[m] + (size_t)i * n;
        for (int p = 0; p < n; ++p) {
            T.dmin[m][p] = std::min(T.dmin[m][p], img[p]);
            T.dmax[m][p] = std::max(T.dmax[m][p], img[p]);
        }
    }
    // The per-pixel tables of the correction follow every loaded set.
    ++S.generation;
    corr::drnu2_prepare();
}

uint64_t generation() {
    const Use epc_use;
    return cal::state().generation;
}

bool reg_write(int reg, uint8_t value) {
    uint8_t buf[1] = {value};
    uint8_t *p = buf;
    return i2c(configGetDeviceAddress(), 'w', reg, 1, &p) == 0;
}

int reg_read(int reg) {
    uint8_t buf[1] = {0};
    uint8_t *p = buf;
    if (i2c(configGetDeviceAddress(), 'r', reg, 1, &p) != 0) return -1;
    return buf[0];
}

void reset_for_tests() {
    const Use epc_use;
    cal::State &S = cal::state();
    cal::Tables &T = cal::tables();
    const uint64_t generation = S.generation;
    S = State{};
    S.generation = generation + 1;
    memset(&T, 0, sizeof T);
}

// ---- loaders ------------------------------------------------------------------

namespace {

// Copies a slot of the table text buffer into the offset table and takes
// the slot's scalars.
int change_lut(int slot) {
    cal::Tables &T = cal::tables();
    const Use epc_use;
    cal::State &S = cal::state();
    const int n = plane();
    for (int i = 0; i < kMaxSteps; ++i)
        for (int r = 0; r < S.height; ++r)
            for (int c = 0; c < S.width; ++c)
                T.lut[((size_t)i * kLutRows + r) * kLutCols + c] =
                    T.lut_text[slot][(size_t)i * n + r * S.width + c];
    S.step_mm = S.slot[slot].step;
    S.temp_cal = S.slot[slot].temp;
    S.offset_drnu = S.slot[slot].offset;
    return S.offset_drnu;
}

// Reads one DRNU table text into a slot; -1 when the file is missing.
int load_lut_text(int slot, const char *fn) {
    const Use epc_use;
    cal::State &S = cal::state();
    cal::Tables &T = cal::tables();
    const std::string name = file_name("drnu", slot == 0 ? "_20." : "_10.", "csv");
    File f = open_file(name, "r");
    if (!f) {
        vz_dbg("[%s] Can not open %s file\n", fn, name.c_str());
        return -1;
    }
    vz_dbg("[%s] %s\n", fn, name.c_str());
    LineReader in(f.get(), fn, name);
    std::string l[3];
    Slot s = S.slot[slot];
    if (!in.next(l[0]) || !in.next(l[1]) || !in.next(l[2]) || !parse_int(l[0], s.offset) ||
        !parse_int(l[1], s.temp) || !parse_double(l[2], s.step) ||
        !params_valid(s.offset, s.temp, s.step)) {
        vz_wrn("[%s] %s: header missing or absurd, slot defaults kept\n", fn, name.c_str());
    } else {
        S.slot[slot] = s;
    }
    std::string line;
    bool surplus = false;
    for (int i = 0; i < S.num_dist; ++i) {
        for (int r = 0; r < S.height; ++r) {
            if (!in.next(line)) {
                vz_err("[%s] error calibrationLoadDRNU_LUT\n", fn);
                return 0;
            }
            int32_t *row = T.lut_text[slot] + (size_t)i * plane() + r * S.width;
            if (parse_ints(line, row, S.width) > S.width && !surplus) {
                surplus = true;
                vz_wrn("[%s] %s: values beyond %d per line ignored\n", fn, name.c_str(), S.width);
            }
        }
    }
    return 0;
}

void print_offsets(int level) {
    const Use epc_use;
    cal::State &S = cal::state();
    vz::epc::print(
        true, level,
        "offsetDRNU= %d  maxDistanceCM= %d  boxLSB= %2.4f newOffsetLSB= %d gStepCalMM = %2.4f\n",
        S.offset_drnu, range_cm(), box_offset(), trunc_i32(box_offset() - S.offset_drnu),
        S.step_mm);
}

int scaled(int ref, int ref_khz, int khz) {
    if (ref_khz <= 0 || khz <= 0 || khz == ref_khz) return ref;
    return trunc_i32(double(ref) * khz / ref_khz);
}

int load_dist_images(int mode, const char *fn);

// Loads the DRNU set (parameter block and distance images) of the current
// frequency through the loader of the distance images; false, with nothing
// taken, when the camera carries no set for it.
bool load_current_set(const char *fn) {
    const Use epc_use;
    cal::State &S = cal::state();
    const int khz = configGetModulationFrequency();
    const int cls = freq_class(khz);
    S.set_khz = 0;
    S.looked_khz = khz;
    if (!set_fits(khz) || calibrationLoadDistanceImages(cls) != 0) return false;
    // Without its parameter block the set keeps the values loaded before.
    Slot p = S.slot[freq_mode()];
    read_param_block(file_name("drnu_param", mode_suffix(cls), "bin"), p, fn);
    S.slot[freq_mode()] = p;
    S.step_mm = p.step;
    S.temp_cal = p.temp;
    S.offset_drnu = p.offset;
    S.set_khz = khz;
    return true;
}

// Everything that depends on the modulation frequency follows a change of
// it: the DRNU set of the new frequency with its offsets, or, without one,
// no table at all and the phase offsets kept as the same distance.
int follow_frequency(const char *fn) {
    const Use epc_use;
    cal::State &S = cal::state();
    const int khz = configGetModulationFrequency();
    const bool changed = S.looked_khz != khz;
    if (load_current_set(fn)) {
        if (S.suspended != 0) {
            const int mode = S.suspended;
            S.suspended = 0;
            calculationSetEnableDRNU(mode);
        }
        change_lut(freq_mode());
        S.slot[freq_mode()] = Slot{S.offset_drnu, S.temp_cal, S.step_mm};
        const int off = trunc_i32(box_offset() - S.offset_drnu);
        set_phase(off);
        if (calculationGetEnableDRNU() != 0) {
            print_offsets(1);
            set_phase_default(off);
        } else {
            S.phase_default = scaled(S.default_ref, S.default_ref_khz, khz);
        }
        return 0;
    }
    const int index = configGetModFreqMode();
    // Said once per frequency, when the camera is switched to it.
    if (changed && index >= 0 && index < 32 && !(S.warned & (1u << index))) {
        S.warned |= 1u << index;
        vz_wrn(
            "[%s] uncalibrated at %g MHz: no DRNU calibration for this frequency, "
            "distances without DRNU correction\n",
            fn, khz / 1000.0);
    }
    if (calculationGetEnableDRNU() != 0) {
        S.suspended = calculationGetEnableDRNU();
        calculationSetEnableDRNU(0);
    }
    S.phase = scaled(S.phase_ref, S.phase_ref_khz, khz);
    S.phase_default = scaled(S.default_ref, S.default_ref_khz, khz);
    return 0;
}

int load_dist_images(int mode, const char *fn) {
    cal::Tables &T = cal::tables();
    const Use epc_use;
    cal::State &S = cal::state();
    const std::string name = file_name("images_drnu", mode_suffix(mode), "bin");
    const long size = file_size(name);
    File f = size >= 0 ? open_file(name, "rb") : File();
    if (!f) {
        // Without a size the count is the largest a file can give.
        S.num_dist = kMaxSteps;
        vz_dbg("[%s] Can not open %s file\n", fn, name.c_str());
        return -1;
    }
    const long bytes_per_step = (long)plane() * 2;
    const long steps = std::min<long>(size / bytes_per_step, kMaxSteps);
    if (steps < 1) {
        vz_err("[%s] %s holds no step; not loaded\n", fn, name.c_str());
        return -1;
    }
    vz_dbg("[%s] %s\n", fn, name.c_str());
    const size_t count = (size_t)steps * plane();
    std::vector<uint8_t> raw(count * 2);
    if (fread(raw.data(), 1, raw.size(), f.get()) != raw.size()) {
        vz_err("[%s] Loading failed\n", fn);
        return -1;
    }
    uint16_t *dst = T.dist[mode == 0 ? 0 : 1];
    for (size_t i = 0; i < count; ++i) dst[i] = (uint16_t)(raw[2 * i] | raw[2 * i + 1] << 8);
    S.num_dist = (int)steps;
    rebuild_minmax(mode);
    return 0;
}

int16_t *load_temperatures(const char *fn) {
    const Use epc_use;
    cal::State &S = cal::state();
    cal::Tables &T = cal::tables();
    const std::string name =
        file_name("temperature_drnu", freq_suffix(configGetModulationFrequency()), "csv");
    File f = open_file(name, "r");
    if (!f) {
        vz_dbg("[%s] Can not open %s file\n", fn, name.c_str());
        return nullptr;
    }
    vz_dbg("[%s] %s\n", fn, name.c_str());
    LineReader in(f.get(), fn, name);
    std::string line;
    long sum = 0;
    for (int i = 0; i < S.num_dist; ++i) {
        int t;
        if (!in.next(line) || !parse_int(line, t)) continue;
        T.step_temp[i] = (int16_t)t;
        sum += T.step_temp[i];
    }
    if (S.num_dist > 0) S.temp_cal = (int)(sum / S.num_dist);
    vz_dbg("[%s] gTempCal= %d\n", fn, S.temp_cal);
    return T.step_temp;
}

// ---- savers -------------------------------------------------------------------

int save_lut_dump(const char *path, bool row_major) {
    const Use epc_use;
    cal::State &S = cal::state();
    cal::Tables &T = cal::tables();
    if (path == nullptr) return -1;
    File f = open_file(path, "w");
    if (!f) return -1;
    const int outer = row_major ? S.height : S.width;
    const int inner = row_major ? S.width : S.height;
    for (int a = 0; a < outer; ++a) {
        for (int b = 0; b < inner; ++b) {
            const int r = row_major ? a : b, c = row_major ? b : a;
            for (int i = 0; i < S.num_dist; ++i)
                fprintf(f.get(), "%d%s", T.lut[((size_t)i * kLutRows + r) * kLutCols + c],
                        i + 1 < S.num_dist ? " " : "\n");
        }
    }
    return 0;
}

int save_dist_txt(const char *fn) {
    cal::Tables &T = cal::tables();
    const Use epc_use;
    cal::State &S = cal::state();
    const std::string name =
        file_name("images_drnu", freq_suffix(configGetModulationFrequency()), "csv");
    File f = open_file(name, "w");
    if (!f) return -1;
    const uint16_t *img = T.dist[freq_mode()];
    for (int i = 0; i < S.num_dist; ++i) {
        for (int r = 0; r < S.height; ++r) {
            for (int c = 0; c < S.width; ++c)
                fprintf(f.get(), "%d ", img[(size_t)i * plane() + r * S.width + c]);
            fputc('\n', f.get());
        }
        fputc('\n', f.get());
    }
    vz_inf("[%s] %s\n", fn, name.c_str());
    return 0;
}

int name_into(char *buffer, int mode, const char *kind) {
    if (buffer == nullptr) return mode;
    // The caller's name buffers hold 256 bytes (vizor_calib_names_t).
    snprintf(buffer, 256, "%s", file_name(kind, mode_suffix(mode), "bin").c_str());
    return mode;
}

// Mean of one offset table step over the calibration area.
double lut_step_mean(int i) {
    const Use epc_use;
    cal::State &S = cal::state();
    cal::Tables &T = cal::tables();
    double sum = 0;
    for (int r = 0; r < S.height; ++r)
        for (int c = 0; c < S.width; ++c) sum += T.lut[((size_t)i * kLutRows + r) * kLutCols + c];
    return sum / plane();
}

}  // namespace

bool load_set(const char *fn) { return load_current_set(fn); }

}  // namespace vz::epc::cal

using namespace vz::epc;

extern "C" {

// ---- geometry and scalars -------------------------------------------------------

VZ_API int calibrateSetWidth(int width) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    if (width < 1 || width > cal::kLutCols) {
        vz_wrn("[%s] width %d refused\n", __func__, width);
        return S.width;
    }
    return S.width = width;
}
VZ_API int calibrateGetWidth(void) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    return S.width;
}
VZ_API int calibrateSetHeight(int height) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    if (height < 1 || height > cal::kLutRows) {
        vz_wrn("[%s] height %d refused\n", __func__, height);
        return S.height;
    }
    return S.height = height;
}
VZ_API int calibrateGetHeight(void) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    return S.height;
}
VZ_API int calibrateSetNumDistances(int n) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    if (n < 0 || n > cal::kMaxSteps) {
        vz_wrn("[%s] %d distances refused\n", __func__, n);
        return S.num_dist;
    }
    return S.num_dist = n;
}
VZ_API int calibrateGetNumDistances(void) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    return S.num_dist;
}
VZ_API int calibrationGetOffsetDRNU(void) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    return S.offset_drnu;
}
VZ_API int calibrateGetTempCalib(void) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    return S.temp_cal;
}
VZ_API double calibrateGetStepCalMM(void) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    return S.step_mm;
}

VZ_API double calibrateSetSpeedOfLightDiv2(double v) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    if (!isfinite(v) || v <= 0) {
        vz_wrn("[%s] %f refused\n", __func__, v);
        return S.c2;
    }
    return S.c2 = v;
}
VZ_API double calibrateGetSpeedOfLightDiv2(void) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    return S.c2;
}
VZ_API double calibrateSetTempCoef(double coef, int partType) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    if (partType == 4 || partType == 5) return S.coef635 = coef;
    return S.coef660 = coef;
}
VZ_API double calibrateGetTempCoef(int partType) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    return partType == 4 || partType == 5 ? S.coef635 : S.coef660;
}
VZ_API int calibrateSetDRNUAverage(int n) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    if (n <= 0) {
        vz_wrn("[%s] averaging count %d refused\n", __func__, n);
        return S.average;
    }
    return S.average = n;
}
VZ_API int calibrateGetDRNUAverage(void) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    return S.average;
}
VZ_API int calibrateSetDRNUCalibrateDelay(int us) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    return S.delay_us = us;
}
VZ_API int calibrateGetDRNUCalibrateDelay(void) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    return S.delay_us;
}
VZ_API int calibrateSetDRNUDiffTemp(int t) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    return S.diff_temp = t;
}
VZ_API int calibrateGetDRNUDiffTemp(void) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    return S.diff_temp;
}
// Counts near INT_MIN stop at INT_MIN instead of overflowing.
VZ_API int calibrationSetNumberOfRowsMax(int n) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    return S.rows_max = std::max(n, INT_MIN + 12) - 12;
}
VZ_API int calibrationSetNumberOfColumnsMax(int n) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    return S.cols_max = std::max(n, INT_MIN + 8) - 8;
}
VZ_API int calibrateGetoffsetPhaseDefaultFPN(void) noexcept { return 0; }

// ---- phase offset ---------------------------------------------------------------

VZ_API int calibrationSetOffsetPhase(int offset) noexcept {
    const Use epc_use;
    return cal::set_phase(offset);
}
VZ_API int calibrationGetOffsetPhase(void) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    return S.phase;
}
VZ_API int calibrationSetDefaultOffsetPhase(int offset) noexcept {
    const Use epc_use;
    return cal::set_phase_default(offset);
}
VZ_API int calibrationIsDefaultEnabled(void) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    return S.default_on;
}

VZ_API int calibrationEnableDefaultOffset(int on) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    if (on) cal::set_phase(S.phase_default);
    return S.default_on = on ? 1 : 0;
}

VZ_API int calibrationSetOffset(int cm, int deviceAddress) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    (void)deviceAddress;
    const double period_cm = S.c2 / configGetModulationFrequency() / 10;
    return cal::set_phase(cal::trunc_i32(cm * 30000.0 / period_cm));
}

VZ_API int calibrationGetOffset(int deviceAddress) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    (void)deviceAddress;
    const double period_cm = S.c2 / configGetModulationFrequency() / 10;
    return cal::trunc_i32(S.phase_default * period_cm / 30000.0);
}

// ---- table access ---------------------------------------------------------------

VZ_API int calibrateGetDRNULutPixel(int step, int row, int column) noexcept {
    const vz::epc::Use epc_use;
    cal::Tables &T = cal::tables();
    if (step < 0 || step >= cal::kMaxSteps || row < 0 || row >= cal::kLutRows || column < 0 ||
        column >= cal::kLutCols)
        return 0;
    return T.lut[((size_t)step * cal::kLutRows + row) * cal::kLutCols + column];
}

VZ_API uint16_t calibrateGetDistImagePixel(int index) noexcept {
    const vz::epc::Use epc_use;
    cal::Tables &T = cal::tables();
    if (index < 0 || index >= cal::kMaxSteps * cal::kPixels) return 0;
    return T.dist[cal::freq_mode()][index];
}

// ---- names ------------------------------------------------------------------------

VZ_API int calibrationGetDistanceImagesName(char *buffer, int mode) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry("calibrationGetDistanceImagesName", mode,
                     [&] { return cal::name_into(buffer, mode, "images_drnu"); });
}

VZ_API int calibrationGetParamName(char *buffer, int mode) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry("calibrationGetParamName", mode,
                     [&] { return cal::name_into(buffer, mode, "drnu_param"); });
}

VZ_API int calibrationDataFileCheck(int mode) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry("calibrationDataFileCheck", -1, [&] {
        return cal::file_size(cal::file_name("images_drnu", cal::mode_suffix(mode), "bin")) >= 0
                   ? 0
                   : -1;
    });
}

// ---- loading --------------------------------------------------------------------------

VZ_API int calibrationChangeDRNU_LUT(int slot) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    if (slot < 0 || slot > 1) {
        vz_wrn("[%s] slot %d refused\n", __func__, slot);
        return S.offset_drnu;
    }
    return cal::change_lut(slot);
}

VZ_API int calibrationLoadDRNU_LUT(void) noexcept {
    const vz::epc::Use epc_use;
    cal::State &S = cal::state();
    return vz::entry("calibrationLoadDRNU_LUT", -1, [&] {
        const char *fn = "calibrationLoadDRNU_LUT";
        cal::Slot p;
        if (cal::read_param_block(cal::file_name("drnu_param", "_10.", "bin"), p, fn)) {
            vz_dbg("[%s] gOffsetDRNU_Temp0:%d\n", fn, p.offset);
            vz_dbg("[%s] gTempCal0:%d\n", fn, p.temp);
            vz_dbg("[%s] gStepCalMM0:%2.4f\n", fn, p.step);
        } else {
            p = cal::Slot{};
        }
        S.slot[0] = S.slot[1] = p;
        cal::change_lut(cal::freq_mode());
        cal::set_phase_default(cal::trunc_i32(cal::box_offset() - S.offset_drnu));
        if (cal::load_lut_text(0, fn) != 0 || cal::load_lut_text(1, fn) != 0) return -1;
        vz_dbg("[%s] FILE LOAD OK\n", fn);
        cal::change_lut(cal::freq_mode());
        cal::print_offsets(2);
        cal::set_phase_default(cal::trunc_i32(cal::box_offset() - S.offset_drnu));
        return 0;
    });
}

VZ_API int calibrationUpdateFrequency(void) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry("calibrationUpdateFrequency", -1,
                     [&] { return cal::follow_frequency("calibrationUpdateFrequency"); });
}

VZ_API int calibrationGetSetFrequency(void) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry("calibrationGetSetFrequency", 0, [&] { return cal::set_khz(); });
}

VZ_API int calibrationLoadDistanceImages(int mode) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry("calibrationLoadDistanceImages", -1,
                     [&] { return cal::load_dist_images(mode, "calibrationLoadDistanceImages"); });
}

VZ_API int16_t *calibrationLoadTemperatureDRNU(void) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry("calibrationLoadTemperatureDRNU", (int16_t *)nullptr,
                     [&] { return cal::load_temperatures("calibrationLoadTemperatureDRNU"); });
}

// ---- saving -------------------------------------------------------------------------------

VZ_API int calibrationSaveDRNU_LUT(void) noexcept {
    const vz::epc::Use epc_use;
    cal::State &S = cal::state();
    return vz::entry("calibrationSaveDRNU_LUT", -1, [&] {
        const char *fn = "calibrationSaveDRNU_LUT";
        const char *sfx = cal::freq_suffix(configGetModulationFrequency());
        const std::string name = cal::file_name("drnu", sfx, "csv");
        {
            cal::File f = cal::open_file(name, "w");
            if (!f) return -1;
            fprintf(f.get(), "%d\n%d\n%2.4f\n", S.offset_drnu, S.temp_cal, S.step_mm);
        }
        vz_inf("[%s] %s\n", fn, name.c_str());
        if (!cal::write_param_block("temp_param.bin", S.offset_drnu, S.temp_cal, S.step_mm))
            vz_err("[%s] %s open failed\n", fn, "temp_param.bin");
        if (cal::is_epc635()) {
            char xy[160], yx[160];
            snprintf(xy, sizeof xy, "epc635_drnu_W%03i_C%03i_test_xy%scsv", (int)configGetWaferID(),
                     (int)configGetChipID(), sfx);
            snprintf(yx, sizeof yx, "epc635_drnu_W%03i_C%03i_test_yx%scsv", (int)configGetWaferID(),
                     (int)configGetChipID(), sfx);
            cal::save_lut_dump(xy, true);
            cal::save_lut_dump(yx, false);
        }
        return 0;
    });
}

VZ_API int calibrationSaveTemperatureDRNU(void) noexcept {
    const vz::epc::Use epc_use;
    cal::State &S = cal::state();
    cal::Tables &T = cal::tables();
    return vz::entry("calibrationSaveTemperatureDRNU", -1, [&] {
        const std::string name = cal::file_name(
            "temperature_drnu", cal::freq_suffix(configGetModulationFrequency()), "csv");
        cal::File f = cal::open_file(name, "w");
        if (!f) return -1;
        for (int i = 0; i < S.num_dist; ++i) fprintf(f.get(), "%d\n", T.step_temp[i]);
        vz_inf("[%s] %s\n", "calibrationSaveTemperatureDRNU", name.c_str());
        return 0;
    });
}

VZ_API int calibrationSaveDistanceImagesTXT(void) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry("calibrationSaveDistanceImagesTXT", -1,
                     [&] { return cal::save_dist_txt("calibrationSaveDistanceImagesTXT"); });
}

VZ_API int calibrationSaveDistanceImages(void) noexcept {
    const vz::epc::Use epc_use;
    cal::State &S = cal::state();
    cal::Tables &T = cal::tables();
    return vz::entry("calibrationSaveDistanceImages", -1, [&] {
        const char *fn = "calibrationSaveDistanceImages";
        const std::string name =
            cal::file_name("images_drnu", cal::freq_suffix(configGetModulationFrequency()), "bin");
        std::vector<uint8_t> bytes;
        const size_t count = (size_t)S.num_dist * cal::plane();
        bytes.reserve(count * 2);
        const uint16_t *img = T.dist[cal::freq_mode()];
        for (size_t i = 0; i < count; ++i) cal::put_u16(bytes, img[i]);
        {
            cal::File f = cal::open_file(name, "wb");
            if (!f || fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size()) return -1;
        }
        vz_inf("[%s] %s\n", fn, name.c_str());
        return cal::save_dist_txt(fn);
    });
}

VZ_API int calibrationSaveDRNU_LUT_TestXY(const char *path) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry("calibrationSaveDRNU_LUT_TestXY", -1,
                     [&] { return cal::save_lut_dump(path, true); });
}

VZ_API int calibrationSaveDRNU_LUT_TestYX(const char *path) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry("calibrationSaveDRNU_LUT_TestYX", -1,
                     [&] { return cal::save_lut_dump(path, false); });
}

// ---- table analysis -------------------------------------------------------------------------

VZ_API double calibrationFindLine(int i) noexcept {
    const vz::epc::Use epc_use;
    if (i < 0 || i >= cal::kMaxSteps) return 0;
    return (cal::lut_step_mean(i) - cal::lut_step_mean(0)) / (i + 1);
}

VZ_API int calibrationLinearRegresion(double *slope, double *intercept) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    cal::Tables &T = cal::tables();
    if (slope == nullptr || intercept == nullptr) return -1;
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (int i = 0; i < S.num_dist; ++i) {
        for (int r = 0; r < S.height; ++r) {
            for (int c = 0; c < S.width; ++c) {
                const double y = T.lut[((size_t)i * cal::kLutRows + r) * cal::kLutCols + c];
                n += 1;
                sx += i;
                sy += y;
                sxx += (double)i * i;
                sxy += i * y;
            }
        }
    }
    const double den = n * sxx - sx * sx;
    *slope = den != 0 ? (n * sxy - sx * sy) / den : 0;
    *intercept = n != 0 ? (sy - *slope * sx) / n : 0;
    return 0;
}

VZ_API int calibrationCorrectDRNU_LUT(double slope, double intercept) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    cal::Tables &T = cal::tables();
    for (int i = 0; i < S.num_dist; ++i)
        for (int r = 0; r < S.height; ++r)
            for (int c = 0; c < S.width; ++c) {
                int32_t &e = T.lut[((size_t)i * cal::kLutRows + r) * cal::kLutCols + c];
                e = cal::trunc_i32(e - (slope * i + intercept));
            }
    return 0;
}

VZ_API int calibrationErrorCurveEndIndex(void) noexcept {
    const Use epc_use;
    cal::State &S = cal::state();
    return cal::round_i32(15000 / S.step_mm);
}

// ---- bad pixels -------------------------------------------------------------------------------

VZ_API int calibrationGetBadPixels(int *values) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry("calibrationGetBadPixels", -1, [&] {
        const char *fn = "calibrationGetBadPixels";
        if (values == nullptr) return -1;
        char name[96];
        snprintf(name, sizeof name, "./calibration/PT%02i_W%03i_C%03i_bad_pixels.txt",
                 configGetPartType(), (int)configGetWaferID(), (int)configGetChipID());
        cal::File f = cal::open_file(name, "r");
        if (!f) {
            vz_dbg("[%s] Could not open %s file.\n", fn, name);
            return -1;
        }
        const std::string sname = name;
        cal::LineReader in(f.get(), fn, sname);
        std::string line;
        int n = 0;
        while (in.next(line)) {
            int32_t v[3];
            const int k = cal::parse_ints(line, v, 3);
            if (k > 2) {
                vz_dbg("[%s] File does not contain a proper calibration.\n", fn);
                return -1;
            }
            if (n + k > cal::kBadPixelCapacity) {
                vz_wrn("[%s] more than %d values in %s\n", fn, cal::kBadPixelCapacity, name);
                return -1;
            }
            for (int i = 0; i < k; ++i) values[n++] = v[i];
        }
        return n;
    });
}

}  // extern "C"

namespace vz::epc {
constinit const SlotOps calibration_tables_slot = slot_ops<cal::Tables>();
constinit const SlotOps calibration_slot = slot_ops<cal::State>();
}  // namespace vz::epc
