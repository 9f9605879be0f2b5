// The virtual camera: a software model of the camera attached below the real
// libusb-1.0 through umockdev's user-space usbfs emulation. Tests, examples
// and the command-line tool's virtual mode build a virtual bus with it; the
// library (or any libusb program) then finds, opens and streams from the
// cameras on that bus exactly as from real ones.
//
// Requirements
//   * The process must run with LD_PRELOAD=libumockdev-preload.so.0 from its
//     start (CTest: vizor_test(... UMOCKDEV); programs: vcam::ensure_preload;
//     unmodified programs: vizor-vcam-run -c 1-1 -- ./app, see README.md).
//     Under AddressSanitizer libasan must come first in LD_PRELOAD.
//   * Create the Bus before libusb_init: libusb scans the bus at init time.
//     Cameras added later are announced with a hotplug "add" event.
//   * Destroy the Bus after every libusb context that used it was exited.
//   * The testbed is a directory tree under TMPDIR that every plug and unplug
//     rewrites; on a disk-backed /tmp set TMPDIR=/dev/shm (CTest does).
//
// Building a bus
//     vcam::Bus bus;                                   // before libusb_init
//     auto& cam = bus.add_camera(3, 2);                // bus 3, port 2, OPT8241
//     auto& epc = bus.add_camera(3, 4, vcam::Speed::high, "VZ-E1-660");
//     cam.fw().set_scene(vcam::Scene::flat(320, 240, 1.5f, 0.8f));
//     cam.inject(vcam::Fault::status_busy, vcam::FaultSpec().times(2));
//     libusb_init(&ctx); ...
//
// Threads: every member may be called from any thread. The camera model runs
// on umockdev's ioctl thread and on one worker thread of the Bus (frame-rate
// timing, unplug and replug); it is guarded by std::mutex. When nothing is
// queued the device nodes are not writable, so libusb's event loop sleeps in
// poll() and an idle virtual camera costs no CPU.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vcam/faults.h"
#include "vcam/firmware.h"
#include "vcam/sensor.h"
#include "vcam/stream.h"

namespace vcam {

// USB identity of every virtual camera (the build's VIZOR_USB_VID/PID).
uint16_t usb_vendor_id();
uint16_t usb_product_id();

// Port speed as sysfs reports it, in Mbit/s.
enum class Speed : int { full = 12, high = 480, super = 5000 };

struct CameraConfig {
    // Product string, parameters, stream, flash behaviour of the firmware.
    FirmwareConfig fw;
    Speed speed = Speed::high;
    // Parameters set (or overridden) before the camera appears: id -> value
    // of at most 18 bytes.
    std::map<uint8_t, std::vector<uint8_t>> params;
    std::string manufacturer = "vizor";
    std::string serial;  // empty: "VCAM<bus>-<port>"
    uint16_t bcd_device = 0x0100;
    // How long the camera stays off the bus after a reset of target 3 (the USB
    // interface) before it is back on the same bus and port.
    std::chrono::milliseconds usb_reset_delay{50};
};

class Bus;

// One camera on the virtual bus. The Bus owns it; the reference stays valid
// until remove_camera or the Bus's destruction.
class Camera {
public:
    ~Camera();
    Camera(const Camera &) = delete;
    Camera &operator=(const Camera &) = delete;

    // The firmware model: registers, parameters, flash, sensor, stream
    // settings, statistics, command log and fault switches.
    Firmware &fw();

    uint8_t bus() const;
    uint8_t port() const;
    uint8_t address() const;  // changes at every replug, like a real device
    Speed speed() const;
    std::string devnode() const;  // "/dev/bus/usb/BBB/DDD" of the current address
    bool present() const;         // on the bus (enumerable)

    // Takes the camera off the bus: every transfer in flight completes with
    // "no device", later requests fail with ENODEV, and it leaves enumeration
    // (hotplug "remove" event). Returns at once when it is not present.
    void unplug();
    // Puts the camera back on the same bus and port with a new address. The
    // firmware starts as after power-up (board reset); flash and parameters a
    // test set are kept.
    void replug();

    // Waits until present() equals `present` (after a reset of target 3, a
    // vanish fault or an unplug, the bus changes on the Bus's worker thread).
    // Returns false on time-out.
    bool wait_present(bool present,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

    // Shorthands for fw().inject / fw().clear_fault.
    void inject(Fault f, FaultSpec plan = {}) { fw().inject(f, std::move(plan)); }
    void clear_fault(Fault f) { fw().clear_fault(f); }

    struct Impl;

private:
    friend class Bus;
    explicit Camera(std::shared_ptr<Impl> d);
    std::shared_ptr<Impl> d_;
};

class Bus {
public:
    // Creates the umockdev testbed. Throws std::runtime_error when the process
    // does not run under the umockdev preload.
    Bus();
    ~Bus();
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;

    // Adds a camera at bus `bus` (1..127), port `port` (1..127). A second
    // camera on the same bus and port throws std::invalid_argument.
    Camera &add_camera(uint8_t bus, uint8_t port, const CameraConfig &cfg);
    Camera &add_camera(uint8_t bus, uint8_t port, Speed speed = Speed::high,
                       const std::string &product = "VZ-T0-320");
    // Unplugs the camera and forgets it.
    void remove_camera(Camera &cam);

    std::vector<Camera *> cameras() const;
    std::string root_dir() const;  // the testbed's root directory

    struct Impl;

private:
    std::unique_ptr<Impl> d_;
};

// For programs that want to run on a virtual bus (examples, the tool's
// virtual mode): when LD_PRELOAD does not name libumockdev-preload.so.0,
// re-executes the program with it added and never returns; otherwise returns.
// Call it first thing in main().
void ensure_preload(char **argv);

}  // namespace vcam
