// libFuzzer target of the data-transfer records and flows with fuzzed camera
// replies. The command channel is replaced by a tape: every command and
// status check the flows make takes its outcome, and every read its reply
// bytes, from the input. Checks memory safety (AddressSanitizer, UBSan), that
// no command exceeds one control transfer or hands over a buffer shorter than
// its length, and what the flows leave behind.
//
// Input: 4 header bytes (flow, type, version low, version high), then the
// tape. Flow % 3: 0 writes a 2100-byte image file (three chunks), 1 reads an
// image into a file, 2 runs each record exchange once. The files live in a
// private temporary folder.
// Tape, per call (an exhausted tape fails every call):
//   command write, status check: one byte, bit 7 set = failure;
//   command read: one byte c, bit 7 set = a short reply of c & 0x7F bytes
//     (at most the length asked), then the reply bytes.
#include <sanitizer/asan_interface.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "datatrans/datatrans.h"
#include "vizor/datatrans.h"
#include "vizor/ll.h"

namespace {

#define CHECK(c)                    \
    do {                            \
        if (!(c)) __builtin_trap(); \
    } while (0)

constexpr uint32_t kImageBytes = 2100;

struct Tape {
    const uint8_t *p = nullptr;
    size_t n = 0;
    bool next(uint8_t &b) {
        if (n == 0) return false;
        b = *p++;
        --n;
        return true;
    }
} g_tape;

std::string g_img, g_calib;  // the image to write and the file a read fills
int64_t g_now = 0;
void fake_sleep(uint32_t ms) { g_now += ms; }
int64_t fake_now() { return g_now; }

// The buffer a command hands over must hold its length.
void check_buffer(const void *buf, uint16_t len) {
    CHECK(len <= VIZOR_CTRL_PAYLOAD_MAX);
    if (len == 0) return;
    CHECK(buf != nullptr);
    CHECK(__asan_region_is_poisoned(const_cast<void *>(buf), len) == nullptr);
}

}  // namespace

// ---- the command channel, served from the tape -----------------------------------

extern "C" {

bool vizor_ll_exe_cmd(vizor_ll_t *, int dir, uint8_t, uint16_t, void *buf, uint16_t len,
                      uint32_t) noexcept {
    check_buffer(buf, len);
    uint8_t c;
    if (!g_tape.next(c)) return false;
    if (dir) return !(c & 0x80);
    const uint16_t got = (c & 0x80) ? uint16_t(std::min<unsigned>(c & 0x7F, len)) : len;
    auto *out = static_cast<uint8_t *>(buf);
    for (uint16_t i = 0; i < got; ++i) {
        uint8_t b = 0;
        g_tape.next(b);
        out[i] = b;
    }
    return got == len;
}

bool vizor_ll_check_last_cmd(vizor_ll_t *, uint8_t, uint16_t) noexcept {
    uint8_t c;
    return g_tape.next(c) && !(c & 0x80);
}

bool vizor_ll_dev_reset(vizor_ll_t *, uint8_t) noexcept { return true; }

}  // extern "C"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    vz_log_enable(VZ_LOG_CH_CONSOLE, VZ_LOG_OFF, nullptr);
    vz::dt::set_timing({fake_sleep, fake_now});
    char dir[] = "/tmp/vz_dt_fuzz_XXXXXX";
    if (!mkdtemp(dir)) abort();
    g_img = std::string(dir) + "/img.bin";
    g_calib = std::string(dir) + "/calib.bin";
    std::vector<uint8_t> img(kImageBytes);
    for (uint32_t i = 0; i < kImageBytes; ++i) img[i] = uint8_t(i * 7 + 1);
    FILE *f = std::fopen(g_img.c_str(), "wb");
    if (!f || std::fwrite(img.data(), 1, img.size(), f) != img.size() || std::fclose(f) != 0)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) return 0;
    g_tape = {data + 4, size - 4};
    g_now = 0;
    // Only the handle's presence is looked at: the tape stands for the camera.
    vizor_ll_usb_t usb{};
    usb.usb_hdl = reinterpret_cast<libusb_device_handle *>(&usb);
    auto *ll = reinterpret_cast<vizor_ll_t *>(&usb);
    const uint8_t type = data[1];
    const uint16_t version = uint16_t(data[2] | data[3] << 8);

    switch (data[0] % 3) {
    case 0: {
        const int r = vizor_bin_data_write(ll, type, version, 0, g_img.c_str());
        CHECK(r == 1 || r == -1);
        break;
    }
    case 1: {
        std::remove(g_calib.c_str());
        const int r = vizor_bin_data_read(ll, type, g_calib.c_str());
        CHECK(r == 1 || r == -1);
        // Only pieces the camera delivered are in the file: each cost at
        // least four tape bytes (two commands, two status checks).
        if (FILE *f = std::fopen(g_calib.c_str(), "rb")) {
            std::fseek(f, 0, SEEK_END);
            const long n = std::ftell(f);
            std::fclose(f);
            CHECK(n >= 0 && uint64_t(n) <= uint64_t(AL_PAYLOAD_MAX) * (size / 4 + 1));
        }
        break;
    }
    default: {
        al_ack_t ack{};
        CHECK(al_data_read_action_info(ll, AL_ACT_ACK, &ack) <= 1);
        uint8_t ack9[AL_ACK9_LEN];
        CHECK(al_data_read_action_info(ll, AL_ACK9_ACTION, ack9) <= 1);
        const uint16_t info_len = uint16_t(version % 64);
        std::vector<uint8_t> info(info_len ? info_len : 1);
        al_get_data_info(ll, type, info.data(), info_len);
        const uint16_t n = uint16_t(version % (AL_PAYLOAD_MAX + 1));
        std::vector<uint8_t> piece(std::max<size_t>(n, sizeof(al_payload_req_t)));
        al_get_data_payload(ll, piece.data(), n);
        std::vector<uint8_t> chunk(AL_CHUNK_MAX);
        const al_chunk_hdr_t hdr{0, uint32_t(type) * 8u};  // 0 .. 2040 bytes: some refused
        al_data_send_action_info(ll, AL_ACT_DATA, &hdr, chunk.data());
        break;
    }
    }
    return 0;
}
