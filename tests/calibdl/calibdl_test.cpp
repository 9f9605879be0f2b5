// Calibration download at open on the virtual epc660 camera, with a small
// driver table standing in for the chip driver: it reports its files missing
// until the distance-image file exists and counts the load notifications.
// Good and hostile packages: each case logs what happened, the open
// succeeds, nothing lands outside the calibration folder and no temporary or
// partial file stays behind.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "core/calib_download.h"
#include "log_capture.h"
#include "testutil.h"
#include "vcam/vcam.h"
#include "vizor/drv.h"
#include "vizor/stream.h"
#include "vizor/zip.h"

namespace fs = std::filesystem;

namespace {

int g_loaded = 0;  // calib_data_loaded calls

bool t_init(vizor_drv_t *drv, vizor_dev_t *dev) {
    drv->dev = dev;
    return true;
}
bool t_info(vizor_drv_t *, vizor_frame_info_t *fi, const vz_stream_frame_hdr_t *h) {
    *fi = {};
    fi->frame_size = h->frame_size;
    fi->frame_format = h->frame_format;
    fi->frame_idx = h->frame_idx;
    fi->width = h->width ? h->width : 320;
    fi->height = h->height ? h->height : 240;
    return true;
}
int t_names(vizor_drv_t *, vizor_calib_names_t *n, int set) {
    snprintf(n->dist_img_name, 256, "images_%d.bin", set);
    snprintf(n->param_name, 256, "param_%d.bin", set);
    return 1;
}
int t_loaded(vizor_drv_t *, int, int, int kind) { return ++g_loaded, kind; }
int t_check(vizor_drv_t *, int, int, int) { return access("images_1.bin", F_OK) == 0 ? 0 : -1; }

const vizor_drv_ops_t kTestOps = {t_init,  nullptr,  t_info,  nullptr, nullptr, nullptr, t_names,
                                  nullptr, t_loaded, t_check, nullptr, nullptr, nullptr};

constexpr size_t kImages = 30u * 320 * 240 * 2;  // the factory's 30 distance images

void put32(std::vector<uint8_t> &v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(uint8_t(x >> (8 * i)));
}

// A package around a zip with one member; damage() may alter the zip bytes.
std::vector<uint8_t> package(const std::string &name, size_t member_len,
                             const std::function<void(std::string &)> &damage = {}) {
    zip_t *z = zip_open("pkg.tmp", 6, 'w');
    zip_entry_open(z, name.c_str());
    const std::string data(member_len, 'x');
    zip_entry_write(z, data.data(), data.size());
    zip_entry_close(z);
    zip_close(z);
    std::string zip = vzt::read_file("pkg.tmp");
    unlink("pkg.tmp");
    if (damage) damage(zip);
    std::vector<uint8_t> pkg = {1, 0, 1};
    put32(pkg, 1);
    put32(pkg, uint32_t(17 + zip.size()));
    put32(pkg, uint32_t(zip.size()));
    pkg.push_back(0);
    pkg.push_back(0);
    pkg.insert(pkg.end(), zip.begin(), zip.end());
    return pkg;
}

// Parameter 8 describing size bytes of valid calibration data.
std::vector<uint8_t> calib_info(uint32_t size) {
    std::vector<uint8_t> v = {1, 0, 0};
    put32(v, 1);
    put32(v, size);
    put32(v, size);
    v.resize(18, 0);
    return v;
}

struct Case {
    const char *name;
    vcam::EpcCalib calib;
    std::function<void(vcam::Firmware &)> setup;  // after the camera is made
    const char *logged;                           // a line the case must log
    std::vector<std::string> files;               // what the calibration folder holds after
    int loaded;                                   // calib_data_loaded calls
};

const Case kCases[] = {
    {"factory",
     vcam::EpcCalib::factory,
     {},
     "Extracted: calib_and_param.bin",
     // The 12 MHz set split under the driver's names; the sets of the other
     // frequency classes arrive under their own names.
     {"epc660_drnu_param_W066_C4660_20.bin", "epc660_drnu_param_W066_C4660_5.bin",
      "epc660_images_drnu_W066_C4660_20.bin", "epc660_images_drnu_W066_C4660_5.bin", "images_1.bin",
      "param_1.bin"},
     1},
    {"none", vcam::EpcCalib::none, {}, "Calib data not valid", {}, 0},
    {"none_in_another_mode",
     vcam::EpcCalib::none,
     [](vcam::Firmware &fw) { fw.set_param(0, {3}); },
     "Calib data not valid",
     {},
     0},
    {"wrong_kind", vcam::EpcCalib::wrong_kind, {}, "is not a zip archive", {}, 1},
    {"truncated", vcam::EpcCalib::truncated, {}, "beyond the", {}, 1},
    {"escaping", vcam::EpcCalib::escaping_name, {}, "it leaves the folder", {}, 1},
    {"absolute", vcam::EpcCalib::absolute_name, {}, "it leaves the folder", {}, 1},
    {"size_above_cap",
     vcam::EpcCalib::factory,
     [](vcam::Firmware &fw) { fw.set_param(8, calib_info((64u << 20) + 1)); },
     "above the limit",
     {},
     0},
    {"frame_never_arrives",
     vcam::EpcCalib::factory,
     [](vcam::Firmware &fw) {
         fw.erase_image(2);
         fw.set_param(8, calib_info(5000));
     },
     "calibration frame not received",
     {},
     1},
    {"short_member",
     vcam::EpcCalib::factory,
     [](vcam::Firmware &fw) { fw.store_image(2, 1, package("calib_and_param.bin", 10)); },
     "too short to split",
     {},
     1},
    {"zip_size_beyond_file",
     vcam::EpcCalib::factory,
     [](vcam::Firmware &fw) {
         fw.store_image(2, 1, package("calib_and_param.bin", 5000, [](std::string &z) {
                            for (size_t p = z.find("PK\x01\x02", 0, 4); p != std::string::npos;
                                 p = z.find("PK\x01\x02", p + 4, 4))
                                z[p + 23] = '\x7F';  // compressed size far beyond the archive
                        }));
     },
     "tmp.zip could not be extracted",
     {},
     1},
    {"member_not_in_archive",
     vcam::EpcCalib::factory,
     [](vcam::Firmware &fw) { fw.store_image(2, 1, package("other.dat", 100)); },
     "try to find next",
     {"other.dat"},
     1},
};

class CalibDownload : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        fs::create_directory("work");  // the calibration folder; its parent is checked
        fs::current_path("work");
        vizor_dev_t probe{};
        snprintf(probe.product, sizeof probe.product, "VZ-E1-660");
        rec_ = vizor_drv_find(&probe);
        ASSERT_NE(rec_, nullptr);
        saved_ = rec_->ops;
        rec_->ops = &kTestOps;
        g_loaded = 0;
        stat("/tmp/calib_and_param.bin", &abs_before_);
    }
    void TearDown() override {
        if (dev) vizor_dev_close(dev);
        if (rec_) rec_->ops = saved_;
    }

    vizor_dev_t *open(const Case &c) {
        vcam::CameraConfig cfg;
        cfg.fw.product = "VZ-E1-660";
        cfg.fw.epc.calib = c.calib;
        cam_ = &bus.add_camera(1, 2, cfg);
        if (c.setup) c.setup(cam_->fw());
        mode_before_ = cam_->fw().dev_mode();
        vizor_dev_t list[2];
        if (vizor_dev_list(list, 2) < 1) return nullptr;
        rec = list[0];
        return dev = vizor_dev_open(&rec);
    }

    // The working folder holds nothing but what the driver asked for.
    static std::vector<std::string> listing(const fs::path &dir) {
        std::vector<std::string> out;
        for (const auto &e : fs::directory_iterator(dir)) out.push_back(e.path().filename());
        std::sort(out.begin(), out.end());
        return out;
    }

    vzt::TempCwd cwd;
    vcam::Bus bus;
    LogCapture log;
    vcam::Camera *cam_ = nullptr;
    vizor_dev_t rec{};
    vizor_dev_t *dev = nullptr;
    vizor_drv_t *rec_ = nullptr;
    const vizor_drv_ops_t *saved_ = nullptr;
    struct stat abs_before_ {};
    uint8_t mode_before_ = 0;
};

