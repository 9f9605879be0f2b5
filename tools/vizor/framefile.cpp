// Reads distance frame files for the tool through the library's frame-file calls.
#include "framefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "app.h"

namespace vztool {

DistanceFile::DistanceFile(const std::string &path) : path_(path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw ToolError("cannot open " + path + ": " + std::strerror(errno));
    char head[257] = {};
    const ssize_t got = ::pread(fd_, head, 256, 0);
    char kind[8] = {};
    int w = 0, h = 0;
    if (got <= 0 || !std::memchr(head, '\n', size_t(got)) ||
        std::sscanf(head, "VZ_DIST,%7[^,],%d,%d", kind, &w, &h) != 3) {
        ::close(fd_);
        throw ToolError(path + " is not a distance frame file (no VZ_DIST header)");
    }
    const long long bytes = std::strcmp(kind, "U16") == 0 ? 2 : 4;
    if ((std::strcmp(kind, "F32") && std::strcmp(kind, "U32") && std::strcmp(kind, "U16")) ||
        w <= 0 || h <= 0 || (long long)w * h * bytes > (64ll << 20)) {
        ::close(fd_);
        throw ToolError(path + ": unsupported frame file header");
    }
    w_ = w;
    h_ = h;
    header_len_ = (long long)((const char *)std::memchr(head, '\n', size_t(got)) - head) + 1;
}

DistanceFile::~DistanceFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool DistanceFile::next(std::vector<float> &dist) {
    const size_t n = size_t(w_) * size_t(h_);
    dist.resize(n);
    int fw = 0, fh = 0;
    const off_t pos = ::lseek(fd_, 0, SEEK_CUR);
    last_pos_ = pos < header_len_ ? header_len_ : (long long)pos;
    const int got = vizor_frame_load_distance(fd_, dist.data(), int(n), &fw, &fh);
    return got == int(n) && fw == w_ && fh == h_;
}

long long DistanceFile::trailing_bytes() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return 0;
    const long long from = last_pos_ < header_len_ ? header_len_ : last_pos_;
    return st.st_size > from ? (long long)st.st_size - from : 0;
}

}  // namespace vztool
