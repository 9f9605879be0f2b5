// vizor: the command-line companion of libvizor. Lists cameras, prints what
// a camera is, captures frames into PNG, PLY and frame files, replays frame
// files, reads and writes registers and parameters, moves data images and
// firmware, and runs all of it on a virtual camera with --virtual.
//
// Exit codes: 0 success, 1 runtime failure, 2 bad arguments, 128 + signal
// when stopped by SIGINT or SIGTERM; every failure is one line on standard
// error.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>

#include "app.h"
#include "vcam/scene.h"

using namespace vztool;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// One line on stderr, whatever the message holds.
void say_error(const std::string &msg) {
    std::string line = msg;
    for (char &c : line)
        if (c == '\n' || c == '\r') c = ' ';
    std::fprintf(stderr, "vizor: %s\n", line.c_str());
}

// Flushes standard output; a failed write there (a full disk, a closed
// pipe) is a failure of the command: says so and returns false.
bool finish_stdout() {
    static bool reported = false;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    if (!reported) {
        const int e = errno;
        say_error(std::string("cannot write standard output: ") + std::strerror(e ? e : EIO) +
                  " (free space or redirect it elsewhere)");
        reported = true;
    }
    return false;
}

// A whole number from lo to hi; says which of the two is wrong.
CLI::Validator whole(long lo, long hi) {
    return CLI::Validator(
        [lo, hi](std::string &s) {
            const std::string want =
                "give a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
            char *end = nullptr;
            errno = 0;
            const long v = std::strtol(s.c_str(), &end, 10);
            if (s.empty() || *end || errno) return s + " is not a whole number; " + want;
            if (v < lo || v > hi) return s + " is out of range; " + want;
            return std::string();
        },
        "");
}

// Help and version text go through std::cout: a failed write fails too.
int help_exit(CLI::App &app, const CLI::Error &e) {
    const int rc = app.exit(e);
    std::cout.flush();
    if (std::cout) return rc;
    say_error("cannot write standard output (free space or redirect it elsewhere)");
    return kExitFailure;
}

const CLI::Validator kDevice(
    [](std::string &s) {
        return parse_device(s) ? std::string() : "must be an index (0) or BUS:PORT (3:2)";
    },
    "");

const CLI::Validator kScene(
    [](std::string &s) {
        // An EPC or OPT8241 product name may come first: VZ-E1-660[:SCENE].
        const size_t colon = s.find(':');
        std::string sc = s;
        if (s.rfind("VZ-", 0) == 0) sc = colon == std::string::npos ? "room" : s.substr(colon + 1);
        if (sc == "true" || vcam::parse_builtin_scene(sc) || std::filesystem::is_regular_file(sc))
            return std::string();
        return "scene " + s +
               " is neither room, flat[:D], wall[:D], ramp[:NEAR:FAR] nor an existing frame "
               "file; the scenes and products are listed in vizor --help";
    },
    "");

const CLI::Validator kHex32(
    [](std::string &s) {
        return parse_hex_u32(s) ? std::string() : s + " is not a hexadecimal 32-bit number";
    },
    "");

const CLI::Validator kHexByte(
    [](std::string &s) {
        auto v = parse_hex_u32(s);
        return v && *v <= 0xFF ? std::string() : s + " is not a hexadecimal byte (00..ff)";
    },
    "");

const CLI::Validator kHexBytes(
    [](std::string &s) {
        return parse_hex_bytes({s}) ? std::string() : s + " is not hexadecimal bytes";
    },
    "");

const CLI::Validator kRange(
    [](std::string &s) {
        return parse_range(s) ? std::string()
                              : "range " + s + " is not MIN:MAX metres (0 <= MIN < MAX < 60)";
    },
    "");

const CLI::Validator kIntrinsics(
    [](std::string &s) {
        return parse_intrinsics(s) ? std::string()
                                   : s + " is not CX,CY,FX,FY with positive focal lengths";
    },
    "");

