// A minimal host for driving the firmware model directly with setup packets,
// written from the wire tables (not from the model's code).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "vcam/firmware.h"

namespace fwtest {

inline uint16_t le16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t le32(const uint8_t *p) {
    return uint32_t(p[0] | p[1] << 8 | p[2] << 16) | uint32_t(p[3]) << 24;
}
inline void w16(std::vector<uint8_t> &v, uint16_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}
inline void w32(std::vector<uint8_t> &v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(uint8_t(x >> (8 * i)));
}

struct Status {
    uint8_t code = 0;
    uint8_t req = 0;
    uint8_t value = 0;
    std::string text;
    size_t len = 0;
};

struct Host {
    vcam::Firmware &fw;
    bool stalled = false;

    explicit Host(vcam::Firmware &f) : fw(f) {}

    static std::vector<uint8_t> setup(uint8_t type, uint8_t req, uint16_t value, uint16_t len,
                                      uint16_t index = 0) {
        return {type,           req,
                uint8_t(value), uint8_t(value >> 8),
                uint8_t(index), uint8_t(index >> 8),
                uint8_t(len),   uint8_t(len >> 8)};
    }
    // A write command; true when the endpoint did not stall.
    bool out(uint8_t req, uint16_t value, const std::vector<uint8_t> &payload,
             uint8_t type = 0x22) {
        auto s = setup(type, req, value, uint16_t(payload.size()));
        auto r = fw.control(s.data(), payload, {});
        stalled = r.stall;
        return !r.stall;
    }
    // A read command of `len` bytes; returns what the device answered.
    std::vector<uint8_t> in(uint8_t req, uint16_t value, uint16_t len, uint8_t type = 0xA2) {
        auto s = setup(type, req, value, len);
        std::vector<uint8_t> buf(len, 0xEE);
        auto r = fw.control(s.data(), {}, buf);
        stalled = r.stall;
        buf.resize(r.in_len);
        return buf;
    }
    Status status() {
        auto r = in(0xB0, 0, 63);
        Status s;
        s.len = r.size();
        if (r.size() >= 3) {
            s.code = r[0];
            s.req = r[1];
            s.value = r[2];
            size_t n = 3;
            while (n < r.size() && r[n]) ++n;
            s.text.assign(r.begin() + 3, r.begin() + long(n));
        }
        return s;
    }
    bool ok(uint8_t req, uint16_t value) {
        auto s = status();
        return s.code != 0xFF && s.code != 0xFE && s.req == req && s.value == uint8_t(value);
    }

    // Register helpers.
    bool reg_write(uint8_t target, uint32_t addr, const std::vector<uint32_t> &vals) {
        std::vector<uint8_t> p = {target};
        w32(p, addr);
        w16(p, uint16_t(vals.size() * 4));
        for (auto v : vals) w32(p, v);
        return out(0xC2, 0, p) && ok(0xC2, 0);
    }
    bool reg_read(uint8_t target, uint32_t addr, size_t count, std::vector<uint32_t> &vals) {
        std::vector<uint8_t> p = {target};
        w32(p, addr);
        w16(p, uint16_t(count * 4));
        if (!out(0xC2, 1, p) || !ok(0xC2, 1)) return false;
        auto r = in(0xC2, 1, uint16_t(count * 4));
        if (r.size() != count * 4 || !ok(0xC2, 1)) return false;
        vals.clear();
        for (size_t i = 0; i < count; ++i) vals.push_back(le32(&r[4 * i]));
        return true;
    }

    // Parameter records: id, length, 18 value bytes.
    static std::vector<uint8_t> rec(uint8_t id, const std::vector<uint8_t> &v) {
        std::vector<uint8_t> r(20, 0);
        r[0] = id;
        r[1] = uint8_t(v.size());
        if (!v.empty()) std::memcpy(&r[2], v.data(), std::min<size_t>(v.size(), 18));
        return r;
    }
    bool param_set(const std::vector<std::vector<uint8_t>> &recs) {
        std::vector<uint8_t> p;
        for (auto &r : recs) p.insert(p.end(), r.begin(), r.end());
        return out(0xC0, 3, p) && ok(0xC0, 3);
    }
    // Gets the values of `ids` in one exchange; returns the 20-byte records.
    std::vector<std::vector<uint8_t>> param_get(const std::vector<uint8_t> &ids) {
        std::vector<uint8_t> p;
        for (auto id : ids) {
            auto r = rec(id, {});
            p.insert(p.end(), r.begin(), r.end());
        }
        std::vector<std::vector<uint8_t>> res;
        if (!out(0xC0, 4, p) || !ok(0xC0, 4)) return res;
        auto r = in(0xC0, 4, uint16_t(p.size()));
        if (r.size() != p.size() || !ok(0xC0, 4)) return res;
        for (size_t i = 0; i < ids.size(); ++i)
            res.emplace_back(r.begin() + long(20 * i), r.begin() + long(20 * i + 20));
        return res;
    }

    bool start(uint32_t frames) {
        std::vector<uint8_t> p;
        w32(p, frames);
        return out(0xC2, 4, p) && ok(0xC2, 4);
    }
    bool stop() { return out(0xC2, 5, {0xC2}) && ok(0xC2, 5); }
    bool reset(uint32_t target) {
        std::vector<uint8_t> p;
        w32(p, target);
        return out(0xC0, 0, p) && ok(0xC0, 0);
    }

    // Reads the bulk stream: `n` transfers of `room` bytes (stops early when
    // nothing more would complete).
    std::vector<uint8_t> drain(size_t room = 131072, int max_transfers = 1000) {
        std::vector<uint8_t> all, buf(room);
        for (int i = 0; i < max_transfers && fw.bulk_ready(room); ++i) {
            auto r = fw.bulk_in(buf);
            if (!r.complete) break;
            all.insert(all.end(), buf.begin(), buf.begin() + long(r.length));
        }
        return all;
    }
};

}  // namespace fwtest
