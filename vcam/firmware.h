// Firmware model of the camera: everything the camera does behind its USB
// endpoints, as plain C++ with no USB emulation underneath. The control
// endpoint feeds it setup packets with their payload (control()); the bulk
// IN endpoint takes the frame stream out of it (bulk_ready(), bulk_in()).
// The emulated USB device (usb.cpp) and the unit tests drive the same model.
//
// Every public member is thread-safe (one std::mutex guards the model).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vcam/epc.h"
#include "vcam/faults.h"
#include "vcam/sensor.h"
#include "vcam/stream.h"

namespace vcam {

// A data image in the camera's flash.
struct DataImage {
    uint8_t type = 0;
    uint16_t version = 0;
    uint32_t addr = 0;
    std::vector<uint8_t> bytes;
};

struct FirmwareConfig {
    // Product string: three fields separated by "-", the middle field names
    // the host's chip driver ("T0" selects the OPT8241 sensor model, "E1" the
    // epc660 and "E2" the epc635 model).
    std::string product = "VZ-T0-320";
    std::string info = "vizor vcam";           // parameter 2 (up to 18 bytes, NUL-padded)
    std::vector<uint8_t> blob = {1, 0, 0, 0};  // parameter 5
    std::vector<uint8_t> ext = {0, 0, 0, 0};   // parameter 6
    uint16_t part_version = 7;                 // parameter 7 ...
    uint16_t chip_id = 0x1234;
    uint16_t wafer_id = 0x0042;
    uint8_t img_mode = 1;                                      // parameter 10
    uint16_t integration_time = 1000;                          // parameter 13
    std::vector<int16_t> temperatures = {350, 352, 351, 349};  // parameter 15, 0.1 degC
    uint8_t calib_type = 2;               // data type of the calibration image (mode 9)
    uint32_t erase_polls = 3;             // acknowledgement reads that report "erasing"
    uint32_t flash_capacity = 16u << 20;  // largest image accepted
    StreamConfig stream;
    uint32_t packet_size = 512;  // bulk max packet (512 high speed, 64 full)
    EpcModel epc;                // EPC products: part type, switches of the model
};

// One command as the camera saw it (for tests that check the host's traffic).
struct CommandRecord {
    uint8_t request_type = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
    std::vector<uint8_t> out;  // OUT payload
};

struct FirmwareStats {
    uint64_t commands = 0;  // class commands other than status reads
    uint64_t status_reads = 0;
    uint64_t failed_commands = 0;  // commands whose status reports failure
    uint64_t protocol_errors = 0;  // malformed setup packets (stalled)
    uint64_t frames_sent = 0;      // frames handed to the stream
    uint64_t calib_frames = 0;     // of them, calibration data (read by a download)
    uint64_t frames_dropped = 0;   // frames lost at the sensor (host too slow)
    uint64_t frames_unseen = 0;    // sent with every chunk lost or its header broken
    uint64_t frames_split = 0;     // counted twice by the host (StreamGen::frames_split)
    uint64_t frames_unsent = 0;    // still (partly) in the device at a capture stop
    uint64_t chunks = 0;
    uint64_t crc_errors = 0;  // data chunks refused for their CRC
    uint64_t captures = 0;    // capture starts
};

class Firmware {
public:
    explicit Firmware(FirmwareConfig cfg = {});
    ~Firmware();
    Firmware(const Firmware &) = delete;
    Firmware &operator=(const Firmware &) = delete;

    // ---- control endpoint ----------------------------------------------------
    struct ControlResult {
        bool stall = false;  // the request is not understood: the endpoint stalls
        size_t in_len = 0;   // reply bytes written into `in` (IN requests)
    };
    // One class request. `setup` is the 8-byte setup packet, `out` the OUT
    // payload (wLength bytes), `in` room for the reply (wLength bytes).
    ControlResult control(const uint8_t *setup, std::span<const uint8_t> out,
                          std::span<uint8_t> in);

