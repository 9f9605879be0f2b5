// C entry points of the stream reassembler: argument checks, then one call
// into the vz_stream object. Nothing here throws.
#include <new>

#include "base/firewall.h"
#include "stream/reassembler.h"

extern "C" {

static vz_stream_t *vz_stream_create_body(const vz_stream_cfg_t *cfg) {
    if (!cfg) return nullptr;
    try {
        return new (std::nothrow) vz_stream(cfg->max_frames);
    } catch (...) {  // the lock could not be created
        return nullptr;
    }
}

VZ_API vz_stream_t *vz_stream_create(const vz_stream_cfg_t *cfg) noexcept {
    return vz::entry("vz_stream_create", static_cast<vz_stream_t *>(nullptr),
                     [&] { return vz_stream_create_body(cfg); });
}

static void vz_stream_destroy_body(vz_stream_t *stream) { delete stream; }

VZ_API void vz_stream_destroy(vz_stream_t *stream) noexcept {
    vz::entry_void("vz_stream_destroy", [&] { vz_stream_destroy_body(stream); });
}

static void vz_stream_set_cfg_body(vz_stream_t *stream, const vz_stream_cfg_t *cfg) {
    if (!stream || !cfg) return;
    stream->max_frames.store(cfg->max_frames, std::memory_order_relaxed);
}

VZ_API void vz_stream_set_cfg(vz_stream_t *stream, const vz_stream_cfg_t *cfg) noexcept {
    vz::entry_void("vz_stream_set_cfg", [&] { vz_stream_set_cfg_body(stream, cfg); });
}

static vz_stream_cfg_t *vz_stream_get_cfg_body(vz_stream_t *stream, vz_stream_cfg_t *cfg) {
    if (!stream || !cfg) return nullptr;
    cfg->max_frames = stream->max_frames.load(std::memory_order_relaxed);
    return cfg;
}

VZ_API vz_stream_cfg_t *vz_stream_get_cfg(vz_stream_t *stream, vz_stream_cfg_t *cfg) noexcept {
    return vz::entry("vz_stream_get_cfg", static_cast<vz_stream_cfg_t *>(nullptr),
                     [&] { return vz_stream_get_cfg_body(stream, cfg); });
}

static void vz_stream_reset_body(vz_stream_t *stream) {
    if (stream) stream->reset();
}

VZ_API void vz_stream_reset(vz_stream_t *stream) noexcept {
    vz::entry_void("vz_stream_reset", [&] { vz_stream_reset_body(stream); });
}

static int vz_stream_feed_input_body(vz_stream_t *stream, const void *data, int len) {
    if (stream && data && len > 0) stream->feed(static_cast<const uint8_t *>(data), size_t(len));
    return 1;
}

VZ_API int vz_stream_feed_input(vz_stream_t *stream, const void *data, int len) noexcept {
    return vz::entry("vz_stream_feed_input", 1,
                     [&] { return vz_stream_feed_input_body(stream, data, len); });
}

static uint32_t vz_stream_fetch_frames_body(vz_stream_t *stream, void *dst, uint32_t dst_len,
                                            uint32_t count, vz_stream_frame_hdr_t *first,
                                            bool peek) {
    if (!stream) return 0;
    return stream->fetch(static_cast<uint8_t *>(dst), dst_len, count, first, peek);
}

VZ_API uint32_t vz_stream_fetch_frames(vz_stream_t *stream, void *dst, uint32_t dst_len,
                                       uint32_t count, vz_stream_frame_hdr_t *first,
                                       bool peek) noexcept {
    return vz::entry("vz_stream_fetch_frames", uint32_t(0), [&] {
        return vz_stream_fetch_frames_body(stream, dst, dst_len, count, first, peek);
    });
}

static vz_stream_state_t *vz_stream_get_state_body(vz_stream_t *stream, vz_stream_state_t *state) {
    if (!stream || !state) return nullptr;
    stream->get_state(state);
    return state;
}

VZ_API vz_stream_state_t *vz_stream_get_state(vz_stream_t *stream,
                                              vz_stream_state_t *state) noexcept {
    return vz::entry("vz_stream_get_state", static_cast<vz_stream_state_t *>(nullptr),
                     [&] { return vz_stream_get_state_body(stream, state); });
}

}  // extern "C"
