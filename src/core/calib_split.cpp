// Splitting the downloaded "calib_and_param.bin" into the driver's DRNU
// parameter file (its first 16 bytes) and distance-image file (the rest).
// Each output appears only complete: it is written under a temporary name
// and renamed once all its bytes are on disk.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/log.h"
#include "core/calib_download.h"

namespace vz::calib {

namespace {

const char *kTag = "_parase_file";
const char *kMember = "calib_and_param.bin";
constexpr size_t kParamLen = 16;
constexpr size_t kChunk = 4096;

// Closes a descriptor on every return path.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

bool write_all(int fd, const uint8_t *p, size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

// An output file written under "<name>.vzpart" and renamed by commit();
// removed when not committed.
class Output {
public:
    explicit Output(std::string name) : name_(std::move(name)), tmp_(name_ + ".vzpart") {
        unlink(tmp_.c_str());
        fd_.fd = open(tmp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd_.fd < 0) printf("%s open failed\n", name_.c_str());
    }
    ~Output() {
        if (!committed_ && fd_.fd >= 0) unlink(tmp_.c_str());
    }
    bool ok() const { return fd_.fd >= 0; }
    bool write(const uint8_t *p, size_t n) { return write_all(fd_.fd, p, n); }
    bool commit() {
        committed_ = close(fd_.fd) == 0 && rename(tmp_.c_str(), name_.c_str()) == 0;
        fd_.fd = -1;
        if (!committed_) unlink(tmp_.c_str());
        return committed_;
    }

private:
    std::string name_, tmp_;
    Fd fd_;
    bool committed_ = false;
};

// Names of the folder's files matching "*.bin", in directory order.
std::vector<std::string> bin_files(const std::string &dir) {
    std::vector<std::string> found;
    DIR *d = opendir(dir.c_str());
    if (!d) return found;
    while (const dirent *e = readdir(d))
        if (fnmatch("*.bin", e->d_name, 0) == 0) found.emplace_back(e->d_name);
    closedir(d);
    return found;
}

bool split(const std::string &path, const vizor_calib_names_t &names) {
    if (!names.param_name || !names.dist_img_name || !*names.param_name || !*names.dist_img_name) {
        vz_err("[%s] the driver named no calibration files\n", kTag);
        return false;
    }
    Fd in;
    in.fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (in.fd < 0 || fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        printf("%s open failed\n", path.c_str());
        vz_err("[%s] cannot read %s\n", kTag, path.c_str());
        return false;
    }
    // Without bytes beyond the parameter block there is nothing to calibrate
    // with: writing a short parameter file or an empty image file would make
    // the driver believe its calibration present.
    if (size_t(st.st_size) <= kParamLen) {
        vz_err("[%s] %s has %lld bytes: too short to split\n", kTag, path.c_str(),
               static_cast<long long>(st.st_size));
        return false;
    }
    Output param(names.param_name);
    if (!param.ok()) return false;
    Output dist(names.dist_img_name);
    if (!dist.ok()) return false;
    uint8_t buf[kChunk];
    size_t left = size_t(st.st_size);
    bool head = true;
    while (left > 0) {
        const size_t want = head ? kParamLen : std::min(left, kChunk);
        const ssize_t n = read(in.fd, buf, want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || (head && size_t(n) != kParamLen)) {
            vz_err("[%s] %s ended early\n", kTag, path.c_str());
            return false;
        }
        if (!(head ? param : dist).write(buf, size_t(n))) {
            vz_err("[%s] cannot write %s\n", kTag, head ? names.param_name : names.dist_img_name);
            return false;
        }
        left -= size_t(n);
        head = false;
    }
    // The distance-image file is what the driver checks for: it comes last.
    if (!param.commit() || !dist.commit()) {
        vz_err("[%s] cannot store the calibration files\n", kTag);
        return false;
    }
    return true;
}

}  // namespace

std::string folder_of(const char *cfg_path) {
    std::string dir = cfg_path ? cfg_path : "";
    std::replace(dir.begin(), dir.end(), '\\', '/');
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir.empty() ? "." : dir;
}

bool parse_file(const char *cfg_path, const vizor_calib_names_t &names) {
    const std::string dir = folder_of(cfg_path);
    const std::string pattern = dir + "/*.bin";
    const std::string path = (dir == "/" ? dir : dir + "/") + kMember;
    const std::vector<std::string> found = bin_files(dir);
    if (found.empty()) {
        vz_err("[%s] cann't find file in %s\n", kTag, pattern.c_str());
        return false;
    }
    vz_dbg("[%s] find:%s\n", kTag, found[0].c_str());
    if (found[0] != kMember) {
        vz_trc("[%s] try to find next\n", kTag);
        auto it = found.begin() + 1;
        for (; it != found.end(); ++it) {
            vz_trc("[%s] find:%s\n", kTag, it->c_str());
            if (*it == kMember) break;
        }
        if (it == found.end()) return true;
    } else {
        vz_trc("[%s] parse...\n", kTag);
    }
    const bool ok = split(path, names);
    // The member is an intermediate file: it goes whether or not it split.
    unlink(path.c_str());
    return ok;
}

}  // namespace vz::calib
