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

bool is_epc(vizor_dev_t *dev) {
    const vizor_drv_t *drv = vizor_dev_get_drv(dev);
    return drv && drv->name &&
           (std::strcmp(drv->name, "E1") == 0 || std::strcmp(drv->name, "E2") == 0);
}

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
    const char *text = choice.c_str() + eq + 1;
    const long v = std::strtol(text, &end, 10);
    if (eq == std::string::npos || end == text || *end != '\0' || v < 0 || v > max)
        throw ToolError("--filter " + choice + ": needs a value 0.." + std::to_string(max));
    return v;
}

}  // namespace

void print_epc_state(vizor_dev_t *dev) {
    if (!is_epc(dev)) return;
    std::printf("chip:     %s, part version %d, wafer %u, chip %u\n",
                part_name(configGetPartType()), configGetPartVersion(),
                unsigned(configGetWaferID()), unsigned(configGetChipID()));
    std::printf("modfreq:  %d kHz\n", configGetModulationFrequency());
    std::printf("integr.:  %d us (3D), %d us (2D)\n", configGetIntegrationTime3D(),
                configGetIntegrationTime2D());
    const bool calibrated = calibrationDataFileCheck(1) == 0;
    std::printf("calib:    %s\n", calibrated ? "factory calibration loaded"
                                             : "no calibration files (uncorrected distances)");
}

void apply_filters(vizor_dev_t *dev, const std::vector<std::string> &choices) {
    for (const std::string &choice : choices) {
        const size_t eq = choice.find('=');
        const std::string name = choice.substr(0, eq);
        int rc;
        if (name == "undistort" && eq == std::string::npos) {
            rc = vizor_filter_enable(dev, VIZOR_FILTER_UNDISTORT, nullptr, 0);
        } else if (name == "min-amplitude") {
            int32_t v = int32_t(filter_value(choice, eq, 4095));
            rc = vizor_filter_enable(dev, VIZOR_FILTER_MIN_AMPLITUDE, &v, sizeof v);
        } else if (name == "auto-integration") {
            uint16_t v = uint16_t(filter_value(choice, eq, 1000));
            rc = vizor_filter_enable(dev, VIZOR_FILTER_AUTO_INTEGRATION, &v, sizeof v);
        } else {
            throw ToolError("--filter " + choice +
                            ": unknown (undistort, min-amplitude=N, auto-integration=N)");
        }
        if (rc != 1)
            throw ToolError("--filter " + choice + ": the camera's driver has no such filter");
    }
}

}  // namespace vztool
