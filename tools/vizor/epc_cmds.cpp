// EPC camera parts of the tool: the chip state that `vizor info` shows for
// an epc660/epc635 camera, the driver filters that `vizor capture --filter`
// switches on, and the modulation frequency and readout mode of `vizor
// capture --frequency/--mode`.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "app.h"
#include "vizor/drv.h"
#include "vizor/drv_epc.h"
#include "vizor/epc660.h"

namespace vztool {

namespace {

const char *part_name(int type) {
    switch (type) {
    case 2: return "epc660 TOF";
    case 3: return "epc660 FLIM";
    case 4: return "epc635 TOF";
    case 5: return "epc635 FLIM";
    default: return "unknown part";
    }
}

// A non-negative integer argument of a filter ("min-amplitude=30").
long filter_value(const std::string &choice, size_t eq, long max) {
    char *end = nullptr;
    const char *text = eq == std::string::npos ? "" : choice.c_str() + eq + 1;
    const long v = std::strtol(text, &end, 10);
    if (eq == std::string::npos || end == text || *end != '\0' || v < 0 || v > max)
        throw ToolError("--filter " + choice + ": needs a value 0.." + std::to_string(max));
    return v;
}

struct Filter {
    int id;
    long value;  // -1: the filter takes no value
};

Filter parse_filter(const std::string &choice) {
    const size_t eq = choice.find('=');
    const std::string name = choice.substr(0, eq);
    if (name == "undistort" && eq == std::string::npos) return {VIZOR_FILTER_UNDISTORT, -1};
    if (name == "min-amplitude")
        return {VIZOR_FILTER_MIN_AMPLITUDE, filter_value(choice, eq, 4095)};
    if (name == "auto-integration")
        return {VIZOR_FILTER_AUTO_INTEGRATION, filter_value(choice, eq, 1000)};
    throw ToolError("--filter " + choice +
                    ": unknown (undistort, min-amplitude=N, auto-integration=N, "
                    "flying-pixels=off|METRES)");
}

// A readout mode: the facade's switches that make it.
struct ModeDef {
    const char *name;
    int dual_mgx, pi_delay, pseudo_noise, hdr;
};
constexpr ModeDef kModeDefs[] = {
    {"4dcs", 0, 1, 0, 0},     {"2dcs", 0, 0, 0, 0},          {"pn", 0, 1, 1, 0},
    {"dual-mgx", 1, 1, 0, 0}, {"dual-mgx-2dcs", 1, 0, 0, 0}, {"hdr", 0, 1, 0, 1},
    {"gray", 0, 1, 0, 0},
};
constexpr int kChipAddr = 32;  // the chip's address on the camera

std::optional<double> mhz_value(const std::string &text) {
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || end == text.c_str() || *end != '\0' || !std::isfinite(v) || v <= 0 ||
        v > 1000)
        return std::nullopt;
    return v;
}

std::string mhz_text(int khz) {
    char b[32];
    std::snprintf(b, sizeof b, "%g", khz / 1000.0);
    return b;
}

// Switches the chip into a mode: first off what is on and must not be, then
// on what must be; a switch already in place is not programmed again.
void set_mode(const ModeDef &m) {
    if (calculationIsHDR() && !m.hdr) apiEnableHDR(0, kChipAddr);
    if (calculationIsDualMGX() && !m.dual_mgx) apiEnableDualMGX(0, kChipAddr);
    if (calculationIsPN() && !m.pseudo_noise) apiSelectMode(0, kChipAddr);
    if (!calculationIsPiDelay() && m.pi_delay) apiEnablePiDelay(1, kChipAddr);
    if (!calculationIsDualMGX() && m.dual_mgx) apiEnableDualMGX(1, kChipAddr);
    if (calculationIsPiDelay() && !m.pi_delay) apiEnablePiDelay(0, kChipAddr);
    if (!calculationIsPN() && m.pseudo_noise) apiSelectMode(1, kChipAddr);
    if (!calculationIsHDR() && m.hdr) apiEnableHDR(1, kChipAddr);
}

// What apply_epc_controls asks of the camera's context and what came back.
struct EpcControls {
    const std::string *calib_dir = nullptr;
    std::optional<double> mhz;
    const ModeDef *mode = nullptr;
    std::string error;  // a frequency the chip does not offer
    int set_khz = -1;   // the calibration set in use after the change
    int khz = 0;        // the frequency set
};

void set_controls(void *user) {
    auto &c = *static_cast<EpcControls *>(user);
    if (c.mhz) {
        const int *f = configGetModulationFrequencies();
        const int n = configGetModFreqCount();
        int index = -1;
        std::string offered;
        for (int i = 0; f && i < n; ++i) {
            if (std::fabs(f[i] - *c.mhz * 1000.0) <= 0.5) index = i;
            offered += (i ? ", " : "") + mhz_text(f[i]);
        }
        if (index < 0) {
            c.error = "the camera offers " + offered + " MHz";
            return;
        }
        // The calibration set of the new frequency is read from the folder
        // the camera's calibration came from.
        std::optional<WorkDir> in;
        if (!c.calib_dir->empty()) in.emplace(*c.calib_dir);
        if (apiSetModulationFrequency(index, kChipAddr) != 0) {
            c.error = "the camera refused the frequency";
            return;
        }
        c.khz = f[index];
        c.set_khz = calibrationGetSetFrequency();
    }
    if (c.mode) {
        // The 2D gray mode is a configuration of its own; the 3D switches
        // stay as they are for the way back.
        const bool gray = std::strcmp(c.mode->name, "gray") == 0;
        if (configGetCurrentMode() != (gray ? 0 : 1)) apiLoadConfig(gray ? 0 : 1, kChipAddr);
        if (!gray) set_mode(*c.mode);
    }
}

const ModeDef *mode_def(const std::string &name) {
    for (const ModeDef &m : kModeDefs)
        if (name == m.name) return &m;
    return nullptr;
}

}  // namespace

