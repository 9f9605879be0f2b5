// The epc660/epc635 sensor model: register file, fuse memory, temperature
// sensors and the imaging parameters. Frame synthesis is in epc_frame.cpp,
// the factory calibration package in epc_calib.cpp.
#include "vcam/epc.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace vcam {

namespace {

// Registers with a meaning to the model.
constexpr uint32_t kRegIcType = 0, kRegIcVersion = 1;
constexpr uint32_t kRegFuseAddr = 17, kRegFuseData = 18;
constexpr uint32_t kRegTemp = 96;  // 96..103: four big-endian sensor words
constexpr uint32_t kRegTempMode = 211;
constexpr uint32_t kRegTrim = 232;  // 232..239: offset/slope trim per sensor
constexpr uint32_t kRegDelayTrim = 233;
constexpr uint32_t kRegDll = 174;        // bit 0 bypass, bit 1 starts a lock measurement
constexpr uint32_t kRegDllStatus = 116;  // 116..118: lock reading

constexpr uint8_t kParamSensorId = 7, kParamImgMode = 10, kParamIntgTime = 13, kParamTemp = 15;
constexpr uint16_t kIntgMin = 1, kIntgMax = 4000;

// Per-sensor offsets from the chip temperature (0.1 degC).
constexpr int kSensorSpread[4] = {-2, 1, 3, -2};

// Trim bytes of the four epc660 sensors (offset, slope); epc635 has one.
constexpr uint8_t kTrim660[8] = {0x85, 0, 0x7A, 0x83, 0x80, 0x7C, 0x81, 0x7E};
constexpr uint8_t kTrim635[8] = {0x7B, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

uint16_t get16le(std::span<const uint8_t> v) {
    return v.size() >= 2 ? uint16_t(v[0] | (v[1] << 8)) : v.empty() ? 0 : v[0];
}

}  // namespace

EpcSensor::EpcSensor(EpcChip chip, const EpcModel &model, uint16_t wafer_id, uint16_t chip_id,
                     uint8_t part_version)
    : chip_(chip), m_(model) {
    fuse_[245] = 0x01;
    fuse_[246] = uint8_t(wafer_id >> 8);
    fuse_[247] = uint8_t(wafer_id);
    fuse_[248] = uint8_t(chip_id >> 8);
    fuse_[249] = uint8_t(chip_id);
    uint8_t pt = chip == EpcChip::epc660 ? 2 : 4;
    if (m_.part_type != 0) {
        bool ok = chip == EpcChip::epc660 ? (m_.part_type == 2 || m_.part_type == 3)
                                          : (m_.part_type == 4 || m_.part_type == 5);
        if (!ok) throw std::invalid_argument("part type does not belong to this chip");
        pt = m_.part_type;
    }
    fuse_[250] = pt;
    fuse_[251] = part_version;
    scene_ = Scene::flat(image_width(), image_height(), 1.0f, 0.5f);
    rng_ = m_.seed ? m_.seed : 1;
    build_patterns();
    power_up_registers();
}

void EpcSensor::power_up_registers() {
    regs_.fill(0);
    const bool e660 = chip_ == EpcChip::epc660;
    regs_[kRegIcType] = e660 ? 0x60 : 0x35;
    regs_[kRegIcVersion] = 0x03;
    // Sequencer slots: exposure programs 4, 1, 0xE, 0xB with background
    // suppression (bits 4-5) on.
    regs_[34] = 0x34;
    regs_[37] = 0x31;
    regs_[40] = 0x3E;
    regs_[43] = 0x3B;
    // Clocks: system clock (0x17 + 1) x 4 MHz = 96 MHz, modulation clock
    // divider 1: 96 / (4 x 2) = 12 MHz.
    regs_[129] = 0x00;
    regs_[130] = 0x17;
    regs_[133] = 0x01;
    regs_[146] = 0x30;  // 4 DCS, sine modulation
    regs_[148] = 0x00;  // no binning, no row reduction, no dual MGX/HDR
    // Region of interest: the image area.
    const int x2 = e660 ? 323 : 163, y2 = e660 ? 125 : 65;
    regs_[150] = 0;
    regs_[151] = 4;
    regs_[152] = uint8_t(x2 >> 8);
    regs_[153] = uint8_t(x2);
    regs_[154] = 6;
    regs_[155] = uint8_t(y2);
    regs_[174] = 0x01;  // DLL bypassed
    regs_[203] = 0x00;
    regs_[211] = 0x10;
    regs_[213] = 0x39;
    regs_[218] = 0x10;
    regs_[220] = 0x39;
    const uint8_t *trim = e660 ? kTrim660 : kTrim635;
    for (int i = 0; i < 8; ++i) regs_[kRegTrim + uint32_t(i)] = trim[i];
    double code = (m_.delay_step_ns - 1.8) / 0.003 + 128.0;
    regs_[kRegDelayTrim] = uint8_t(std::clamp(std::lround(code), 0L, 254L));
    program_integration();
}

// The modulation clock period in ns (four clocks per modulation period).
double EpcSensor::mod_clock_ns() const {
    double sys =
        (double(regs_[130] & 0x1F) * 4000.0 + 4000.0) / double(1 << ((regs_[129] >> 4) & 3));
    return 1e6 * double((regs_[133] & 0x1F) + 1) / sys;
}

// The firmware turns parameter 13 into the chip's integration registers:
// multiplier m (160/161) and count n (162/163), exposure = m x (n + 1)
// modulation clocks, m the least that keeps n within 16 bits.
void EpcSensor::program_integration() {
    const double t = mod_clock_ns();
    const double unit = t * 65536.0 / 1000.0;
    const uint32_t m = uint32_t(double(intg_us_) / unit) + 1;
    const uint32_t n = uint32_t(std::max(1L, std::lround(double(intg_us_) / m * 1000.0 / t))) - 1;
    regs_[160] = uint8_t(m >> 8);
    regs_[161] = uint8_t(m);
    regs_[162] = uint8_t(n >> 8);
    regs_[163] = uint8_t(n);
}

double EpcSensor::exposure_us() const {
    const double m = double(regs_[160] << 8 | regs_[161]), n = double(regs_[162] << 8 | regs_[163]);
    return m * (n + 1.0) * mod_clock_ns() / 1000.0;
}

void EpcSensor::reset() { power_up_registers(); }

void EpcSensor::set_model(const EpcModel &m) {
    uint8_t pt = fuse_[250];
    m_ = m;
    m_.part_type = pt;
    dll_next_ = 0;
    rng_ = m_.seed ? m_.seed : 1;
    build_patterns();
    regs_[kRegDelayTrim] =
        uint8_t(std::clamp(std::lround((m_.delay_step_ns - 1.8) / 0.003 + 128.0), 0L, 254L));
}

void EpcSensor::set_scene(const Scene &scene) {
    size_t n = size_t(image_width()) * size_t(image_height());
    if (scene.width != image_width() || scene.height != image_height() ||
        scene.distance_m.size() != n || scene.reflectivity.size() != n ||
        (!scene.ambient.empty() && scene.ambient.size() != n))
        throw std::invalid_argument(
            "EPC scene must have the image-area size (320 x 240 or 160 x 60)");
    scene_ = scene;
}

void EpcSensor::set_ids(uint16_t wafer_id, uint16_t chip_id) {
    fuse_[246] = uint8_t(wafer_id >> 8);
    fuse_[247] = uint8_t(wafer_id);
    fuse_[248] = uint8_t(chip_id >> 8);
    fuse_[249] = uint8_t(chip_id);
    build_patterns();
}
uint16_t EpcSensor::wafer_id() const { return uint16_t(fuse_[246] << 8 | fuse_[247]); }
uint16_t EpcSensor::chip_id() const { return uint16_t(fuse_[248] << 8 | fuse_[249]); }

// ---- temperatures ----

double EpcSensor::temperature_at(double start, double rise) const {
    if (m_.heat_frames <= 0) return start + rise;
    return start + rise * (1.0 - std::exp(-double(frames_) / m_.heat_frames));
}
int16_t EpcSensor::chip_temperature() const {
    return int16_t(std::lround(temperature_at(m_.chip_start_dC, m_.chip_rise_dC)));
}
int16_t EpcSensor::illum_temperature() const {
    return int16_t(std::lround(temperature_at(m_.illum_start_dC, m_.illum_rise_dC)));
}
double EpcSensor::sensor_temperature(int sensor) const {
    return double(chip_temperature()) + (chip_ == EpcChip::epc660 ? kSensorSpread[sensor & 3] : 0);
}

// One sensor word as registers 96+2i (high) and 97+2i (low) carry it. In the
// normal mode (register 211 bits 5-6 clear) the ADC word is 4 x raw + 8190
// in bits 0-13 (bit 14 flags a finished conversion), raw = (T/10 - 27) x
// slope + offset with the trimmed offset and slope of the sensor; in the
// direct mode (211 bits 5-6 set) it is (T/10 - offset) / 0.134 + 8192 with
// offset = trim byte / 4.7 - 299 (epc635: -268).
uint16_t EpcSensor::temp_register_pair(int sensor) const {
    const bool e660 = chip_ == EpcChip::epc660;
    const double t = sensor_temperature(sensor) / 10.0;
    const uint8_t o = regs_[kRegTrim + uint32_t(2 * sensor)];
    const uint8_t s = regs_[kRegTrim + uint32_t(2 * sensor) + 1];
    if ((regs_[kRegTempMode] & 0x60) == 0x60) {
        double off = e660 ? double(o) / 4.7 - 299.0 : -268.0;
        long v = std::lround((t - off) / 0.134 + 8192.0);
        return uint16_t(std::clamp(v, 0L, 65535L));
    }
    double off = e660 ? 1082.0 : 1397.46, slope = e660 ? 3.7424012151 : 4.678;
    const double od = e660 ? 1.0 : 1.0859, sd = e660 ? 127.0 : 79.375;
    if (o != 255) off -= (double(o) - 127.0) / od;
    if (s != 255) slope -= (double(s) - 127.0) / sd;
    long raw = std::lround((t - 27.0) * slope + off);
    long word = std::clamp(4 * raw + 8190, 0L, 0x3FFFL);
    return uint16_t(0x4000 | word);
}

// ---- registers ----

uint8_t EpcSensor::reg_peek(uint32_t addr) const {
    if (addr > 255) return 0;
    if (addr == kRegFuseData) return fuse_[regs_[kRegFuseAddr]];
    if (addr >= kRegTemp && addr < kRegTemp + 8) {
        int sensor = int(addr - kRegTemp) / 2;
        if (chip_ == EpcChip::epc635 && sensor > 0) return 0;
        uint16_t w = temp_register_pair(sensor);
        return (addr - kRegTemp) % 2 == 0 ? uint8_t(w >> 8) : uint8_t(w);
    }
    return regs_[addr];
}

uint8_t EpcSensor::reg_read(uint32_t addr) {
    uint8_t v = reg_peek(addr);
    if (addr == kRegFuseData) ++regs_[kRegFuseAddr];  // wraps at 256
    return v;
}

void EpcSensor::reg_write(uint32_t addr, uint8_t value) {
    if (addr > 255) return;
    if (writes_.size() >= 4096) writes_.erase(writes_.begin());
    writes_.emplace_back(uint8_t(addr), value);
    if (addr == kRegIcType || addr == kRegIcVersion) return;  // ROM
    if (addr >= kRegTemp && addr < kRegTemp + 8) return;      // ADC results
    if (addr == kRegFuseData) {
        // Only the part type can be reprogrammed, and only within the chip's
        // family (TOF <-> FLIM variant); other fuse writes are ignored.
        uint8_t a = regs_[kRegFuseAddr]++;
        bool family =
            chip_ == EpcChip::epc660 ? (value == 2 || value == 3) : (value == 4 || value == 5);
        if (a == 250 && family) fuse_[250] = value;
        return;
    }
    regs_[addr] = value;
    if (addr == kRegDll && (value & 2) && !(value & 1) && !m_.dll_readings.empty()) {
        const EpcModel::DllReading &r = m_.dll_readings[dll_next_++ % m_.dll_readings.size()];
        regs_[kRegDllStatus] = uint8_t((r.locked ? 0x80 : 0) | ((r.fine >> 8) & 3));
        regs_[kRegDllStatus + 1] = uint8_t(r.fine & 0xFF);
        regs_[kRegDllStatus + 2] = r.coarse;
    }
}

std::vector<std::pair<uint8_t, uint8_t>> EpcSensor::take_reg_writes() {
    std::vector<std::pair<uint8_t, uint8_t>> out;
    out.swap(writes_);
    return out;
}

// ---- parameters ----

std::optional<std::string> EpcSensor::param_check(uint8_t id, std::span<const uint8_t> v) const {
    if (id == kParamImgMode && (v.empty() || v[0] > 2))
        return std::string("image mode must be 0, 1 or 2");
    if (id == kParamIntgTime && v.empty()) return std::string("integration time needs 2 bytes");
    return std::nullopt;
}

void EpcSensor::param_changed(uint8_t id, std::vector<uint8_t> &v) {
    if (id == kParamImgMode && !v.empty() && v[0] <= 2) {
        img_mode_ = v[0];
        v.resize(1);
    } else if (id == kParamIntgTime && !v.empty()) {
        intg_us_ = std::clamp(get16le(v), kIntgMin, kIntgMax);
        v = {uint8_t(intg_us_), uint8_t(intg_us_ >> 8)};
        program_integration();
    }
}

std::optional<std::vector<uint8_t>> EpcSensor::param_value(uint8_t id) const {
    auto put16 = [](std::vector<uint8_t> &v, uint16_t x) {
        v.push_back(uint8_t(x));
        v.push_back(uint8_t(x >> 8));
    };
    std::vector<uint8_t> v;
    if (id == kParamSensorId) {
        put16(v, fuse_[251]);
        put16(v, chip_id());
        put16(v, wafer_id());
        return v;
    }
    if (id == kParamTemp) {
        int n = chip_ == EpcChip::epc660 ? 4 : 1;
        for (int i = 0; i < n; ++i) put16(v, uint16_t(int16_t(std::lround(sensor_temperature(i)))));
        return v;
    }
    if (id == kParamImgMode) return std::vector<uint8_t>{img_mode_};
    if (id == kParamIntgTime) {
        put16(v, intg_us_);
        return v;
    }
    return std::nullopt;
}

// ---- readout state ----

double EpcSensor::mod_freq_khz() const {
    double sys =
        (double(regs_[130] & 0x1F) * 4000.0 + 4000.0) / double(1 << ((regs_[129] >> 4) & 3));
    return sys / (4.0 * double((regs_[133] & 0x1F) + 1));
}

EpcSensor::Readout EpcSensor::readout() const {
    Readout r;
    const uint8_t r146 = regs_[146], r148 = regs_[148];
    r.gray = img_mode_ != 1;
    r.pn = (r146 & 0x40) != 0;
    r.dual_mgx = (r148 & 0x80) != 0 && (r146 & 0x08) == 0;
    int ndcs = ((r146 >> 4) & 3) + 1;
    if (r.dual_mgx) {
        r.pi_delay = ndcs >= 2;
        r.planes = r.pi_delay ? 2 : 1;
    } else {
        r.pi_delay = ndcs >= 3;
        r.planes = r.pi_delay ? 4 : 2;
    }
    if (r.gray) {
        r.planes = 1;
        r.pi_delay = r.dual_mgx = r.pn = false;
    }
    const int maxc = field_cols() - 1, maxr = field_rows_per_half() - 1;
    int x1 = std::min(regs_[150] << 8 | regs_[151], maxc);
    int x2 = std::clamp(regs_[152] << 8 | regs_[153], x1, maxc);
    int y1 = std::min<int>(regs_[154], maxr);
    int y2 = std::clamp<int>(regs_[155], y1, maxr);
    r.x1 = x1;
    r.y1 = y1;
    r.col_step = (r148 & 0x11) == 0x11 ? 2 : 1;
    r.row_step = 1 << ((r148 >> 2) & 3);
    r.vbin = (r148 & 0x20) != 0;
    r.cols = std::max(1, (x2 - x1 + 1) / r.col_step);
    r.rows_per_half = std::max(1, (y2 - y1 + 1) / r.row_step);
    if (r.dual_mgx && r.rows_per_half % 2) --r.rows_per_half;  // whole row-set pairs
    r.rows_per_half = std::max(r.rows_per_half, r.dual_mgx ? 2 : 1);
    if (r.gray) {
        r.format = 0;
    } else {
        // Format codes by (pi delay, dual MGX, PN).
        static constexpr uint16_t kFormat[2][2][2] = {{{8, 7}, {4, 3}}, {{2, 5}, {1, 6}}};
        r.format = kFormat[r.pi_delay][r.dual_mgx][r.pn];
    }
    return r;
}

FrameDesc EpcSensor::describe() const {
    Readout r = readout();
    FrameDesc d;
    int rows = r.rows_per_half * halves();
    d.width = uint16_t(r.cols);
    d.height = uint16_t(r.dual_mgx ? rows / 2 : rows);
    d.format = r.format;
    d.size = uint32_t(r.cols) * uint32_t(rows) * uint32_t(r.planes) * 2u;
    uint16_t tc = uint16_t(chip_temperature()), ti = uint16_t(illum_temperature());
    d.sensor_data = {uint8_t(tc), uint8_t(tc >> 8), uint8_t(ti), uint8_t(ti >> 8), 0, 0, 0, 0};
    return d;
}

double EpcSensor::drift_coef() const {
    if (m_.drift_mm_per_dC != 0) return m_.drift_mm_per_dC;
    return chip_ == EpcChip::epc660 ? 1.7 : 1.56131;
}

}  // namespace vcam
