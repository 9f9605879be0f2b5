// "./config.txt" through configLoadParameters: whatever the file holds, every
// tuning value afterwards is one the loader accepts: finite reals, the guarded
// divisors and frame count within their ranges (a refused line keeps the value
// before it, which started in range).
#include <cmath>

#include "fuzz_files.h"
#include "vizor/epc660.h"
#include "vizor/log.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    vz_log_disable();
    vzf::enter_private_folder(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    configSetPrint(0);
    vzf::write_file("config.txt", data, size);
    VZF_CHECK(configLoadParameters() == 0);
    const int print = configPrint();
    VZF_CHECK(calibrateGetDRNUAverage() >= 1 && calibrateGetDRNUAverage() <= 100000);
    for (int part : {2, 4}) VZF_CHECK(std::isfinite(calibrateGetTempCoef(part)));
    const double c2 = calibrateGetSpeedOfLightDiv2();
    VZF_CHECK(c2 >= 1e6 && c2 <= 1e10);
    VZF_CHECK(std::isfinite(calculationGetAmbientLightFactor()));
    // What was loaded saves and loads again (to the writer's two decimals).
    const int average = calibrateGetDRNUAverage();
    VZF_CHECK(configSaveParameters() == 0 && configLoadParameters() == 0);
    VZF_CHECK(std::fabs(calibrateGetSpeedOfLightDiv2() - c2) <= 0.01);
    VZF_CHECK(calibrateGetDRNUAverage() == average && configPrint() == print);
    vzf::clear_folder();
    return 0;
}
