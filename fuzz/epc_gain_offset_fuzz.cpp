// The grayscale (or, built with VZF_FLIM, the FLIM) gain/offset table and the
// mean image through their exported loaders, then the correction on a sorted
// image of the current geometry. Input: a geometry byte (epc_geometry.h), a
// control byte (bit 0: epc635 names, bit 1: the FLIM gate), then two parts
// (fuzz_files.h): the table text and the mean-image text. Buffers are exactly
// as large as the geometry asks, so anything beyond shows as an
// AddressSanitizer report. Checks: gray codes stay codes and markers pass.
#include <algorithm>
#include <vector>

#include "epc660/image_geometry.h"
#include "epc_geometry.h"
#include "fuzz_files.h"
#include "vizor/log.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    vz_log_disable();
    configSetPrint(0);
    vzf::enter_private_folder(argc, argv);
    return 0;
}

namespace {

void put(const char *name, const std::string &text) {
    vzf::write_file(name, reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    vzf::set_geometry(data[0]);
    const bool epc635 = data[1] & 1;
    configSetPartType(epc635 ? 4 : 2);
    const std::vector<std::string> p = vzf::parts(data + 2, size - 2, 2);
    const int pixels = std::max(1, vz::epc::grayImageSize().pixels);
    int *mean = vzf::image_buffer<int>(size_t(pixels));
    char table[96];
#ifdef VZF_FLIM
    const int gate = (data[1] >> 1) & 1;
    snprintf(table, sizeof table, "%s_%s_gain_offset_W%03d_C%03d.txt", epc635 ? "epc503" : "epc502",
             gate ? "mgb" : "mga", int(configGetWaferID()), int(configGetChipID()));
    put(table, p[0]);
    put("flim_temp_image.txt", p[1]);
    const int r = calculateLoadFlimGainOffset(gate);
    VZF_CHECK(r == 0 || r == -1);
    const int m = calculateLoadFlimImage(mean);
    VZF_CHECK(m == 0 || m == -1);
    // Two planes of signed samples; results stay 16-bit by construction.
    const size_t n = 2 * size_t(pixels);
    uint16_t *img = vzf::image_buffer<uint16_t>(n);
    vzf::image_fill(img, n, [](size_t i) { return uint16_t(i * 37); });
    calculationCorrectFlimOffset(1);
    calculationCorrectFlimGain(1);
    calculationFlimCorrection(img, int(n));
    calculationCorrectFlimOffset(0);
    calculationCorrectFlimGain(0);
#else
    snprintf(table, sizeof table, "grayscale%s_gain_offset_W%03d_C%03d.txt", epc635 ? "635" : "660",
             int(configGetWaferID()), int(configGetChipID()));
    put(table, p[0]);
    put("grayscale_temp_image.txt", p[1]);
    const int r = calculateLoadGrayscaleGainOffset();
    VZF_CHECK(r == 0 || r == -1);
    const int m = calculateLoadGrayscaleImage(mean);
    VZF_CHECK(m == 0 || m == -1);
    const size_t n = size_t(pixels);
    uint16_t *img = vzf::image_buffer<uint16_t>(n);
    vzf::image_fill(img, n,
                    [](size_t i) { return i % 7 == 0 ? uint16_t(65400) : uint16_t(i % 30000); });
    setCorrectGrayscaleOffset(1);
    setCorrectGrayscaleGain(1);
    calculateGrayscaleCorrection(img);
    setCorrectGrayscaleOffset(0);
    setCorrectGrayscaleGain(0);
    VZF_CHECK(vzf::image_check(img, n, [](size_t i, uint16_t v) {
                  return i % 7 == 0 ? v == 65400 : v <= 65299;
              }) == n);
#endif
    vzf::clear_folder();
    return 0;
}
