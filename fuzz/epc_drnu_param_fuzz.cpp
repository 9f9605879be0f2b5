// The DRNU parameter block and table texts through calibrationLoadDRNU_LUT,
// and the step temperatures through calibrationLoadTemperatureDRNU, on a
// small calibration geometry. Input: width, height and step-count bytes, then
// four parts (fuzz_files.h): the 16-byte parameter block, the 20 MHz and the
// 10 MHz table texts, the temperature text. Checks: the parameters in force
// afterwards are always plausible ones, and every table entry reads.
#include <cmath>

#include "fuzz_files.h"
#include "vizor/epc660.h"
#include "vizor/log.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    vz_log_disable();
    configSetPrint(0);
    vzf::enter_private_folder(argc, argv);
    return 0;
}

namespace {

std::string name_of(const char *kind, const char *suffix) {
    char name[160];
    snprintf(name, sizeof name, "epc660_%s_W%03d_C%03d%s", kind, int(configGetWaferID()),
             int(configGetChipID()), suffix);
    return name;
}

void put(const std::string &name, const std::string &text) {
    vzf::write_file(name.c_str(), reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const int w = 1 + data[0] % 16, h = 1 + data[1] % 12, steps = data[2] % 51;
    calibrateSetWidth(w);
    calibrateSetHeight(h);
    calibrateSetNumDistances(steps);
    const std::vector<std::string> p = vzf::parts(data + 3, size - 3, 4);
    char param[256];
    calibrationGetParamName(param, 1);
    put(param, p[0]);
    put(name_of("drnu", "_20.csv"), p[1]);
    put(name_of("drnu", "_10.csv"), p[2]);
    const char *sfx = configGetModulationFrequency() > 19999 ? "_20.csv" : "_10.csv";
    put(name_of("temperature_drnu", sfx), p[3]);

    const int r = calibrationLoadDRNU_LUT();
    VZF_CHECK(r == 0 || r == -1);
    const int offset = calibrationGetOffsetDRNU(), temp = calibrateGetTempCalib();
    const double step = calibrateGetStepCalMM();
    VZF_CHECK(offset >= 0 && offset < 30000);
    VZF_CHECK(temp > -2000 && temp < 3000);
    VZF_CHECK(std::isfinite(step) && step > 0 && step < 10000);
    for (int s = 0; s < steps; ++s)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) (void)calibrateGetDRNULutPixel(s, y, x);
    int16_t *t = calibrationLoadTemperatureDRNU();
    if (t)
        for (int s = 0; s < steps; ++s) (void)t[s];
    vzf::clear_folder();
    return 0;
}