    // ---- bulk IN endpoint ------------------------------------------------------
    enum class BulkStatus { ok, overflow, stall, error, no_device };
    struct BulkResult {
        bool complete = false;  // false: nothing to deliver yet, the transfer waits
        BulkStatus status = BulkStatus::ok;
        size_t length = 0;
    };
    // Whether a host transfer of `room` bytes would complete now. In the "as
    // fast as the host reads" mode this generates frames on demand.
    bool bulk_ready(size_t room);
    // Completes one host transfer (check bulk_ready first; an incomplete result
    // takes nothing).
    BulkResult bulk_in(std::span<uint8_t> dst);
    // The host cancelled the transfer at the head of the bulk queue.
    void bulk_head_cancelled();
    // Rate mode: when the next frame is due (nullopt when none is).
    std::optional<std::chrono::steady_clock::time_point> next_frame_due() const;
    // Rate mode: generates the frames due at `now`.
    void run_due(std::chrono::steady_clock::time_point now);

    // ---- USB-level requests ---------------------------------------------------
    // Whether interface `iface` may be claimed (refuse_interface0 fault).
    bool claim_allowed(unsigned iface);
    // Whether a class control request is swallowed (control_hang fault).
    bool control_hangs();
    // True once after a reset of target 3 (the USB interface) was accepted.
    bool take_usb_reset_request();
    // The device left the bus (vanish fault or a test unplug): the stream stops
    // and the bulk endpoint reports "no device".
    void on_unplugged();
    // The device is back on the bus: it starts like after power-up (board reset).
    void on_plugged();
    bool unplugged() const;

    // ---- test access --------------------------------------------------------
    void inject(Fault f, FaultSpec plan = {});
    void clear_fault(Fault f);
    void clear_faults();
    uint32_t fault_hits(Fault f) const;

    // Parameters: set or override any id (the value is at most 18 bytes;
    // longer values throw std::invalid_argument). A set value survives resets.
    void set_param(uint8_t id, std::vector<uint8_t> value);
    std::optional<std::vector<uint8_t>> param(uint8_t id) const;

    uint32_t reg(uint8_t target, uint32_t addr) const;
    void set_reg(uint8_t target, uint32_t addr, uint32_t value);

    void store_image(uint8_t type, uint16_t version, std::vector<uint8_t> bytes);
    std::optional<DataImage> image(uint8_t type) const;
    void erase_image(uint8_t type);
    void set_erase_polls(uint32_t n);
    void set_opaque5(const std::array<uint8_t, 9> &reply);

    // Sensor: replace the model, or reach the current one under the lock.
    void set_sensor(std::unique_ptr<Sensor> sensor);
    void with_sensor(const std::function<void(Sensor &)> &fn);
    // Frames from `source` instead of the sensor (nullptr: the sensor's again).
    void set_frame_source(std::unique_ptr<FrameSource> source);
    // EPC sensor under the lock (throws std::logic_error for another model).
    void with_epc(const std::function<void(EpcSensor &)> &fn);
    // Rebuilds the factory calibration package from the EPC sensor's current
    // model and IDs and stores it in flash (EpcCalib::none erases it).
    void store_factory_calibration();
    // Scene of the OPT8241 or EPC sensor (throw std::logic_error for another).
    void set_scene(const Scene &scene);
    // OPT8241 helper (throws std::logic_error for another sensor model).
    void set_upper_bits(uint8_t amplitude_hi, uint8_t phase_hi);

    void set_stream(const StreamConfig &cfg);  // takes effect at the next start
    StreamConfig stream() const;

    bool capturing() const;  // between start and stop (or the last frame)
    uint8_t dev_mode() const;
    FirmwareStats stats() const;
    std::vector<CommandRecord> command_log() const;  // the last 4096 commands
    void clear_command_log();
    const FirmwareConfig &config() const { return cfg_; }

private:
    struct Impl;
    FirmwareConfig cfg_;
    std::unique_ptr<Impl> d_;
    mutable std::mutex mu_;
};

}  // namespace vcam