// Adds the options every command takes; each app fills its own Globals and
// they are merged after parsing, so options work before and after the
// subcommand name.
void add_globals(CLI::App *app, Globals &g, bool device) {
    app->add_flag("--virtual", g.scene,
                  "Run on a virtual camera showing SCENE: room (the default), flat[:D], "
                  "wall[:D], ramp[:NEAR:FAR] or a distance frame file")
        ->option_text("[=SCENE]")
        ->check(kScene);
    app->add_option("--virtual-flash", g.flash_dir,
                    "Folder where the virtual camera keeps its flash between runs")
        ->type_name("DIR");
    app->add_option("--log", g.log_file, "Write the library's log (debug level) to FILE")
        ->type_name("FILE");
    app->add_flag("-v,--verbose", g.verbose,
                  "Show library messages (-v warnings, -vv info, -vvv debug)");
    if (device)
        app->add_option("-d,--device", g.device,
                        "Camera: index in 'vizor list' or BUS:PORT (default 0)")
            ->type_name("INDEX|BUS:PORT")
            ->check(kDevice);
}

// The first word of the command line that is neither an option nor an
// option's value: the command the user meant.
std::string first_word(int argc, char **argv) {
    static const char *const with_value[] = {"--virtual-flash", "--log", "-d", "--device"};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.empty() || a[0] != '-') return a;
        if (std::find(std::begin(with_value), std::end(with_value), a) != std::end(with_value)) ++i;
    }
    return {};
}

// The command line's subcommand chain, for the help hint of an error.
std::string command_path(const CLI::App &app) {
    std::string path = "vizor";
    const CLI::App *a = &app;
    for (;;) {
        const CLI::App *next = nullptr;
        for (const CLI::App *sub :
             a->get_subcommands([](const CLI::App *x) { return x->parsed(); }))
            next = sub;
        if (!next) break;
        path += " " + next->get_name();
        a = next;
    }
    return path;
}

// --projection exact|compat into p.
void add_projection_opt(CLI::App *app, Projection &p) {
    app->add_option("--projection", p,
                    "Points: exact (each pixel's distance along its ray through the lens) or "
                    "compat (vizor_frame_get_pcl: z from the horizontal angle only)")
        ->transform(CLI::CheckedTransformer(std::map<std::string, Projection>{
            {"exact", Projection::exact}, {"compat", Projection::compat}}))
        ->type_name("exact|compat")
        ->default_str("exact");
}

void add_output_opts(CLI::App *app, OutputOpts &o, std::string &images,
                     std::vector<std::string> &formats, std::string &ply, std::string &vzd,
                     std::string &range, std::string &intrinsics, bool capture) {
    add_projection_opt(app, o.projection);
    app->add_option("-o,--out", o.dir, "Output folder (created when missing)")
        ->type_name("DIR")
        ->capture_default_str();
    app->add_option("--images", images,
                    "Write the PNG and PLY files of every frame (each) or of the last one (last)")
        ->check(CLI::IsMember({"each", "last"}))
        ->capture_default_str();
    if (capture)
        app->add_option("--formats", formats, "Files to write, any of png, ply, vzd")
            ->delimiter(',')
            ->check(CLI::IsMember({"png", "ply", "vzd"}))
            ->capture_default_str();
    else
        app->add_option("--formats", formats, "Files to write, any of png, ply")
            ->delimiter(',')
            ->check(CLI::IsMember({"png", "ply"}))
            ->capture_default_str();
    app->add_option("--ply", ply, "Point cloud with colour (rgb) or positions only (xyz)")
        ->check(CLI::IsMember({"rgb", "xyz"}))
        ->capture_default_str();
    if (capture)
        app->add_option("--vzd", vzd,
                        "Sample format of distance.vzd: f32 metres, u32 or u16 millimetres")
            ->check(CLI::IsMember({"f32", "u32", "u16"}))
            ->capture_default_str();
    app->add_option("--range", range,
                    "Colour range in metres (default: 1st to 99th percentile of the first frame)")
        ->type_name("MIN:MAX")
        ->check(kRange);
    app->add_option(
           "--intrinsics", intrinsics,
           "Camera for the point cloud in pixels (default: the driver's lens, else a 74 x 59 "
           "degree field of view centred on the image)")
        ->type_name("CX,CY,FX,FY")
        ->check(kIntrinsics);
}

