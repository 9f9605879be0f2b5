// EPC camera parts of the tool: the chip state that `vizor info` shows for
// an epc660/epc635 camera and the driver filters that `vizor capture
// --filter` switches on.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app.h"
#include "vizor/drv.h"
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

}  // namespace

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
