// Collects the library's log lines of one test in a private file.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "testutil.h"
#include "vizor/log.h"

class LogCapture {
public:
    LogCapture() {
        static std::atomic<int> seq{0};
        path_ = testing::TempDir() + "vizor_log_" + std::to_string(getpid()) + "_" +
                std::to_string(seq++) + ".log";
        unlink(path_.c_str());
        vz_log_enable(VZ_LOG_CH_CONSOLE, VZ_LOG_OFF, nullptr);
        vz_log_enable(VZ_LOG_CH_FILE, VZ_LOG_TRC, path_.c_str());
    }
    ~LogCapture() {
        vz_log_disable();
        unlink(path_.c_str());
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::string text() const { return vzt::read_file(path_); }
    bool has(const std::string &s) const { return text().find(s) != std::string::npos; }

private:
    std::string path_;
};
