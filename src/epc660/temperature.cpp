// Chip and illumination temperatures: the frame-header values the EPC driver
// hands over, the device's temperature parameter, the illumination channels
// of the board (ADC stubs), and the chip readout methods (temperature
// registers, a region of interest over the sensor rows, the direct sensors)
// with their fuse trims. Values are tenths of a degree Celsius.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "epc660/base.h"

namespace {

constexpr int kGrayMax = 82656;  // samples kept of the last readout image

struct TemperatureState {
    int16_t header_chip = 0;
    int16_t header_ib = 0;
    int16_t last_slots[3] = {};  // copies of the header chip temperature for the corrections
    int16_t last_illumination = 0;
    int16_t last_chip = 0;
    int16_t kalman[8] = {};
    int adc_channels[2] = {2, 4};
    uint16_t gray[kGrayMax] = {};
};
TemperatureState &temp_state() {
    return vz::epc::state<TemperatureState>(vz::epc::kSlotTemperature);
}
#undef EPC_BIND
#define EPC_BIND [[maybe_unused]] TemperatureState &g_temp = temp_state();

bool epc635() { return configGetPartType() == 4 || configGetPartType() == 5; }

uint8_t reg(int addr, int r) {
    uint8_t v = 0;
    vz::epc::reg_read(addr, r, v);
    return v;
}

int16_t illumination(int channel) {
    int sum = 0;
    for (int i = 0; i < 10; ++i) sum += adcGetValue(channel);
    const int m = sum / 10;
    return int16_t(int((25 - (m - 1452.13) / 4.41) * 10));
}

void refresh_illumination(int16_t out[2]) {
    TemperatureState &g_temp = temp_state();
    out[0] = illumination(g_temp.adc_channels[0]);
    out[1] = illumination(g_temp.adc_channels[1]);
    g_temp.last_illumination = int16_t((out[0] + out[1]) / 2);
}

// Reads the device's temperature parameter into at most four 16-bit values
// (the first two 32-bit words of the value); returns how many, -1 on failure.
int read_param(int16_t values[4]) {
    vizor_param_item_t item{};
    item.param_id = VIZOR_PARAM_TEMP;
    if (!vizor_param_batch_get(vz::epc::default_device(), &item, 1)) {
        vz_wrn("[%s] temperature parameter read failed\n", "temperatureGetTemperature");
        return -1;
    }
    const int len = std::min<int>(item.param_val_len, 8);  // the value area we use
    for (int i = 0; i < 4; ++i)
        values[i] =
            i < len / 2 ? int16_t(item.param_val[2 * i] | (item.param_val[2 * i + 1] << 8)) : 0;
    return len / 2;
}

void keep_gray(const uint16_t *img, int n) {
    TemperatureState &g_temp = temp_state();
    const int k = std::clamp(n, 0, kGrayMax);
    if (img && k) memcpy(g_temp.gray, img, size_t(k) * 2);
    memset(g_temp.gray + k, 0, size_t(kGrayMax - k) * 2);
}

int by_register(int addr, int16_t *out) {
    TemperatureState &g_temp = temp_state();
    const bool one = epc635();
    const int n = one ? 1 : 4;
    const double base_offset = one ? 1397.46 : 1082, base_slope = one ? 4.678 : 3.7424012151;
    const double offset_div = one ? 1.0859 : 1, slope_div = one ? 79.375 : 127;
    uint8_t raw[8] = {}, trims[8] = {};
    vz::epc::reg_read_n(addr, 96, raw, 2 * n);
    vz::epc::reg_read_n(addr, 232, trims, 2 * n);
    double sum = 0;
    for (int i = 0; i < n; ++i) {
        const int v = int((((raw[2 * i] << 8) & 0x3FFF) | raw[2 * i + 1]) * 0.25 + 0.5 - 2048);
        const int o = trims[2 * i], s = trims[2 * i + 1];
        const double offset = o == 255 ? base_offset : base_offset - (o - 127) / offset_div;
        const double slope = s == 255 ? base_slope : base_slope - (s - 127) / slope_div;
        const double t = ((v - offset) / slope + 27) * 10;
        out[i] = int16_t(int(t));
        sum += t;
    }
    g_temp.last_chip = int16_t(std::lround(sum / n));
    return n;
}

// Reduction exponent that gives `reduction` (1 for 2, 2 for 4, 3 for 8).
int exponent_of(unsigned reduction) {
    if (reduction == 2) return 1;
    if (reduction == 4) return 2;
    if (reduction == 8) return 3;
    vz::epc::print(true, 0, "WARNING: Invalid reduction.");
    return 0;
}

int by_roi(int addr, int16_t *out) {
    const bool was_3d = configGetCurrentMode() == 1;
    if (was_3d) {
        pruSetDCS(1);
        configLoad(false, addr);
    }
    uint8_t readout = 0, roi[6] = {};
    vz::epc::reg_read(addr, 148, readout);
    vz::epc::reg_read_n(addr, 150, roi, 6);
    int cols = 0, rows = 0;
    vz::epc::pru_full_size(cols, rows);
    const unsigned col_red = pruGetColReduction(), row_red = pruGetRowReduction();
    if (col_red >= 2) pruSetColReduction(0);
    if (row_red >= 2) pruSetRowReduction(0);
    vz::epc::reg_write(addr, 148, 0);
    const bool one = epc635();
    static const uint8_t kRoi660[6] = {0, 0, 1, 71, 124, 125};
    static const uint8_t kRoi635[6] = {0, 156, 0, 167, 64, 65};
    pruSetSize(one ? 12 : 328, 2);
    vz::epc::reg_write_n(addr, 150, one ? kRoi635 : kRoi660, 6);
    uint16_t *img = nullptr;
    const int got = calculationBW(&img);
    keep_gray(img, got);
    const int n = one ? 1 : 4;
    int raw[4] = {};
    if (!one && img && got >= 1312) {
        static const int kPix[4][4] = {
            {0, 1, 656, 657}, {326, 327, 982, 983}, {328, 329, 984, 985}, {654, 655, 1310, 1311}};
        const int bias = configIsFLIM() ? 0 : 8192;
        for (int i = 0; i < 4; ++i) {
            const int sum = img[kPix[i][0]] + img[kPix[i][1]] + img[kPix[i][2]] + img[kPix[i][3]];
            raw[i] = ((sum - bias) & 0x3FFFF) / 4;
        }
    }
    uint8_t trims[8] = {};
    vz::epc::reg_read_n(addr, 232, trims, 8);
    for (int i = 0; i < n; ++i) {
        const int o = trims[2 * i], s = trims[2 * i + 1];
        const double offset = o == 255 ? 1082 : 1082 - (o - 127);
        const double slope = s == 255 ? 3.7424012151 : 3.7424012151 - (s - 127) / 127.0;
        out[i] = int16_t(int(((raw[i] - offset) / slope + 25) * 10));
    }
    if (was_3d) apiLoadConfig(1, addr);
    if (col_red >= 2) pruSetColReduction(1);
    if (row_red >= 2) pruSetRowReduction(exponent_of(row_red));
    pruSetSize(cols, rows);
    vz::epc::reg_write(addr, 148, readout);
    vz::epc::reg_write_n(addr, 150, roi, 6);
    return n;
}

// The direct sensor readout: four sensors with their fuse offsets, or the
// epc635's one sensor with the configured trims.
int direct(int addr, int16_t *out, bool four) {
    const int time_2d = configGetIntegrationTime2D();
    configSetIntegrationTime2D(100);
    const uint8_t r146 = reg(addr, 146);
    const uint8_t r211 = four ? reg(addr, 211) : configGetGX();
    const uint8_t r213 = four ? reg(addr, 213) : configGetGY();
    const uint8_t r218 = four ? reg(addr, 218) : 0, r220 = four ? reg(addr, 220) : 0;
    uint8_t fuse[4] = {};
    if (four)
        for (int i = 0; i < 4; ++i) fuse[i] = reg(addr, 232 + 2 * i);
    vz::epc::reg_write(addr, 211, uint8_t(r211 | 0x60));
    vz::epc::reg_write(addr, 213, uint8_t(r213 & 0x0F));
    if (four) {
        vz::epc::reg_write(addr, 218, uint8_t(r218 | 0x60));
        vz::epc::reg_write(addr, 220, uint8_t(r220 & 0x0F));
    }
    const bool was_3d = configGetCurrentMode() == 1;
    if (was_3d) apiLoadConfig(0, addr);
    vz::epc::reg_write(addr, 146, 0xC4);
    vz::epc::reg_write(addr, 60, 0x26);
    uint16_t *img = nullptr;
    const int got = pruGetImage(&img);
    keep_gray(img, got);
    const int n = four ? 4 : 1;
    uint8_t raw[8] = {};
    vz::epc::reg_read_n(addr, 96, raw, 2 * n);
    for (int i = 0; i < n; ++i) {
        const int v = (raw[2 * i] << 8) | raw[2 * i + 1];
        const double offset = four ? fuse[i] / 4.7 - 299 : configGetGZ();
        out[i] = int16_t(int(((v - 8192) * 0.134 + offset) * 10));
    }
    vz::epc::reg_write(addr, 211, uint8_t(r211 & 0x1F));
    vz::epc::reg_write(addr, 213, uint8_t(r213 | 0x30));
    if (four) {
        vz::epc::reg_write(addr, 218, uint8_t(r218 & 0x1F));
        vz::epc::reg_write(addr, 220, uint8_t(r220 | 0x30));
    }
    vz::epc::reg_write(addr, 146, r146);
    configSetIntegrationTime2D(time_2d);
    if (was_3d) apiLoadConfig(1, addr);
    return n;
}

}  // namespace