void finish_output_opts(OutputOpts &o, const std::string &images,
                        const std::vector<std::string> &formats, const std::string &ply,
                        const std::string &vzd, const std::string &range,
                        const std::string &intrinsics) {
    o.each = images == "each";
    auto has = [&](const char *f) {
        return std::find(formats.begin(), formats.end(), f) != formats.end();
    };
    o.png = has("png");
    o.ply = has("ply");
    o.vzd = has("vzd");
    o.ply_rgb = ply == "rgb";
    o.vzd_fmt = vzd == "u32"   ? VIZOR_SAVE_FMT_U32
                : vzd == "u16" ? VIZOR_SAVE_FMT_U16
                               : VIZOR_SAVE_FMT_F32;
    if (!range.empty()) o.range = parse_range(range);
    if (!intrinsics.empty()) o.intrinsics = parse_intrinsics(intrinsics);
}

const char *kFooter =
    R"(Virtual camera: --virtual[=[PRODUCT:]SCENE] (before or after the command) runs
on an emulated camera instead of the USB bus: an epc660 (VZ-E1-660, 320 x 240,
the default, with its factory calibration), or with PRODUCT VZ-T0-320 the
OPT8241 (320 x 240) or VZ-E2-635 an epc635 (160 x 60) camera; write the scene
with "=" (--virtual=VZ-T0-320:room). Scenes:
  room             (default) seen from 0.8 m above a tiled floor, looking level:
                   back wall 2.30 m ahead (on the axis), side walls 1.40 m
                   to the left and right, a box whose front face is 1.20 m ahead,
                   a ball (radius 0.35 m) 1.40 m away at its nearest point and a
                   pole 1.90 m ahead
  flat[:D]         every pixel at D m (1.5): a sphere round the camera
  wall[:D]         a plane square to the optical axis at z = D m (1.5)
  ramp[:NEAR:FAR]  distances rising from NEAR on the left to FAR on the right
                   (0.5 to 3 m)
  FILE             the first frame of a distance frame file (.vzd)
  REC.vzr          a raw recording of vizor record: its camera, replayed frame
                   by frame at the recorded pace, then no more frames
The epc660 measures up to 12.5 m, the OPT8241 up to 3.12 m; farther surfaces
wrap round to near ones.
The virtual camera's flash holds a firmware image (type 0, version 1) and is
kept between runs in --virtual-flash DIR.

Examples:
  vizor --virtual capture                 capture 10 frames of the virtual room into out/
  vizor list                              cameras on the USB bus
  vizor info -d 3:2                       the camera at bus 3, port 2
  vizor capture -n 100 --images each -o rec
  vizor play rec/distance.vzd -o replay
  vizor record -n 300 field.vzr           raw frames for a later replay (vizor play field.vzr)
  vizor reg read 0x10 -c 4                four registers of the sensor (target 1)
  vizor param get 03                      the product string
  vizor firmware fw.bin -V 2              upgrade the firmware to version 2

