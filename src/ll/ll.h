// Internal interface of the USB transport, shared by its modules.
#pragma once

#include <libusb.h>

#include <cstdint>

#include "vizor/ll.h"

namespace vz::ll {

// The transport's part of the device API's per-device record: vizor_ll_t
// begins with a vizor_ll_usb_t, and this is the one place that relies on it.
inline vizor_ll_usb_t *usb(vizor_ll_t *ll) { return reinterpret_cast<vizor_ll_usb_t *>(ll); }

// Event wait of the device's event thread, milliseconds.
constexpr int kEvtWaitMs = 500;

// Reopen attempts after a USB-interface reset and the pause before each.
constexpr int kResetReopenTries = 15;
constexpr uint32_t kResetReopenPauseMs = 200;

// Busy replies of the status check are repeated for this long at most,
// this far apart.
constexpr int64_t kBusyLimitMs = 10000;
constexpr uint32_t kBusyPauseMs = 1;

// The bound in force (kBusyLimitMs unless a test shortened it).
int64_t busy_limit_ms();
void set_busy_limit_ms(int64_t ms);

// How long a command waits beyond its transfer's own time-out before it
// cancels the transfer itself, and the shortest total wait.
constexpr uint32_t kCmdWaitMarginMs = 500;
constexpr uint32_t kCmdMinWaitMs = 1000;

// Library-wide USB debug level for new contexts (ll_lib.cpp).
int debug_level();

// One command transfer (ll_cmd.cpp). usb must be open. True when exactly len
// payload bytes were transferred.
bool exe_cmd(vizor_ll_usb_t *usb, int dir, uint8_t request, uint16_t value, void *buf, uint16_t len,
             uint32_t timeout_ms);

// Status check of the last command (ll_cmd.cpp). usb must be open.
bool check_last_cmd(vizor_ll_usb_t *usb, uint8_t request, uint16_t value);

// Logs the "USB handler Is NULL" error and returns false when ll is NULL or
// not open; otherwise returns true.
bool require_open(vizor_ll_t *ll);

// Releases the command transfers that their callers gave up on while the
// device with handle hdl was open. Call after the event thread was joined
// and the handle closed: no completion can run any more.
void release_abandoned_cmds(libusb_device_handle *hdl);

// Number of abandoned command transfers still held for hdl (for tests).
int abandoned_cmds(libusb_device_handle *hdl);

// Body of the device's event thread (ll_evt.cpp); arg is the vizor_ll_t.
void *evt_thread(void *arg);

// Wakes the event thread of usb from its event wait (ll_evt.cpp).
void evt_wake(vizor_ll_usb_t *usb);

}  // namespace vz::ll
