// Logging: channel thresholds, log file handling and the line format.
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "base/log.h"
#include "testutil.h"

namespace {

class Log : public ::testing::Test {
protected:
    void SetUp() override { vz_log_disable(); }
    void TearDown() override { vz_log_disable(); }
    vzt::TempCwd cwd_;
};

TEST_F(Log, ChannelAboveTwoIsRefusedAndChangesNothing) {
    vz_log_enable(VZ_LOG_CH_CONSOLE, 2, nullptr);
    EXPECT_EQ(vz_log_enable(3, 0, nullptr), 0);
    EXPECT_EQ(vz::log::level(0), 2u);
    EXPECT_EQ(vz::log::level(1), 5u);
    EXPECT_EQ(vz::log::level(2), 5u);
}

TEST_F(Log, FileChannelWithoutPathOpensVzLogOnceAndKeepsIt) {
    ASSERT_EQ(vz_log_enable(VZ_LOG_CH_FILE, 1, nullptr), 1);
    EXPECT_STREQ(vz::log::file_path(), "vz.log");
    vz_log(VZ_LOG_DBG, "DBG", "[%s] first\n", "t");
    ASSERT_EQ(vz_log_enable(VZ_LOG_CH_FILE, 0, nullptr), 1);
    vz_log(VZ_LOG_DBG, "DBG", "[%s] second\n", "t");
    const std::string text = vzt::read_file("vz.log");
    EXPECT_NE(text.find("first"), std::string::npos);
    EXPECT_NE(text.find("second"), std::string::npos);
}

TEST_F(Log, NewPathClosesThePreviousFile) {
    ASSERT_EQ(vz_log_enable(VZ_LOG_CH_FILE, 0, "a.log"), 1);
    vz_log(VZ_LOG_INF, "INF", "to a\n");
    ASSERT_EQ(vz_log_enable(VZ_LOG_CH_FILE, 0, "b.log"), 1);
    vz_log(VZ_LOG_INF, "INF", "to b\n");
    EXPECT_STREQ(vz::log::file_path(), "b.log");
    EXPECT_EQ(vzt::read_file("a.log").find("to b"), std::string::npos);
    EXPECT_NE(vzt::read_file("b.log").find("to b"), std::string::npos);
}

TEST_F(Log, SamePathKeepsTheFileAndAppends) {
    ASSERT_EQ(vz_log_enable(VZ_LOG_CH_FILE, 0, "a.log"), 1);
    vz_log(VZ_LOG_INF, "INF", "one\n");
    ASSERT_EQ(vz_log_enable(VZ_LOG_CH_FILE, 0, "a.log"), 1);
    vz_log(VZ_LOG_INF, "INF", "two\n");
    vz_log_disable();
    ASSERT_EQ(vz_log_enable(VZ_LOG_CH_FILE, 0, "a.log"), 1);
    vz_log(VZ_LOG_INF, "INF", "three\n");
    const std::string text = vzt::read_file("a.log");
    EXPECT_LT(text.find("one"), text.find("two"));
    EXPECT_LT(text.find("two"), text.find("three"));
}

TEST_F(Log, UnopenableFileFailsAndLeavesNoFileOpen) {
    ASSERT_EQ(vz_log_enable(VZ_LOG_CH_FILE, 0, "a.log"), 1);
    EXPECT_EQ(vz_log_enable(VZ_LOG_CH_FILE, 0, "no/such/dir/x.log"), 0);
    EXPECT_STREQ(vz::log::file_path(), "");
    EXPECT_EQ(vz_log_disable(), 0);
}

TEST_F(Log, SilentConsoleStillFeedsTheFile) {
    vz_log_enable(VZ_LOG_CH_CONSOLE, 5, nullptr);
    ASSERT_EQ(vz_log_enable(VZ_LOG_CH_FILE, 1, "f.log"), 1);
    testing::internal::CaptureStdout();
    vz_log(VZ_LOG_ERR, "ERR", "[%s] broke %d\n", "fn", 7);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_NE(vzt::read_file("f.log").find("[ERR] [fn] broke 7\n"), std::string::npos);
}

TEST_F(Log, LevelsBelowTheThresholdAreDropped) {
    ASSERT_EQ(vz_log_enable(VZ_LOG_CH_FILE, 3, "f.log"), 1);
    vz_log(VZ_LOG_INF, "INF", "hidden\n");
    vz_log(VZ_LOG_WRN, "WRN", "shown\n");
    const std::string text = vzt::read_file("f.log");
    EXPECT_EQ(text.find("hidden"), std::string::npos);
    EXPECT_NE(text.find("shown"), std::string::npos);
}

TEST_F(Log, ConsoleLineHasTimeStampThreadIdAndTag) {
    vz_log_enable(VZ_LOG_CH_CONSOLE, 0, nullptr);
    testing::internal::CaptureStdout();
    vz_log(VZ_LOG_TRC, "TRC", "[%s] x=%d\n", "vizor_dev_open", 5);
    fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::regex line(
        R"(^\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\[\d+\]\[TRC\] \[vizor_dev_open\] x=5\n$)");
    EXPECT_TRUE(std::regex_match(out, line)) << out;
}

TEST_F(Log, DisableSilencesEverythingAndReportsNoFile) {
    vz_log_enable(VZ_LOG_CH_CONSOLE, 0, nullptr);
    EXPECT_EQ(vz_log_disable(), 0);
    for (uint32_t ch = 0; ch < 3; ++ch) EXPECT_EQ(vz::log::level(ch), 5u);
    testing::internal::CaptureStdout();
    vz_log(VZ_LOG_ERR, "ERR", "nothing\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(Log, ConcurrentWritersKeepEveryFileLineWhole) {
    ASSERT_EQ(vz_log_enable(VZ_LOG_CH_FILE, 0, "mt.log"), 1);
    auto writer = [](int id) {
        for (int i = 0; i < 200; ++i) vz_log(VZ_LOG_DBG, "DBG", "[w%d] line %d\n", id, i);
    };
    std::thread a(writer, 1), b(writer, 2);
    a.join();
    b.join();
    vz_log_disable();
    const std::string text = vzt::read_file("mt.log");
    const std::regex line(
        R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3}\[\d+\]\[DBG\] \[w[12]\] line \d+)");
    size_t n = 0, pos = 0;
    while (pos < text.size()) {
        const size_t end = text.find('\n', pos);
        ASSERT_NE(end, std::string::npos);
        EXPECT_TRUE(std::regex_match(text.substr(pos, end - pos), line))
            << text.substr(pos, end - pos);
        pos = end + 1;
        ++n;
    }
    EXPECT_EQ(n, 400u);
}

}  // namespace