Numbers of reg and param are hexadecimal ("0x" optional). list, info, reg read,
param get and capture print JSON with --json. Ctrl-C stops a capture cleanly
(a second one at once); a flash write always finishes first. Exit codes:
0 success, 1 runtime failure, 2 bad arguments, 130/143 stopped by SIGINT/SIGTERM.)";

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{
        "vizor: the command-line companion of libvizor, the host library of the vizor "
        "time-of-flight depth cameras.",
        "vizor"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("vizor ") + VIZOR_VERSION_STR);

    std::deque<Globals> globals;  // one per app, merged after parsing
    auto globals_for = [&](CLI::App *a, bool device) -> Globals & {
        globals.emplace_back();
        add_globals(a, globals.back(), device);
        return globals.back();
    };
    globals_for(&app, true);

    // list, info
    const char *kJsonHelp = "Print the result as JSON (keys in the README)";
    bool list_json = false, info_json = false;
    auto *list = app.add_subcommand("list", "List the cameras: bus, port, address, speed, product");
    globals_for(list, false);
    list->add_flag("--json", list_json, kJsonHelp);
    auto *info = app.add_subcommand(
        "info",
        "Open a camera and print its USB location, device information, driver, frame geometry "
        "and lens parameters (EPC cameras: also the chip, modulation frequency, integration "
        "time and calibration state)");
    globals_for(info, true);
    info->add_flag("--json", info_json, kJsonHelp);

    // capture
    CaptureOpts cap;
    std::string cap_images = "last", cap_ply = "rgb", cap_vzd = "f32", cap_range, cap_intr;
    std::vector<std::string> cap_formats = {"png", "ply", "vzd"};
    auto *capture =
        app.add_subcommand("capture", "Capture frames into images, a point cloud and a frame file");
    globals_for(capture, true);
    capture->add_option("-n,--frames", cap.frames, "Frames to capture")
        ->check(whole(1, 1000000))
        ->capture_default_str();
    capture->add_flag("--json", cap.json, "Print the summary as JSON (keys in the README)");
    add_output_opts(capture, cap.out, cap_images, cap_formats, cap_ply, cap_vzd, cap_range,
                    cap_intr, true);
    capture
        ->add_option("--filter", cap.filters,
                     "EPC driver filter: undistort, min-amplitude=N, auto-integration=N "
                     "(saturated samples per thousand); repeatable")
        ->check(CLI::Validator([](std::string &v) { return filter_error(v); }, "FILTER"));
    capture->footer(
        "Files in the output folder: distance.png (distance coloured from red, near, to blue, far; "
        "black where invalid), gray.png (amplitude), cloud.ply (binary little-endian point cloud, "
        "metres), distance.vzd (every frame's distances, for 'vizor play' and --virtual=FILE). "
        "With --images each the PNG and PLY files are frame_NNNN_distance.png, frame_NNNN_gray.png "
        "and frame_NNNN_cloud.ply.");

    // play
    PlayOpts play;
    std::string play_images = "each", play_ply = "rgb", play_vzd, play_range, play_intr;
    std::vector<std::string> play_formats = {"png", "ply"};
    auto *playc = app.add_subcommand(
        "play", "Turn a distance frame file, or a raw recording decoded again, into files");
    globals_for(playc, false);
    playc
        ->add_option("FILE", play.file,
                     "Distance frame file (.vzd) or raw recording of vizor record (.vzr)")
        ->required()
        ->check(CLI::ExistingFile);
    add_output_opts(playc, play.out, play_images, play_formats, play_ply, play_vzd, play_range,
                    play_intr, false);
    playc->footer(
        "A recording (.vzr) is replayed on the virtual camera and decoded by the driver as a live "
        "camera's frames: distance.vzd and the PNG and PLY files as vizor capture writes them. "
        "It needs the tool's virtual component.");

    // record
    RecordOpts rec;
    auto *recordc = app.add_subcommand(
        "record", "Record the camera's raw frames and the state to decode them into FILE (.vzr)");
    globals_for(recordc, true);
    recordc->add_option("FILE", rec.file, "The recording (replaced when it exists)")->required();
    recordc->add_option("-n,--frames", rec.frames, "Frames to record (0: until Ctrl-C)")
        ->check(whole(0, 1000000))
        ->capture_default_str();
    recordc->add_option("--vzd", rec.vzd, "Also decode each frame now into this distance file")
        ->type_name("FILE");
    recordc->footer(
        "The recording is an SQLite database (docs/recording.md): device information, "
        "parameters, registers and the EPC calibration read at the start, then every raw frame "
        "with its header fields and host time. Ctrl-C stops it with the frames so far. Replay "
        "it with 'vizor play FILE' or --virtual=FILE.");

    // reg read|write
    RegOpts reg;
    std::string reg_addr;
    std::vector<std::string> reg_values;
    auto *regc = app.add_subcommand("reg", "Read or write chip registers (hexadecimal)");
    globals_for(regc, true);
    regc->require_subcommand(1);
    auto *reg_read = regc->add_subcommand("read", "Read COUNT registers from ADDR");
    globals_for(reg_read, true);
    reg_read->add_option("ADDR", reg_addr, "First register (hex)")
        ->type_name("HEX")
        ->required()
        ->check(kHex32);
    reg_read->add_flag("--json", reg.json, kJsonHelp);
    reg_read->add_option("-c,--count", reg.count, "Registers to read")
        ->check(whole(1, 4096))
        ->capture_default_str();
    reg_read->add_option("-t,--target", reg.target, "Register space (1: the sensor)")
        ->check(whole(0, 255))
        ->capture_default_str();
    auto *reg_write =
        regc->add_subcommand("write", "Write VALUE... to consecutive registers from ADDR");
    globals_for(reg_write, true);
    reg_write->add_option("ADDR", reg_addr, "First register (hex)")
        ->type_name("HEX")
        ->required()
        ->check(kHex32);
    reg_write->add_option("VALUES", reg_values, "Values (hex)")
        ->type_name("HEX ...")
        ->required()
        ->check(kHex32);
    reg_write->add_option("-t,--target", reg.target, "Register space (1: the sensor)")
        ->check(whole(0, 255))
        ->capture_default_str();

    // param get|set
    ParamOpts param;
    std::vector<std::string> param_ids;
    std::string param_id;
    std::vector<std::string> param_bytes;
    auto *paramc = app.add_subcommand("param", "Read or set device parameters (hexadecimal)");
    globals_for(paramc, true);
    paramc->require_subcommand(1);
    auto *param_get = paramc->add_subcommand("get", "Read parameters ID...");
    globals_for(param_get, true);
    param_get->add_option("IDS", param_ids, "Parameter ids (hex byte)")
        ->type_name("HEX ...")
        ->required()
        ->check(kHexByte);
    param_get->add_flag("--json", param.json, kJsonHelp);
    param_get->add_option("-l,--len", param.len, "Length byte of the request")
        ->check(whole(0, 18))
        ->capture_default_str();
    auto *param_set = paramc->add_subcommand("set", "Set parameter ID to BYTES (at most 18)");
    globals_for(param_set, true);
    param_set->add_option("ID", param_id, "Parameter id (hex byte)")
        ->type_name("HEX")
        ->required()
        ->check(kHexByte);
    param_set->add_option("BYTES", param_bytes, "Value bytes (hex: e8 03, e803 or e8:03)")
        ->type_name("HEX ...")
        ->required()
        ->check(kHexBytes);

    // upload, download, firmware
    DataOpts up, down, fw;
    up.op = DataOpts::Op::upload;
    up.file = "calib.bin";
    down.op = DataOpts::Op::download;
    fw.op = DataOpts::Op::firmware;
    auto *upc = app.add_subcommand("upload", "Read a data image from the camera's flash into FILE");
    globals_for(upc, true);
    upc->add_option("FILE", up.file, "Destination file")->capture_default_str();
    upc->add_option("-t,--type", up.type, "Data type")->required()->check(whole(0, 255));
    auto *downc =
        app.add_subcommand("download", "Write FILE into the camera's flash as a data image");
    globals_for(downc, true);
    downc->add_option("FILE", down.file, "Image file")->required()->check(CLI::ExistingFile);
    downc->add_option("-t,--type", down.type, "Data type")->required()->check(whole(0, 255));
    downc
        ->add_option("-V,--image-version", down.version,
                     "Version of the image; must be newer than the camera's")
        ->required()
        ->check(whole(0, 65535));
    auto *fwc = app.add_subcommand("firmware", "Upgrade the camera's firmware from FILE");
    globals_for(fwc, true);
    fwc->add_option("FILE", fw.file, "Firmware image")->required()->check(CLI::ExistingFile);
    fwc->add_option("-t,--type", fw.type,
                    "Data type of the image (0 and 1 reset the camera after it)")
        ->check(whole(0, 255))
        ->capture_default_str();
    fwc->add_option("-V,--image-version", fw.version,
                    "Version of the image; must be newer than the camera's")
        ->required()
        ->check(whole(0, 65535));

    // view
    ViewOpts view;
    std::string view_range;
    auto *viewc =
        app.add_subcommand("view", "Show the camera (or a recording) live in the browser");
    globals_for(viewc, true);
    viewc
        ->add_option("--bind", view.bind,
                     "Address to listen on (other than loopback: reachable by others)")
        ->type_name("ADDR")
        ->capture_default_str();
    viewc->add_option("-p,--port", view.port, "Port (0: any free one)")
        ->type_name("PORT")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    viewc->add_option("-o,--out", view.out_dir, "Folder of snapshots and recordings")
        ->type_name("DIR")
        ->capture_default_str();
    viewc->add_option("--assets", view.assets, "Folder of the page's files")
        ->type_name("DIR")
        ->check(CLI::ExistingDirectory);
    viewc
        ->add_option("--play", view.play,
                     "Show a distance frame file (.vzd) in a loop instead of a camera")
        ->type_name("FILE")
        ->check(CLI::ExistingFile);
    add_projection_opt(viewc, view.projection);
    viewc->add_option("--play-fps", view.play_fps, "Frame rate of --play")
        ->check(CLI::Range(0.5, 100.0))
        ->capture_default_str();
    viewc
        ->add_option("--range", view_range,
                     "Fixed colour range in metres (default: follows the scene)")
        ->type_name("MIN:MAX")
        ->check(kRange);

    // calibrate (EPC cameras)
    CalibrateOpts cal;
    auto *calc = app.add_subcommand(
        "calibrate", "Run a calibration of an epc660/epc635 camera and write its files into DIR");
    globals_for(calc, true);
    calc->add_option("WHAT", cal.what,
                     "drnu (distance non-uniformity sweep), gray (grayscale gain and offset from a "
                     "lit and a dark scene) or bad-pixels")
        ->required()
        ->check(CLI::IsMember({"drnu", "gray", "bad-pixels"}));
    calc->add_option("-o,--out", cal.dir,
                     "Folder of the calibration's files (created when missing)")
        ->type_name("DIR")
        ->required();
    calc->add_option("--frames", cal.frames,
                     "drnu: frames averaged per step (default: the library's 25)")
        ->check(whole(1, 1000));
    calc->add_option("--delay", cal.delay_ms,
                     "drnu: pause before each frame in ms (default: the library's 200)")
        ->check(whole(0, 999));
    calc->add_option("--steps", cal.steps,
                     "drnu: delay-line steps of the sweep (default: the library's 30)")
        ->check(whole(2, 50));
    calc->add_option("--dark", cal.dark,
                     "gray: how the scene goes dark for the second step: prompt (cover the lens "
                     "and press Enter), virtual (the virtual camera turns its scene black), now "
                     "(it is dark already); auto picks virtual or prompt")
        ->check(CLI::IsMember({"auto", "prompt", "virtual", "now"}))
        ->capture_default_str();
    calc->footer(
        "The drnu sweep takes 30 steps of 25 frames with 200 ms before each (at least 150 s; it "
        "repeats while the chip temperature drifts; --steps 4 --frames 1 --delay 0 for a quick "
        "run on the virtual camera) and writes the "
        "distance images, the DRNU table, the step temperatures and the upload image "
        "calib_and_param_NNN.bin. gray averages 100 frames of each scene and writes "
        "grayscale660_gain_offset_W..._C....txt. bad-pixels writes "
        "calibration/PTnn_Wnnn_Cnnn_bad_pixels.txt. Each file written is printed; the progress "
        "goes to standard error.");

    app.footer(kFooter);  // set last: subcommands would inherit it

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return help_exit(app, e);
    } catch (const CLI::CallForAllHelp &e) {
        return help_exit(app, e);
    } catch (const CLI::CallForVersion &e) {
        return help_exit(app, e);
    } catch (const CLI::ParseError &e) {
        // "--virtual flat": a flag takes no separate value, the scene needs "=".
        for (int i = 1; i + 1 < argc; ++i) {
            const std::string a = argv[i], next = argv[i + 1];
            if (a == "--virtual" && (vcam::parse_builtin_scene(next) || next.rfind("VZ-", 0) == 0 ||
                                     std::filesystem::is_regular_file(next))) {
                say_error("--virtual takes its scene after '=': write --virtual=" + next +
                          " (scenes: see vizor --help)");
                return kExitUsage;
            }
        }
        const std::string word = first_word(argc, argv);
        if (command_path(app) == "vizor" && !word.empty() &&
            app.get_subcommands([&](CLI::App *a) { return a->check_name(word); }).empty()) {
            say_error("unknown command " + word + " (see vizor --help)");
            return kExitUsage;
        }
        const std::string what = e.what();
        // Scenes are documented once, in the top-level help.
        const bool scene = what.find("scenes and products are listed") != std::string::npos;
        say_error(what + (scene ? std::string() : " (see " + command_path(app) + " --help)"));
        return kExitUsage;
    }

    // Merge the options of the apps in the chain (later ones win; -v adds up).
    Globals g;
    g.verbose = 0;
    for (const Globals &x : globals) {
        if (!x.scene.empty()) g.scene = x.scene == "true" ? "room" : x.scene;
        if (!x.flash_dir.empty()) g.flash_dir = x.flash_dir;
        if (!x.log_file.empty()) g.log_file = x.log_file;
        if (x.device != "0") g.device = x.device;
        g.verbose += x.verbose;
    }

    // Checks that need more than one option.
    finish_output_opts(cap.out, cap_images, cap_formats, cap_ply, cap_vzd, cap_range, cap_intr);
    finish_output_opts(play.out, play_images, play_formats, play_ply, "f32", play_range, play_intr);
    play.out.vzd = false;
    if (capture->parsed() && !cap.out.png && !cap.out.ply && !cap.out.vzd) {
        say_error("--formats names no file to write (see vizor capture --help)");
        return kExitUsage;
    }
    if (playc->parsed() && !play.out.png && !play.out.ply) {
        say_error("--formats names no file to write (see vizor play --help)");
        return kExitUsage;
    }
    reg.addr = parse_hex_u32(reg_addr).value_or(0);
    if (reg_write->parsed()) {
        reg.write = true;
        if (reg_values.size() > 4096) {
            say_error("at most 4096 values per write (see vizor reg write --help)");
            return kExitUsage;
        }
        for (const auto &v : reg_values) reg.values.push_back(*parse_hex_u32(v));
    }
    if (param_get->parsed()) {
        if (param_ids.size() > 64) {
            say_error("at most 64 parameters per read (see vizor param get --help)");
            return kExitUsage;
        }
        for (const auto &id : param_ids) param.ids.push_back(*parse_hex_u32(id));
    }
    if (param_set->parsed()) {
        param.set = true;
        param.ids = {*parse_hex_u32(param_id)};
        param.value = *parse_hex_bytes(param_bytes);
        if (param.value.empty() || param.value.size() > 18) {
            say_error("a parameter value has 1 to 18 bytes (see vizor param set --help)");
            return kExitUsage;
        }
    }

    try {
        const bool play_rec = playc->parsed() && is_recording_file(play.file);
        if (play_rec) g.scene = play.file;
        if (!g.scene.empty()) ensure_virtual_preload(argv);
        install_signal_handlers();
        Session s(g);
        int rc = kExitUsage;
        if (list->parsed())
            rc = cmd_list(s, list_json);
        else if (info->parsed())
            rc = cmd_info(s, info_json);
        else if (capture->parsed())
            rc = cmd_capture(s, cap);
        else if (play_rec)
            rc = cmd_play_recording(s, play);
        else if (playc->parsed())
            rc = cmd_play(s, play);
        else if (recordc->parsed())
            rc = cmd_record(s, rec);
        else if (regc->parsed())
            rc = cmd_reg(s, reg);
        else if (paramc->parsed())
            rc = cmd_param(s, param);
        else if (upc->parsed())
            rc = cmd_data(s, up);
        else if (downc->parsed())
            rc = cmd_data(s, down);
        else if (fwc->parsed())
            rc = cmd_data(s, fw);
        else if (calc->parsed()) {
            cal.diagnostics = g.verbose > 0;
            rc = cmd_calibrate(s, cal);
        } else if (viewc->parsed()) {
            if (!view_range.empty()) view.range = parse_range(view_range);
            rc = cmd_view(s, view);
        }
        const std::string flash_err = s.finish();
        if (!flash_err.empty()) {
            finish_stdout();
            say_error("the virtual flash was not saved: " + flash_err +
                      " (choose a writable --virtual-flash folder)");
            return rc ? rc : kExitFailure;
        }
        if (!finish_stdout() && rc == 0) return kExitFailure;
        if (const int sig = signal_exit_code(); sig && rc == 0) return sig;
        return rc;
    } catch (const std::exception &e) {
        finish_stdout();
        say_error(e.what());
        return signal_exit_code() ? signal_exit_code() : kExitFailure;
    }
}
