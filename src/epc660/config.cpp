// Chip identity and runtime configuration of the EPC processing library:
// mode, modulation frequency and its table from the clock registers,
// integration times and the HDR registers, DCS count, ABS, correction
// switches, temperature trims, the print level with the console print helper,
// and the initialisation of the whole library for a chip (configInit).
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "epc660/base.h"
#include "epc660/calibration.h"

namespace {

constexpr int kFreqCount = 6;
constexpr int kMaxTime2D = 1000000;
constexpr int kMaxTime3D = 4000;
constexpr size_t kNameSize = 256;  // bytes of a file name buffer, terminator included

struct ConfigState {
    int chip_type = 0;  // part version + 10 x part type
    int ic_version = 0;
    int part_type = 0;
    int part_version = 0;
    uint16_t wafer_id = 0;
    uint16_t chip_id = 0;
    uint16_t sequencer_version = 0;
    int dev_addr = 0;
    int mode = 0;  // 0 2D, 1 3D, 2 FLIM
    int freq_index = 1;
    bool freq_programmed = false;  // register 133 written by this library
    int freq = 12000;              // kHz
    int freqs[kFreqCount] = {};
    int time_2d = 700;
    int time_3d = 700;
    int time_hdr = 700;
    uint8_t ndcs = 4;
    int abs = 1;
    int flim = 0;
    int bg_mode = 0;
    int drnu = 0, drnu2 = 0, grayscale = 0, temperature = 0, ambient = 0;
    int print_level = 0;
    uint8_t gx = 0, gy = 0, gm = 0, gc = 0, gl = 0;
    int gz = 0;
    // Additive-argument threshold: a line through (t_min, arg_min), (t_max, arg_max).
    int arg_min = 80, t_min = 150, arg_max = 280, t_max = 2000;
    double gain = 0.10811;
    int add_arg = 0;
    int add_threshold = 0;
};
ConfigState &cfg_state() { return vz::epc::state<ConfigState>(vz::epc::kSlotConfig); }
#undef EPC_BIND
#define EPC_BIND [[maybe_unused]] ConfigState &g_cfg = cfg_state();

uint8_t reg(int r) {
    ConfigState &g_cfg = cfg_state();
    uint8_t v = 0;
    vz::epc::reg_read(g_cfg.dev_addr, r, v);
    return v;
}

// 64-bit: absurd part types and versions must not overflow (the result wraps).
void set_chip_type() {
    ConfigState &g_cfg = cfg_state();
    g_cfg.chip_type = int(int64_t(g_cfg.part_version) + 10 * int64_t(g_cfg.part_type));
}

void send_time(int us) {
    // The parameter carries two bytes; longer times are sent as the largest one.
    vz::epc::param_set(VIZOR_PARAM_INTG_TIME, uint32_t(us < 0 ? 0 : us > 0xFFFF ? 0xFFFF : us), 2);
}

void update_threshold() {
    ConfigState &g_cfg = cfg_state();
    const int t = g_cfg.time_3d;
    g_cfg.add_threshold =
        t > g_cfg.t_min ? int(g_cfg.arg_min + (t - g_cfg.t_min) * g_cfg.gain) : g_cfg.arg_min;
}

// The working factor follows every accepted time; a time of 0 or less skips
// the division and the factor is the unscaled one.
void update_ambient_factor() {
    ConfigState &g_cfg = cfg_state();
    const double org = calculationGetAmbientLightFactorOrg();
    calculationSetAmbientLightFactor(g_cfg.time_3d > 0 ? org / std::sqrt(double(g_cfg.time_3d))
                                                       : org);
}

void update_gain(const char *fn) {
    ConfigState &g_cfg = cfg_state();
    if (g_cfg.t_max == g_cfg.t_min) {
        vz_wrn("[%s] equal times at both ends, gain kept\n", fn);
        return;
    }
    g_cfg.gain = (double(g_cfg.arg_max) - g_cfg.arg_min) / (double(g_cfg.t_max) - g_cfg.t_min);
    vz_dbg("[%s] gain: %2.4f \n", fn, g_cfg.gain);
}

void write16(int r, int v) {
    ConfigState &g_cfg = cfg_state();
    const uint8_t b[2] = {uint8_t(v >> 8), uint8_t(v)};
    vz::epc::reg_write_n(g_cfg.dev_addr, r, b, 2);
}

// Register count of an HDR time: time / m x 1000 / T - 1, 0 for no time.
int hdr_count(int time, int m, double t_mod) {
    if (time <= 0) return 0;
    return int(time / m * 1000 / t_mod - 1);
}

void program_hdr() {
    ConfigState &g_cfg = cfg_state();
    const double t_mod = configGetTModClk();
    const double unit = t_mod * 65536 / 1000;
    if (!(unit > 0) || !std::isfinite(unit)) return;
    const int n3d = int(g_cfg.time_3d / unit) + 1;
    const int nhdr = int(g_cfg.time_hdr / unit) + 1;
    const int m = n3d > nhdr ? n3d : nhdr;
    write16(160, m);
    write16(162, hdr_count(g_cfg.time_3d, m, t_mod));
    write16(158, hdr_count(g_cfg.time_hdr, m, t_mod));
}

// Register 133 divider of a frequency index; unknown indices count as 1.
int divider_index(int index) { return index >= 0 && index < kFreqCount ? index : 1; }

void init_corrections() {
    ConfigState &g_cfg = cfg_state();
    g_cfg.grayscale = calculateLoadGrayscaleGainOffset() == -1 ? 0 : 1;
    g_cfg.drnu = 1;
    calibrationLoadDRNU_LUT();
    g_cfg.ambient = 0;
    if (configLoadParameters() == -1) configSaveParameters();
    g_cfg.drnu2 = 1;
    // The DRNU set of the frequency the camera runs at.
    if (!vz::epc::cal::load_set("configInit")) {
        g_cfg.drnu2 = 0;
        g_cfg.drnu = 0;
    }
    calculationInitKalman();
    if (g_cfg.drnu2) {
        calculationSetEnableDRNU(2);
        calculationSetEnableTemperature(1);
    }
}

int init(int addr) {
    ConfigState &g_cfg = cfg_state();
    g_cfg.dev_addr = addr;
    dllDetermineAndSetDemodulationDelay(addr);
    dllBypassDLL(1, addr);
    const bool epc635 = g_cfg.part_type == 4 || g_cfg.part_type == 5;
    calibrateSetWidth(epc635 ? 160 : 320);
    calibrateSetHeight(epc635 ? 60 : 240);
    g_cfg.gx = 0x10;
    g_cfg.gy = 0x39;
    g_cfg.gm = 52;
    g_cfg.gc = 141;
    g_cfg.gl = 0;
    g_cfg.gz = -268;
    g_cfg.sequencer_version = 9;
    g_cfg.flim = 0;
    g_cfg.freq = 12000;
    configFindModulationFrequencies();
    // A repeated initialisation keeps the frequency the chip was set to.
    if (g_cfg.freq_programmed && g_cfg.freqs[divider_index(g_cfg.freq_index)] > 0)
        g_cfg.freq = g_cfg.freqs[divider_index(g_cfg.freq_index)];
    calibrateSetNumDistances(30);
    temperatureInit();
    pruInit();
    if (epc635) {
        calculatorSetPixelMask(0xFFFF);
        saturationSetSaturationBit();
        adcOverflowSetMin(16);
        adcOverflowSetMax(65503);
        vz::epc::reg_write(addr, 203, 99);
        calibrationSetNumberOfColumnsMax(168);
        calibrationSetNumberOfRowsMax(72);
    }
    init_corrections();
    printChipParam();
    atan2lut_Init();
    return 0;
}

int restart(bool to_tof) {
    ConfigState &g_cfg = cfg_state();
    const int from = g_cfg.part_type;
    int to = 0;
    if (to_tof && (from == 3 || from == 5)) to = from - 1;
    if (!to_tof && (from == 2 || from == 4)) to = from + 1;
    const int addr = g_cfg.dev_addr;
    if (to) {
        const uint8_t b[2] = {250, uint8_t(to)};
        vz::epc::reg_write_n(addr, 17, b, 2);
    }
    bootReset();
    configSetPartType(bootGetPartType(addr));
    configSetPartVersion(bootGetPartVersion(addr));
    configSetIcVersion(bootGetIcVersion(addr));
    configSetWaferID(uint16_t(bootGetWaferID(addr)));
    configSetChipID(uint16_t(bootGetChipID(addr)));
    bootNormalMode(addr);
    bootCloseEpc660_enable();
    illuminationDisable();
    configInit(addr);
    illuminationEnable();
    return 0;
}

void print_params() {
    ConfigState &g_cfg = cfg_state();
    const char *f = "printChipParam";
    vz_dbg("[%s] *** device type and IDs: \n", f);
    vz_dbg("[%s] chip_type: %d \n", f, g_cfg.chip_type);
    vz_dbg("[%s] icType: %d \n", f, g_cfg.ic_version);
    vz_dbg("[%s] partVersion: %d \n", f, g_cfg.part_version);
    vz_dbg("[%s] waferID: %d \n", f, g_cfg.wafer_id);
    vz_dbg("[%s] chipID: %d \n", f, g_cfg.chip_id);
    vz_dbg("[%s] sequencerVersion: %d \n", f, g_cfg.sequencer_version);
    vz_dbg("[%s] devAddress: 0x%x \n", f, unsigned(g_cfg.dev_addr));
    vz_dbg("[%s] currentMode: %d \n", f, g_cfg.mode);
    vz_dbg("[%s] currentFreq: %d \n", f, g_cfg.freq_index);
    vz_dbg("[%s] modulationFrequency: %d \n", f, g_cfg.freq);
    for (int i = 0; i < kFreqCount; ++i)
        vz_dbg("[%s] modulationFrequencies[%d]: %d \n", f, i, g_cfg.freqs[i]);
    vz_dbg("[%s] *** runtime settings: \n", f);
    vz_dbg("[%s] integrationTime2D: %d \n", f, g_cfg.time_2d);
    vz_dbg("[%s] integrationTime3D: %d \n", f, g_cfg.time_3d);
    vz_dbg("[%s] integrationTime3DHDR: %d \n", f, g_cfg.time_hdr);
    vz_dbg("[%s] nDCSTOF: %d \n", f, g_cfg.ndcs);
    vz_dbg("[%s] absEnabled: %d \n", f, g_cfg.abs);
    vz_dbg("[%s] isFLIM: %d \n", f, g_cfg.flim);
    vz_dbg("[%s] *** calibration/correction settings: \n", f);
    vz_dbg("[%s] correctionBGMode: %d \n", f, g_cfg.bg_mode);
    vz_dbg("[%s] enabledDRNU: %d \n", f, g_cfg.drnu);
    vz_dbg("[%s] enabledDRNU2: %d \n", f, g_cfg.drnu2);
    vz_dbg("[%s] enabledGrayscale: %d \n", f, g_cfg.grayscale);
    vz_dbg("[%s] enabledTemperatureCorrection: %d \n", f, g_cfg.temperature);
    vz_dbg("[%s] enabledAmbientLightCorrection: %d \n", f, g_cfg.ambient);
    vz_dbg("[%s] *** Print level: \n", f);
    vz_dbg("[%s] gPrint: %d \n", f, g_cfg.print_level);
    vz_dbg("[%s] *** trimming values for temperature readout level: \n", f);
    vz_dbg("[%s] gX: 0x%x \n", f, unsigned(g_cfg.gx));
    vz_dbg("[%s] gY: 0x%x \n", f, unsigned(g_cfg.gy));
    vz_dbg("[%s] gM: %d \n", f, g_cfg.gm);
    vz_dbg("[%s] gC: %d \n", f, g_cfg.gc);
    vz_dbg("[%s] gL: %d \n", f, g_cfg.gl);
    vz_dbg("[%s] gZ: %d \n", f, g_cfg.gz);
}

}  // namespace

