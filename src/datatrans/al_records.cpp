// Data-image records: the CRC-16 of the chunks, the record exchanges of the
// data-transfer request, and the check of a data image file.
#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "base/firewall.h"
#include "datatrans/datatrans.h"

namespace vz::dt {
namespace {

void put_u16(uint8_t *p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void put_u32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
uint16_t get_u16(const uint8_t *p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t get_u32(const uint8_t *p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// CRC-16/XMODEM remainder of every byte value, for the byte-wise loop.
constexpr std::array<uint16_t, 256> make_crc_table() {
    std::array<uint16_t, 256> t{};
    for (unsigned b = 0; b < 256; ++b) {
        uint16_t crc = uint16_t(b << 8);
        for (int k = 0; k < 8; ++k)
            crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
        t[b] = crc;
    }
    return t;
}
constexpr std::array<uint16_t, 256> kCrcTable = make_crc_table();

// One command of the data-transfer request followed by its status check.
bool exchange(vizor_ll_t *ll, int dir, uint8_t act, void *buf, uint16_t len, uint32_t timeout_ms) {
    return vizor_ll_exe_cmd(ll, dir, VIZOR_REQ_DATA, act, buf, len, timeout_ms) &&
           vizor_ll_check_last_cmd(ll, VIZOR_REQ_DATA, act);
}

// Write phase then read phase of a query with the messages of fn; 1 or 0.
int query(const char *fn, vizor_ll_t *ll, uint8_t act, void *out, uint16_t out_len, void *in,
          uint16_t in_len, uint32_t timeout_ms) {
    if (!exchange(ll, 1, act, out, out_len, timeout_ms)) {
        vz_err("[%s] write phase failed\n", fn);
        return 0;
    }
    if (!exchange(ll, 0, act, in, in_len, timeout_ms)) {
        vz_err("[%s] read phase failed\n", fn);
        return 0;
    }
    return 1;
}

}  // namespace

uint16_t crc16_reference(const uint8_t *buf, size_t len) {
    uint16_t crc = 0;
    for (size_t i = 0; i < len; ++i) {
        crc = uint16_t(crc ^ (uint16_t(buf[i]) << 8));
        for (int k = 0; k < 8; ++k)
            crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    }
    return crc;
}

uint16_t crc16(const uint8_t *buf, size_t len) {
    uint16_t crc = 0;
    for (size_t i = 0; i < len; ++i)
        crc = uint16_t((crc << 8) ^ kCrcTable[uint8_t((crc >> 8) ^ buf[i])]);
    return crc;
}

void encode(const al_write_info_t &r, uint8_t out[kWriteInfoLen]) {
    out[0] = r.type;
    out[1] = r.rsvd0;
    put_u16(out + 2, r.version);
    put_u32(out + 4, r.size);
    put_u32(out + 8, r.rsvd1);
}

void encode(const al_erase_info_t &r, uint8_t out[kEraseLen]) {
    out[0] = r.type;
    put_u32(out + 1, r.size);
    put_u32(out + 5, r.chunk_size);
    put_u32(out + 9, r.rsvd);
}

void encode(const al_ack_t &r, uint8_t out[kAckLen]) {
    put_u32(out, r.next);
    out[4] = r.status;
    std::memcpy(out + 5, r.rsvd, sizeof r.rsvd);
}

void encode(const al_chunk_hdr_t &r, uint8_t out[kChunkHdrLen]) {
    put_u16(out, r.crc);
    put_u32(out + 2, r.len);
}

void encode(const al_data_info_t &r, uint8_t out[kInfoLen]) {
    out[0] = r.type;
    out[1] = r.rsvd0;
    put_u16(out + 2, r.version);
    put_u32(out + 4, r.size);
    put_u32(out + 8, r.addr);
    put_u32(out + 12, r.rsvd1);
}

al_ack_t decode_ack(const uint8_t in[kAckLen]) {
    al_ack_t r{};
    r.next = get_u32(in);
    r.status = in[4];
    std::memcpy(r.rsvd, in + 5, sizeof r.rsvd);
    return r;
}

al_data_info_t decode_info(const uint8_t in[kInfoLen]) {
    al_data_info_t r{};
    r.type = in[0];
    r.rsvd0 = in[1];
    r.version = get_u16(in + 2);
    r.size = get_u32(in + 4);
    r.addr = get_u32(in + 8);
    r.rsvd1 = get_u32(in + 12);
    return r;
}

bool has_handle(vizor_ll_t *ll) {
    return ll && reinterpret_cast<const vizor_ll_usb_t *>(ll)->usb_hdl;
}

}  // namespace vz::dt

using namespace vz::dt;

extern "C" {

static uint16_t al_data_calc_crc_body(const uint8_t *buf, uint32_t len) {
    const size_t n = len & 0xFFFFu;
    if (n == 0 || !buf) return 0;
    return crc16(buf, n);
}

VZ_API uint16_t al_data_calc_crc(const uint8_t *buf, uint32_t len) noexcept {
    return vz::entry("al_data_calc_crc", uint16_t(0),
                     [&] { return al_data_calc_crc_body(buf, len); });
}

static int al_data_send_action_info_body(vizor_ll_t *ll, uint8_t act, const void *info,
                                         const uint8_t *data) {
    static const char *const fn = "al_data_send_action_info";
    if (!has_handle(ll)) {
        vz_err("[%s]  Device handler Is NULL!\r\n", fn);
        return -1;
    }
    if (!info) return -1;

    std::unique_ptr<uint8_t[]> buf;
    size_t len = 0;
    uint32_t timeout_ms = kTimeoutShortMs;
    switch (act) {
    case AL_ACT_WRITE_INFO: {
        al_write_info_t r;
        std::memcpy(&r, info, sizeof r);
        vz_inf("[%s] type = %hu, version = %hu, size = %d\n", fn, (unsigned short)r.type,
               (unsigned short)r.version, int(r.size));
        len = kWriteInfoLen;
        buf.reset(new (std::nothrow) uint8_t[len]);
        if (buf) encode(r, buf.get());
        timeout_ms = kTimeoutLongMs;
        break;
    }
    case AL_ACT_ACK: {
        al_ack_t r;
        std::memcpy(&r, info, sizeof r);
        len = kAckLen;
        buf.reset(new (std::nothrow) uint8_t[len]);
        if (buf) encode(r, buf.get());
        break;
    }
    case AL_ACT_ERASE: {
        al_erase_info_t r;
        std::memcpy(&r, info, sizeof r);
        len = kEraseLen;
        buf.reset(new (std::nothrow) uint8_t[len]);
        if (buf) encode(r, buf.get());
        timeout_ms = kTimeoutLongMs;
        break;
    }
    case AL_ACT_DATA: {
        al_chunk_hdr_t r;
        std::memcpy(&r, info, sizeof r);
        // A chunk carries 1 to 1018 bytes; anything else is refused before
        // the camera sees it.
        if (r.len == 0 || r.len > AL_CHUNK_MAX || !data) return -1;
        len = kChunkHdrLen + r.len;
        buf.reset(new (std::nothrow) uint8_t[len]);
        if (buf) {
            encode(r, buf.get());
            std::memcpy(buf.get() + kChunkHdrLen, data, r.len);
        }
        break;
    }
    default: return -1;
    }
    if (!buf) {
        vz_err("[%s] no memory\n", fn);
        return -1;
    }
    return exchange(ll, 1, act, buf.get(), uint16_t(len), timeout_ms) ? 1 : -1;
}

VZ_API int al_data_send_action_info(vizor_ll_t *ll, uint8_t act, const void *info,
                                    const uint8_t *data) noexcept {
    return vz::entry("al_data_send_action_info", -1,
                     [&] { return al_data_send_action_info_body(ll, act, info, data); });
}

static int al_data_read_action_info_body(vizor_ll_t *ll, uint8_t act, void *dst) {
    static const char *const fn = "al_data_read_action_info";
    size_t len = 0;
    if (act == AL_ACT_ACK)
        len = kAckLen;
    else if (act == AL_ACK9_ACTION)
        len = AL_ACK9_LEN;
    else
        return 1;
    if (!has_handle(ll)) {
        vz_err("[%s]  Device handler Is NULL!\r\n", fn);
        return 0;
    }
    if (!dst) return 0;

    uint8_t out[kAckLen] = {};
    uint8_t in[kAckLen] = {};
    if (!exchange(ll, 1, act, out, uint16_t(len), kTimeoutReadMs)) {
        vz_err("[%s] Write phase failed\n", fn);
        return 0;
    }
    if (!exchange(ll, 0, act, in, uint16_t(len), kTimeoutReadMs)) {
        vz_err("[%s] Read phase failed\n", fn);
        return -1;
    }
    if (act == AL_ACT_ACK) {
        const al_ack_t ack = decode_ack(in);
        std::memcpy(dst, &ack, sizeof ack);
    } else {
        std::memcpy(dst, in, len);
    }
    return 1;
}

VZ_API int al_data_read_action_info(vizor_ll_t *ll, uint8_t act, void *dst) noexcept {
    return vz::entry("al_data_read_action_info", 0,
                     [&] { return al_data_read_action_info_body(ll, act, dst); });
}

static int al_get_data_info_body(vizor_ll_t *ll, uint8_t act, void *buf, uint16_t len) {
    static const char *const fn = "al_get_data_info";
    if (!has_handle(ll)) {
        vz_err("[%s]  Device handler Is NULL!\r\n", fn);
        return 0;
    }
    if (!buf) return 0;
    return query(fn, ll, act, buf, len, buf, len, kTimeoutShortMs);
}

VZ_API int al_get_data_info(vizor_ll_t *ll, uint8_t act, void *buf, uint16_t len) noexcept {
    return vz::entry("al_get_data_info", 0,
                     [&] { return al_get_data_info_body(ll, act, buf, len); });
}

static int al_get_data_payload_body(vizor_ll_t *ll, void *buf, uint16_t n) {
    static const char *const fn = "al_get_data_payload";
    if (!has_handle(ll)) {
        vz_err("[%s]  Device handler Is NULL!\r\n", fn);
        return 0;
    }
    if (!buf) return 0;
    uint8_t req[kPayloadReqLen] = {};
    put_u32(req + 4, n);
    std::memcpy(buf, req, sizeof req);
    return query(fn, ll, AL_ACT_PAYLOAD, buf, uint16_t(kPayloadReqLen), buf, n, kTimeoutShortMs);
}

VZ_API int al_get_data_payload(vizor_ll_t *ll, void *buf, uint16_t n) noexcept {
    return vz::entry("al_get_data_payload", 0,
                     [&] { return al_get_data_payload_body(ll, buf, n); });
}

static int al_data_build_file_buffer_body(const char *path, int *size) {
    static const char *const fn = "al_data_build_file_buffer";
    vz_inf("[%s] Loading data image file:%s\n", fn, path ? path : "(null)");
    FILE *f = path ? std::fopen(path, "rb") : nullptr;
    if (!f) return -1;

    long end = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) end = std::ftell(f);
    std::rewind(f);
    // A size that does not fit the int out-parameter (or a stream without
    // one, such as a directory) counts as unreadable.
    const long file_size = (end >= 0 && end <= INT_MAX) ? end : 0;
    vz_inf("[%s] File size:%d\n", fn, int(file_size));

    int result = -1;
    std::unique_ptr<uint8_t[]> buf;
    if (file_size > 0) buf.reset(new (std::nothrow) uint8_t[size_t(file_size)]());
    if (buf) {
        const size_t got = std::fread(buf.get(), 1, size_t(file_size), f);
        vz_inf("[%s] File read ok,%d,%x\n", fn, int(got), unsigned(buf[0]));
        if (got == size_t(file_size)) result = 1;
        if (size) *size = result == 1 ? int(file_size) : 0;
    } else if (size) {
        *size = 0;
    }
    std::fclose(f);
    if (result == 1)
        vz_inf("[%s] Data image file loaded.\n", fn);
    else
        vz_inf("[%s] Data image file loading failed.\n", fn);
    return result;
}

VZ_API int al_data_build_file_buffer(const char *path, int *size) noexcept {
    return vz::entry("al_data_build_file_buffer", -1,
                     [&] { return al_data_build_file_buffer_body(path, size); });
}

}  // extern "C"
