// Mean images, gain/offset arithmetic and the text files shared by the
// grayscale and the FLIM calibration. Files are read with a line cap; a
// gain/offset line gives at most a row's width of values, each read as "%lf"
// reads it, and a token that is no number keeps its entry neutral.
#include "epc660/gain_offset.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "base/log.h"
#include "epc660/base.h"
#include "epc660/calib_guard.h"
#include "epc660/text_table.h"

namespace vz::epc::calib {

namespace {

// Room for a row of the widest image with generous number texts.
size_t lineCap(const ImageSize &s) { return static_cast<size_t>(s.width) * 40 + 256; }
// Every line of the file at that length, and a margin.
size_t fileBudget(const ImageSize &s, int lines) { return (lineCap(s) + 1) * (lines + 4); }

// Why a row line was not taken completely, or nullptr.
template <class T, class Parse>
const char *parseRow(const std::string &line, bool overlong, T *row, int width, Parse parse) {
    if (overlong) return "line longer than expected";
    Tokens tokens(line);
    std::string_view tok;
    const char *why = nullptr;
    int n = 0;
    for (; n < width && tokens.next(tok); ++n) {
        T v{};
        if (parse(tok, v))
            row[n] = v;
        else if (!why)
            why = "value is not a finite number";
    }
    if (why) return why;
    if (n < width) return "too few values";
    if (tokens.next(tok)) return "too many values";
    return nullptr;
}

// The leading number of a token as "%lf" takes it ("3x" is 3); false when the
// token starts with no number or the number is not finite.
bool leadingReal(std::string_view t, double &v) {
    if (t.empty() || t.size() > 64) return false;
    const std::string s(t);
    char *end = nullptr;
    const double r = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || !std::isfinite(r)) return false;
    v = r;
    return true;
}

// A table row as the file gives it: at most `width` values, each taken as
// "%lf" takes it; a short line fills what it holds, values beyond the width
// are ignored. Returns the first token that is no number, or an empty view.
std::string_view tableRow(const std::string &line, double *row, int width) {
    Tokens tokens(line);
    std::string_view tok, bad;
    for (int n = 0; n < width && tokens.next(tok); ++n)
        if (!leadingReal(tok, row[n]) && bad.empty()) bad = tok;
    return bad;
}
bool readInt(std::string_view t, int &v) { return parseInt(t, v); }

int closeWritten(const char *fn, const char *path, std::FILE *f) {
    const bool failed = std::ferror(f) != 0;
    if (std::fclose(f) != 0 || failed) {
        vz_err("[%s] writing %s failed\n", fn, path);
        return -1;
    }
    return 0;
}

}  // namespace

void resetTables(double *gain, double *offset) {
    for (int i = 0; i < kStatePixels; ++i) {
        gain[i] = 1.0;
        offset[i] = 0.0;
    }
}

int meanOfFrames(const char *fn, int count, int *values, ImageSize size, int plane,
                 bool errorLevel) {
    if (count <= 0) {
        vz_err("[%s] number of frames %d refused\n", fn, count);
        return 0;
    }
    std::vector<int64_t> sum;
    try {
        sum.assign(size.pixels, 0);
    } catch (const std::bad_alloc &) {
        if (errorLevel)
            vz_err("[%s] Malloc error\n", fn);
        else
            vz_dbg("[%s] Malloc error\n", fn);
        return 0;
    }
    int samples = 0;
    for (int n = 0; n < count; ++n) {
        uint16_t *frame = nullptr;
        samples = calcBWSorted(&frame);
        if (frame_missing(fn)) return 0;
        const long start = plane < 0 ? 0 : static_cast<long>(plane) * (samples / 2);
        if (!frame || size.pixels == 0 || samples <= 0 || start + size.pixels > samples) {
            vz_err("[%s] frame %d of %d missing or shorter than the image\n", fn, n + 1, count);
            return 0;
        }
        const uint16_t *p = frame + start;
        if (plane < 0)
            for (int i = 0; i < size.pixels; ++i) sum[i] += p[i];
        else
            for (int i = 0; i < size.pixels; ++i) sum[i] += static_cast<int16_t>(p[i]);
    }
    for (int i = 0; i < size.pixels; ++i) values[i] = static_cast<int>(sum[i] / count);
    return samples;
}

