// Processing contexts of the EPC library: one per bound camera, plus the
// standalone context that serves the library when no camera is the EPC
// default device. A context owns one instance of every module's state; each
// module keeps its state struct in its own file and reaches its instance
// through a slot of the current context.
//
// Which context is current: inside a Scope (the driver's work on one camera)
// that camera's context; otherwise the EPC default device's context, or the
// standalone context when there is none. Every exported EPC function runs
// under a Use: it locks the current context's mutex for its whole body, so
// calls on one context are serialised while two contexts run concurrently
// without sharing anything mutable.
#pragma once

#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>

#include "vizor/vizor.h"

namespace vz::epc {

// One slot per module state struct.
enum Slot : int {
    kSlotAdc,
    kSlotApi,
    kSlotCalc,
    kSlotCalibGuard,
    kSlotCalcFlags,
    kSlotCalcBuffers,
    kSlotCalcLoops,
    kSlotCalcSort,
    kSlotCalibration,
    kSlotCalibrationTables,
    kSlotCalibrationRun,
    kSlotConfig,
    kSlotCorrection,
    kSlotCorrectionPixels,
    kSlotCorrectionDrnu,
    kSlotDll,
    kSlotFlim,
    kSlotFlimCalibration,
    kSlotGrayscale,
    kSlotHysteresis,
    kSlotI2c,
    kSlotIllumination,
    kSlotImage,
    kSlotIterator,
    kSlotPru,
    kSlotQueue,
    kSlotReadout,
    kSlotSaturation,
    kSlotTemperature,
    kSlotCount
};

// How a module makes and releases its state. States are built over
// zero-filled storage (calloc): large tables cost address space only until
// first written, and members without an initialiser start at zero.
struct SlotOps {
    void *(*create)();
    void (*destroy)(void *);
    size_t size;
};

template <class T>
constexpr SlotOps slot_ops() {
    return {[]() -> void * {
                void *mem = std::calloc(1, sizeof(T));
                return mem ? new (mem) T : nullptr;
            },
            [](void *p) {
                static_cast<T *>(p)->~T();
                std::free(p);
            },
            sizeof(T)};
}

// Defined by each module next to its state struct, in the order of Slot.
extern const SlotOps adc_slot, api_slot, calc_slot, calib_guard_slot, calc_flags_slot,
    calc_buffers_slot, calc_loops_slot, calc_sort_slot, calibration_slot, calibration_tables_slot,
    calibration_run_slot, config_slot, correction_slot, correction_pixels_slot,
    correction_drnu_slot, dll_slot, flim_slot, flim_calibration_slot, grayscale_slot,
    hysteresis_slot, i2c_slot, illumination_slot, image_slot, iterator_slot, pru_slot, queue_slot,
    readout_slot, saturation_slot, temperature_slot;

struct Context {
    std::recursive_mutex mu;
    vizor_dev_t *device = nullptr;  // the camera served; guarded by mu
    void *slot[kSlotCount] = {};
    Context() = default;
    Context(const Context &) = delete;
    Context &operator=(const Context &) = delete;
    ~Context();
};
using ContextPtr = std::shared_ptr<Context>;

// The context current on this thread (see above).
Context &current();

// The slot s of the current context.
inline void *slot(Slot s) { return current().slot[s]; }
template <class T>
T &state(Slot s) {
    return *static_cast<T *>(slot(s));
}

// A new context for dev, all module states at their defaults; registered so
// that context_select can find it by its device. NULL when memory is short.
ContextPtr context_create(vizor_dev_t *dev);
// Unregisters ctx (it stops being the default), waits for a call inside it to
// end and detaches its device. The memory goes with the last holder.
void context_release(const ContextPtr &ctx);
// Makes the context bound to dev the default one. False (nothing changed)
// when no context is bound to dev.
bool context_select(const vizor_dev_t *dev);
// No camera is the default any more: the standalone context serves.
void context_select_none();
// The context bound to dev, or NULL.
ContextPtr context_of(const vizor_dev_t *dev);
// The default context, or the standalone one when none is selected.
ContextPtr context_default();
// Bytes of one context's module states.
size_t context_bytes();

// Locks ctx and makes it current on this thread for the guard's lifetime.
class Scope {
public:
    explicit Scope(ContextPtr ctx);
    Scope(const Scope &) = delete;
    Scope &operator=(const Scope &) = delete;
    ~Scope();

private:
    ContextPtr ctx_;
    Context *prev_;
};

// The guard of an exported EPC function: inside a Scope it keeps the current
// context; otherwise it locks the default context and makes it current.
class Use {
public:
    Use();
    Use(const Use &) = delete;
    Use &operator=(const Use &) = delete;
    ~Use();

private:
    ContextPtr ctx_;
};

}  // namespace vz::epc