const std::vector<std::string> &epc_modes() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const ModeDef &m : kModeDefs) v.emplace_back(m.name);
        return v;
    }();
    return names;
}

std::string frequency_error(const std::string &mhz) {
    return mhz_value(mhz) ? std::string()
                          : mhz + ": needs a modulation frequency in MHz (24, 12, 6, ...)";
}

void apply_epc_controls(vizor_dev_t *dev, const std::string &calib_dir, const std::string &mhz,
                        const std::string &mode) {
    if (mhz.empty() && mode.empty()) return;
    const char *opt = mhz.empty() ? "--mode" : "--frequency";
    if (!epc_camera(dev)) throw ToolError(std::string(opt) + " needs an epc660 or epc635 camera");
    EpcControls c;
    c.calib_dir = &calib_dir;
    if (!mhz.empty()) c.mhz = mhz_value(mhz);
    if (!mode.empty()) c.mode = mode_def(mode);
    if (!epc_adapter_call(dev, set_controls, &c))
        throw ToolError(std::string(opt) + ": the camera's EPC driver is not bound");
    if (!c.error.empty()) throw ToolError("--frequency " + mhz + ": " + c.error);
    if (c.set_khz == 0)
        std::fprintf(stderr,
                     "vizor: uncalibrated at %s MHz: the camera has no calibration set for it, "
                     "distances go without the DRNU correction\n",
                     mhz_text(c.khz).c_str());
}

Json epc_capture_json(vizor_dev_t *dev, const std::string &mode) {
    if (!epc_camera(dev)) return nullptr;
    struct State {
        int khz = 0, set_khz = 0;
    } st;
    epc_adapter_call(
        dev,
        [](void *u) {
            auto &s = *static_cast<State *>(u);
            s.khz = configGetModulationFrequency();
            s.set_khz = calibrationGetSetFrequency();
        },
        &st);
    Json j = {{"modulation_khz", st.khz}, {"calibrated", st.set_khz != 0}};
    if (!mode.empty()) j["mode"] = mode;
    return j;
}

