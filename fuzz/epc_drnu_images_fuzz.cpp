// The DRNU distance-image file through calibrationLoadDistanceImages, on a
// small calibration geometry drawn from the input so that files of a few
// steps stay short. Input: width byte, height byte, mode byte, then the file.
// Checks: a load takes 2 to 50 whole steps (never more than the file holds),
// a refused file keeps the step count, and every loaded code reads back.
#include "fuzz_files.h"
#include "vizor/epc660.h"
#include "vizor/log.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    vz_log_disable();
    configSetPrint(0);
    vzf::enter_private_folder(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const int w = 1 + data[0] % 16, h = 1 + data[1] % 12, mode = data[2] & 1;
    data += 3;
    size -= 3;
    calibrateSetWidth(w);
    calibrateSetHeight(h);
    calibrateSetNumDistances(30);
    char name[256];
    calibrationGetDistanceImagesName(name, mode);
    vzf::write_file(name, data, size);
    const size_t step_bytes = size_t(w) * size_t(h) * 2;
    const size_t steps = size / step_bytes;
    const int r = calibrationLoadDistanceImages(mode);
    // One whole step is a table (zero steps are refused and keep the count).
    if (steps < 1) {
        VZF_CHECK(r == -1 && calibrateGetNumDistances() == 30);
    } else {
        VZF_CHECK(r == 0);
        const size_t kept = steps > 50 ? 50 : steps;
        VZF_CHECK(size_t(calibrateGetNumDistances()) == kept);
        VZF_CHECK(calibrationDataFileCheck(mode) == 0);
        // The tables of the current frequency mode read back little-endian.
        if (mode == (configGetModulationFrequency() > 19999 ? 0 : 1))
            for (size_t i : {size_t(0), kept * step_bytes / 2 - 1})
                VZF_CHECK(calibrateGetDistImagePixel(int(i)) ==
                          uint16_t(data[2 * i] | data[2 * i + 1] << 8));
    }
    vzf::clear_folder();
    return 0;
}
