// Wire constants of the camera, seen from the camera's side of each exchange.
// The virtual camera keeps its own copy of these numbers on purpose: it must
// not share code with the host library, so that a misreading on one side is
// not mirrored on the other and hidden from the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vcam::proto {

// bmRequestType of the camera's class requests (class, endpoint recipient).
inline constexpr uint8_t kTypeClassOut = 0x22;
inline constexpr uint8_t kTypeClassIn = 0xA2;

// bRequest codes.
inline constexpr uint8_t kReqStatus = 0xB0;
inline constexpr uint8_t kReqCtrl = 0xC2;
inline constexpr uint8_t kReqCfg = 0xC0;
inline constexpr uint8_t kReqData = 0xCC;

// wValue of kReqCtrl.
inline constexpr uint16_t kCtrlRegWrite = 0;
inline constexpr uint16_t kCtrlRegRead = 1;
inline constexpr uint16_t kCtrlCapStart = 4;
inline constexpr uint16_t kCtrlCapStop = 5;
// wValue of kReqCfg.
inline constexpr uint16_t kCfgReset = 0;
inline constexpr uint16_t kCfgParamSet = 3;
inline constexpr uint16_t kCfgParamGet = 4;

// Status reply.
inline constexpr size_t kStatusLen = 63;
inline constexpr size_t kStatusTextLen = kStatusLen - 3;
inline constexpr uint8_t kStatusDone = 0x00;
inline constexpr uint8_t kStatusBusy = 0xFE;
inline constexpr uint8_t kStatusFailed = 0xFF;

// Register header: target, first address, byte count of the values.
inline constexpr size_t kRegHdrLen = 7;
inline constexpr uint8_t kTargetSensor = 1;  // 256 8-bit registers
inline constexpr size_t kSensorRegCount = 256;

// Parameter wire record.
inline constexpr size_t kParamRecLen = 20;
inline constexpr size_t kParamValueLen = 18;
inline constexpr uint8_t kParamDevMode = 0;
inline constexpr uint8_t kParamInfoStr = 2;
inline constexpr uint8_t kParamInfoProduct = 3;
inline constexpr uint8_t kParamInfoBlob = 5;
inline constexpr uint8_t kParamInfoExt = 6;
inline constexpr uint8_t kParamInfoSensor = 7;
inline constexpr uint8_t kParamInfoCalib = 8;
inline constexpr uint8_t kParamImgMode = 10;
inline constexpr uint8_t kParamIntgTime = 13;
inline constexpr uint8_t kParamTemp = 15;
inline constexpr uint8_t kDevModeNormal = 0;
inline constexpr uint8_t kDevModeDataUp = 9;

// Reset targets.
inline constexpr uint32_t kResetBoard = 0;
inline constexpr uint32_t kResetSensor = 1;
inline constexpr uint32_t kResetUsb = 3;

// Data-transfer actions (wValue of kReqData) and their records.
inline constexpr uint16_t kActGetInfo = 0;
inline constexpr uint16_t kActWriteInfo = 1;
inline constexpr uint16_t kActAck = 4;
inline constexpr uint16_t kActOpaque5 = 5;
inline constexpr uint16_t kActData = 6;
inline constexpr uint16_t kActErase = 7;
inline constexpr uint16_t kActPayload = 17;
inline constexpr size_t kInfoLen = 16;
inline constexpr size_t kWriteInfoLen = 12;
inline constexpr size_t kAckLen = 13;
inline constexpr size_t kOpaque5Len = 9;
inline constexpr size_t kChunkHdrLen = 6;
inline constexpr size_t kEraseLen = 13;
inline constexpr size_t kPayloadReqLen = 12;
inline constexpr uint32_t kChunkSize = 1018;
inline constexpr uint32_t kMaxPayloadPiece = 450;
inline constexpr uint32_t kNoImage = 0xFFFFFFFFu;
inline constexpr uint8_t kAckReady = 1;
inline constexpr uint8_t kAckInfoOk = 3;
inline constexpr uint8_t kAckErasing = 4;

// Stream header.
inline constexpr size_t kStreamHdrLen = 36;
inline constexpr uint16_t kStreamMagic = 0x98FB;
inline constexpr uint32_t kMaxDlen = 0xFFFFF;
inline constexpr uint32_t kMaxFrameSize = 0x7FFFFFF;
inline constexpr uint16_t kMaxFrameFormat = 0x3FF;
inline constexpr uint16_t kFormatCalibData = 171;

// Bulk IN endpoint of the frame stream.
inline constexpr uint8_t kBulkInEp = 0x81;

// memcpy that accepts empty (possibly null) ranges.
inline void copy_bytes(void *dst, const void *src, size_t n) {
    if (n) __builtin_memcpy(dst, src, n);
}

// Little-endian helpers (the camera is little-endian on the wire).
inline uint16_t get16(const uint8_t *p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t get32(const uint8_t *p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline void put16(uint8_t *p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void put32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// CRC-16/XMODEM (poly 0x1021, init 0, MSB first): protects data chunks.
inline uint16_t crc16_xmodem(std::span<const uint8_t> data) {
    uint16_t crc = 0;
    for (uint8_t b : data) {
        crc = uint16_t(crc ^ (b << 8));
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    }
    return crc;
}

// Fletcher-16 of a stream header's first 34 bytes: s1 in the low byte.
inline uint16_t fletcher16(const uint8_t *p, size_t n) {
    unsigned s1 = 0, s2 = 0;
    for (size_t i = 0; i < n; ++i) {
        s1 = (s1 + p[i]) % 255;
        s2 = (s2 + s1) % 255;
    }
    return uint16_t(s1 | (s2 << 8));
}

}  // namespace vcam::proto
