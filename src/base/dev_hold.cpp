// The device hold interface: see dev_hold.h.
#include "base/dev_hold.h"

#include <atomic>

namespace vz {

namespace {
std::atomic<void *(*)(struct vizor_dev *)> g_take{nullptr};
std::atomic<void (*)(void *)> g_drop{nullptr};
}  // namespace

void set_dev_hold_ops(DevHoldOps ops) {
    g_drop.store(ops.drop);
    g_take.store(ops.take);
}

DevHold::DevHold(struct vizor_dev *dev) {
    auto take = g_take.load();
    if (dev && take) token_ = take(dev);
}

DevHold::~DevHold() {
    auto drop = g_drop.load();
    if (token_ && drop) drop(token_);
}

}  // namespace vz