TEST_P(CalibDownload, LogsAndOpensWithoutStrayFiles) {
    const Case &c = GetParam();
    ASSERT_NE(open(c), nullptr);
    EXPECT_TRUE(log.has(c.logged)) << log.text();
    EXPECT_EQ(g_loaded, c.loaded);
    const auto files = listing(".");
    EXPECT_EQ(files, c.files);
    if (fs::exists("images_1.bin")) {
        // The two files together are the archive member, split after 16 bytes.
        const auto pkg = cam_->fw().image(2)->bytes;
        std::ofstream("../member.zip", std::ios::binary)
            .write(reinterpret_cast<const char *>(pkg.data() + 17),
                   std::streamsize(pkg.size() - 17));
        zip_t *z = zip_open("../member.zip", 0, 'r');
        void *member = nullptr;
        size_t len = 0;
        ASSERT_EQ(zip_entry_open(z, "calib_and_param.bin"), 0);
        ASSERT_EQ(zip_entry_read(z, &member, &len), ssize_t(16 + kImages));
        zip_close(z);
        unlink("../member.zip");
        EXPECT_EQ(vzt::read_file("param_1.bin") + vzt::read_file("images_1.bin"),
                  std::string(static_cast<char *>(member), len));
        free(member);
        EXPECT_EQ(fs::file_size("param_1.bin"), 16u);
    }
    EXPECT_EQ(listing(cwd.path()), (std::vector<std::string>{"work"}));
    struct stat after {};
    const bool existed = abs_before_.st_ino != 0;
    EXPECT_EQ(stat("/tmp/calib_and_param.bin", &after) == 0, existed);
    if (existed) {
        EXPECT_EQ(after.st_mtime, abs_before_.st_mtime);
    }
    // The device is usable after the download, whatever it met, and back in
    // the mode it was found in.
    EXPECT_EQ(cam_->fw().dev_mode(), mode_before_);
    vizor_param_item_t item{};
    item.param_id = VIZOR_PARAM_INFO_CALIB;
    EXPECT_TRUE(vizor_param_batch_get(dev, &item, 1));
}

