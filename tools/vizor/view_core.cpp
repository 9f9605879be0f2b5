// vizor view: request guard, latest-frame slot, buffer pool and the frame
// record of the live viewer.
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "view.h"

namespace vztool::view {

namespace {

bool is_loopback_name(const std::string &h) {
    return h == "127.0.0.1" || h == "localhost" || h == "[::1]";
}

bool is_wildcard(const std::string &a) { return a == "0.0.0.0" || a == "::" || a == "[::]"; }

// Splits "name:port" (or "[v6]:port"); false when the port is missing or
// not a number.
bool split_host(const std::string &host, std::string &name, int &port) {
    const size_t colon = host.rfind(':');
    if (colon == std::string::npos || colon + 1 >= host.size() || colon + 6 < host.size())
        return false;
    if (host.find(']') != std::string::npos && host.find(']') > colon) return false;
    int p = 0;
    for (size_t i = colon + 1; i < host.size(); ++i) {
        if (host[i] < '0' || host[i] > '9') return false;
        p = p * 10 + (host[i] - '0');
    }
    name = host.substr(0, colon);
    port = p;
    return !name.empty();
}

}  // namespace

bool request_allowed(const std::string &host, const std::string &origin, const std::string &bind,
                     int port, bool need_origin) {
    std::string name;
    int hport = 0;
    if (!split_host(host, name, hport) || hport != port) return false;
    const std::string b =
        bind.find(':') != std::string::npos && bind[0] != '[' ? "[" + bind + "]" : bind;
    if (!is_loopback_name(name) && !is_wildcard(bind) && name != b) return false;
    if (origin.empty()) return !need_origin;
    return origin == "http://" + host;
}

void FrameSlot::publish(Buffer frame) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        frame_ = std::move(frame);
        ++seq_;
    }
    cv_.notify_all();
}

Buffer FrameSlot::wait_newer(uint32_t after, int timeout_ms, uint32_t &seq) {
    std::unique_lock<std::mutex> lk(mu_);
    // Sequence numbers a client never saw (after > seq_: a restarted server)
    // count as old, so the client gets the newest frame at once.
    const auto newer = [&] { return closed_ || (frame_ && seq_ != after); };
    if (!cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), newer) || closed_) return nullptr;
    seq = seq_;
    return frame_;
}

uint32_t FrameSlot::seq() const {
    std::lock_guard<std::mutex> lk(mu_);
    return seq_;
}

void FrameSlot::close() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        closed_ = true;
    }
    cv_.notify_all();
}

std::optional<long> form_number(const std::string &text, long lo, long hi) {
    if (text.empty() || text.size() > 12) return std::nullopt;
    char *end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || v < lo || v > hi) return std::nullopt;
    return v;
}

uint32_t frame_after(const std::string &text) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    return v > UINT32_MAX ? 0 : uint32_t(v);
}

std::shared_ptr<std::vector<uint8_t>> BufferPool::take() {
    for (auto &b : bufs_)
        if (b.use_count() == 1) return b;
    bufs_.push_back(std::make_shared<std::vector<uint8_t>>());
    return bufs_.back();
}

void encode_frame(std::vector<uint8_t> &out, const FrameHeader &h, const uint8_t *bar,
                  const uint8_t *rgb, const float *dist, const float *gray, const float *pcl,
                  const uint8_t *pcl_rgb) {
    const size_t n = size_t(h.width) * h.height, pts = h.points;
    const size_t rgb_len = (n * 3 + 3) & ~size_t(3);
    const size_t total = sizeof h + 256 * 3 + rgb_len + n * 8 + pts * 12 + pts * 3;
    out.resize(total);
    uint8_t *p = out.data();
    std::memcpy(p, &h, sizeof h);
    p += sizeof h;
    std::memcpy(p, bar, 256 * 3);
    p += 256 * 3;
    std::memcpy(p, rgb, n * 3);
    std::memset(p + n * 3, 0, rgb_len - n * 3);
    p += rgb_len;
    std::memcpy(p, dist, n * 4);
    p += n * 4;
    if (gray)
        std::memcpy(p, gray, n * 4);
    else
        std::memset(p, 0, n * 4);
    p += n * 4;
    std::memcpy(p, pcl, pts * 12);
    p += pts * 12;
    std::memcpy(p, pcl_rgb, pts * 3);
}

}  // namespace vztool::view
