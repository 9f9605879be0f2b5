// Byte layouts of the command channel: the setup stage, the register header,
// the status reply. Pure functions, no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace vz::ll {

constexpr size_t kSetupLen = 8;

inline void put_u16le(uint8_t *p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void put_u32le(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
inline uint32_t get_u32le(const uint8_t *p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// Writes the 8-byte setup stage of a command: write (host to device) or read.
void put_setup(uint8_t *out, bool write, uint8_t request, uint16_t value, uint16_t len);

// Writes the 7-byte register header: target, first address, value bytes.
void put_reg_header(uint8_t *out, uint8_t target, uint32_t reg_base, uint16_t value_bytes);

// A parsed status reply. msg views the reply's own bytes and never extends
// past them: it ends at the first NUL or at the end of the reply.
struct Status {
    uint8_t code = 0;      // 0xFF failed, 0xFE busy, anything else done
    uint8_t request = 0;   // request code of the camera's last command
    uint8_t value = 0;     // low byte of its wValue
    std::string_view msg;  // failure text
};

// Parses a status reply of any length (missing bytes read as zero).
Status parse_status(std::span<const uint8_t> reply);

}  // namespace vz::ll
