// Helpers of the fuzz targets whose loaders read fixed file names relative to
// the working directory: each fuzzing process moves once into a private
// folder of its own (so parallel jobs never share files), writes the input's
// files there and clears them before the next input.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace vzf {

// The working folder, opened once: every input rereads it from the start
// rather than allocating a directory stream of its own.
inline DIR *&folder_stream() {
    static DIR *d = nullptr;
    return d;
}

// Removes every file of the working folder (the private folder holds no
// sub-folders except those a target makes and removes itself).
inline void clear_folder() {
    DIR *&d = folder_stream();
    if (!d) d = opendir(".");
    if (!d) return;
    // Kept for the process (the exit handler still uses it).
    static auto *names = new std::vector<std::string>;
    names->clear();
    rewinddir(d);
    while (const dirent *e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names->emplace_back(e->d_name);
    for (const std::string &n : *names) remove(n.c_str());
}

inline std::string &private_folder() {
    static std::string dir;
    return dir;
}

inline void leave_private_folder() {
    if (private_folder().empty() || chdir(private_folder().c_str()) != 0) return;
    clear_folder();
    if (folder_stream()) closedir(folder_stream());
    folder_stream() = nullptr;
    if (chdir("/") == 0) rmdir(private_folder().c_str());
}

// The command line with its relative paths (corpus folders, files and the
// values of -artifact_prefix= and the like) made absolute, so that libFuzzer,
// which reads its arguments after LLVMFuzzerInitialize, still finds them once
// the process has moved into its private folder.
inline void absolute_args(int *argc, char ***argv) {
    static std::vector<std::string> kept;
    static std::vector<char *> args;
    char cwd[4096];
    if (!argc || !argv || !getcwd(cwd, sizeof cwd)) return;
    const std::string here = std::string(cwd) + "/";
    static const char *const kPathFlags[] = {"-artifact_prefix=", "-exact_artifact_path=", "-dict=",
                                             "-seed_inputs=", "-merge_control_file="};
    kept.reserve(size_t(*argc));
    for (int i = 0; i < *argc; ++i) {
        std::string a = (*argv)[i];
        if (i > 0 && !a.empty() && a[0] != '-' && a[0] != '/') a = here + a;
        for (const char *flag : kPathFlags) {
            const size_t n = std::strlen(flag);
            if (a.compare(0, n, flag) == 0 && a.size() > n && a[n] != '/') a.insert(n, here);
        }
        kept.push_back(a);
    }
    for (std::string &a : kept) args.push_back(a.data());
    args.push_back(nullptr);
    *argv = args.data();
}

// Makes the private folder under TMPDIR (else /dev/shm, else /tmp) and moves
// into it; aborts when that fails, since the loaders would then read and
// write the caller's folder.
inline void enter_private_folder(int *argc = nullptr, char ***argv = nullptr) {
    absolute_args(argc, argv);
    const char *base = getenv("TMPDIR");
    struct stat st {};
    if (!base || !*base) base = stat("/dev/shm", &st) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(base) + "/vizor-fuzz-XXXXXX";
    if (!mkdtemp(tmpl.data()) || chdir(tmpl.c_str()) != 0) {
        perror("vizor fuzz: private folder");
        abort();
    }
    private_folder() = tmpl;
    atexit(leave_private_folder);
}

// Plain system calls: a stdio stream would allocate a buffer per file.
inline void write_file(const char *name, const uint8_t *p, size_t n) {
    const int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) abort();
    for (size_t at = 0; at < n;) {
        const ssize_t w = write(fd, p + at, n - at);
        if (w <= 0) abort();
        at += size_t(w);
    }
    close(fd);
}

inline std::vector<uint8_t> read_file(const char *name) {
    std::vector<uint8_t> out;
    const int fd = open(name, O_RDONLY);
    if (fd < 0) return out;
    uint8_t buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.insert(out.end(), buf, buf + n);
    close(fd);
    return out;
}

inline bool exists(const char *name) {
    struct stat st {};
    return stat(name, &st) == 0;
}

// An input cut into parts at a separator line, so that the fuzzer can grow
// and shrink each file on its own: part k is the text between the k-th and
// (k+1)-th "\n--8<--\n".
inline std::vector<std::string> parts(const uint8_t *p, size_t n, size_t max_parts) {
    static const std::string sep = "\n--8<--\n";
    const std::string all(reinterpret_cast<const char *>(p), n);
    std::vector<std::string> out;
    size_t at = 0;
    while (out.size() + 1 < max_parts) {
        const size_t next = all.find(sep, at);
        if (next == std::string::npos) break;
        out.push_back(all.substr(at, next - at));
        at = next + sep.size();
    }
    out.push_back(all.substr(at));
    out.resize(max_parts);
    return out;
}

// A buffer of exactly n elements, zeroed, kept from one input to the next
// (one per size; the targets draw sizes from a few geometries), so that an
// input does not map and fault in fresh pages for a whole image. Being
// exactly as large as asked, AddressSanitizer still reports any access
// beyond it.
template <class T>
T *image_buffer(size_t n) {
    static std::map<size_t, std::vector<T>> kept;
    std::vector<T> &v = kept[n];
    if (v.size() != n) v.resize(n);
    std::memset(v.data(), 0, n * sizeof(T));
    return v.data();
}

// Whole-image pattern fills and checks of the harness, compiled without
// coverage tracing (coverage_ignore.txt): their comparisons per pixel tell
// the fuzzer nothing about the input. The image at img[0..n) gets
// fill(i); the check returns the first index where ok(i, img[i]) fails, or n.
template <class T, class F>
void image_fill(T *img, size_t n, F fill) {
    for (size_t i = 0; i < n; ++i) img[i] = fill(i);
}
template <class T, class F>
size_t image_check(const T *img, size_t n, F ok) {
    for (size_t i = 0; i < n; ++i)
        if (!ok(i, img[i])) return i;
    return n;
}

// Stops the fuzzer with a message when a checked property does not hold.
#define VZF_CHECK(cond)                                                              \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                 \
        }                                                                            \
    } while (0)

}  // namespace vzf
