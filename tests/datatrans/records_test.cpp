// The data-image records: fixed layouts, their wire images, the CRC-16 of the
// chunks and the record functions' answers that need no camera.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/device.h"
#include "datatrans/datatrans.h"
#include "log_capture.h"
#include "vizor/datatrans.h"

extern "C" size_t dt_c_layout(int i);

#define AT(type, field, off) static_assert(offsetof(type, field) == (off), #type "." #field)

static_assert(sizeof(al_data_info_t) == 16);
AT(al_data_info_t, type, 0);
AT(al_data_info_t, rsvd0, 1);
AT(al_data_info_t, version, 2);
AT(al_data_info_t, size, 4);
AT(al_data_info_t, addr, 8);
AT(al_data_info_t, rsvd1, 12);

static_assert(sizeof(al_write_info_t) == 12);
AT(al_write_info_t, type, 0);
AT(al_write_info_t, rsvd0, 1);
AT(al_write_info_t, version, 2);
AT(al_write_info_t, size, 4);
AT(al_write_info_t, rsvd1, 8);

static_assert(sizeof(al_erase_info_t) == 13);
AT(al_erase_info_t, type, 0);
AT(al_erase_info_t, size, 1);
AT(al_erase_info_t, chunk_size, 5);
AT(al_erase_info_t, rsvd, 9);

static_assert(sizeof(al_ack_t) == 13);
AT(al_ack_t, next, 0);
AT(al_ack_t, status, 4);
AT(al_ack_t, rsvd, 5);

static_assert(sizeof(al_chunk_hdr_t) == 6);
AT(al_chunk_hdr_t, crc, 0);
AT(al_chunk_hdr_t, len, 2);

static_assert(sizeof(al_payload_req_t) == 12);
AT(al_payload_req_t, rsvd0, 0);
AT(al_payload_req_t, len, 4);
AT(al_payload_req_t, rsvd1, 8);

namespace {

using Bytes = std::vector<uint8_t>;

// CRC-16/XMODEM straight from its definition, written independently of the
// library: the message is shifted through the polynomial bit by bit.
uint16_t crc_by_definition(const uint8_t *p, size_t n) {
    uint32_t reg = 0;
    for (size_t i = 0; i < n; ++i) {
        for (int bit = 7; bit >= 0; --bit) {
            const uint32_t in = (p[i] >> bit) & 1u;
            const uint32_t top = (reg >> 15) & 1u;
            reg = ((reg << 1) & 0xFFFFu);
            if (top ^ in) reg ^= 0x1021u;
        }
    }
    return uint16_t(reg);
}

Bytes random_bytes(std::mt19937 &rng, size_t n) {
    Bytes b(n);
    for (auto &x : b) x = uint8_t(rng());
    return b;
}

const uint8_t *u8(const char *s) { return reinterpret_cast<const uint8_t *>(s); }

std::string temp_path(const char *name) { return ::testing::TempDir() + name; }

}  // namespace

TEST(DataRecords, CLayoutMatches) {
    const size_t want[] = {16, 2, 4, 8, 12, 4, 13, 1, 5, 9, 13, 4, 6, 2, 12, 4};
    for (size_t i = 0; i < std::size(want); ++i) EXPECT_EQ(dt_c_layout(int(i)), want[i]) << i;
    EXPECT_EQ(dt_c_layout(int(std::size(want))), size_t(-1));
}