bool epc_camera(vizor_dev_t *dev) {
    const vizor_drv_t *drv = vizor_dev_get_drv(dev);
    return drv && drv->name &&
           (std::strcmp(drv->name, "E1") == 0 || std::strcmp(drv->name, "E2") == 0);
}

Json epc_state_json(vizor_dev_t *dev) {
    if (!epc_camera(dev)) return nullptr;
    // Calibrated: a DRNU set of the camera fits the current frequency.
    const int drnu = calculationGetEnableDRNU();
    const int set_khz = calibrationGetSetFrequency();
    return {{"part", part_name(configGetPartType())},
            {"part_type", configGetPartType()},
            {"part_version", configGetPartVersion()},
            {"wafer_id", configGetWaferID()},
            {"chip_id", configGetChipID()},
            {"modulation_khz", configGetModulationFrequency()},
            {"integration_us",
             {{"3d", configGetIntegrationTime3D()}, {"2d", configGetIntegrationTime2D()}}},
            {"calibrated", set_khz != 0},
            {"calibration_khz", set_khz},
            {"drnu_mode", drnu},
            {"temperature_correction", configIsEnabledTemperatureCorrection() != 0},
            {"grayscale_correction", configIsEnabledGrayscaleCorrection() != 0}};
}

void print_epc_state(const Json &e) {
    if (e.is_null()) return;
    std::printf("chip:     %s, part version %d, wafer %u, chip %u\n",
                e["part"].get<std::string>().c_str(), e["part_version"].get<int>(),
                e["wafer_id"].get<unsigned>(), e["chip_id"].get<unsigned>());
    std::printf("modfreq:  %d kHz\n", e["modulation_khz"].get<int>());
    std::printf("integr.:  %d us (3D), %d us (2D)\n", e["integration_us"]["3d"].get<int>(),
                e["integration_us"]["2d"].get<int>());
    auto on = [&](const char *k) { return e[k].get<bool>() ? "on" : "off"; };
    if (e["calibrated"].get<bool>())
        std::printf(
            "calib:    loaded: DRNU mode %d, temperature correction %s, grayscale "
            "correction %s\n",
            e["drnu_mode"].get<int>(), on("temperature_correction"), on("grayscale_correction"));
    else
        std::printf(
            "calib:    uncalibrated at %g MHz (no DRNU correction), grayscale correction "
            "%s\n",
            e["modulation_khz"].get<int>() / 1000.0, on("grayscale_correction"));
}

std::string flying_filter_error(const std::string &choice) {
    if (!is_flying_choice(choice)) return choice + ": only flying-pixels=off|METRES applies here";
    return parse_flying_choice(choice) ? std::string()
                                       : choice +
                                             ": needs on, off or a threshold in metres "
                                             "above 0 and at most 5";
}

std::string filter_error(const std::string &choice) {
    if (is_flying_choice(choice)) return flying_filter_error(choice);
    try {
        parse_filter(choice);
        return {};
    } catch (const ToolError &e) {
        const std::string m = e.what();  // CLI11 names the option itself
        return m.rfind("--filter ", 0) == 0 ? m.substr(9) : m;
    }
}

void apply_filters(vizor_dev_t *dev, const std::vector<std::string> &choices) {
    for (const std::string &choice : choices) {
        if (is_flying_choice(choice)) continue;
        const Filter f = parse_filter(choice);
        int rc;
        if (f.id == VIZOR_FILTER_MIN_AMPLITUDE) {
            int32_t v = int32_t(f.value);
            rc = vizor_filter_enable(dev, f.id, &v, sizeof v);
        } else if (f.id == VIZOR_FILTER_AUTO_INTEGRATION) {
            uint16_t v = uint16_t(f.value);
            rc = vizor_filter_enable(dev, f.id, &v, sizeof v);
        } else {
            rc = vizor_filter_enable(dev, f.id, nullptr, 0);
        }
        if (rc != 1)
            throw ToolError("--filter " + choice + ": the camera's driver has no such filter");
    }
}

}  // namespace vztool
