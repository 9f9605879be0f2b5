// Path checks and crash-safe file creation for zip extraction.
#include "zip/zip_fs.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace vz::zip {

bool split_name(const std::string &name, std::vector<std::string> &parts, bool *is_dir) {
    parts.clear();
    if (name.empty() || name.front() == '/') return false;
    for (unsigned char c : name)
        if (c == '\\' || c < 0x20 || c == 0x7F) return false;
    *is_dir = name.back() == '/';
    const std::string body = *is_dir ? name.substr(0, name.size() - 1) : name;
    size_t start = 0;
    for (;;) {
        const size_t slash = body.find('/', start);
        std::string part =
            body.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (part.empty() || part == "." || part == "..") return false;
        parts.push_back(std::move(part));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return true;
}

int open_folders(int root, const std::vector<std::string> &parts, size_t n) {
    int fd = fcntl(root, F_DUPFD_CLOEXEC, 0);
    for (size_t i = 0; i < n && fd >= 0; ++i) {
        const char *p = parts[i].c_str();
        if (mkdirat(fd, p, 0755) != 0 && errno != EEXIST) {
            close(fd);
            return -1;
        }
        const int next = openat(fd, p, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(fd);
        fd = next;
    }
    return fd;
}

TempFile::TempFile(int dirfd, std::string leaf) : dirfd_(dirfd), leaf_(std::move(leaf)) {
    static std::atomic<unsigned> seq{0};
    for (int attempt = 0; attempt < 16 && fd_ < 0; ++attempt) {
        char suffix[48];
        snprintf(suffix, sizeof suffix, ".vzpart%d.%u", int(getpid()), seq.fetch_add(1));
        // Built by appending: GCC 12 at -O3 misreads "." + string&& as overlapping.
        tmp_.assign(1, '.');
        tmp_.append(leaf_, 0, 200);
        tmp_.append(suffix);
        fd_ = openat(dirfd_, tmp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     0644);
        if (fd_ < 0 && errno != EEXIST) break;
    }
}

TempFile::~TempFile() {
    if (fd_ >= 0) {
        close(fd_);
        unlinkat(dirfd_, tmp_.c_str(), 0);
    }
}

bool TempFile::write(const void *data, size_t size) {
    const auto *p = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd_, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

bool TempFile::commit() {
    if (fd_ < 0) return false;
    const bool closed = close(fd_) == 0;
    fd_ = -1;
    if (closed && renameat(dirfd_, tmp_.c_str(), dirfd_, leaf_.c_str()) == 0) return true;
    unlinkat(dirfd_, tmp_.c_str(), 0);
    return false;
}

}  // namespace vz::zip
