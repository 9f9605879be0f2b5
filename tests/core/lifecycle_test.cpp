// Library lifecycle: init/uninit, log configuration, calibration folder and
// error names.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "base/log.h"
#include "core/globals.h"
#include "ll/ll.h"
#include "testutil.h"
#include "vizor/ll.h"
#include "vizor/vizor.h"

namespace {

namespace fs = std::filesystem;

TEST(ErrorName, KnownCodesHaveTheirNames) {
    EXPECT_STREQ(vizor_error_name(0), "OK");
    EXPECT_STREQ(vizor_error_name(3), "VIZOR_ERR_CAP_FRAME_DISCARD");
    EXPECT_STREQ(vizor_error_name(-5), "VIZOR_ERR_CAP_TIMEOUT");
    EXPECT_STREQ(vizor_error_name(-7), "VIZOR_ERR_CAP_STALL");
    EXPECT_STREQ(vizor_error_name(-8), "VIZOR_ERR_CAP_ERROR");
    EXPECT_STREQ(vizor_error_name(-10), "VIZOR_ERR_CAP_UNKNOWN");
}

TEST(ErrorName, EveryOtherCodeIsUnknown) {
    for (int code : {-11, -9, -6, -4, -3, -2, -1, 1, 2, 4, 1000, INT32_MIN})
        EXPECT_STREQ(vizor_error_name(code), "**UNKNOWN**") << code;
}

class Lifecycle : public ::testing::Test {
protected:
    void TearDown() override {
        vizor_uninit();
        vizor_ll_set_debug(0);
    }
    vzt::TempCwd cwd_;
};

TEST_F(Lifecycle, InitWithoutNameLogsToTheDaysFile) {
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char name[64];
    snprintf(name, sizeof name, "vizor_%04d%02d%02d.log", tm.tm_year + 1900, tm.tm_mon + 1,
             tm.tm_mday);
    vizor_init(nullptr);
    EXPECT_STREQ(vz::log::file_path(), name);
    EXPECT_EQ(vz::log::level(0), 3u);
    EXPECT_EQ(vz::log::level(1), 1u);
    vizor_uninit();
    const std::string text = vzt::read_file(name);
    EXPECT_NE(text.find("[INF] [vizor_init]  --- VIZOR v1.15(compile at "), std::string::npos);
    EXPECT_NE(text.find("[DBG] [vizor_uninit] ----- AL log END ----\n\n"), std::string::npos);
}

TEST_F(Lifecycle, InitCreatesTheLibraryColourMap) {
    vizor_init("x.log");
    EXPECT_EQ(vz::library_cmap().size, 30000);
    ASSERT_NE(vz::library_cmap().palette, nullptr);
    vizor_init("y.log");  // a second init reopens logging and keeps one palette
    EXPECT_STREQ(vz::log::file_path(), "y.log");
    vizor_uninit();
    EXPECT_EQ(vz::library_cmap().palette, nullptr);
    for (uint32_t ch = 0; ch < 3; ++ch) EXPECT_EQ(vz::log::level(ch), 5u);
}

TEST_F(Lifecycle, InitWithUnwritableLogKeepsConsoleLogging) {
    vizor_init("missing-dir/x.log");
    EXPECT_STREQ(vz::log::file_path(), "");
    EXPECT_EQ(vz::log::level(0), 3u);
}

TEST_F(Lifecycle, LogCfgSetsLevelsAndMapsUsbLevel) {
    vizor_init("x.log");
    vizor_log_cfg(5, 5, 9);
    EXPECT_EQ(vz::log::level(0), 5u);
    EXPECT_EQ(vz::log::level(1), 5u);
    EXPECT_EQ(vz::ll::debug_level(), 0);
    const int expect[] = {4, 4, 3, 2, 1, 0, 0};
    for (int usb = 0; usb <= 6; ++usb) {
        vizor_log_cfg(2, 1, usb);
        EXPECT_EQ(vz::ll::debug_level(), expect[usb]) << usb;
    }
    vizor_log_cfg(2, 1, -1);
    EXPECT_EQ(vz::ll::debug_level(), 0);
}

TEST_F(Lifecycle, LogCfgOpensVzLogWhenNoFileIsOpen) {
    vz_log_disable();
    vizor_log_cfg(3, 1, 0);
    EXPECT_STREQ(vz::log::file_path(), "vz.log");
}

// A record that looks open to vizor_path_cfg: it only needs ll and cfg_path.
struct FakeOpenDevice {
    FakeOpenDevice() {
        dev.ll = reinterpret_cast<vizor_ll_t *>(&dummy);
        dev.cfg_path = path;
    }
    vizor_dev_t dev{};
    char path[256] = ".\\";
    long dummy = 0;
};

bool is_dir(const char *p) {
    struct stat st;
    return stat(p, &st) == 0 && S_ISDIR(st.st_mode);
}

TEST_F(Lifecycle, PathCfgCreatesEveryLevelAndKeepsTheText) {
    FakeOpenDevice d;
    testing::internal::CaptureStdout();
    EXPECT_EQ(vizor_path_cfg(&d.dev, "a/b/c/"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "a / b / c ");
    EXPECT_TRUE(is_dir("a") && is_dir("a/b") && is_dir("a/b/c"));
    EXPECT_STREQ(d.dev.cfg_path, "a/b/c/");
}

TEST_F(Lifecycle, PathCfgAcceptsBackslashSeparators) {
    FakeOpenDevice d;
    testing::internal::CaptureStdout();
    EXPECT_EQ(vizor_path_cfg(&d.dev, "x\\y\\"), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(is_dir("x") && is_dir("x/y"));
    EXPECT_FALSE(fs::exists("x\\y"));
    EXPECT_STREQ(d.dev.cfg_path, "x\\y\\");
}

TEST_F(Lifecycle, PathCfgWorksForAbsolutePathsAndExistingFolders) {
    FakeOpenDevice d;
    const std::string abs = cwd_.path() + "/p/q";
    testing::internal::CaptureStdout();
    EXPECT_EQ(vizor_path_cfg(&d.dev, abs.c_str()), 0);
    EXPECT_EQ(vizor_path_cfg(&d.dev, abs.c_str()), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(is_dir(abs.c_str()));
}

TEST_F(Lifecycle, PathCfgReportsFailureButStoresThePath) {
    FakeOpenDevice d;
    std::ofstream("file") << "x";
    testing::internal::CaptureStdout();
    EXPECT_EQ(vizor_path_cfg(&d.dev, "file/sub"), -1);
    const std::string longp(300, 'z');
    EXPECT_EQ(vizor_path_cfg(&d.dev, longp.c_str()), -1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(strlen(d.dev.cfg_path), 255u);
}

TEST_F(Lifecycle, PathCfgRefusesAClosedDevice) {
    vizor_dev_t dev{};
    EXPECT_EQ(vizor_path_cfg(&dev, "a"), -1);
    EXPECT_EQ(vizor_path_cfg(nullptr, "a"), -1);
    EXPECT_FALSE(fs::exists("a"));
}

}  // namespace
