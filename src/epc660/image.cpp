// Filters on the sorted distance image, in the order the distance pipeline
// runs them: defect-pixel replacement from a loaded list, four- or
// eight-neighbour averaging, temporal averaging and the reference-frame
// difference test. Every filter is off by default. Rejected pixels become
// 65300, the low-amplitude marker.
#include <array>
#include <cstring>
#include <string>

#include "base/firewall.h"
#include "base/log.h"
#include "epc660/base.h"
#include "epc660/image_filter.h"
#include "epc660/image_geometry.h"
#include "epc660/text_table.h"

namespace vz::epc {

namespace {

constexpr int kMaxDefects = 1024;
// A defect line is "xxx yyy CC" and a line end: anything longer is refused.
constexpr size_t kDefectLineCap = 64;
// Far more than 1024 defect lines need; a larger file is cut here.
constexpr size_t kDefectFileBudget = 1 << 20;
// Bad lines reported one by one before the rest are only counted.
constexpr int kReportedLines = 10;

struct Defect {
    uint8_t x = 0;
    uint8_t y = 0;
    int index = 0;
    uint8_t neighbour = 0;
};

struct ImageState {
    std::array<Defect, kMaxDefects> pixels{};
    int pixelCount = 0;
    std::array<Defect, kMaxDefects> transformed{};
    int transformedCount = 0;
    int correctionEnabled = 0;
    int processing = 0;
    // Scratch copy of the input for the spatial filters.
    std::array<uint16_t, 2 * kStatePixels> copy{};
    int pictures = 0;
    std::array<uint16_t, kStatePixels> running{};
    int differenceThreshold = 0;
    bool referenceTaken = false;
    std::array<uint16_t, kStatePixels> reference{};
};

ImageState &image_state() { return vz::epc::state<ImageState>(vz::epc::kSlotImage); }
#undef EPC_BIND
#define EPC_BIND [[maybe_unused]] ImageState &g_image = image_state();

constexpr const char *kNeighbourText[8] = {"W", "NW", "N", "NE", "E", "SE", "S", "SW"};

// Image offset of the neighbour a defect takes its value from, for an image
// `width` columns wide; false for an unknown code.
bool neighbourOffset(int code, int width, int &offset) {
    static constexpr int kDx[8] = {-1, -1, 0, 1, 1, 1, 0, -1};
    static constexpr int kDy[8] = {0, -1, -1, -1, 0, 1, 1, 1};
    if (code < 0 || code > 7) return false;
    offset = kDy[code] * width + kDx[code];
    return true;
}

// Reads a coordinate field of three characters: blanks around one to three
// decimal digits.
bool parseField(const std::string &line, size_t at, int &value) {
    size_t i = at;
    const size_t end = at + 3;
    while (i < end && line[i] == ' ') ++i;
    if (i == end || line[i] < '0' || line[i] > '9') return false;
    value = 0;
    for (; i < end && line[i] >= '0' && line[i] <= '9'; ++i) value = value * 10 + (line[i] - '0');
    for (; i < end; ++i)
        if (line[i] != ' ') return false;
    return true;
}

// Parses one defect line (line feed already removed). Returns nullptr, or
// the reason the line is refused.
const char *parseDefect(std::string line, bool overlong, Defect &d) {
    if (overlong) return "line longer than expected";
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() < 9) return "line too short";
    int x = 0, y = 0;
    if (!parseField(line, 0, x) || !parseField(line, 4, y) || line[3] != ' ' || line[7] != ' ')
        return "coordinates are not numbers";
    // Sensor x and y are stored in 8 bits; the pixel field has 252 rows.
    if (x > 255 || y > 251) return "coordinates beyond the pixel field";
    const std::string code = line.substr(8);
    int found = -1;
    for (int c = 0; c < 8; ++c)
        if (code == kNeighbourText[c]) found = c;
    if (found < 0) {
        // A known code followed by more text is an overlong line.
        for (int c = 0; c < 8; ++c)
            if (code.rfind(kNeighbourText[c], 0) == 0 && std::strlen(kNeighbourText[c]) == 2)
                return "line longer than expected";
        return "unknown neighbour code";
    }
    if (found == 0) print(true, 0, "strN == W");
    if (found == 4) print(true, 0, "strN == E");
    d.x = static_cast<uint8_t>(x);
    d.y = static_cast<uint8_t>(y);
    d.index = 0;
    d.neighbour = static_cast<uint8_t>(found);
    return nullptr;
}

int loadDefects(const char *path) {
    ImageState &g_image = image_state();
    g_image.pixelCount = 0;
    std::FILE *f = openText(path, false);
    if (!f) {
        vz_dbg("[%s] Could not open %s file.\n", "imageCorrectionLoad", path);
        return 0;
    }
    const char *fn = "imageCorrectionLoad";
    LineReader reader(f, kDefectFileBudget);
    std::string line;
    bool overlong = false;
    int lineNo = 0, bad = 0;
    while (reader.next(line, kDefectLineCap, overlong)) {
        ++lineNo;
        if (g_image.pixelCount == kMaxDefects) {
            vz_wrn("[%s] %s: more than %d defects, line %d and later ignored\n", fn, path,
                   kMaxDefects, lineNo);
            break;
        }
        Defect d;
        if (const char *why = parseDefect(line, overlong, d)) {
            if (++bad <= kReportedLines)
                vz_wrn("[%s] %s line %d: %s, skipped\n", fn, path, lineNo, why);
            continue;
        }
        g_image.pixels[g_image.pixelCount++] = d;
    }
    if (reader.exhausted())
        vz_wrn("[%s] %s: larger than %zu bytes, the rest is ignored\n", fn, path,
               kDefectFileBudget);
    if (bad > kReportedLines) vz_wrn("[%s] %s: %d bad lines skipped in all\n", fn, path, bad);
    return std::fclose(f);
}

int transformDefects() {
    ImageState &g_image = image_state();
    const int tlx = readOutGetTopLeftX();
    const int brx = readOutGetBottomRightX();
    const int tly = readOutGetTopLeftY();
    const ImageSize size = distanceImageSize();
    const int columns = pruGetNCols();
    const int f = calculationIsDualMGX() ? 2 : static_cast<int>(pruGetRowReduction());
    const int colRed = static_cast<int>(pruGetColReduction());
    g_image.transformedCount = 0;
    for (int n = 0; n < g_image.pixelCount; ++n) {
        const Defect &d = g_image.pixels[n];
        const int x = d.x, y = d.y, code = d.neighbour;
        if (x < tlx || x > brx || y < tly || y > 251 - tly) continue;
        const bool west = code == 0 || code == 1 || code == 7;
        const bool east = code == 3 || code == 4 || code == 5;
        if (x == tlx && west) {
            print(true, 0, "pixel %i,%i can not be corrected\n", x, y);
            continue;
        }
        if (x == brx && east) {
            print(true, 0, "pixel %i,%i can not be corrected\n", brx, y);
            continue;
        }
        if (y == tly && code != 0 && code != 4) {
            print(true, 0, "pixel %i,%i can not be corrected\n", x, y);
            continue;
        }
        if (f <= 0 || colRed <= 0) continue;
        const int index = columns * ((y - tly) / f) + (x - tlx) / colRed;
        int offset = 0;
        neighbourOffset(code, size.width, offset);
        // A defect or neighbour outside the sorted image (its bottom row, or
        // a geometry the list does not fit) cannot be corrected either.
        if (index < 0 || index >= size.pixels || index + offset < 0 ||
            index + offset >= size.pixels) {
            print(true, 0, "pixel %i,%i can not be corrected\n", x, y);
            vz_dbg("[%s] defect %d,%d lies outside the image\n", "imageCorrectionTransform", x, y);
            continue;
        }
        Defect t = d;
        t.index = index;
        g_image.transformed[g_image.transformedCount++] = t;
    }
    return g_image.pixelCount;
}

void correct(uint16_t *image) {
    ImageState &g_image = image_state();
    const ImageSize size = distanceImageSize();
    for (int n = 0; n < g_image.transformedCount; ++n) {
        const Defect &d = g_image.transformed[n];
        int offset = 0;
        if (!neighbourOffset(d.neighbour, size.width, offset)) {
            print(true, 0, "unknown neighbour, check image_correction.txt");
            continue;
        }
        // The geometry may have changed since the transform.
        const int from = d.index + offset;
        if (d.index < size.pixels && from >= 0 && from < size.pixels) image[d.index] = image[from];
    }
}

// Temporal average: a marker passes and restarts that pixel's average.
void average(uint16_t *image) {
    ImageState &g_image = image_state();
    const int n = g_image.pictures;
    if (n < 2) return;
    const int pixels = distanceImageSize().pixels;
    for (int i = 0; i < pixels; ++i) {
        uint32_t prev = g_image.running[i];
        uint32_t cur = image[i];
        if (prev > kMaxCode) prev = cur;
        if (cur <= kMaxCode) {
            // 64 bits: (n - 1) x prev overflows int for large n.
            cur = static_cast<uint32_t>((cur + static_cast<int64_t>(n - 1) * prev) / n);
            image[i] = static_cast<uint16_t>(cur);
        }
        g_image.running[i] = static_cast<uint16_t>(cur);
    }
}

void difference(uint16_t *image) {
    ImageState &g_image = image_state();
    const int t = g_image.differenceThreshold;
    if (t == 0) return;
    const int pixels = distanceImageSize().pixels;
    if (!g_image.referenceTaken) {
        std::memcpy(g_image.reference.data(), image, sizeof(uint16_t) * pixels);
        g_image.referenceTaken = true;
        return;
    }
    for (int i = 0; i < pixels; ++i) {
        const int d = static_cast<int>(image[i]) - g_image.reference[i];
        if ((d < 0 ? -d : d) < t) image[i] = kLowAmplitude;
    }
}

}  // namespace

}  // namespace vz::epc

