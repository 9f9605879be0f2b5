// vizor view: the pieces of the live viewer that need no camera and no
// network (the request guard, the latest-frame slot, the frame record the
// page reads), so the tests exercise them alone.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vztool::view {

// ---- request guard ------------------------------------------------------------

// Whether a request may be served. host is the Host header, origin the
// Origin header ("" when absent), bind the address the server listens on
// and port its port. Host must name the server (a loopback name, or the bind
// address when that is not a wildcard), which keeps DNS-rebinding pages out;
// Origin, when present, must be "http://" + Host. Changing requests
// (need_origin) must carry a matching Origin: browsers always send one with
// fetch POSTs, and a page of another site cannot forge it.
bool request_allowed(const std::string &host, const std::string &origin, const std::string &bind,
                     int port, bool need_origin);

// ---- request values -------------------------------------------------------------

// A decimal value of the page's control form or query: nullopt when it is
// missing, longer than 12 characters, not wholly a number or outside lo..hi.
std::optional<long> form_number(const std::string &text, long lo, long hi);

// The frame sequence a long poll asks to be newer than ("after"): 0 when it
// is absent, not a plain decimal or beyond 32 bits.
uint32_t frame_after(const std::string &text);

// ---- latest-frame slot ----------------------------------------------------------

using Buffer = std::shared_ptr<const std::vector<uint8_t>>;

// Holds the newest encoded frame. The capture thread publishes (a pointer
// swap under a short lock, never waiting for a reader); each client waits
// for a sequence number newer than the one it has and gets only the newest,
// so a slow client skips frames instead of holding up capture.
class FrameSlot {
public:
    void publish(Buffer frame);
    // The newest frame with a sequence above after, waiting at most timeout_ms;
    // null on time-out or once closed. seq receives its sequence number.
    Buffer wait_newer(uint32_t after, int timeout_ms, uint32_t &seq);
    uint32_t seq() const;
    // Wakes every waiter for good (the server is stopping).
    void close();

private:
    mutable std::mutex mu_;
    std::condition_variable cv_;
    Buffer frame_;
    uint32_t seq_ = 0;
    bool closed_ = false;
};

// A small pool of frame buffers: a buffer comes back into use once no client
// holds it any more, so steady capture allocates nothing per frame.
class BufferPool {
public:
    std::shared_ptr<std::vector<uint8_t>> take();

private:
    std::vector<std::shared_ptr<std::vector<uint8_t>>> bufs_;
};

// ---- frame record -----------------------------------------------------------------

// One frame as the page reads it, little-endian:
//   header of kHeaderWords 32-bit words (FrameHeader, in order),
//   colour bar: 256 RGB triples from the near to the far end of the range,
//   distance image: width*height RGB triples, padded to 4 bytes,
//   distances: width*height float metres (as the driver gave them),
//   gray: width*height float,
//   points: points*3 float metres (x, y, z of the valid pixels in pixel order),
//   point colours: points RGB triples.
struct FrameHeader {
    uint32_t magic = 0x31565a56;  // "VZV1"
    uint32_t seq = 0;
    uint32_t width = 0, height = 0;
    uint32_t points = 0;
    float range_lo = 0, range_hi = 0;  // colour range, metres
    float fps = 0;                     // frames per second the camera delivers
    uint32_t discarded = 0;            // frames the library discarded since start
    uint32_t errors = 0;               // capture errors since start
    int32_t last_error = 0;            // the last capture error code
    float gray_white = 0;              // gray value shown as white
    uint32_t intg_us = 0;              // integration time last set or read
    uint32_t flags = 0;                // bit 0 capturing, bit 1 recording
    uint32_t recorded = 0;             // frames in the recording
    uint32_t reserved = 0;
};
constexpr size_t kHeaderWords = sizeof(FrameHeader) / 4;
constexpr uint32_t kFlagRunning = 1, kFlagRecording = 2;

// Writes one frame record into out (resized, its capacity reused).
// rgb: w*h*3, dist, gray: w*h (gray may be empty: zeros), bar: 256*3,
// pcl: points*3, pcl_rgb: points*3.
void encode_frame(std::vector<uint8_t> &out, const FrameHeader &h, const uint8_t *bar,
                  const uint8_t *rgb, const float *dist, const float *gray, const float *pcl,
                  const uint8_t *pcl_rgb);

}  // namespace vztool::view
