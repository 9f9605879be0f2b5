// Parsing, display scaling and image files of the vizor tool.
#include "toolkit.h"

#include <png.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace vztool {

namespace {

// Value of a hexadecimal digit, -1 for any other character.
int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string strip_0x(const std::string &s) {
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) return s.substr(2);
    return s;
}

// A whole-string float (no trailing characters), finite.
std::optional<float> parse_float(const std::string &s) {
    if (s.empty()) return std::nullopt;
    char *end = nullptr;
    errno = 0;
    float v = std::strtof(s.c_str(), &end);
    if (errno != 0 || end != s.c_str() + s.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

std::optional<int> parse_int(const std::string &s, int lo, int hi) {
    if (s.empty() || s.size() > 9) return std::nullopt;
    int v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    if (v < lo || v > hi) return std::nullopt;
    return v;
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t p = s.find(sep, start);
        out.push_back(s.substr(start, p == std::string::npos ? std::string::npos : p - start));
        if (p == std::string::npos) break;
        start = p + 1;
    }
    return out;
}

// Percentile q (0..1) of the n values at the front of v (reordered).
float percentile(std::vector<float> &v, size_t n, double q) {
    size_t k = size_t(double(n - 1) * q);
    std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(k), v.begin() + std::ptrdiff_t(n));
    return v[k];
}

}  // namespace

// ---- parsing ------------------------------------------------------------------

std::optional<uint32_t> parse_hex_u32(const std::string &s) {
    std::string h = strip_0x(s);
    if (h.empty() || h.size() > 8) return std::nullopt;
    uint32_t v = 0;
    for (char c : h) {
        const int d = hex_value(c);
        if (d < 0) return std::nullopt;
        v = v << 4 | uint32_t(d);
    }
    return v;
}

std::optional<std::vector<uint8_t>> parse_hex_bytes(const std::vector<std::string> &tokens) {
    std::vector<uint8_t> out;
    for (const auto &t : tokens) {
        std::string h;
        for (char c : strip_0x(t))
            if (c != ':') h += c;
        if (h.empty() || h.size() % 2 != 0) return std::nullopt;
        for (size_t i = 0; i < h.size(); i += 2) {
            const int hi = hex_value(h[i]), lo = hex_value(h[i + 1]);
            if (hi < 0 || lo < 0) return std::nullopt;
            out.push_back(uint8_t(hi << 4 | lo));
        }
    }
    return out;
}

std::optional<std::pair<float, float>> parse_range(const std::string &s) {
    auto parts = split(s, ':');
    if (parts.size() != 2) return std::nullopt;
    auto lo = parse_float(parts[0]), hi = parse_float(parts[1]);
    if (!lo || !hi || *lo < 0 || *hi <= *lo || *hi >= 60) return std::nullopt;
    return std::make_pair(*lo, *hi);
}

namespace {
constexpr char kFlyingName[] = "flying-pixels";
constexpr size_t kFlyingLen = sizeof kFlyingName - 1;
}  // namespace

bool is_flying_choice(const std::string &choice) {
    return choice.compare(0, kFlyingLen, kFlyingName) == 0 &&
           (choice.size() == kFlyingLen || choice[kFlyingLen] == '=');
}

std::optional<float> parse_flying_choice(const std::string &choice) {
    if (!is_flying_choice(choice)) return std::nullopt;
    if (choice.size() == kFlyingLen) return kFlyingDefault;
    const std::string v = choice.substr(kFlyingLen + 1);
    if (v == "on") return kFlyingDefault;
    if (v == "off") return 0.0f;
    // Thresholds beyond a few metres would keep every pixel of a room.
    const auto t = parse_float(v);
    if (!t || !(*t > 0.0f) || *t > 5.0f) return std::nullopt;
    return *t;
}

std::string flying_note(float t) {
    if (t <= 0.0f) return "flying-pixel filter off: the point cloud keeps every pixel";
    char b[160];
    std::snprintf(b, sizeof b,
                  "flying-pixel filter on (%.3g m): points straddling a depth edge are left out "
                  "of the point cloud (--filter flying-pixels=off keeps them)",
                  double(t));
    return b;
}

std::optional<Intrinsics> parse_intrinsics(const std::string &s) {
    auto parts = split(s, ',');
    if (parts.size() != 4) return std::nullopt;
    float v[4];
    for (int i = 0; i < 4; ++i) {
        auto f = parse_float(parts[size_t(i)]);
        if (!f) return std::nullopt;
        v[i] = *f;
    }
    if (v[2] <= 0 || v[3] <= 0) return std::nullopt;
    return Intrinsics{v[0], v[1], v[2], v[3]};
}

Intrinsics default_intrinsics(int width, int height) {
    Intrinsics k;
    k.cx = float(width - 1) / 2;
    k.cy = float(height - 1) / 2;
    k.fx = 211.0f * float(width) / 320.0f;
    k.fy = 211.0f * float(height) / 240.0f;
    return k;
}

std::optional<DeviceSel> parse_device(const std::string &s) {
    DeviceSel d;
    auto parts = split(s, ':');
    if (parts.size() == 1) {
        auto i = parse_int(parts[0], 0, 255);
        if (!i) return std::nullopt;
        d.index = *i;
        return d;
    }
    if (parts.size() != 2) return std::nullopt;
    auto b = parse_int(parts[0], 0, 255), p = parse_int(parts[1], 0, 255);
    if (!b || !p) return std::nullopt;
    d.bus = *b;
    d.port = *p;
    return d;
}

