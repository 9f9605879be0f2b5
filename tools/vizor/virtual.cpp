// Virtual mode: the tool re-executes itself under the umockdev preload and
// puts one camera (an epc660 by default, or the one the scene argument names
// first: "VZ-T0-320:room", "VZ-E2-635") on a virtual bus before the library
// looks for cameras, so every subcommand runs unchanged on it. This file is
// the optional module vizor-virtual.so (it needs umockdev); the tool loads it
// only when --virtual is asked (virtual_loader.cpp) through the C entry
// points at the end.
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>

#include "app.h"
#include "framefile.h"
#include "virtual_module.h"

#include "recording/recording.h"
#include "vcam/replay.h"
#include "vcam/scene.h"
#include "vcam/vcam.h"

namespace fs = std::filesystem;

namespace vztool {

namespace {

// The path of a shared sanitizer runtime loaded into this process (gcc links
// libasan/libtsan dynamically), or "" when there is none. Such a runtime must
// stay first in LD_PRELOAD when the program re-executes itself.
std::string shared_sanitizer_runtime() {
    std::string found;
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *data) -> int {
            const char *name = info->dlpi_name;
            if (name && (std::strstr(name, "/libasan.so") || std::strstr(name, "/libtsan.so"))) {
                *static_cast<std::string *>(data) = name;
                return 1;
            }
            return 0;
        },
        &found);
    return found;
}

}  // namespace

void ensure_virtual_preload(char **argv) {
    const char *cur = std::getenv("LD_PRELOAD");
    if (cur && std::strstr(cur, "libumockdev-preload")) return;
    const std::string rt = shared_sanitizer_runtime();
    if (!rt.empty()) {
        const std::string base = fs::path(rt).filename().string();
        if (!cur || !std::strstr(cur, base.c_str())) {
            std::string v = rt;
            if (cur && *cur) v += std::string(":") + cur;
            setenv("LD_PRELOAD", v.c_str(), 1);
        }
    }
    vcam::ensure_preload(argv);  // adds umockdev after what is there and re-executes
}

class VirtualCamera {
public:
    VirtualCamera(const std::string &product, vcam::Scene scene, std::string flash_dir)
        : flash_dir_(std::move(flash_dir)) {
        check_flash_dir();
        vcam::CameraConfig cfg;
        cfg.fw.product = product;
        cfg.fw.stream.fps = 30;  // a real camera's pace: a slow consumer sees discards
        cam_ = &bus_.add_camera(1, 1, cfg);
        cam_->fw().set_scene(scene);
        scene_ = std::move(scene);
        load_flash();
    }

    // A camera replaying a recording (vcam/replay.h).
    VirtualCamera(const std::string &recording, bool paced, std::string flash_dir)
        : flash_dir_(std::move(flash_dir)) {
        check_flash_dir();
        cam_ = &vcam::add_replay_camera(bus_, 1, 1, recording, {paced});
        load_flash();
    }

    // A black scene sends no light back: the sensor sees only its dark signal.
    void set_dark(bool dark) {
        if (scene_.distance_m.empty()) return;  // a replay has no scene to darken
        vcam::Scene s = scene_;
        if (dark) {
            std::fill(s.reflectivity.begin(), s.reflectivity.end(), 0.0f);
            s.ambient.clear();
        }
        cam_->fw().set_scene(s);
    }

    // A flash folder that cannot be written fails now, not after the work.
    void check_flash_dir() const {
        if (flash_dir_.empty()) return;
        std::error_code ec;
        fs::create_directories(flash_dir_, ec);
        if (ec || !fs::is_directory(flash_dir_) || ::access(flash_dir_.c_str(), W_OK) != 0)
            throw ToolError("cannot use " + flash_dir_ + " as the virtual flash folder" +
                            (ec ? ": " + ec.message() : std::string(": not a writable folder")) +
                            " (choose a writable --virtual-flash DIR)");
    }