using namespace vz::epc;

extern "C" {

VZ_API int imageCorrectionLoad(const char *path) noexcept {
    EPC_ENTRY(0, {
        if (!path) {
            g_image.pixelCount = 0;
            g_image.transformedCount = 0;
            vz_err("[%s] path is NULL\n", epc_fn);
            return 0;
        }
        const int r = loadDefects(path);
        // The list applies to the current geometry at once; the facade
        // rebuilds it after every later change.
        transformDefects();
        return r;
    });
}

VZ_API int imageCorrectionEnable(int on) noexcept {
    const vz::epc::Use epc_use;
    ImageState &g_image = image_state();
    return vz::entry(__func__, on, [&] { return g_image.correctionEnabled = on; });
}

VZ_API int imageCorrectionTransform(void) noexcept {
    const vz::epc::Use epc_use;
    return vz::entry(__func__, 0, [] { return transformDefects(); });
}

VZ_API void imageCorrect(uint16_t *image) noexcept {
    const vz::epc::Use epc_use;
    ImageState &g_image = image_state();
    vz::entry_void(__func__, [&] {
        if (image && g_image.correctionEnabled) correct(image);
    });
}

VZ_API int imageSetProcessing(int mode) noexcept {
    const vz::epc::Use epc_use;
    ImageState &g_image = image_state();
    return vz::entry(__func__, mode, [&] { return g_image.processing = mode > 3 ? 3 : mode; });
}

VZ_API void imageProcess(uint16_t *image) noexcept {
    const vz::epc::Use epc_use;
    ImageState &g_image = image_state();
    vz::entry_void(__func__, [&] {
        if (g_image.processing == 1) imageAverageFourConnectivity(image);
        if (g_image.processing == 2) imageAverageEightConnectivity(image);
    });
}

VZ_API void imageAverageFourConnectivity(uint16_t *image) noexcept {
    const vz::epc::Use epc_use;
    ImageState &g_image = image_state();
    vz::entry_void(__func__, [&] {
        const ImageSize s = distanceImageSize();
        if (image) image::averageFour(image, g_image.copy.data(), s.width, s.height);
    });
}

VZ_API void imageAverageEightConnectivity(uint16_t *image) noexcept {
    const vz::epc::Use epc_use;
    ImageState &g_image = image_state();
    vz::entry_void(__func__, [&] {
        const ImageSize s = distanceImageSize();
        if (image) image::averageEight(image, g_image.copy.data(), s.width, s.height);
    });
}

VZ_API int imageSetNumberOfPicture(int n) noexcept {
    const vz::epc::Use epc_use;
    ImageState &g_image = image_state();
    return vz::entry(__func__, n, [&] { return g_image.pictures = n == 0 ? 1 : n; });
}

VZ_API void imageAverage(uint16_t *image) noexcept {
    const vz::epc::Use epc_use;
    vz::entry_void(__func__, [&] {
        if (image) average(image);
    });
}

VZ_API int imageDifferenceSetThreshold(int t) noexcept {
    const vz::epc::Use epc_use;
    ImageState &g_image = image_state();
    return vz::entry(__func__, t, [&] {
        g_image.referenceTaken = false;
        return g_image.differenceThreshold = t;
    });
}

VZ_API int imageDifferenceInit(void) noexcept {
    const vz::epc::Use epc_use;
    ImageState &g_image = image_state();
    return vz::entry(__func__, 0, [&] {
        g_image.referenceTaken = false;
        return 0;
    });
}

VZ_API void imageDifference(uint16_t *image) noexcept {
    const vz::epc::Use epc_use;
    vz::entry_void(__func__, [&] {
        if (image) difference(image);
    });
}

}  // extern "C"

namespace vz::epc {
constinit const SlotOps image_slot = slot_ops<ImageState>();

void image::forget_history() {
    const Use epc_use;
    image_state().running.fill(0);
}
}  // namespace vz::epc
