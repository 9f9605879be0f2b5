// libFuzzer target of zip_extract: arbitrary bytes as an archive, extracted
// into a fresh folder inside a sandbox folder. Checks memory safety
// (AddressSanitizer, UBSan) and that extraction never writes outside its
// folder and never leaves a temporary file behind, whether it succeeds or
// fails.
//
// Input: the archive file's bytes.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "vizor/log.h"
#include "vizor/zip.h"

namespace fs = std::filesystem;

namespace {

#define CHECK(c)                    \
    do {                            \
        if (!(c)) __builtin_trap(); \
    } while (0)

// The sandbox: "in.zip" and the extraction folder "out" side by side; kept
// for the whole run (never destroyed) and removed at exit.
const fs::path &sandbox() {
    static const fs::path *dir = [] {
        vz_log_enable(VZ_LOG_CH_CONSOLE, VZ_LOG_OFF, nullptr);
        std::string tmpl = (fs::temp_directory_path() / "vizor-zip-fuzz-XXXXXX").string();
        CHECK(mkdtemp(tmpl.data()) != nullptr);
        auto *p = new fs::path(tmpl);
        atexit([] {
            std::error_code ec;
            fs::remove_all(sandbox(), ec);
        });
        return p;
    }();
    return *dir;
}

int on_entry(const char *name, void *arg) {
    CHECK(name != nullptr);
    ++*static_cast<int *>(arg);
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const fs::path &box = sandbox();
    const fs::path zip = box / "in.zip", out = box / "out";
    FILE *f = fopen(zip.c_str(), "wb");
    CHECK(f != nullptr);
    CHECK(fwrite(data, 1, size, f) == size);
    fclose(f);
    std::error_code ec;
    fs::remove_all(out, ec);
    fs::create_directory(out);

    int entries = 0;
    const int rc = zip_extract(zip.c_str(), out.c_str(), on_entry, &entries);
    CHECK(rc <= 0);
    if (rc < 0) CHECK(entries >= 0);

    // Only the archive and the folder beside it; no temporary file inside.
    for (const auto &e : fs::directory_iterator(box)) CHECK(e.path() == zip || e.path() == out);
    for (const auto &e : fs::recursive_directory_iterator(out)) {
        CHECK(e.path().filename().string().find(".vzpart") == std::string::npos);
        CHECK(!e.is_symlink());
    }
    if (zip_t *z = zip_open(zip.c_str(), 0, 'r')) {
        CHECK(zip_total_entries(z) >= 0);
        zip_close(z);
    }
    return 0;
}
