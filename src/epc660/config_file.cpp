// The parameter file "./config.txt" of the configuration module: eight
// tuning values, one per line, saved and loaded in a fixed order. Loading
// reads each line as "%i" or "%lf" would; a line without a number, or a zero
// or absurd value of one that is divided by, keeps the current one and is
// logged.
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "epc660/base.h"

namespace {

constexpr const char *kFile = "./config.txt";
constexpr int kLineMax = 256;  // longer lines are refused

// One line of the file: integer or real, and the accepted range. Only the
// values something divides by are bounded (the averaging count, the speed of
// light and the ambient-light factor, which must not be 0); every other value
// the file can give is taken.
struct Line {
    bool real;
    double lo, hi;
    bool nonzero;
};
constexpr double kIntMin = -2147483648.0, kIntMax = 2147483647.0;
const Line kLines[8] = {
    {true, -1e300, 1e300, true},       // unscaled ambient-light factor (a divisor)
    {false, kIntMin, kIntMax, false},  // print level
    {false, kIntMin, kIntMax, false},  // DRNU temperature difference
    {false, kIntMin, kIntMax, false},  // DRNU calibration delay
    {false, 1, 100000, false},         // DRNU frames to average (a divisor)
    {true, -1e300, 1e300, false},      // epc635 temperature coefficient
    {true, -1e300, 1e300, false},      // epc660 temperature coefficient
    {true, 1e6, 1e10, false},          // speed of light / 2 (a divisor)
};

void log_value(const char *fn, int i, double v) {
    switch (i) {
    case 0: vz_dbg("[%s] ambientLightFactor = %2.4f\n", fn, v); break;
    case 1: vz_dbg("[%s] print = %d\n", fn, int(v)); break;
    case 2: vz_dbg("[%s] diffTemp = %d\n", fn, int(v)); break;
    case 3: vz_dbg("[%s] drnuDelay = %d\n", fn, int(v)); break;
    case 4: vz_dbg("[%s] numAveragedFrames = %d\n", fn, int(v)); break;
    case 5: vz_dbg("[%s] epc635_TemperatureCoeff = %2.6f\n", fn, v); break;
    case 6: vz_dbg("[%s] epc660_TemperatureCoeff = %2.6f\n", fn, v); break;
    case 7: vz_dbg("[%s] speed of light div 2 = %2.2f\n", fn, v); break;
    }
}

// Reads one line into buf; false at the end of the file. A line longer than
// the buffer keeps its beginning (the rest is skipped).
bool read_line(FILE *f, char (&buf)[kLineMax]) {
    if (!fgets(buf, kLineMax, f)) return false;
    if (!strchr(buf, '\n') && !feof(f)) {
        int c;
        while ((c = fgetc(f)) != EOF && c != '\n') {}
    }
    return true;
}

// Parses the text up to the first blank of a line as "%i" (integers) or "%lf"
// (reals) read it: the leading number counts, whatever follows it ("1.5" on
// an integer line is 1, "3x" is 3). False when the text starts with no
// number, or the number is not finite or outside the integer range.
bool parse(const char *text, bool real, double &out) {
    char word[kLineMax];
    size_t n = strcspn(text, " \t\r\n");
    memcpy(word, text, n);
    word[n] = '\0';
    if (n == 0) return false;
    char *end = nullptr;
    errno = 0;
    if (real) {
        out = strtod(word, &end);
    } else {
        const long v = strtol(word, &end, 0);
        if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
        out = double(v);
    }
    return end != word && std::isfinite(out);
}

void apply(int i, double v) {
    switch (i) {
    case 0: calculationSetAmbientLightFactorOrg(v); break;
    case 1: configSetPrint(int(v)); break;
    case 2: calibrateSetDRNUDiffTemp(int(v)); break;
    case 3: calibrateSetDRNUCalibrateDelay(int(v)); break;
    case 4: calibrateSetDRNUAverage(int(v)); break;
    case 5: calibrateSetTempCoef(v, 4); break;
    case 6: calibrateSetTempCoef(v, 2); break;
    case 7: calibrateSetSpeedOfLightDiv2(v); break;
    }
}

int load() {
    const char *fn = "configLoadParameters";
    FILE *f = fopen(kFile, "r");
    if (!f) {
        vz_dbg("[%s] Could not open config.txt file.\n", fn);
        return -1;
    }
    char buf[kLineMax];
    bool had_first = false;
    double factor = 0;
    for (int i = 0; i < 8 && read_line(f, buf); ++i) {
        const Line &l = kLines[i];
        double v = 0;
        if (!parse(buf, l.real, v) || v < l.lo || v > l.hi || (l.nonzero && v == 0)) {
            vz_wrn("[%s] line %d of config.txt refused, value kept\n", fn, i + 1);
            if (i == 0) {
                had_first = true;
                factor = calculationGetAmbientLightFactorOrg();
            }
            continue;
        }
        log_value(fn, i, v);
        if (i == 0) {
            had_first = true;
            factor = v;
        }
        apply(i, v);
    }
    fclose(f);
    const int t = configGetIntegrationTime3D();
    const double scaled = !had_first ? 0.0 : t > 0 ? factor / std::sqrt(double(t)) : factor;
    calculationSetAmbientLightFactor(scaled);
    return 0;
}

int save() {
    const char *fn = "configSaveParameters";
    FILE *f = fopen(kFile, "w");
    if (!f) {
        vz_dbg("[%s] Could not open config.txt file.\n", fn);
        return -1;
    }
    const double ambient = calculationGetAmbientLightFactorOrg();
    const int print_level = configPrint();
    const int diff = calibrateGetDRNUDiffTemp();
    const int delay = calibrateGetDRNUCalibrateDelay();
    const int average = calibrateGetDRNUAverage();
    const double coef635 = calibrateGetTempCoef(4);
    const double coef660 = calibrateGetTempCoef(2);
    const double c2 = calibrateGetSpeedOfLightDiv2();
    fprintf(f, "%f\n%d\n%d\n%d\n%d\n%2.6f\n%2.6f\n%2.2f\n", ambient, print_level, diff, delay,
            average, coef635, coef660, c2);
    const bool ok = fclose(f) == 0;
    vz_dbg("[%s] ambientLightFactor= %f\n", fn, ambient);
    vz_dbg("[%s] printVal= %d\n", fn, print_level);
    vz_dbg("[%s] diffTemp= %d\n", fn, diff);
    vz_dbg("[%s] drnuDelay= %d\n", fn, delay);
    vz_dbg("[%s] numDRNUAveragedFrames= %d\n", fn, average);
    vz_dbg("[%s] epc635_TemperatureCoeff= %2.4f\n", fn, coef635);
    vz_dbg("[%s] epc660_TemperatureCoeff= %2.4f\n", fn, coef660);
    vz_dbg("[%s] speed of light div 2= %2.2f\n", fn, c2);
    return ok ? 0 : -1;
}

}  // namespace

extern "C" {

VZ_API int configSaveParameters(void) noexcept {
    EPC_ENTRY(-1, { return save(); });
}
VZ_API int configLoadParameters(void) noexcept {
    EPC_ENTRY(-1, { return load(); });
}

}  // extern "C"
