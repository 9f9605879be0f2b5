// Byte layouts of the command channel.
#include "ll/ll_wire.h"

#include <cstring>

#include "vizor/ll.h"

namespace vz::ll {

void put_setup(uint8_t *out, bool write, uint8_t request, uint16_t value, uint16_t len) {
    out[0] = write ? VIZOR_REQTYPE_WRITE : VIZOR_REQTYPE_READ;
    out[1] = request;
    put_u16le(out + 2, value);
    put_u16le(out + 4, 0);
    put_u16le(out + 6, len);
}

void put_reg_header(uint8_t *out, uint8_t target, uint32_t reg_base, uint16_t value_bytes) {
    out[0] = target;
    put_u32le(out + 1, reg_base);
    put_u16le(out + 5, value_bytes);
}

Status parse_status(std::span<const uint8_t> reply) {
    Status st;
    if (reply.size() > 0) st.code = reply[0];
    if (reply.size() > 1) st.request = reply[1];
    if (reply.size() > 2) st.value = reply[2];
    if (reply.size() > 3) {
        const char *text = reinterpret_cast<const char *>(reply.data() + 3);
        const size_t room = reply.size() - 3;
        const void *nul = std::memchr(text, 0, room);
        st.msg = std::string_view(text, nul ? size_t(static_cast<const char *>(nul) - text) : room);
    }
    return st;
}

}  // namespace vz::ll