TEST(DataRecords, WireImagesAreLittleEndian) {
    uint8_t w[12];
    vz::dt::encode(al_write_info_t{5, 0, 0x0102, 0x0A0B0C0D, 0}, w);
    EXPECT_EQ(Bytes(w, w + 12), (Bytes{5, 0, 0x02, 0x01, 0x0D, 0x0C, 0x0B, 0x0A, 0, 0, 0, 0}));

    uint8_t e[13];
    vz::dt::encode(al_erase_info_t{1, 0x00012345, AL_CHUNK_MAX, 0}, e);
    EXPECT_EQ(Bytes(e, e + 13), (Bytes{1, 0x45, 0x23, 0x01, 0, 0xFA, 0x03, 0, 0, 0, 0, 0, 0}));

    uint8_t h[6];
    vz::dt::encode(al_chunk_hdr_t{0x9DD6, 3}, h);
    EXPECT_EQ(Bytes(h, h + 6), (Bytes{0xD6, 0x9D, 3, 0, 0, 0}));

    const uint8_t ack[13] = {7, 1, 0, 0, AL_STATUS_READY, 9, 9, 9, 9, 9, 9, 9, 9};
    const al_ack_t a = vz::dt::decode_ack(ack);
    EXPECT_EQ(a.next, 0x107u);
    EXPECT_EQ(a.status, AL_STATUS_READY);

    const uint8_t info[16] = {2, 0, 6, 0, 0x85, 3, 0, 0, 0, 0, 0x10, 0x08, 0, 0, 0, 0};
    const al_data_info_t d = vz::dt::decode_info(info);
    EXPECT_EQ(d.type, 2);
    EXPECT_EQ(d.version, 6);
    EXPECT_EQ(d.size, 901u);
    EXPECT_EQ(d.addr, 0x08100000u);
    uint8_t back[16];
    vz::dt::encode(d, back);
    EXPECT_EQ(0, std::memcmp(back, info, 16));
}

TEST(DataCrc, KnownValues) {
    EXPECT_EQ(al_data_calc_crc(u8("abc"), 3), 0x9DD6);
    EXPECT_EQ(al_data_calc_crc(u8("123456789"), 9), 0x31C3);
}

TEST(DataCrc, EmptyBufferIsZero) {
    EXPECT_EQ(al_data_calc_crc(u8("abc"), 0), 0);
    EXPECT_EQ(al_data_calc_crc(nullptr, 0), 0);
}

TEST(DataCrc, OnlyLowSixteenBitsOfLengthCount) {
    std::mt19937 rng(7);
    const Bytes big = random_bytes(rng, 65536 + 1018);
    EXPECT_EQ(al_data_calc_crc(big.data(), 65536), 0);
    EXPECT_EQ(al_data_calc_crc(big.data(), 131072), 0);
    EXPECT_EQ(al_data_calc_crc(big.data(), 65536 + 1018), crc_by_definition(big.data(), 1018));
    EXPECT_EQ(al_data_calc_crc(big.data(), 65535), crc_by_definition(big.data(), 65535));
}

TEST(DataCrc, MatchesDefinitionOnRandomBuffers) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 200; ++round) {
        const Bytes b = random_bytes(rng, rng() % 2100);
        const uint16_t want = crc_by_definition(b.data(), b.size());
        ASSERT_EQ(al_data_calc_crc(b.data(), uint32_t(b.size())), want) << b.size();
        ASSERT_EQ(vz::dt::crc16_reference(b.data(), b.size()), want) << b.size();
    }
}

TEST(DataCrc, CheckValueOfAppendedCrcIsZero) {
    // Appending the CRC (most significant byte first) leaves remainder 0.
    std::mt19937 rng(99);
    Bytes b = random_bytes(rng, 1018);
    const uint16_t c = al_data_calc_crc(b.data(), uint32_t(b.size()));
    b.push_back(uint8_t(c >> 8));
    b.push_back(uint8_t(c));
    EXPECT_EQ(al_data_calc_crc(b.data(), uint32_t(b.size())), 0);
}

TEST(DataRecordCalls, ReadOfOtherActionsAnswersOneWithoutTouchingDestination) {
    uint8_t dst[13];
    std::memset(dst, 0x5A, sizeof dst);
    EXPECT_EQ(al_data_read_action_info(nullptr, 3, dst), 1);
    EXPECT_EQ(al_data_read_action_info(nullptr, AL_ACT_DATA, dst), 1);
    for (uint8_t b : dst) EXPECT_EQ(b, 0x5A);
}

