// Processing contexts: creation, the registry of bound cameras, the default
// selection and the per-thread current context.
#include "epc660/context.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace vz::epc {

namespace {

// Registry of contexts bound to cameras, the selected default and the
// standalone context; all guarded by mu. Lock order: registry, then a
// context's own mutex (never the reverse).
struct Registry {
    std::mutex mu;
    std::vector<ContextPtr> bound;
    ContextPtr selected;
    ContextPtr standalone;
};

Registry &registry() {
    static Registry r;
    return r;
}

thread_local Context *t_current = nullptr;

const SlotOps *const kSlotOps[kSlotCount] = {
    &adc_slot,
    &api_slot,
    &calc_slot,
    &calib_guard_slot,
    &calc_flags_slot,
    &calc_buffers_slot,
    &calc_loops_slot,
    &calc_sort_slot,
    &calibration_slot,
    &calibration_tables_slot,
    &calibration_run_slot,
    &config_slot,
    &correction_slot,
    &correction_pixels_slot,
    &correction_drnu_slot,
    &dll_slot,
    &flim_slot,
    &flim_calibration_slot,
    &grayscale_slot,
    &hysteresis_slot,
    &i2c_slot,
    &illumination_slot,
    &image_slot,
    &iterator_slot,
    &pru_slot,
    &queue_slot,
    &readout_slot,
    &saturation_slot,
    &temperature_slot,
};

ContextPtr make_context() {
    ContextPtr ctx(new (std::nothrow) Context);
    if (!ctx) return nullptr;
    for (int i = 0; i < kSlotCount; ++i) {
        ctx->slot[i] = kSlotOps[i]->create();
        if (!ctx->slot[i]) return nullptr;
    }
    return ctx;
}

// The default context under the registry lock; the standalone context is made
// on first need.
ContextPtr default_locked(Registry &r) {
    if (r.selected) return r.selected;
    if (!r.standalone) r.standalone = make_context();
    if (!r.standalone) throw std::bad_alloc();
    return r.standalone;
}

}  // namespace

Context::~Context() {
    for (int i = 0; i < kSlotCount; ++i)
        if (slot[i]) kSlotOps[i]->destroy(slot[i]);
}

Context &current() {
    if (t_current) return *t_current;
    Registry &r = registry();
    std::lock_guard lk(r.mu);
    // Outside any exported call (internal use on one thread): the default
    // context, which stays alive while its camera is open.
    return *default_locked(r);
}

ContextPtr context_create(vizor_dev_t *dev) {
    ContextPtr ctx = make_context();
    if (!ctx) return nullptr;
    ctx->device = dev;
    Registry &r = registry();
    std::lock_guard lk(r.mu);
    r.bound.push_back(ctx);
    return ctx;
}

void context_release(const ContextPtr &ctx) {
    if (!ctx) return;
    Registry &r = registry();
    {
        std::lock_guard lk(r.mu);
        r.bound.erase(std::remove(r.bound.begin(), r.bound.end(), ctx), r.bound.end());
        if (r.selected == ctx) r.selected.reset();
    }
    std::lock_guard lk(ctx->mu);
    ctx->device = nullptr;
}

bool context_select(const vizor_dev_t *dev) {
    if (!dev) return false;
    Registry &r = registry();
    std::lock_guard lk(r.mu);
    for (const ContextPtr &c : r.bound) {
        if (c->device != dev) continue;
        r.selected = c;
        return true;
    }
    return false;
}

void context_select_none() {
    Registry &r = registry();
    std::lock_guard lk(r.mu);
    r.selected.reset();
}

ContextPtr context_of(const vizor_dev_t *dev) {
    if (!dev) return nullptr;
    Registry &r = registry();
    std::lock_guard lk(r.mu);
    for (const ContextPtr &c : r.bound)
        if (c->device == dev) return c;
    return nullptr;
}

ContextPtr context_default() {
    Registry &r = registry();
    std::lock_guard lk(r.mu);
    return default_locked(r);
}

size_t context_bytes() {
    size_t n = sizeof(Context);
    for (int i = 0; i < kSlotCount; ++i) n += kSlotOps[i]->size;
    return n;
}

Scope::Scope(ContextPtr ctx) : ctx_(std::move(ctx)), prev_(t_current) {
    if (!ctx_) throw std::bad_alloc();
    ctx_->mu.lock();
    t_current = ctx_.get();
}

Scope::~Scope() {
    t_current = prev_;
    ctx_->mu.unlock();
}

Use::Use() {
    if (t_current) return;
    ctx_ = context_default();
    ctx_->mu.lock();
    t_current = ctx_.get();
}

Use::~Use() {
    if (!ctx_) return;
    t_current = nullptr;
    ctx_->mu.unlock();
}

}  // namespace vz::epc
