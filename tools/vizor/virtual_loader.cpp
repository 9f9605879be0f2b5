// The tool's side of the virtual mode: finds vizor-virtual.so next to the
// program (build tree) or in <libdir>/vizor (installed), loads it on the
// first use and forwards to its C entry points. A tool installed without the
// module says how to get it.
#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "app.h"
#include "virtual_module.h"

namespace fs = std::filesystem;

namespace vztool {

class VirtualCamera {};  // the module's camera, seen only through a pointer

namespace {

struct Module {
    vizor_virtual_ensure_preload_f ensure_preload = nullptr;
    vizor_virtual_start_f start = nullptr;
    vizor_virtual_save_f save = nullptr;
    vizor_virtual_destroy_f destroy = nullptr;
    vizor_virtual_set_dark_f set_dark = nullptr;
};

fs::path program_dir() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path(".") : exe.parent_path();
}

// Loads the module once; throws ToolError when it is missing or broken.
const Module &module() {
    static Module m;
    static std::string failure;
    if (m.start) return m;
    if (!failure.empty()) throw ToolError(failure);
    const fs::path dir = program_dir();
    const fs::path candidates[] = {dir / "vizor-virtual.so", dir / VIZOR_VIRTUAL_MODULE_REL};
    std::string why = "not found";
    for (const fs::path &p : candidates) {
        if (!fs::exists(p)) continue;
        void *h = dlopen(p.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!h) {
            why = dlerror();
            continue;
        }
        m.ensure_preload = reinterpret_cast<vizor_virtual_ensure_preload_f>(
            dlsym(h, "vizor_virtual_ensure_preload"));
        m.save = reinterpret_cast<vizor_virtual_save_f>(dlsym(h, "vizor_virtual_save"));
        m.destroy = reinterpret_cast<vizor_virtual_destroy_f>(dlsym(h, "vizor_virtual_destroy"));
        m.start = reinterpret_cast<vizor_virtual_start_f>(dlsym(h, "vizor_virtual_start"));
        m.set_dark = reinterpret_cast<vizor_virtual_set_dark_f>(dlsym(h, "vizor_virtual_set_dark"));
        if (m.ensure_preload && m.save && m.destroy && m.start && m.set_dark) return m;
        m = Module{};
        why = p.string() + " lacks its entry points";
    }
    failure = "the virtual camera is not installed (" + why + ": " + candidates[1].string() +
              "); install the tool's virtual component (cmake --install BUILD --component virtual, "
              "which needs umockdev) or use a real camera";
    throw ToolError(failure);
}

}  // namespace

bool virtual_supported() {
    try {
        module();
        return true;
    } catch (const ToolError &) {
        return false;
    }
}

void ensure_virtual_preload(char **argv) {
    char err[512] = "";
    if (!module().ensure_preload(argv, err, sizeof err)) throw ToolError(err);
}

VirtualCameraPtr start_virtual(const std::string &scene, const std::string &flash_dir) {
    char err[512] = "";
    void *cam = module().start(scene.c_str(), flash_dir.c_str(), err, sizeof err);
    if (!cam) throw ToolError(err);
    return VirtualCameraPtr(static_cast<VirtualCamera *>(cam));
}

std::string save_virtual_flash(VirtualCamera &cam) {
    char err[512] = "";
    return module().save(&cam, err, sizeof err) ? std::string() : std::string(err);
}

void set_virtual_dark(VirtualCamera &cam, bool dark) { module().set_dark(&cam, dark ? 1 : 0); }

void destroy_virtual(VirtualCamera *cam) {
    if (cam) module().destroy(cam);
}

}  // namespace vztool
