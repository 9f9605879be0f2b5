// Helpers shared by the test suites.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

namespace vzt {

// A fresh temporary directory that the test process works in; the previous
// working directory is restored and the directory removed on destruction.
class TempCwd {
public:
    TempCwd() {
        char tmpl[] = "/tmp/vizor-test-XXXXXX";
        dir_ = mkdtemp(tmpl);
        old_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
    }
    ~TempCwd() {
        std::error_code ec;
        std::filesystem::current_path(old_, ec);
        std::filesystem::remove_all(dir_, ec);
    }
    const std::string &path() const { return dir_; }

private:
    std::string dir_;
    std::filesystem::path old_;
};

// Waits (bounded) for a condition that another thread makes true.
template <class F>
bool eventually(F cond, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

}  // namespace vzt
