// vizor-vcam-run: runs a program on a virtual bus of virtual cameras.
//
//   vizor-vcam-run [options] [--] program [arguments...]
//
//   -c, --camera BUS-PORT[:PRODUCT[:SPEED]]   add a camera (repeatable);
//                     PRODUCT defaults to VZ-T0-320 (OPT8241); VZ-E1-660
//                     (epc660) and VZ-E2-635 (epc635) are the EPC cameras;
//                     SPEED (Mbit/s) defaults to 480. Without -c one camera
//                     sits at 1-1.
//   --fps N           frame rate of every camera (default: as fast as read)
//   --scene SCENE     what the cameras see through their lenses, as vizor
//                     --virtual=SCENE: room, flat[:D], wall[:D],
//                     ramp[:NEAR:FAR] or a distance frame file;
//                     or D,R: a flat scene at D metres with reflectivity R
//                     (the default is 1.0,0.5); or a raw recording of
//                     `vizor record` (.vzr): every camera replays it, with
//                     its recorded product, at the recorded pace
//   --calib FILE      store FILE as every camera's calibration data image
//   -v, --verbose     list the cameras on standard error
//
// The program runs as a child process with the umockdev preload and the
// testbed directory in its environment, so the unmodified library (or any
// libusb program) finds the cameras as real USB devices; this process
// answers their USB traffic until the program exits, and exits with its
// status.
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "vcam/replay.h"
#include "vcam/scene.h"
#include "vcam/vcam.h"

extern char **environ;

namespace {

void usage() {
    std::fprintf(
        stderr,
        "usage: vizor-vcam-run [-c BUS-PORT[:PRODUCT[:SPEED]]]... [--fps N] [--scene SCENE|D,R]\n"
        "                      [--calib FILE] [-v] [--] program [arguments...]\n");
}

struct CamSpec {
    int bus = 1, port = 1;
    std::string product = "VZ-T0-320";
    int speed = 480;
};

bool parse_cam(const std::string &s, CamSpec &c) {
    std::vector<std::string> f;
    size_t a = 0;
    while (true) {
        size_t b = s.find(':', a);
        f.push_back(s.substr(a, b == std::string::npos ? std::string::npos : b - a));
        if (b == std::string::npos) break;
        a = b + 1;
    }
    if (std::sscanf(f[0].c_str(), "%d-%d", &c.bus, &c.port) != 2) return false;
    if (c.bus < 1 || c.bus > 127 || c.port < 1 || c.port > 127) return false;
    if (f.size() > 1 && !f[1].empty()) c.product = f[1];
    if (f.size() > 2) c.speed = std::atoi(f[2].c_str());
    return c.speed == 12 || c.speed == 480 || c.speed == 5000;
}

}  // namespace

int main(int argc, char **argv) {
    vcam::ensure_preload(argv);
    // The testbed lives under TMPDIR; tmpfs keeps plugging fast.
    struct stat shm {};
    if (!std::getenv("TMPDIR") && stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode))
        setenv("TMPDIR", "/dev/shm", 1);
    std::vector<CamSpec> cams;
    double fps = 0;
    float dist = 1.0f, refl = 0.5f;
    std::string calib, scene, recording;
    bool verbose = false;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--") {
            ++i;
            break;
        } else if (a == "-c" || a == "--camera") {
            CamSpec c;
            if (!parse_cam(value(), c)) {
                usage();
                return 2;
            }
            cams.push_back(c);
        } else if (a == "--fps") {
            fps = std::atof(value());
        } else if (a == "--scene") {
            scene = value();
            if (vcam::is_recording(scene)) {
                recording = scene;
                scene.clear();
            } else if (std::sscanf(scene.c_str(), "%f,%f", &dist, &refl) == 2) {
                scene.clear();
            } else {
                vcam::Scene probe;
                const std::string err =
                    vcam::scene_from_argument(scene, vcam::assumed_pinhole(8, 8), probe);
                if (!err.empty()) {
                    std::fprintf(stderr, "vizor-vcam-run: %s\n", err.c_str());
                    return 2;
                }
            }
        } else if (a == "--calib") {
            calib = value();
        } else if (a == "-v" || a == "--verbose") {
            verbose = true;
        } else if (a == "-h" || a == "--help") {
            usage();
            return 0;
        } else if (!a.empty() && a[0] == '-') {
            usage();
            return 2;
        } else {
            break;
        }
    }
    if (i >= argc) {
        usage();
        return 2;
    }
    if (cams.empty()) cams.push_back({});

    std::vector<uint8_t> calib_bytes;
    if (!calib.empty()) {
        std::ifstream f(calib, std::ios::binary);
        if (!f) {
            std::fprintf(stderr, "vizor-vcam-run: cannot read %s\n", calib.c_str());
            return 2;
        }
        calib_bytes.assign(std::istreambuf_iterator<char>(f), {});
    }

    try {
        vcam::Bus bus;
        for (auto &c : cams) {
            if (!recording.empty()) {
                auto &cam =
                    vcam::add_replay_camera(bus, uint8_t(c.bus), uint8_t(c.port), recording);
                if (verbose)
                    std::fprintf(stderr, "vizor-vcam-run: replay of %s at %d-%d (%s)\n",
                                 recording.c_str(), c.bus, c.port, cam.devnode().c_str());
                continue;
            }
            vcam::CameraConfig cfg;
            cfg.fw.product = c.product;
            cfg.fw.stream.fps = fps;
            cfg.speed = static_cast<vcam::Speed>(c.speed);
            auto &cam = bus.add_camera(uint8_t(c.bus), uint8_t(c.port), cfg);
            try {
                int w = 320, h = 240;  // OPT8241 and epc660
                cam.fw().with_sensor([&](vcam::Sensor &s) {
                    if (auto *e = dynamic_cast<vcam::EpcSensor *>(&s))
                        w = e->image_width(), h = e->image_height();
                });
                if (scene.empty()) {
                    cam.fw().set_scene(vcam::Scene::flat(w, h, dist, refl));
                } else {
                    vcam::Scene sc;  // the argument was checked while parsing
                    vcam::scene_from_argument(scene, vcam::product_optics(c.product, w, h), sc);
                    cam.fw().set_scene(sc);
                }
            } catch (const std::logic_error &) {
                // a camera without a scene model: its own frames
            }
            if (!calib_bytes.empty()) cam.fw().store_image(cfg.fw.calib_type, 1, calib_bytes);
            if (verbose)
                std::fprintf(stderr, "vizor-vcam-run: %s at %d-%d (%s, %d Mbit/s)\n",
                             c.product.c_str(), c.bus, c.port, cam.devnode().c_str(), c.speed);
        }
        pid_t pid = 0;
        int r = posix_spawnp(&pid, argv[i], nullptr, nullptr, argv + i, environ);
        if (r != 0) {
            std::fprintf(stderr, "vizor-vcam-run: cannot run %s: %s\n", argv[i], std::strerror(r));
            return 127;
        }
        int st = 0;
        while (waitpid(pid, &st, 0) < 0) {
            if (errno != EINTR) return 1;
        }
        if (WIFEXITED(st)) return WEXITSTATUS(st);
        return 128 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vizor-vcam-run: %s\n", e.what());
        return 1;
    }
}
