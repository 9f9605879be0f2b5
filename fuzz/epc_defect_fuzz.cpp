// The defect-pixel list "image_correction.txt" through imageCorrectionLoad,
// then the replacement on a sorted image of the current geometry. Input: a
// geometry byte (epc_geometry.h), then the list. The image is exactly as
// large as the geometry's distance image, so a replacement outside it shows
// as an AddressSanitizer report.
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    vzf::set_geometry(data[0]);
    vzf::write_file("image_correction.txt", data + 1, size - 1);
    VZF_CHECK(imageCorrectionLoad("image_correction.txt") == 0);
    imageCorrectionEnable(1);
    const int pixels = vz::epc::distanceImageSize().pixels;
    const size_t n = size_t(pixels > 0 ? pixels : 1);
    uint16_t *img = vzf::image_buffer<uint16_t>(n);
    vzf::image_fill(img, n, [](size_t i) { return uint16_t(i % 30000); });
    imageCorrect(img);
    // Replacement copies codes: every pixel still holds a code of the image.
    VZF_CHECK(vzf::image_check(img, n, [](size_t, uint16_t v) { return v < 30000; }) == n);
    // A later geometry change is followed by a new transform.
    vzf::set_geometry(uint8_t(data[0] + 1));
    imageCorrectionTransform();
    imageCorrect(
        vzf::image_buffer<uint16_t>(size_t(std::max(1, vz::epc::distanceImageSize().pixels))));
    imageCorrectionEnable(0);
    vzf::clear_folder();
    return 0;
}
