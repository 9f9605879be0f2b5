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
#include <filesystem>
#include <iostream>
#include <string>

#include "app.h"
#include "cli.h"
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

// Help and version text go through std::cout: a failed write fails too.
int help_exit(CLI::App &app, const CLI::Error &e) {
    const int rc = app.exit(e);
    std::cout.flush();
    if (std::cout) return rc;
    say_error("cannot write standard output (free space or redirect it elsewhere)");
    return kExitFailure;
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

    // Each command's file declares its options and what runs it; the order
    // here is the order of vizor --help.
    Commands commands(app);
    add_device_commands(commands);
    add_capture_commands(commands);
    add_record_command(commands);
    add_register_commands(commands);
    add_data_commands(commands);
    add_view_command(commands);
    add_calibrate_command(commands);

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

    // Checks that need more than one option.
    if (const std::string bad = commands.check(); !bad.empty()) {
        say_error(bad);
        return kExitUsage;
    }

    try {
        Globals g = commands.globals();
        commands.prepare(g);
        if (!g.scene.empty()) ensure_virtual_preload(argv);
        install_signal_handlers();
        Session s(g);
        const int rc = commands.run(s, g);
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
