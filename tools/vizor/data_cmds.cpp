// upload, download and firmware: data images between a file and the
// camera's flash, with a progress bar on a terminal.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "app.h"
#include "cli.h"
#include "vizor/datatrans.h"

namespace vztool {

namespace {

struct Progress {
    bool tty = false;
    int last_permille = -1;
};

void draw_progress(void *user, uint32_t done, uint32_t total) {
    auto *p = static_cast<Progress *>(user);
    if (!p->tty) return;
    const int permille = total ? int(uint64_t(done) * 1000 / total) : 1000;
    if (permille == p->last_permille) return;
    p->last_permille = permille;
    constexpr int kWidth = 30;
    const int filled = permille * kWidth / 1000;
    char bar[kWidth + 1];
    for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '.';
    bar[kWidth] = 0;
    std::printf("\r[%s] %3d%%  %u / %u bytes", bar, permille / 10, done, total);
    std::fflush(stdout);
}

long long file_size(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

// The destination of an upload must be writable before the camera is asked,
// or the failure would look like the camera's.
void check_destination(const std::string &file) {
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::path(file).parent_path().empty() ? fs::path(".") : fs::path(file).parent_path();
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        throw ToolError("cannot write " + file + ": folder " + dir.string() +
                        " does not exist (create it or name a file in an existing folder)");
    if (::access(dir.c_str(), W_OK) != 0)
        throw ToolError("cannot write " + file + ": folder " + dir.string() +
                        " is not writable (choose another FILE)");
    if (fs::is_directory(file, ec))
        throw ToolError("cannot write " + file + ": it is a folder (name a file)");
}

}  // namespace

int cmd_data(Session &s, const DataOpts &o) {
    if (o.op == DataOpts::Op::upload) check_destination(o.file);
    vizor_dev_t *dev = s.open();
    // A write into the flash is never cut by Ctrl-C: the camera would keep a
    // half-written image.
    if (o.op != DataOpts::Op::upload) s.protect_until_end("writing the camera's flash");
    Progress progress;
    progress.tty = stdout_is_tty();
    vizor_data_set_progress_cb(draw_progress, &progress);
    const auto start = std::chrono::steady_clock::now();
    int r = -1;
    switch (o.op) {
    case DataOpts::Op::upload: r = vizor_data_upload(dev, uint8_t(o.type), o.file.c_str()); break;
    case DataOpts::Op::download:
        r = vizor_data_download(dev, o.file.c_str(), uint8_t(o.type), uint16_t(o.version), 0);
        break;
    case DataOpts::Op::firmware:
        if (o.type <= 1)
            std::printf("after a type %d image is written the camera resets (about 20 s)\n",
                        o.type);
        r = vizor_firmware_upgrade(dev, uint8_t(o.type), uint16_t(o.version), o.file.c_str());
        break;
    }
    vizor_data_set_progress_cb(nullptr, nullptr);
    if (progress.last_permille >= 0) std::printf("\n");
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (r != 1) {
        switch (o.op) {
        case DataOpts::Op::upload:
            throw ToolError("reading data type " + std::to_string(o.type) +
                            " failed (nothing stored, or the camera refused; -v shows why)");
        case DataOpts::Op::download:
        case DataOpts::Op::firmware:
            throw ToolError("writing " + o.file + " as data type " + std::to_string(o.type) +
                            " version " + std::to_string(o.version) +
                            " failed (version not newer than the camera's, unreadable file, or the "
                            "camera refused; -v shows why)");
        }
    }
    const long long bytes = file_size(o.file);
    if (o.op == DataOpts::Op::upload)
        std::printf("read %lld bytes of data type %d into %s in %.2f s\n", bytes, o.type,
                    o.file.c_str(), secs);
    else
        std::printf("wrote %s (%lld bytes) as data type %d version %d in %.2f s\n", o.file.c_str(),
                    bytes, o.type, o.version, secs);
    if (const int sig = pending_signal()) {
        std::fflush(stdout);
        std::fprintf(stderr, "vizor: stopped by %s after the %s was complete\n", signal_name(sig),
                     o.op == DataOpts::Op::upload ? "read" : "write");
        return signal_exit_code();
    }
    return 0;
}

// ---- the commands' options ---------------------------------------------------------

void add_data_commands(Commands &c) {
    // upload, download, firmware
    auto up = std::make_shared<DataOpts>(), down = std::make_shared<DataOpts>(),
         fw = std::make_shared<DataOpts>();
    up->op = DataOpts::Op::upload;
    up->file = "calib.bin";
    down->op = DataOpts::Op::download;
    fw->op = DataOpts::Op::firmware;
    auto *upc = c.add("upload", "Read a data image from the camera's flash into FILE", true);
    upc->add_option("FILE", up->file, "Destination file")->capture_default_str();
    upc->add_option("-t,--type", up->type, "Data type")->required()->check(whole(0, 255));
    auto *downc = c.add("download", "Write FILE into the camera's flash as a data image", true);
    downc->add_option("FILE", down->file, "Image file")->required()->check(CLI::ExistingFile);
    downc->add_option("-t,--type", down->type, "Data type")->required()->check(whole(0, 255));
    downc
        ->add_option("-V,--image-version", down->version,
                     "Version of the image; must be newer than the camera's")
        ->required()
        ->check(whole(0, 65535));
    auto *fwc = c.add("firmware", "Upgrade the camera's firmware from FILE", true);
    fwc->add_option("FILE", fw->file, "Firmware image")->required()->check(CLI::ExistingFile);
    fwc->add_option("-t,--type", fw->type,
                    "Data type of the image (0 and 1 reset the camera after it)")
        ->check(whole(0, 255))
        ->capture_default_str();
    fwc->add_option("-V,--image-version", fw->version,
                    "Version of the image; must be newer than the camera's")
        ->required()
        ->check(whole(0, 65535));
    for (auto [app, opts] : {std::pair{upc, up}, std::pair{downc, down}, std::pair{fwc, fw}})
        c.on_run(app, [o = opts](Session &s, const Globals &) { return cmd_data(s, *o); });
}

}  // namespace vztool
