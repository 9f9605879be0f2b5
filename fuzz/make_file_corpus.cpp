// Writes the seed corpora of the file fuzzers into the folder given as the
// only argument, one sub-folder per target: the files the library and the
// tool write themselves (config.txt, DRNU images, parameter block and texts,
// gain/offset tables and mean images, recordings), each wrapped in its
// target's input layout (control bytes, parts cut by "\n--8<--\n"), plus
// hand-made variants of the formats nothing in the library writes (the
// defect list, the viewer's requests).
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "epc_geometry.h"
#include "fuzz_files.h"
#include "recording/recording.h"
#include "vizor/epc660.h"
#include "vizor/log.h"

namespace {

using Bytes = std::vector<uint8_t>;
const std::string kSep = "\n--8<--\n";
std::string g_out;
bool g_ok = true;

Bytes text(const std::string &s) { return Bytes(s.begin(), s.end()); }
Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes cat(Bytes a, const Bytes &b, const Bytes &c) { return cat(cat(std::move(a), b), c); }
Bytes file(const std::string &name) { return vzf::read_file(name.c_str()); }

void seed(const std::string &target, const std::string &name, const Bytes &b) {
    const std::string dir = g_out + "/" + target;
    mkdir(dir.c_str(), 0755);
    FILE *f = std::fopen((dir + "/" + name).c_str(), "wb");
    if (!f || (!b.empty() && std::fwrite(b.data(), 1, b.size(), f) != b.size())) g_ok = false;
    if (f && std::fclose(f) != 0) g_ok = false;
}

// Parts joined by the separator of fuzz_files.h.
Bytes joined(std::initializer_list<Bytes> parts) {
    Bytes out;
    bool first = true;
    for (const Bytes &p : parts) {
        if (!first) out = cat(out, text(kSep));
        out = cat(out, p);
        first = false;
    }
    return out;
}

void config_seeds() {
    configSetPrint(0);
    configSaveParameters();
    const Bytes saved = file("config.txt");
    seed("epc_config_fuzz", "saved", saved);
    std::string edited(saved.begin(), saved.end());
    edited.replace(0, edited.find('\n'), "-5");
    seed("epc_config_fuzz", "refused_first", text(edited));
    seed("epc_config_fuzz", "short", text("1.5\n0\n"));
    seed("epc_config_fuzz", "words", text("0x10 trailing\nnan\n1e400\n\n\n\n\n0\n"));
}

// DRNU files of a 4 x 2 calibration image with three steps.
void drnu_seeds() {
    calibrateSetWidth(4);
    calibrateSetHeight(2);
    calibrateSetNumDistances(3);
    calibrationSaveDistanceImages();
    calibrationSaveDRNU_LUT();
    calibrationSaveTemperatureDRNU();
    const int mode = configGetModulationFrequency() > 19999 ? 0 : 1;
    char name[256];
    calibrationGetDistanceImagesName(name, mode);
    const Bytes images = file(name);
    seed("epc_drnu_images_fuzz", "three_steps", cat({3, 1, uint8_t(mode)}, images));
    seed("epc_drnu_images_fuzz", "one_step",
         cat({3, 1, uint8_t(mode)}, Bytes(images.begin(), images.begin() + 16)));

    const Bytes param = file("temp_param.bin");
    const std::string sfx = mode == 0 ? "_20.csv" : "_10.csv";
    std::string header, temps;
    for (const char *kind : {"drnu", "temperature_drnu"}) {
        char n[160];
        std::snprintf(n, sizeof n, "epc660_%s_W%03d_C%03d%s", kind, int(configGetWaferID()),
                      int(configGetChipID()), sfx.c_str());
        const Bytes b = file(n);
        (kind[0] == 'd' ? header : temps).assign(b.begin(), b.end());
    }
    std::string rows;  // three steps of two rows of four offsets
    for (int s = 0; s < 3; ++s)
        for (int r = 0; r < 2; ++r) rows += std::to_string(s * 10 + r) + ",-3,7,12\n";
    seed("epc_drnu_param_fuzz", "saved",
         cat({3, 1, 3}, joined({param, text(header + rows), text(header + rows), text(temps)})));
    seed("epc_drnu_param_fuzz", "no_rows", cat({3, 1, 3}, joined({param, text(header)})));
    seed("calib_split_fuzz", "saved", cat({0x0b}, param, images));
    seed("calib_split_fuzz", "other_bin_first", cat({0x8b}, param, images));
    seed("calib_split_fuzz", "param_only", cat({0x0b}, param));
}

void gain_offset_seeds() {
    vzf::set_geometry(2);
    std::vector<int> values(82656);
    for (size_t i = 0; i < values.size(); ++i) values[i] = int(i % 4000);
    calculateSaveGrayscaleGainOffset();
    calculateSaveGrayscaleImage(values.data());
    char n[96];
    std::snprintf(n, sizeof n, "grayscale660_gain_offset_W%03d_C%03d.txt", int(configGetWaferID()),
                  int(configGetChipID()));
    seed("epc_gray_fuzz", "saved",
         cat({2, 0}, joined({file(n), file("grayscale_temp_image.txt")})));
    calculateSaveFlimImage(values.data());
    for (int gate = 0; gate < 2; ++gate) {
        calculateSaveFlimGainOffset(gate);
        std::snprintf(n, sizeof n, "epc502_%s_gain_offset_W%03d_C%03d.txt", gate ? "mgb" : "mga",
                      int(configGetWaferID()), int(configGetChipID()));
        seed("epc_flim_fuzz", gate ? "saved_mgb" : "saved_mga",
             cat({2, uint8_t(gate << 1)}, joined({file(n), file("flim_temp_image.txt")})));
    }
}

void defect_seeds() {
    seed("epc_defect_fuzz", "every_neighbour",
         cat({0},
             text("010 020 W\n011 020 NW\n012 020 N\n013 020 NE\n014 020 E\n015 020 SE\n016 020 S\n"
                  "017 020 SW\n")));
    seed("epc_defect_fuzz", "edges",
         cat({2}, text("004 006 W\n019 013 SE\n323 125 E\n000 000 N\n")));
    seed("epc_defect_fuzz", "malformed", cat({1}, text("10 20 W\nabc def GH\n999 999 S\n\n")));
}

void recording_seeds() {
    vzrec::Header h;
    h.meta["format"] = "vizor raw recording";
    h.meta["format_version"] = "1";
    h.meta["product"] = "VZ-E1-660";
    h.meta["driver"] = "E1";
    h.params[7] = {2, 0, 17, 0, 3, 0};
    h.registers[{1, 0}] = 0x12;
    h.images.push_back({2, 1, Bytes(40, 7)});
    {
        vzrec::Writer w("seed.vzr");
        w.write_header(h);
        for (int i = 0; i < 3; ++i) {
            vzrec::Frame f;
            f.seq = i;
            f.host_ns = i * 33000000;
            f.frame_idx = uint16_t(i);
            f.frame_format = 2;
            f.width = 4;
            f.height = 2;
            f.pixel_depth = 16;
            f.data.assign(32, uint8_t(i));
            w.add_frame(f);
        }
        w.close();
    }
    seed("recording_fuzz", "three_frames", file("seed.vzr"));
}

void view_seeds() {
    const auto req = [](uint8_t ctl, const char *host, const char *origin, const char *query) {
        return cat({ctl}, joined({text(host), text(origin), text(query)}));
    };
    seed("view_request_fuzz", "control",
         req(4, "127.0.0.1:8000", "http://127.0.0.1:8000", "op=intg&value=800"));
    seed("view_request_fuzz", "roi",
         req(4, "localhost:8000", "http://localhost:8000", "op=roi&x1=4&x2=323&y1=6&y2=125"));
    seed("view_request_fuzz", "frame", req(0, "[::1]:8008", "", "after=4294967295&lo=0.5&hi=4"));
    seed("view_request_fuzz", "escaped",
         req(5, "0.0.0.0:8000", "http://evil.example", "op=%72ange&lo=1%2E5&hi=+3&x=%zz%"));
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s corpus-folder\n", argv[0]);
        return 2;
    }
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return 1;
    g_out = argv[1][0] == '/' ? argv[1] : std::string(cwd) + "/" + argv[1];
    mkdir(g_out.c_str(), 0755);
    vz_log_disable();
    vzf::enter_private_folder();  // the writers write fixed names here
    config_seeds();
    drnu_seeds();
    gain_offset_seeds();
    defect_seeds();
    recording_seeds();
    view_seeds();
    return g_ok ? 0 : 1;
}
