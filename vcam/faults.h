// Fault switches of one virtual camera. Each fault is armed by a test with a
// FaultSpec and strikes at its occurrences (what counts as an occurrence is
// given per fault below). Not thread-safe by itself: the firmware model
// guards its table with its own mutex.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace vcam {

enum class Fault : int {
    // Bulk IN endpoint. Occurrence: a bulk IN transfer that would complete.
    bulk_stall,    // the transfer completes with a stall (EPIPE), no data
    bulk_error,    // the transfer completes with a protocol error (EPROTO)
    bulk_timeout,  // the device sends nothing: the host transfer times out
    vanish,        // the device disappears: every pending transfer completes
                   // with "no device", it leaves enumeration and refuses
                   // every request until the test replugs it
    // Stream. Occurrence: a stream chunk (header plus payload) being generated.
    corrupt_header_cksum,  // the chunk's header carries a wrong Fletcher-16
    lost_chunk,            // the chunk is never sent (the next hdr_idx skips one)
    wrong_fridx,           // the chunk's fridx is off by value (default 1)
    truncated_payload,     // value bytes (default: half) of the payload are not sent
    // Command channel. Occurrence given per fault.
    status_busy,          // status reads (0xB0): answer busy (0xFE)
    status_other_cmd,     // status reads: name another command than the last one
    command_fails,        // commands other than status: not executed, the status
                          // reports failure (0xFF) with message (default text)
    short_control_reply,  // class IN replies (status included): value bytes
                          // (default 1) fewer than asked
    refuse_interface0,    // claims of interface 0: refused (EBUSY)
    param_len_overflow,   // records in a parameter get reply: length byte set to
                          // value (default 40), larger than the 18-byte value area
    control_hang,         // class control requests (status included): never
                          // answered; the URB stays pending, cannot be discarded,
                          // and completes with "no device" when the camera
                          // leaves the bus
    // Data transfer. Occurrence: an acknowledgement read after the camera took
    // a data chunk.
    ack_next,  // the acknowledgement reports `next` = value instead of
               // the chunk the camera really expects
    count_
};

inline constexpr int kFaultCount = static_cast<int>(Fault::count_);

// When and how a fault strikes, built with chained setters:
//   FaultSpec().after(2).times(3)   strikes occurrences 3, 4 and 5
//   FaultSpec().always()            strikes every occurrence until cleared
struct FaultSpec {
    uint32_t skip = 0;     // occurrences passed over before the first strike
    uint32_t strikes = 1;  // strikes before the fault disarms itself; 0 = never
    int value = 0;         // fault-specific argument (see Fault), 0 = default
    std::string message;   // command_fails: the failure text

    FaultSpec &after(uint32_t n) {
        skip = n;
        return *this;
    }
    FaultSpec &times(uint32_t n) {
        strikes = n;
        return *this;
    }
    FaultSpec &always() {
        strikes = 0;
        return *this;
    }
    FaultSpec &arg(int v) {
        value = v;
        return *this;
    }
    FaultSpec &text(std::string m) {
        message = std::move(m);
        return *this;
    }
};

class FaultTable {
public:
    void arm(Fault f, FaultSpec plan) {
        auto &s = slots_[idx(f)];
        s.plan = std::move(plan);
        s.armed = true;
    }
    void clear(Fault f) { slots_[idx(f)].armed = false; }
    void clear_all() {
        for (auto &s : slots_) s.armed = false;
    }
    bool armed(Fault f) const { return slots_[idx(f)].armed; }
    // True when the next occurrence would strike (nothing is consumed).
    bool due(Fault f) const {
        const auto &s = slots_[idx(f)];
        return s.armed && s.plan.skip == 0;
    }
    // One occurrence: returns true when the fault strikes it.
    bool strike(Fault f) {
        auto &s = slots_[idx(f)];
        if (!s.armed) return false;
        if (s.plan.skip > 0) {
            --s.plan.skip;
            return false;
        }
        ++s.hits;
        if (s.plan.strikes > 0 && --s.plan.strikes == 0) s.armed = false;
        return true;
    }
    int value(Fault f) const { return slots_[idx(f)].plan.value; }
    const std::string &message(Fault f) const { return slots_[idx(f)].plan.message; }
    // How often the fault struck since the camera was created.
    uint32_t hits(Fault f) const { return slots_[idx(f)].hits; }

private:
    static size_t idx(Fault f) { return static_cast<size_t>(f); }
    struct Slot {
        bool armed = false;
        FaultSpec plan;
        uint32_t hits = 0;
    };
    std::array<Slot, kFaultCount> slots_{};
};

}  // namespace vcam