// ---- display scaling --------------------------------------------------------

std::optional<std::pair<float, float>> auto_range(const std::vector<float> &dist,
                                                  std::vector<float> &scratch) {
    scratch.resize(dist.size());
    size_t n = 0;
    for (float d : dist)
        if (valid_distance(d)) scratch[n++] = d;
    if (n < 2) return std::nullopt;
    float lo = percentile(scratch, n, 0.01);
    float hi = percentile(scratch, n, 0.99);
    if (hi - lo < 0.01f) {
        float mid = (lo + hi) / 2;
        lo = std::max(0.0f, mid - 0.005f);
        hi = lo + 0.01f;
    }
    return std::make_pair(lo, hi);
}

void clamp_valid(const std::vector<float> &dist, float lo, float hi, std::vector<float> &out) {
    out.resize(dist.size());
    for (size_t i = 0; i < dist.size(); ++i) {
        float d = dist[i];
        out[i] = valid_distance(d) ? std::clamp(d, lo, hi) : d;
    }
}

float gray_white_level(const std::vector<float> &gray, std::vector<float> &scratch) {
    scratch.resize(gray.size());
    size_t n = 0;
    for (float g : gray)
        if (std::isfinite(g) && g > 0) scratch[n++] = g;
    if (n == 0) return 0;
    return percentile(scratch, n, 0.99);
}

void gray_to_u8(const std::vector<float> &gray, float white, std::vector<uint8_t> &out) {
    out.resize(gray.size());
    const float k = white > 0 ? 255.0f / white : 0.0f;
    for (size_t i = 0; i < gray.size(); ++i) {
        const float v = gray[i] * k;
        out[i] = !(v > 0.0f) ? 0 : v >= 255.0f ? 255 : uint8_t(v + 0.5f);
    }
}

// ---- files --------------------------------------------------------------------

std::string write_png(const std::string &path, int width, int height, int channels,
                      const uint8_t *pixels) {
    if (width <= 0 || height <= 0 || (channels != 1 && channels != 3) || !pixels)
        return "bad image geometry";
    png_image img;
    std::memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    img.width = png_uint_32(width);
    img.height = png_uint_32(height);
    img.format = channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    if (!png_image_write_to_file(&img, path.c_str(), 0, pixels, width * channels, nullptr)) {
        std::string why = img.message;
        png_image_free(&img);
        return why.empty() ? "libpng failed" : why;
    }
    return {};
}

std::string write_png16(const std::string &path, int width, int height, const uint16_t *samples) {
    if (width <= 0 || height <= 0 || !samples) return "bad image geometry";
    png_image img;
    std::memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    img.width = png_uint_32(width);
    img.height = png_uint_32(height);
    img.format = PNG_FORMAT_LINEAR_Y;  // 16 bits per sample, stored unchanged
    if (!png_image_write_to_file(&img, path.c_str(), 0, samples, width, nullptr)) {
        std::string why = img.message;
        png_image_free(&img);
        return why.empty() ? "libpng failed" : why;
    }
    return {};
}

namespace {

// Buffered little-endian writer.
class LeWriter {
public:
    explicit LeWriter(std::FILE *f) : f_(f) {}
    ~LeWriter() { flush(); }
    void f32(float v) {
        uint32_t u = std::bit_cast<uint32_t>(v);
        if (room() < 4) flush();
        for (int i = 0; i < 4; ++i) buf_[len_++] = uint8_t(u >> (8 * i));
    }
    void u8(uint8_t v) {
        if (room() < 1) flush();
        buf_[len_++] = v;
    }
    void flush() {
        if (len_ && std::fwrite(buf_, 1, len_, f_) != len_) failed_ = true;
        len_ = 0;
    }
    bool failed() const { return failed_; }

private:
    size_t room() const { return sizeof buf_ - len_; }
    std::FILE *f_;
    uint8_t buf_[1 << 16];
    size_t len_ = 0;
    bool failed_ = false;
};

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};

}  // namespace

std::string write_ply(const std::string &path, const float *xyz, size_t n, const uint8_t *rgb) {
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "wb"));
    if (!f) return std::strerror(errno);
    std::string hdr =
        "ply\nformat binary_little_endian 1.0\ncomment written by vizor\n"
        "element vertex " +
        std::to_string(n) + "\nproperty float x\nproperty float y\nproperty float z\n";
    if (rgb) hdr += "property uchar red\nproperty uchar green\nproperty uchar blue\n";
    hdr += "end_header\n";
    if (std::fwrite(hdr.data(), 1, hdr.size(), f.get()) != hdr.size()) return "write failed";
    bool failed = false;
    {
        auto w = std::make_unique<LeWriter>(f.get());
        for (size_t i = 0; i < n; ++i) {
            w->f32(xyz[3 * i]);
            w->f32(xyz[3 * i + 1]);
            w->f32(xyz[3 * i + 2]);
            if (rgb) {
                w->u8(rgb[3 * i]);
                w->u8(rgb[3 * i + 1]);
                w->u8(rgb[3 * i + 2]);
            }
        }
        w->flush();
        failed = w->failed();
    }
    if (failed) return "write failed";
    if (std::fclose(f.release()) != 0) return "write failed";
    return {};
}

}  // namespace vztool
