// The parameter file "./config.txt" of the configuration module: eight
// tuning values, one per line, saved and loaded in a fixed order. Loading
// checks every line: a missing, non-numeric, overlong or absurd value keeps
// the current one and is logged.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "epc660/base.h"

namespace {

constexpr const char *kFile = "./config.txt";
constexpr int kLineMax = 256;  // longer lines are refused

// One line of the file: integer or real, and the accepted range.
struct Line {
    bool real;
    double lo, hi;
};
const Line kLines[8] = {
    {true, 0.0, 1e9},         // unscaled ambient-light factor
    {false, -100, 100},       // print level
    {false, 0, 100000},       // DRNU temperature difference
    {false, 0, 86400000},     // DRNU calibration delay
    {false, 1, 100000},       // DRNU frames to average (a divisor)
    {true, -1000.0, 1000.0},  // epc635 temperature coefficient
    {true, -1000.0, 1000.0},  // epc660 temperature coefficient
    {true, 1e6, 1e10},        // speed of light / 2 (a divisor)
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

// Reads one line into buf; false at the end of the file. `overlong` tells that
// the line did not fit (the rest of it is skipped).
bool read_line(FILE *f, char (&buf)[kLineMax], bool &overlong) {
    if (!fgets(buf, kLineMax, f)) return false;
    overlong = false;
    if (!strchr(buf, '\n') && !feof(f)) {
        overlong = true;
        int c;
        while ((c = fgetc(f)) != EOF && c != '\n') {}
    }
    return true;
}

// Parses the text up to the first blank of a line as an integer ("%i") or a
// real ("%lf"); false for anything that is not exactly one number.
bool parse(const char *text, bool real, double &out) {
    char word[kLineMax];
    size_t n = strcspn(text, " \t\r\n");
    memcpy(word, text, n);
    word[n] = '\0';
    if (n == 0) return false;
    char *end = nullptr;
    if (real) {
        out = strtod(word, &end);
    } else {
        long v = strtol(word, &end, 0);
        out = double(v);
    }
    return end != nullptr && *end == '\0' && std::isfinite(out);
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
    bool overlong = false;
    bool had_first = false;
    double factor = 0;
    for (int i = 0; i < 8 && read_line(f, buf, overlong); ++i) {
        const Line &l = kLines[i];
        double v = 0;
        if (overlong || !parse(buf, l.real, v) || v < l.lo || v > l.hi) {
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
    const double scaled = had_first && t > 0 ? factor / std::sqrt(double(t)) : 0.0;
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
