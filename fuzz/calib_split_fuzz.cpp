// The downloaded "calib_and_param.bin" through the split at open (its first
// 16 bytes become the DRNU parameter file, the rest the distance-image file)
// and the two files then through the DRNU loaders, as the EPC driver reads
// them. Input: a control byte (calibration width and height; bit 7 adds an
// unrelated ".bin" file the folder search must pass over), then the file.
// Checks: a split leaves either both files exactly as cut or neither.
#include <algorithm>
#include <string>

#include "core/calib_download.h"
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
    if (size < 1) return 0;
    const uint8_t ctl = data[0];
    ++data;
    --size;
    calibrateSetWidth(1 + ctl % 8);
    calibrateSetHeight(1 + (ctl >> 3) % 8);
    static char param[256], images[256];
    calibrationGetParamName(param, 1);
    calibrationGetDistanceImagesName(images, 1);
    vizor_calib_names_t names{};
    names.param_name = param;
    names.dist_img_name = images;
    if (ctl & 0x80) vzf::write_file("aaa_other.bin", data, size > 8 ? 8 : size);
    vzf::write_file("calib_and_param.bin", data, size);

    const bool ok = vz::calib::parse_file(".", names);
    const std::vector<uint8_t> p = vzf::read_file(param), d = vzf::read_file(images);
    if (ok && size > 16) {
        VZF_CHECK(p.size() == 16 && std::equal(p.begin(), p.end(), data));
        VZF_CHECK(d.size() == size - 16 && std::equal(d.begin(), d.end(), data + 16));
    } else {
        VZF_CHECK(!ok && !vzf::exists(param) && !vzf::exists(images));
    }
    calibrateSetNumDistances(30);
    const int r = calibrationLoadDistanceImages(1);
    VZF_CHECK(r == 0 || r == -1);
    VZF_CHECK(calibrateGetNumDistances() >= 0 && calibrateGetNumDistances() <= 50);
    calibrationLoadDRNU_LUT();
    VZF_CHECK(calibrationGetOffsetDRNU() >= 0 && calibrationGetOffsetDRNU() < 30000);
    vzf::clear_folder();
    return 0;
}
