// A hold on a device across several public calls: while held, a close from
// another thread waits (bounded) or leaves its end to the holder, so that
// work made of many calls (an EPC calibration run) never meets a freed
// record between two of them. The device subsystem provides the hold when
// it starts; subsystems below it take holds through this interface.
#pragma once

struct vizor_dev;

namespace vz {

// The device subsystem's hold: take returns a token (NULL when the device is
// not open or is closing), drop releases it on the thread that took it.
struct DevHoldOps {
    void *(*take)(struct vizor_dev *dev);
    void (*drop)(void *token);
};
void set_dev_hold_ops(DevHoldOps ops);

// Holds dev for the lifetime of the object (same thread).
class DevHold {
public:
    explicit DevHold(struct vizor_dev *dev);
    ~DevHold();
    DevHold(const DevHold &) = delete;
    DevHold &operator=(const DevHold &) = delete;
    // The device was open and not closing when the hold was taken.
    bool ok() const { return token_ != nullptr; }

private:
    void *token_ = nullptr;
};

}  // namespace vz
