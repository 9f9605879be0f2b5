// A four-slot frame queue kept for applications (the library itself does not
// use it): frames are copied in and out, one slot of 328 x 252 pixels x 8
// bytes each, oldest first.
#include <cstring>

#include "epc660/base.h"

namespace {

constexpr int kSlots = 4;
constexpr int kSlotBytes = 661248;

struct QueueState {
    int head = 0;    // oldest frame
    int count = 0;   // frames held
    int errors = 0;  // refused enqueue/dequeue calls since queueInit
    int length[kSlots] = {};
    uint8_t slot[kSlots][kSlotBytes] = {};
};
QueueState &queue_state() { return vz::epc::state<QueueState>(vz::epc::kSlotQueue); }
#undef EPC_BIND
#define EPC_BIND [[maybe_unused]] QueueState &g_queue = queue_state();

int next(int i) { return (i + 1) % kSlots; }

}  // namespace

extern "C" {

VZ_API int queueInit(void) noexcept {
    EPC_ENTRY(-1, {
        g_queue.head = g_queue.count = g_queue.errors = 0;
        return 0;
    });
}
VZ_API int succ(int index) noexcept {
    EPC_ENTRY(-1, { return index < 0 ? 0 : next(index % kSlots); });
}
VZ_API int isQueueEmpty(void) noexcept {
    EPC_ENTRY(1, { return g_queue.count == 0 ? 1 : 0; });
}
VZ_API int queueError(void) noexcept {
    EPC_ENTRY(-1, { return g_queue.errors; });
}
VZ_API int cleanQueue_intern(void) noexcept {
    EPC_ENTRY(-1, {
        g_queue.head = g_queue.count = 0;
        return 0;
    });
}
VZ_API int enqueue(const uint8_t *frame, int length) noexcept {
    EPC_ENTRY(-1, {
        if (frame == nullptr || length < 0 || length > kSlotBytes || g_queue.count == kSlots) {
            ++g_queue.errors;
            return -1;
        }
        const int tail = (g_queue.head + g_queue.count) % kSlots;
        memcpy(g_queue.slot[tail], frame, size_t(length));
        g_queue.length[tail] = length;
        ++g_queue.count;
        return 0;
    });
}
VZ_API int dequeue(uint8_t *out) noexcept {
    EPC_ENTRY(-1, {
        if (out == nullptr || g_queue.count == 0) {
            ++g_queue.errors;
            return -1;
        }
        const int n = g_queue.length[g_queue.head];
        memcpy(out, g_queue.slot[g_queue.head], size_t(n));
        g_queue.head = next(g_queue.head);
        --g_queue.count;
        return n;
    });
}

}  // extern "C"

namespace vz::epc {
constinit const SlotOps queue_slot = slot_ops<QueueState>();
}  // namespace vz::epc
