// Captures the library's log in a temporary file for the duration of a test,
// with the console silenced, so that tests can check message texts.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "vizor/log.h"

class LogCapture {
public:
    LogCapture() {
        std::string tmpl = ::testing::TempDir() + "vz_ll_log_XXXXXX";
        const int fd = mkstemp(tmpl.data());
        if (fd >= 0) close(fd);
        path_ = tmpl;
        vz_log_enable(VZ_LOG_CH_CONSOLE, VZ_LOG_OFF, nullptr);
        vz_log_enable(VZ_LOG_CH_FILE, VZ_LOG_TRC, path_.c_str());
    }
    ~LogCapture() {
        vz_log_disable();
        unlink(path_.c_str());
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::string text() const {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    // Occurrences of needle in the log so far.
    int count(std::string_view needle) const {
        const std::string t = text();
        int n = 0;
        for (size_t pos = t.find(needle); pos != std::string::npos;
             pos = t.find(needle, pos + needle.size()))
            ++n;
        return n;
    }
    bool has(std::string_view needle) const { return count(needle) > 0; }

private:
    std::string path_;
};