double gainOffset(const int *bright, const int *dark, int pixels, int bias, double *gain,
                  double *offset) {
    if (pixels <= 0) return 0.0;
    double acc = 0.0;
    for (int i = 0; i < pixels; ++i) {
        offset[i] = static_cast<double>(dark[i]) - bias;
        acc += static_cast<double>(bright[i]) - dark[i];
    }
    const double avr = acc / pixels;
    for (int i = 0; i < pixels; ++i) {
        const double d = static_cast<double>(bright[i]) - dark[i];
        gain[i] = d == 0.0 ? 1.0 : avr / d;
    }
    return avr;
}

int saveTables(const char *fn, const char *path, const double *gain, const double *offset,
               ImageSize size) {
    std::FILE *f = openText(path, true);
    if (!f) {
        vz_dbg("[%s] Could not open %s file.\n", fn, path);
        return -1;
    }
    for (const double *table : {gain, offset})
        for (int r = 0; r < size.height; ++r) {
            for (int c = 0; c < size.width; ++c)
                std::fprintf(f, " %.4e", table[r * size.width + c]);
            std::fputc('\n', f);
        }
    return closeWritten(fn, path, f);
}

int loadTables(const char *fn, const char *path, double *gain, double *offset, ImageSize size) {
    resetTables(gain, offset);
    std::FILE *f = openText(path, false);
    if (!f) {
        vz_dbg("[%s] Could not open %s file.\n", fn, path);
        return -1;
    }
    vz_dbg("[%s] %s\n", fn, path);
    LineReader reader(f, fileBudget(size, 2 * size.height));
    std::string line;
    bool overlong = false;
    int errors = 0;
    int lineNo = 0;
    for (int part = 0; part < 2; ++part) {
        double *table = part == 0 ? gain : offset;
        for (int r = 0; r < size.height; ++r) {
            if (!reader.next(line, lineCap(size), overlong)) {
                ++errors;
                if (part == 0)
                    vz_err("[%s] error gain: %d\n", fn, errors);
                else
                    vz_err("[%s] error offset: %d\n", fn, errors);
                continue;
            }
            ++lineNo;
            // A value that is no number keeps its neutral entry.
            const std::string_view bad = tableRow(line, table + r * size.width, size.width);
            if (!bad.empty())
                vz_wrn("[%s] %s line %d: \"%.*s\" is no number, entry kept neutral\n", fn, path,
                       lineNo, int(std::min<size_t>(bad.size(), 32)), bad.data());
        }
    }
    if (reader.next(line, lineCap(size), overlong) || reader.exhausted())
        vz_wrn("[%s] %s: more lines than %d, the rest is ignored\n", fn, path, 2 * size.height);
    std::fclose(f);
    return 0;
}

int saveMean(const char *fn, const char *path, const int *values, ImageSize size) {
    std::FILE *f = openText(path, true);
    if (!f) {
        vz_dbg("[%s] Could not open %s file.\n", fn, path);
        return -1;
    }
    for (int r = 0; r < size.height; ++r) {
        for (int c = 0; c < size.width; ++c) std::fprintf(f, " %d", values[r * size.width + c]);
        std::fputc('\n', f);
    }
    return closeWritten(fn, path, f);
}

int loadMean(const char *fn, const char *path, int *values, ImageSize size) {
    std::FILE *f = openText(path, false);
    if (!f) {
        vz_dbg("[%s] Could not open %s file.\n", fn, path);
        return -1;
    }
    for (int i = 0; i < size.pixels; ++i) values[i] = 0;
    LineReader reader(f, fileBudget(size, size.height));
    std::string line;
    bool overlong = false;
    int result = 0;
    for (int r = 0; r < size.height; ++r) {
        if (!reader.next(line, lineCap(size), overlong)) {
            vz_err("[%s] %s: row %d missing\n", fn, path, r);
            result = -1;
            break;
        }
        int *row = values + r * size.width;
        if (const char *why = parseRow(line, overlong, row, size.width, readInt)) {
            if (overlong) std::fill(row, row + size.width, 0);
            vz_wrn("[%s] %s line %d: %s\n", fn, path, r + 1, why);
        }
        for (int c = 0; c < size.width && c < 10; ++c) print(true, 2, "%d\t", row[c]);
        print(true, 2, "\n");
    }
    if (result == 0 && (reader.next(line, lineCap(size), overlong) || reader.exhausted()))
        vz_wrn("[%s] %s: more lines than %d, the rest is ignored\n", fn, path, size.height);
    std::fclose(f);
    return result;
}

int toRange(double v, bool round, int lo, int hi) {
    const double r = round ? std::round(v) : std::trunc(v);
    if (!(r >= lo)) return lo;  // also NaN
    if (r > hi) return hi;
    return static_cast<int>(r);
}

}  // namespace vz::epc::calib