INSTANTIATE_TEST_SUITE_P(Packages, CalibDownload, ::testing::ValuesIn(kCases),
                         [](const auto &p) { return std::string(p.param.name); });

// A symbolic link in place of a temporary file is refused, not followed.
TEST_F(CalibDownload, TemporaryFileSymlinkIsNotFollowed) {
    fs::path target = fs::path(cwd.path()) / "victim";
    std::ofstream(target) << "keep";
    fs::create_symlink(target, "calibration.bin");
    ASSERT_NE(open(kCases[0]), nullptr);
    EXPECT_TRUE(log.has("cannot create calibration.bin"));
    EXPECT_EQ(vzt::read_file(target.string()), "keep");
    EXPECT_FALSE(fs::exists("images_1.bin"));
}

// A second open finds the files and downloads nothing.
TEST_F(CalibDownload, PresentFilesAreNotDownloadedAgain) {
    ASSERT_NE(open(kCases[0]), nullptr);
    vizor_dev_close(dev);
    dev = nullptr;
    vizor_dev_t list[2];
    ASSERT_EQ(vizor_dev_list(list, 2), 1);
    rec = list[0];
    ASSERT_NE(dev = vizor_dev_open(&rec), nullptr);
    EXPECT_EQ(g_loaded, 1);
}

TEST(CalibFolder, SeparatorsOfEitherKind) {
    EXPECT_EQ(vz::calib::folder_of(".\\"), ".");
    EXPECT_EQ(vz::calib::folder_of("a\\b/"), "a/b");
    EXPECT_EQ(vz::calib::folder_of(""), ".");
    EXPECT_EQ(vz::calib::folder_of("/"), "/");
}

}  // namespace