extern "C" {

VZ_API int temperatureInit(void) noexcept {
    EPC_ENTRY(-1, {
        g_temp.adc_channels[0] = adcOpen(2);
        g_temp.adc_channels[1] = adcOpen(4);
        return 0;
    });
}

VZ_API int temperatureSetTemperatureByFrameHeader(const uint16_t *values) noexcept {
    EPC_ENTRY(-1, {
        if (values == nullptr) return -1;
        g_temp.header_chip = int16_t(values[0]);
        for (int16_t &s : g_temp.last_slots) s = g_temp.header_chip;
        g_temp.header_ib = int16_t(values[1]);
        return 0;
    });
}
VZ_API int16_t temperatureGetTemperatureByFrameHeader(void) noexcept {
    EPC_ENTRY(int16_t(0), { return g_temp.header_chip; });
}
VZ_API int16_t temperatureGetIbTemperatureByFrameHeader(void) noexcept {
    EPC_ENTRY(int16_t(0), { return g_temp.header_ib; });
}

VZ_API int16_t temperatureGetTemperature(void) noexcept {
    EPC_ENTRY(int16_t(0), {
        int16_t v[4] = {}, ill[2] = {};
        const int n = read_param(v);
        refresh_illumination(ill);
        if (n < 0) return int16_t(0);
        const int type = configGetPartType();
        if (type == 2 || type == 3) return int16_t((v[0] + v[1] + v[2] + v[3]) / 4);
        return v[0];
    });
}

VZ_API int temperatureGetTemperatures(int deviceAddress, int16_t *out) noexcept {
    EPC_ENTRY(-1, {
        if (out == nullptr) return -1;
        int16_t v[4] = {}, ill[2] = {};
        const int n = read_param(v);
        if (n < 0) return -1;
        refresh_illumination(ill);
        std::copy(v, v + n, out);
        out[n] = ill[0];
        out[n + 1] = ill[1];
        return n + 2;
    });
}

VZ_API int temperatureGetTemperatureChip(int deviceAddress, int16_t *out) noexcept {
    EPC_ENTRY(-1, {
        if (out == nullptr) return -1;
        int16_t v[4] = {};
        const int n = read_param(v);
        if (n < 0) return -1;
        std::copy(v, v + n, out);
        return n;
    });
}

VZ_API int temperatureGetTemperatureIllumination(int16_t *out) noexcept {
    EPC_ENTRY(-1, {
        if (out == nullptr) return -1;
        refresh_illumination(out);
        return 2;
    });
}

VZ_API int16_t temperatureGetLastTempChip(void) noexcept {
    EPC_ENTRY(int16_t(0), { return g_temp.last_chip; });
}
VZ_API int16_t temperatureGetLastTempIllumination(void) noexcept {
    EPC_ENTRY(int16_t(0), { return g_temp.last_illumination; });
}

VZ_API int temperatureKalmanFilter(int16_t *values, int n) noexcept {
    EPC_ENTRY(-1, {
        if (n < 0 || n > 8 || (values == nullptr && n > 0)) return -1;
        for (int i = 0; i < n; ++i)
            values[i] = g_temp.kalman[i] = int16_t(0.5 * g_temp.kalman[i] + 0.5 * values[i]);
        return n;
    });
}

VZ_API int temperatureGetTemperatureRegister(int deviceAddress, int16_t *out) noexcept {
    EPC_ENTRY(-1, { return out ? by_register(deviceAddress, out) : -1; });
}
VZ_API int temperatureGetTemperatureROI(int deviceAddress, int16_t *out) noexcept {
    EPC_ENTRY(-1, { return out ? by_roi(deviceAddress, out) : -1; });
}
VZ_API int temperatureGetTemperatureROI_EPC660_CHIP7(int deviceAddress, int16_t *out) noexcept {
    EPC_ENTRY(-1, { return out ? direct(deviceAddress, out, true) : -1; });
}
VZ_API int temperatureGetTemperature635(int deviceAddress, int16_t *out) noexcept {
    EPC_ENTRY(-1, { return out ? direct(deviceAddress, out, false) : -1; });
}

VZ_API double temperatureGetAveragedChipTemperature(int deviceAddress) noexcept {
    EPC_ENTRY(0.0, {
        int16_t v[4] = {};
        temperatureGetTemperatureROI(deviceAddress, v);
        return (v[0] + v[1] + v[2] + v[3]) / 40.0;
    });
}

VZ_API uint16_t temperatureGetGrayscalePixel(int index) noexcept {
    EPC_ENTRY(uint16_t(0), { return index >= 0 && index < kGrayMax ? g_temp.gray[index] : 0; });
}
VZ_API uint16_t *temperatureGetGrayscaleData(void) noexcept {
    EPC_ENTRY(static_cast<uint16_t *>(nullptr), { return g_temp.gray; });
}

}  // extern "C"

namespace vz::epc {
constinit const SlotOps temperature_slot = slot_ops<TemperatureState>();
}  // namespace vz::epc