namespace vz::epc {

void print(bool enable, int level, const char *fmt, ...) {
    ConfigState &g_cfg = cfg_state();
    if (!enable || level > g_cfg.print_level || fmt == nullptr) return;
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
}

void config_set_drnu_enabled(int on) {
    ConfigState &g_cfg = cfg_state();
    g_cfg.drnu = on;
}
void config_set_drnu2_enabled(int on) {
    ConfigState &g_cfg = cfg_state();
    g_cfg.drnu2 = on;
}
void config_set_grayscale_enabled(int on) {
    ConfigState &g_cfg = cfg_state();
    g_cfg.grayscale = on;
}
void config_set_temperature_enabled(int on) {
    ConfigState &g_cfg = cfg_state();
    g_cfg.temperature = on;
}
void config_set_ambient_light_enabled(int on) {
    ConfigState &g_cfg = cfg_state();
    g_cfg.ambient = on;
}

}  // namespace vz::epc

extern "C" {

char pathdir[256] = "./calibration/";
char pathOffset[2][256] = {"./calibration/PT02_W000_C000_offset_factory_21.bin",
                           "./calibration/PT02_W000_C000_offset_user_21.bin"};
char pathFPN[2][256] = {"./calibration/PT02_W000_C000_calibration_factory_21.bin",
                        "./calibration/PT02_W000_C000_calibration_user_21.bin"};
char calib_file_name[256] = "calib.bin";

// ---- initialisation and restarts ----
VZ_API int configInit(int deviceAddress) noexcept {
    EPC_ENTRY(-1, { return init(deviceAddress); });
}
VZ_API int configRestartTOF(void) noexcept {
    EPC_ENTRY(-1, {
        vz_dbg("[%s] ---------------restart TOF--------------\n", epc_fn);
        return restart(true);
    });
}
VZ_API int configRestartFLIM(void) noexcept {
    EPC_ENTRY(-1, {
        vz_dbg("[%s] ------------------restart FLIM---------------------\n", epc_fn);
        return restart(false);
    });
}
VZ_API int configInitRegisters(int mode) noexcept {
    EPC_ENTRY(-1, {
        if (mode != 2) return 0;
        if (g_cfg.part_version == 7 && g_cfg.part_type == 3) {
            vz::epc::reg_write(g_cfg.dev_addr, 209, 15);
            vz::epc::reg_write(g_cfg.dev_addr, 216, 15);
        }
        vz::epc::reg_write(g_cfg.dev_addr, 136, 63);
        return 0;
    });
}
VZ_API void printChipParam(void) noexcept {
    EPC_ENTRY_VOID({ print_params(); });
}

// ---- mode, DCS count, ABS ----
VZ_API int configLoad(int mode, int deviceAddress) noexcept {
    EPC_ENTRY(-1, {
        if (mode == 1) {
            vz::epc::reg_update(deviceAddress, 146, 0xCF, uint8_t(((g_cfg.ndcs - 1) & 3) << 4));
            g_cfg.mode = 1;
            if (calculationIsHDR())
                configSetIntegrationTimesHDR();
            else
                configSetIntegrationTime3D(g_cfg.time_3d);
        } else {
            g_cfg.mode = mode == 2 ? 2 : 0;
        }
        vz::epc::param_set(VIZOR_PARAM_IMG_MODE, uint32_t(mode), 1);
        return 0;
    });
}
VZ_API int configGetCurrentMode(void) noexcept {
    EPC_ENTRY(-1, { return g_cfg.mode; });
}
VZ_API int configGetModeCount(void) noexcept {
    EPC_ENTRY(-1, { return 3; });
}
VZ_API int configSetMode(int pseudoNoise, int deviceAddress) noexcept {
    EPC_ENTRY(-1, {
        vz::epc::reg_update(deviceAddress, 146, 0xBF, pseudoNoise ? 0x40 : 0);
        return pseudoNoise;
    });
}
VZ_API int configSetDCS(int nDCS, int deviceAddress) noexcept {
    EPC_ENTRY(-1, {
        g_cfg.ndcs = uint8_t(nDCS);
        vz::epc::reg_update(deviceAddress, 146, 0xCF, uint8_t(((unsigned(nDCS) - 1) & 3) << 4));
        return nDCS;
    });
}
VZ_API int configEnableABS(int on, int deviceAddress) noexcept {
    EPC_ENTRY(-1, {
        for (int r : {34, 37, 40, 43}) vz::epc::reg_update(deviceAddress, r, 0xCF, on ? 0x30 : 0);
        g_cfg.abs = on ? 1 : 0;
        return on;
    });
}
VZ_API int configIsABS(int deviceAddress) noexcept {
    EPC_ENTRY(-1, {
        uint8_t v = 0;
        vz::epc::reg_read(deviceAddress, 34, v);
        return (v & 0x30) == 0x30 ? 1 : 0;
    });
}

// ---- modulation frequency and clocks ----
VZ_API int configSetModulationFrequency(int index, int deviceAddress) noexcept {
    EPC_ENTRY(-1, {
        static const uint8_t kDivider[kFreqCount] = {0, 1, 3, 7, 15, 31};
        const int i = divider_index(index);
        vz::epc::reg_write(deviceAddress, 133, kDivider[i]);
        g_cfg.freq = g_cfg.freqs[i];
        g_cfg.freq_index = i;
        g_cfg.freq_programmed = true;
        if (g_cfg.mode == 0 && g_cfg.time_2d <= kMaxTime2D) send_time(g_cfg.time_2d);
        if (g_cfg.time_3d <= kMaxTime3D) configSetIntegrationTime3D(g_cfg.time_3d);
        update_ambient_factor();
        return 0;
    });
}
VZ_API int configGetModulationFrequency(void) noexcept {
    EPC_ENTRY(-1, {
        if (g_cfg.print_level > 0)
            vz_dbg("[%s] ---- modulation frequency = %i ----\n", epc_fn, g_cfg.freq);
        return g_cfg.freq;
    });
}
VZ_API int *configGetModulationFrequencies(void) noexcept {
    EPC_ENTRY(static_cast<int *>(nullptr), { return g_cfg.freqs; });
}
VZ_API int configFindModulationFrequencies(void) noexcept {
    EPC_ENTRY(-1, {
        const int clk = configGetSysClk();
        for (int i = 0; i < kFreqCount; ++i) g_cfg.freqs[i] = clk / (4 << i);
        return g_cfg.freqs[kFreqCount - 1];
    });
}
VZ_API int configGetModFreqMode(void) noexcept {
    EPC_ENTRY(-1, { return g_cfg.freq_index; });
}
VZ_API int configGetModFreqCount(void) noexcept {
    EPC_ENTRY(-1, { return kFreqCount; });
}
VZ_API int configGetSysClk(void) noexcept {
    EPC_ENTRY(-1, { return ((reg(130) & 0x1F) * 4000 + 4000) >> ((reg(129) >> 4) & 3); });
}
VZ_API double configGetTPLLClk(void) noexcept {
    EPC_ENTRY(-1.0, { return 1e6 / configGetSysClk(); });
}
VZ_API double configGetTModClk(void) noexcept {
    EPC_ENTRY(-1.0, { return 1e6 / (double(configGetSysClk()) / ((reg(133) & 0x1F) + 1)); });
}

// ---- integration times ----
VZ_API int configSetIntegrationTime2D(int us) noexcept {
    EPC_ENTRY(-1, {
        if (us > kMaxTime2D || us < 0) return -1;
        if (g_cfg.mode == 0) send_time(us);
        g_cfg.time_2d = us;
        return 0;
    });
}
VZ_API int configSetIntegrationTime3D(int us) noexcept {
    EPC_ENTRY(-1, {
        if (us > kMaxTime3D || us < 0) return -1;
        if (calculationIsHDR()) {
            g_cfg.time_3d = us;
            program_hdr();
        } else if (g_cfg.mode == 1) {
            send_time(us);
        }
        g_cfg.time_3d = us;
        update_threshold();
        update_ambient_factor();
        return 0;
    });
}
VZ_API int configSetIntegrationTime3DHDR(int us) noexcept {
    EPC_ENTRY(-1, {
        if (us > kMaxTime3D || us < 0) return -1;
        g_cfg.time_hdr = us;
        program_hdr();
        return 0;
    });
}
VZ_API int configSetIntegrationTime(int us) noexcept {
    EPC_ENTRY(-1, {
        send_time(us);
        return 0;
    });
}
VZ_API int configSetIntegrationTimesHDR(void) noexcept {
    EPC_ENTRY(-1, {
        program_hdr();
        return 0;
    });
}
VZ_API int configGetIntegrationTime2D(void) noexcept {
    EPC_ENTRY(-1, { return g_cfg.time_2d; });
}
VZ_API int configGetIntegrationTime3D(void) noexcept {
    EPC_ENTRY(-1, { return g_cfg.time_3d; });
}
VZ_API int configGetIntegrationTime3DHDR(void) noexcept {
    EPC_ENTRY(-1, { return g_cfg.time_hdr; });
}
VZ_API int configGetImagingTime(void) noexcept {
    EPC_ENTRY(-1, { return 15000; });
}

// ---- additive-argument threshold ----
VZ_API int configSetAddArgMin(int arg) noexcept {
    EPC_ENTRY(-1, {
        g_cfg.arg_min = arg;
        g_cfg.t_min = g_cfg.time_3d;
        update_gain(epc_fn);
        return g_cfg.arg_min;
    });
}
VZ_API int configSetAddArgMax(int arg) noexcept {
    EPC_ENTRY(-1, {
        g_cfg.arg_max = arg;
        g_cfg.t_max = g_cfg.time_3d;
        update_gain(epc_fn);
        return g_cfg.arg_max;
    });
}
VZ_API int configEnableAddArg(int on) noexcept {
    EPC_ENTRY(-1, { return g_cfg.add_arg = on; });
}
VZ_API int configStatusEnableAddArg(void) noexcept {
    EPC_ENTRY(-1, { return g_cfg.add_arg; });
}
VZ_API int configSetDcsAdd_threshold(int threshold) noexcept {
    EPC_ENTRY(-1, { return g_cfg.add_threshold = threshold; });
}
VZ_API int configGetDcsAdd_threshold(void) noexcept {
    EPC_ENTRY(-1, { return g_cfg.add_threshold; });
}

// ---- identity ----
VZ_API int configSetDeviceAddress(int deviceAddress) noexcept {
    EPC_ENTRY(-1, { return g_cfg.dev_addr = deviceAddress; });
}
VZ_API int configGetDeviceAddress(void) noexcept {
    EPC_ENTRY(-1, { return g_cfg.dev_addr; });
}
VZ_API int configSetIcVersion(int version) noexcept {
    EPC_ENTRY(-1, { return g_cfg.ic_version = version; });
}
VZ_API int configGetIcVersion(void) noexcept {
    EPC_ENTRY(-1, { return g_cfg.ic_version; });
}
VZ_API int configSetPartType(int type) noexcept {
    EPC_ENTRY(-1, {
        g_cfg.part_type = type;
        set_chip_type();
        return type;
    });
}
VZ_API int configGetPartType(void) noexcept {
    EPC_ENTRY(-1, { return g_cfg.part_type; });
}
VZ_API int configSetPartVersion(int version) noexcept {
    EPC_ENTRY(-1, {
        g_cfg.part_version = version;
        set_chip_type();
        return version;
    });
}
VZ_API int configGetPartVersion(void) noexcept {
    EPC_ENTRY(-1, { return g_cfg.part_version; });
}
VZ_API uint16_t configSetWaferID(uint16_t id) noexcept {
    EPC_ENTRY(uint16_t(0), { return g_cfg.wafer_id = id; });
}
VZ_API uint16_t configGetWaferID(void) noexcept {
    EPC_ENTRY(uint16_t(0), { return g_cfg.wafer_id; });
}
VZ_API uint16_t configSetChipID(uint16_t id) noexcept {
    EPC_ENTRY(uint16_t(0), { return g_cfg.chip_id = id; });
}
VZ_API uint16_t configGetChipID(void) noexcept {
    EPC_ENTRY(uint16_t(0), { return g_cfg.chip_id; });
}
VZ_API uint16_t configGetSequencerVersion(void) noexcept {
    EPC_ENTRY(uint16_t(0), { return g_cfg.sequencer_version; });
}
VZ_API int configIsFLIM(void) noexcept {
    EPC_ENTRY(0, { return g_cfg.flim; });
}

// ---- temperature trims ----
VZ_API uint8_t configGetGX(void) noexcept {
    EPC_ENTRY(uint8_t(0), { return g_cfg.gx; });
}
VZ_API uint8_t configGetGY(void) noexcept {
    EPC_ENTRY(uint8_t(0), { return g_cfg.gy; });
}
VZ_API int configGetGZ(void) noexcept {
    EPC_ENTRY(0, { return g_cfg.gz; });
}
VZ_API uint8_t configGetGM(void) noexcept {
    EPC_ENTRY(uint8_t(0), { return g_cfg.gm; });
}
VZ_API uint8_t configGetGL(void) noexcept {
    EPC_ENTRY(uint8_t(0), { return g_cfg.gl; });
}
VZ_API uint8_t configGetGC(void) noexcept {
    EPC_ENTRY(uint8_t(0), { return g_cfg.gc; });
}

// ---- correction switches and print level ----
VZ_API int configIsEnabledDRNUCorrection(void) noexcept {
    EPC_ENTRY(0, { return g_cfg.drnu; });
}
VZ_API int configIsEnabledGrayscaleCorrection(void) noexcept {
    EPC_ENTRY(0, { return g_cfg.grayscale; });
}
VZ_API int configIsEnabledTemperatureCorrection(void) noexcept {
    EPC_ENTRY(0, { return g_cfg.temperature; });
}
VZ_API int configIsEnabledAmbientLightCorrection(void) noexcept {
    EPC_ENTRY(0, { return g_cfg.ambient; });
}
VZ_API int configSetPrint(int level) noexcept {
    EPC_ENTRY(-1, { return g_cfg.print_level = level; });
}
VZ_API int configPrint(void) noexcept {
    EPC_ENTRY(-1, { return g_cfg.print_level; });
}

// Appends the frequency suffix ("_20.", "_10." or "_5.") and the extension
// in place. The name buffers of the library hold 256 bytes: a result that
// would not fit leaves the name unchanged and fails (NULL).
VZ_API char *configAddEndFileName(char *name, const char *extension) noexcept {
    EPC_ENTRY(static_cast<char *>(nullptr), {
        if (name == nullptr || extension == nullptr) return static_cast<char *>(nullptr);
        const size_t len = strnlen(name, kNameSize);
        const int khz = g_cfg.freq;
        const char *suffix = khz > 19999 ? "_20." : khz > 9999 ? "_10." : "_5.";
        const int n = snprintf(name + len, kNameSize - len, "%s%s", suffix, extension);
        if (len >= kNameSize || n < 0 || size_t(n) >= kNameSize - len) {
            if (len < kNameSize) name[len] = '\0';
            vz_wrn("[%s] file name longer than %zu bytes refused\n", "configAddEndFileName",
                   kNameSize - 1);
            return static_cast<char *>(nullptr);
        }
        return name;
    });
}

}  // extern "C"

namespace vz::epc {
constinit const SlotOps config_slot = slot_ops<ConfigState>();
}  // namespace vz::epc