TEST(DataRecordCalls, NoDeviceHandleIsRefused) {
    LogCapture log;
    vizor_ll_usb_t closed{};  // a transport record with no open handle
    auto *ll = reinterpret_cast<vizor_ll_t *>(&closed);
    const al_ack_t ack{};
    uint8_t buf[16] = {};
    EXPECT_EQ(al_data_send_action_info(ll, AL_ACT_ACK, &ack, nullptr), -1);
    EXPECT_EQ(al_data_read_action_info(ll, AL_ACT_ACK, buf), 0);
    EXPECT_EQ(al_get_data_info(ll, AL_ACT_GET_INFO, buf, 16), 0);
    EXPECT_EQ(al_get_data_payload(nullptr, buf, 4), 0);
    EXPECT_EQ(vizor_bin_data_write(ll, 5, 1, 0, "x.bin"), -1);
    EXPECT_EQ(vizor_ll_firmware_upgrade(nullptr, 5, 1, "x.bin"), -1);
    EXPECT_EQ(log.count("[al_data_send_action_info]  Device handler Is NULL!\r\n"), 1);
    EXPECT_EQ(log.count("[al_data_read_action_info]  Device handler Is NULL!\r\n"), 1);
    EXPECT_EQ(log.count("[al_get_data_info]  Device handler Is NULL!\r\n"), 1);
    EXPECT_EQ(log.count("[al_get_data_payload]  Device handler Is NULL!\r\n"), 1);
    EXPECT_EQ(log.count("[vizor_bin_data_write]  Device handler Is NULL!\r\n"), 2);
    EXPECT_EQ(vizor_bin_data_read(ll, 2, temp_path("never.bin").c_str()), -1);
    EXPECT_NE(access(temp_path("never.bin").c_str(), F_OK), 0);
}

TEST(DataRecordCalls, DeviceCallsWithoutOpenDeviceSayWrongParams) {
    LogCapture log;
    vz_log_enable(VZ_LOG_CH_FILE, VZ_LOG_DBG, nullptr);
    vizor_dev_t dev{};
    EXPECT_EQ(vizor_data_download(nullptr, "x.bin", 5, 1, 0), -1);
    EXPECT_EQ(vizor_data_download(&dev, "x.bin", 5, 1, 0), -1);
    vizor_ll closed;  // private state of a record that is not open
    dev.ll = &closed;
    EXPECT_EQ(vizor_firmware_upgrade(&dev, 5, 1, "x.bin"), -1);
    EXPECT_EQ(vizor_data_upload(&dev, 2, nullptr), -1);
    EXPECT_EQ(dev.api_busy, 0);
    EXPECT_EQ(log.count("[vizor_data_download] Wrong params\n"), 2);
    EXPECT_EQ(log.count("[vizor_firmware_upgrade] Wrong params\n"), 1);
    EXPECT_EQ(log.count("[vizor_data_upload] Wrong params\n"), 1);
}

TEST(DataImageFile, WholeFileIsReportedWithItsSize) {
    LogCapture log;
    const std::string p = temp_path("dt_img_ok.bin");
    FILE *f = std::fopen(p.c_str(), "wb");
    ASSERT_TRUE(f);
    const uint8_t bytes[5] = {0xAB, 1, 2, 3, 4};
    std::fwrite(bytes, 1, 5, f);
    std::fclose(f);
    int size = -7;
    EXPECT_EQ(al_data_build_file_buffer(p.c_str(), &size), 1);
    EXPECT_EQ(size, 5);
    EXPECT_TRUE(log.has("[al_data_build_file_buffer] Loading data image file:" + p + "\n"));
    EXPECT_TRUE(log.has("[al_data_build_file_buffer] File size:5\n"));
    EXPECT_TRUE(log.has("[al_data_build_file_buffer] File read ok,5,ab\n"));
    EXPECT_TRUE(log.has("[al_data_build_file_buffer] Data image file loaded.\n"));
    std::remove(p.c_str());
}

TEST(DataImageFile, EmptyFileFails) {
    LogCapture log;
    const std::string p = temp_path("dt_img_empty.bin");
    std::fclose(std::fopen(p.c_str(), "wb"));
    int size = -7;
    EXPECT_EQ(al_data_build_file_buffer(p.c_str(), &size), -1);
    EXPECT_EQ(size, 0);
    EXPECT_TRUE(log.has("[INF] [al_data_build_file_buffer] Data image file loading failed.\n"));
    std::remove(p.c_str());
}

TEST(DataImageFile, MissingFileOrDirectoryFails) {
    LogCapture log;
    EXPECT_EQ(al_data_build_file_buffer(temp_path("dt_no_such.bin").c_str(), nullptr), -1);
    EXPECT_FALSE(log.has("File size"));
    EXPECT_EQ(al_data_build_file_buffer(nullptr, nullptr), -1);
    int size = -7;
    EXPECT_EQ(al_data_build_file_buffer(::testing::TempDir().c_str(), &size), -1);
    EXPECT_EQ(size, 0);
}
