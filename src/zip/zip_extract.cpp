// zip_extract: every entry of an archive into a folder, refusing archives
// with names that would leave the folder, each file appearing only complete.
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/firewall.h"
#include "base/log.h"
#include "zip/zip_fs.h"
#include "zip/zip_impl.h"

namespace vz::zip {

namespace {

const char *kTag = "zip_extract";

// Closes what it holds on every return path.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};
struct Unz {
    unzFile f = nullptr;
    ~Unz() {
        if (f) unzClose(f);
    }
};

// Visits every entry in archive order; visit(name) false stops (false).
template <class F>
bool for_each_entry(unzFile r, F &&visit) {
    int rc = unzGoToFirstFile(r);
    while (rc == UNZ_OK) {
        std::string name;
        if (!current_name(r, name)) {
            vz_err("[%s] unreadable entry name\n", kTag);
            return false;
        }
        if (!visit(name)) return false;
        rc = unzGoToNextFile(r);
    }
    if (rc != UNZ_END_OF_LIST_OF_FILE) {
        vz_err("[%s] corrupt archive directory (%d)\n", kTag, rc);
        return false;
    }
    return true;
}

// Every name must stay inside the folder before anything is written.
bool names_safe(unzFile r) {
    return for_each_entry(r, [](const std::string &name) {
        std::vector<std::string> parts;
        bool is_dir = false;
        if (split_name(name, parts, &is_dir)) return true;
        vz_err("[%s] refused entry name \"%s\": it leaves the folder\n", kTag, name.c_str());
        return false;
    });
}

bool extract_entry(unzFile r, int root, const std::string &name) {
    std::vector<std::string> parts;
    bool is_dir = false;
    if (!split_name(name, parts, &is_dir)) return false;
    Fd dir;
    dir.fd = open_folders(root, parts, is_dir ? parts.size() : parts.size() - 1);
    if (dir.fd < 0) {
        vz_err("[%s] cannot make the folder of %s\n", kTag, name.c_str());
        return false;
    }
    if (is_dir) return true;
    if (unzOpenCurrentFile(r) != UNZ_OK) {
        vz_err("[%s] cannot open entry %s\n", kTag, name.c_str());
        return false;
    }
    bool ok = false;
    {
        TempFile out(dir.fd, parts.back());
        if (!out.ok()) {
            vz_err("[%s] cannot create a file for %s\n", kTag, name.c_str());
        } else {
            const int64_t n = read_current(
                r, [&](const void *p, size_t size) { return out.write(p, size); }, kTag);
            ok = n >= 0 && out.commit();
            if (n >= 0 && !ok) vz_err("[%s] cannot write %s\n", kTag, name.c_str());
        }
    }
    unzCloseCurrentFile(r);
    return ok;
}

}  // namespace

}  // namespace vz::zip

extern "C" {

VZ_API int zip_extract(const char *zipname, const char *dir,
                       int (*on_extract_entry)(const char *filename, void *arg),
                       void *arg) noexcept {
    return vz::entry(__func__, -1, [&] {
        using namespace vz::zip;
        if (!zipname || !dir || !*dir) {
            vz_dbg("[%s] wrong params\n", kTag);
            return -1;
        }
        Fd root;
        root.fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (root.fd < 0) {
            vz_err("[%s] cannot open folder %s\n", kTag, dir);
            return -1;
        }
        Unz zr;
        zr.f = unzOpen64(zipname);
        if (!zr.f) {
            vz_err("[%s] cannot open archive %s\n", kTag, zipname);
            return -1;
        }
        if (!names_safe(zr.f)) return -2;
        bool stopped = false;
        const bool ok = for_each_entry(zr.f, [&](const std::string &name) {
            if (!extract_entry(zr.f, root.fd, name)) return false;
            if (on_extract_entry && on_extract_entry(name.c_str(), arg) != 0) {
                stopped = true;
                return false;
            }
            return true;
        });
        return ok || stopped ? 0 : -3;
    });
}

}  // extern "C"
