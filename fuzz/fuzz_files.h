// Helpers of the fuzz targets whose loaders read fixed file names relative to
// the working directory: each fuzzing process moves once into a private
// folder of its own (so parallel jobs never share files), writes the input's
// files there and clears them before the next input.
#pragma once

#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace vzf {

// Removes every file of the working folder (the private folder holds no
// sub-folders except those a target makes and removes itself).
inline void clear_folder() {
    DIR *d = opendir(".");
    if (!d) return;
    std::vector<std::string> names;
    while (const dirent *e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    closedir(d);
    for (const std::string &n : names) remove(n.c_str());
}

inline std::string &private_folder() {
    static std::string dir;
    return dir;
}

inline void leave_private_folder() {
    if (private_folder().empty() || chdir(private_folder().c_str()) != 0) return;
    clear_folder();
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

inline void write_file(const char *name, const uint8_t *p, size_t n) {
    FILE *f = fopen(name, "wb");
    if (!f) abort();
    if (n && fwrite(p, 1, n, f) != n) abort();
    fclose(f);
}

inline std::vector<uint8_t> read_file(const char *name) {
    std::vector<uint8_t> out;
    FILE *f = fopen(name, "rb");
    if (!f) return out;
    uint8_t buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) out.insert(out.end(), buf, buf + n);
    fclose(f);
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

// Stops the fuzzer with a message when a checked property does not hold.
#define VZF_CHECK(cond)                                                              \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                 \
        }                                                                            \
    } while (0)

}  // namespace vzf
