// Bounded line reader and strict number parsing for the image group's text
// files.
#include "epc660/text_table.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "epc660/calib_guard.h"

namespace vz::epc {

bool LineReader::next(std::string &line, size_t cap, bool &overlong) {
    line.clear();
    overlong = false;
    if (exhausted_) return false;
    int c = std::getc(f_);
    if (c == EOF) return false;
    for (; c != EOF && c != '\n'; c = std::getc(f_)) {
        if (budget_ == 0) {
            exhausted_ = true;
            return false;
        }
        --budget_;
        if (line.size() < cap)
            line.push_back(static_cast<char>(c));
        else
            overlong = true;
    }
    return true;
}

namespace {
bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
}  // namespace

bool Tokens::next(std::string_view &token) {
    size_t b = 0;
    while (b < rest_.size() && blank(rest_[b])) ++b;
    if (b == rest_.size()) {
        rest_ = {};
        return false;
    }
    size_t e = b;
    while (e < rest_.size() && !blank(rest_[e])) ++e;
    token = rest_.substr(b, e - b);
    rest_ = rest_.substr(e);
    return true;
}

// Tokens longer than any number are refused before they reach strtol/strtod.
static constexpr size_t kTokenCap = 64;

bool parseInt(std::string_view token, int &value) {
    if (token.empty() || token.size() > kTokenCap) return false;
    const std::string s(token);
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(s.c_str(), &end, 0);
    if (errno != 0 || end != s.c_str() + s.size() || v < INT_MIN || v > INT_MAX) return false;
    value = static_cast<int>(v);
    return true;
}

bool parseReal(std::string_view token, double &value) {
    if (token.empty() || token.size() > kTokenCap) return false;
    const std::string s(token);
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size() || !std::isfinite(v)) return false;
    // Underflow to a subnormal or zero is a valid tiny number; overflow gave
    // an infinity above.
    value = v;
    return true;
}

std::FILE *openText(const char *name, bool write) {
    // Files of a calibration run are written and read under staged names.
    const std::string staged = write ? write_path(name) : read_path(name);
    const char *path = staged.c_str();
    if (!write) return std::fopen(path, "r");
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    std::FILE *f = ::fdopen(fd, "w");
    if (!f) ::close(fd);
    return f;
}

}  // namespace vz::epc
