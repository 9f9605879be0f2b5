// The options every command takes, the shared checks of option values, and
// the registry of the tool's commands.
#include "cli.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "vcam/scene.h"

namespace vztool {

const char *const kJsonHelp = "Print the result as JSON (keys in the README)";

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

namespace {

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

}  // namespace

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

void add_output_opts(CLI::App *app, OutputOpts &o, OutputArgs &a, bool capture) {
    add_projection_opt(app, o.projection);
    app->add_option("-o,--out", o.dir, "Output folder (created when missing)")
        ->type_name("DIR")
        ->capture_default_str();
    app->add_option("--images", a.images,
                    "Write the PNG and PLY files of every frame (each) or of the last one (last)")
        ->check(CLI::IsMember({"each", "last"}))
        ->capture_default_str();
    if (capture)
        app->add_option("--formats", a.formats, "Files to write, any of png, ply, vzd")
            ->delimiter(',')
            ->check(CLI::IsMember({"png", "ply", "vzd"}))
            ->capture_default_str();
    else
        app->add_option("--formats", a.formats, "Files to write, any of png, ply")
            ->delimiter(',')
            ->check(CLI::IsMember({"png", "ply"}))
            ->capture_default_str();
    app->add_option("--ply", a.ply, "Point cloud with colour (rgb) or positions only (xyz)")
        ->check(CLI::IsMember({"rgb", "xyz"}))
        ->capture_default_str();
    if (capture)
        app->add_option("--vzd", a.vzd,
                        "Sample format of distance.vzd: f32 metres, u32 or u16 millimetres")
            ->check(CLI::IsMember({"f32", "u32", "u16"}))
            ->capture_default_str();
    app->add_option("--range", a.range,
                    "Colour range in metres (default: 1st to 99th percentile of the first frame)")
        ->type_name("MIN:MAX")
        ->check(kRange);
    app->add_option(
           "--intrinsics", a.intrinsics,
           "Camera for the point cloud in pixels (default: the driver's lens, else a 74 x 59 "
           "degree field of view centred on the image)")
        ->type_name("CX,CY,FX,FY")
        ->check(kIntrinsics);
}

void finish_output_opts(OutputOpts &o, const OutputArgs &a) {
    o.each = a.images == "each";
    auto has = [&](const char *f) {
        return std::find(a.formats.begin(), a.formats.end(), f) != a.formats.end();
    };
    o.png = has("png");
    o.ply = has("ply");
    o.vzd = has("vzd");
    o.ply_rgb = a.ply == "rgb";
    o.vzd_fmt = a.vzd == "u32"   ? VIZOR_SAVE_FMT_U32
                : a.vzd == "u16" ? VIZOR_SAVE_FMT_U16
                                 : VIZOR_SAVE_FMT_F32;
    if (!a.range.empty()) o.range = parse_range(a.range);
    if (!a.intrinsics.empty()) o.intrinsics = parse_intrinsics(a.intrinsics);
}

// ---- the registry ------------------------------------------------------------------

Commands::Commands(CLI::App &root) : root_(root) {
    globals_.emplace_back();
    add_globals(&root, globals_.back(), true);
}

CLI::App *Commands::add(const std::string &name, const std::string &description, bool device,
                        CLI::App *parent) {
    CLI::App *app = (parent ? parent : &root_)->add_subcommand(name, description);
    globals_.emplace_back();
    add_globals(app, globals_.back(), device);
    return app;
}

void Commands::on_run(CLI::App *app, Run run, Check check, Prepare prepare) {
    entries_.push_back({app, std::move(run), std::move(check), std::move(prepare)});
}

Globals Commands::globals() const {
    Globals g;
    g.verbose = 0;
    for (const Globals &x : globals_) {
        if (!x.scene.empty()) g.scene = x.scene == "true" ? "room" : x.scene;
        if (!x.flash_dir.empty()) g.flash_dir = x.flash_dir;
        if (!x.log_file.empty()) g.log_file = x.log_file;
        if (x.device != "0") g.device = x.device;
        g.verbose += x.verbose;
    }
    return g;
}

const Commands::Entry *Commands::given() const {
    for (const Entry &e : entries_)
        if (e.app->parsed()) return &e;
    return nullptr;
}

std::string Commands::check() const {
    const Entry *e = given();
    return e && e->check ? e->check() : std::string();
}

bool Commands::prepare(Globals &g) const {
    const Entry *e = given();
    if (e && e->prepare) e->prepare(g);
    return e != nullptr;
}

int Commands::run(Session &s, const Globals &g) const {
    const Entry *e = given();
    return e ? e->run(s, g) : 2;
}

}  // namespace vztool