    // Flash images live in the folder as "type<T>-v<V>.bin".
    void load_flash() {
        bool have_firmware = false;
        if (!flash_dir_.empty() && fs::is_directory(flash_dir_)) {
            static const std::regex name(R"(type(\d{1,3})-v(\d{1,5})\.bin)");
            for (const auto &e : fs::directory_iterator(flash_dir_)) {
                std::smatch m;
                const std::string fn = e.path().filename().string();
                if (!e.is_regular_file() || !std::regex_match(fn, m, name)) continue;
                const int type = std::stoi(m[1]), version = std::stoi(m[2]);
                if (type > 255 || version > 65535) continue;
                if (auto had = cam_->fw().image(uint8_t(type)); had && had->version >= version)
                    continue;
                std::ifstream f(e.path(), std::ios::binary);
                std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), {});
                if (bytes.empty()) continue;
                cam_->fw().store_image(uint8_t(type), uint16_t(version), std::move(bytes));
                if (type == 0) have_firmware = true;
            }
        }
        if (!have_firmware) cam_->fw().store_image(0, 1, factory_firmware());
    }

    // Each image goes to a temporary file first and is renamed into place, so
    // the folder always holds whole images; the older versions go afterwards.
    std::string save_flash() {
        if (flash_dir_.empty()) return {};
        std::error_code ec;
        fs::create_directories(flash_dir_, ec);
        if (ec) return "cannot create " + flash_dir_ + ": " + ec.message();
        std::vector<fs::path> keep;
        for (int t = 0; t < 256; ++t) {
            auto img = cam_->fw().image(uint8_t(t));
            if (!img) continue;
            const fs::path p = fs::path(flash_dir_) / ("type" + std::to_string(t) + "-v" +
                                                       std::to_string(img->version) + ".bin");
            const fs::path tmp = p.string() + ".tmp";
            {
                std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
                f.write(reinterpret_cast<const char *>(img->bytes.data()),
                        std::streamsize(img->bytes.size()));
                f.flush();
                if (!f) {
                    fs::remove(tmp, ec);
                    return "cannot write " + tmp.string();
                }
            }
            fs::rename(tmp, p, ec);
            if (ec) return "cannot rename " + tmp.string() + ": " + ec.message();
            keep.push_back(p);
        }
        static const std::regex name(R"(type(\d{1,3})-v(\d{1,5})\.bin)");
        for (const auto &e : fs::directory_iterator(flash_dir_, ec)) {
            const std::string fn = e.path().filename().string();
            if (std::regex_match(fn, name) &&
                std::find(keep.begin(), keep.end(), e.path()) == keep.end())
                fs::remove(e.path(), ec);
        }
        return {};
    }

private:
    // The image a new virtual camera carries as its firmware (type 0, version
    // 1): 16 KiB of recognisable bytes.
    static std::vector<uint8_t> factory_firmware() {
        std::vector<uint8_t> b(16384);
        const char tag[] = "vizor virtual camera firmware v1";
        for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t((i * 131u + 7u) >> 3);
        std::memcpy(b.data(), tag, sizeof tag);
        return b;
    }

    vcam::Bus bus_;
    vcam::Camera *cam_ = nullptr;
    std::string flash_dir_;
    vcam::Scene scene_;  // as started (set_dark returns to it)
};

