// Internal interface of the data-transfer subsystem: wire encoding of the al_*
// records, the flows on the transport's per-device state, and the timing
// hooks through which tests replace the flows' clock and pauses.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vizor/datatrans.h"
#include "vizor/ll.h"

namespace vz::dt {

// Wire sizes of the records.
constexpr size_t kInfoLen = 16;
constexpr size_t kWriteInfoLen = 12;
constexpr size_t kEraseLen = 13;
constexpr size_t kAckLen = 13;
constexpr size_t kChunkHdrLen = 6;
constexpr size_t kPayloadReqLen = 12;

// Transfer time-outs of the actions, milliseconds.
constexpr uint32_t kTimeoutShortMs = 1000;  // GET_INFO, DATA, PAYLOAD, sending an ACK
constexpr uint32_t kTimeoutReadMs = 5000;   // ACK and action 5 reads
constexpr uint32_t kTimeoutLongMs = 10000;  // WRITE_INFO, ERASE

// Pacing and bound of the flash-erase wait, and the waits after a write.
constexpr uint32_t kErasePollMs = 10;
constexpr int64_t kEraseLimitMs = 120000;
constexpr uint32_t kResetWaitMs = 20000;  // types 0 and 1, after the board reset
constexpr uint32_t kDataWaitMs = 7000;    // types 2 and 3

// Clock and pause used by the flows. Tests install their own so that the
// erase bound and the waits after a write pass without real time passing.
struct Timing {
    void (*sleep_ms)(uint32_t ms);  // pauses the calling thread
    int64_t (*now_ms)();            // monotonic milliseconds
};

// Installs t (a null member selects the library's own function) and returns
// the timing that was in effect. Not for use while a flow runs.
Timing set_timing(Timing t);
// The timing in effect.
Timing timing();

// CRC-16/XMODEM of len bytes: the byte-wise table loop the library uses, and
// the bit-by-bit definition it must equal.
uint16_t crc16(const uint8_t *buf, size_t len);
uint16_t crc16_reference(const uint8_t *buf, size_t len);

// Little-endian wire images of the records.
void encode(const al_write_info_t &r, uint8_t out[kWriteInfoLen]);
void encode(const al_erase_info_t &r, uint8_t out[kEraseLen]);
void encode(const al_ack_t &r, uint8_t out[kAckLen]);
void encode(const al_chunk_hdr_t &r, uint8_t out[kChunkHdrLen]);
void encode(const al_data_info_t &r, uint8_t out[kInfoLen]);
al_ack_t decode_ack(const uint8_t in[kAckLen]);
al_data_info_t decode_info(const uint8_t in[kInfoLen]);

// True when ll is not null and holds an open libusb device handle.
bool has_handle(vizor_ll_t *ll);

// The progress callback current at the start of a flow.
struct Progress {
    vizor_data_progress_f cb = nullptr;
    void *user = nullptr;
    void operator()(uint32_t done, uint32_t total) const {
        if (cb) cb(user, done, total);
    }
};
Progress progress();

// The flows (dt_flow.cpp): results 1 or -1, as the exported functions.
int write_image(vizor_ll_t *ll, uint8_t type, uint16_t version, const char *fname);
int read_image(vizor_ll_t *ll, uint8_t type, const char *fname);

}  // namespace vz::dt