namespace {

// "[PRODUCT:]SCENE": a leading product name (three fields, "VZ-E2-635")
// chooses the camera; the scene part defaults to room.
struct VirtualChoice {
    std::string product = "VZ-E1-660";  // the default camera: an epc660
    std::string scene = "room";
    int width = vcam::Opt8241Sensor::kWidth, height = vcam::Opt8241Sensor::kHeight;
};

VirtualChoice split_product(const std::string &arg) {
    VirtualChoice v;
    v.scene = arg;
    if (arg.rfind("VZ-", 0) != 0) return v;
    const size_t colon = arg.find(':');
    v.product = arg.substr(0, colon);
    v.scene = colon == std::string::npos ? "room" : arg.substr(colon + 1);
    const std::string mid = v.product.substr(3, 3);
    if (mid == "E2-") {
        v.width = 160;  // epc635 image area
        v.height = 60;
    } else if (mid != "E1-" && mid != "T0-") {
        throw ToolError("virtual camera: unknown product " + v.product +
                        " (VZ-T0-320, VZ-E1-660 or VZ-E2-635)");
    }
    return v;
}

// The scene as the product's camera sees it through its lens.
vcam::Scene build_scene(const VirtualChoice &choice) {
    const vcam::Optics lens = vcam::product_optics(choice.product, choice.width, choice.height);
    vcam::Scene out;
    if (vcam::parse_builtin_scene(choice.scene)) {
        vcam::scene_from_argument(choice.scene, lens, out);
        return out;
    }
    DistanceFile file(choice.scene);
    std::vector<float> dist;
    if (!file.next(dist)) throw ToolError("scene file " + choice.scene + " holds no whole frame");
    return vcam::scene_from_distances(dist, file.width(), file.height(), choice.width,
                                      choice.height);
}

}  // namespace

VirtualCameraPtr start_virtual(const std::string &scene, const std::string &flash_dir) {
    if (vzrec::looks_like_recording(scene)) {
        try {
            return VirtualCameraPtr(new VirtualCamera(scene, true, flash_dir));
        } catch (const ToolError &) {
            throw;
        } catch (const std::exception &e) {
            throw ToolError(e.what());
        }
    }
    const VirtualChoice choice = split_product(scene);
    vcam::Scene img = build_scene(choice);
    try {
        return VirtualCameraPtr(new VirtualCamera(choice.product, std::move(img), flash_dir));
    } catch (const ToolError &) {
        throw;
    } catch (const std::exception &e) {
        throw ToolError(std::string("virtual camera: ") + e.what());
    }
}

}  // namespace vztool

// ---- the module's C entry points (see virtual_module.h) -----------------------------

namespace {

void put_error(char *err, size_t n, const std::string &what) {
    if (err && n) std::snprintf(err, n, "%s", what.c_str());
}

}  // namespace

extern "C" {

VZ_VIRTUAL_API int vizor_virtual_ensure_preload(char **argv, char *err, size_t err_len) {
    try {
        vztool::ensure_virtual_preload(argv);
        return 1;
    } catch (const std::exception &e) {
        put_error(err, err_len, e.what());
        return 0;
    }
}

VZ_VIRTUAL_API void *vizor_virtual_start(const char *scene, const char *flash_dir, char *err,
                                         size_t err_len) {
    try {
        return vztool::start_virtual(scene ? scene : "room", flash_dir ? flash_dir : "").release();
    } catch (const std::exception &e) {
        put_error(err, err_len, e.what());
        return nullptr;
    }
}

VZ_VIRTUAL_API int vizor_virtual_save(void *cam, char *err, size_t err_len) {
    try {
        const std::string e = static_cast<vztool::VirtualCamera *>(cam)->save_flash();
        put_error(err, err_len, e);
        return e.empty() ? 1 : 0;
    } catch (const std::exception &e) {
        put_error(err, err_len, e.what());
        return 0;
    }
}

VZ_VIRTUAL_API void vizor_virtual_set_dark(void *cam, int dark) {
    try {
        static_cast<vztool::VirtualCamera *>(cam)->set_dark(dark != 0);
    } catch (...) {}
}

VZ_VIRTUAL_API void vizor_virtual_destroy(void *cam) {
    try {
        delete static_cast<vztool::VirtualCamera *>(cam);
    } catch (...) {}
}

}  // extern "C"

namespace vztool {
void destroy_virtual(VirtualCamera *cam) { delete cam; }

}  // namespace vztool
