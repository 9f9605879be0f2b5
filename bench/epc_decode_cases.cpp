// The library's EPC decode on 320 x 240 frames, registered beside the
// references of epc_reference_bench.cpp and compared with them in the same
// run (the scene is the argument: 0 flat wall, 1 room, 2 depths spread over
// and beyond the calibrated range):
//   - Decode/Default: vizor_frame_get_distance on the virtual epc660 as
//     opened (DRNU mode 2 and temperature compensation on), on a frame
//     captured once per scene;
//   - Decode/LibraryCall: the library's part of it on the same frame
//     (apiGetDistanceSorted in the camera's context); the driver's share is
//     the difference;
//   - Driver/CodesToMetres: the driver's conversion of the hand loop's codes
//     (markers included) into a caller's buffer;
//   - Drnu2/Library and Drnu2/Search: DRNU mode 2 on that frame's codes, the
//     library's form against the straightforward search;
//   - Core/...: the calculation with the corrections off on the frames of the
//     OpenCV reference (distance and amplitude, as cartToPolar gives both):
//     4 DCS, 2 DCS, PN and dual MGX.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "drivers/drv_epc.h"
#include "epc660/context.h"
#include "epc660/correction.h"
#include "epc_bench_scenes.h"
#include "vcam/scene.h"
#include "vcam/vcam.h"
#include "vizor/epc660.h"
#include "vizor/vizor.h"

namespace {

using vzb::kPixels;

// One virtual epc660 opened as an application opens it, and one frame of it
// per scene.
struct Camera {
    struct Frame {
        std::vector<uint8_t> raw = std::vector<uint8_t>(8 * kPixels);
        vizor_frame_info_t info{};
        std::vector<uint16_t> codes;  // distance codes before DRNU mode 2
    };
    std::unique_ptr<vcam::Bus> bus = std::make_unique<vcam::Bus>();
    vizor_dev_t rec{};
    vizor_dev_t *dev = nullptr;
    vz::epc::ContextPtr ctx;
    Frame frame[3];
    bool ok = false;

    Camera() {
        vcam::CameraConfig cfg;
        cfg.fw.product = "VZ-E1-660";
        vcam::Camera &cam = bus->add_camera(1, 2, cfg);
        vz_log_disable();
        vizor_dev_t list[2];
        if (vizor_dev_list(list, 2) != 1) return;
        rec = list[0];
        dev = vizor_dev_open(&rec);
        ctx = dev ? vz::epc::context_of(dev) : nullptr;
        if (!ctx) return;
        const vcam::Scene scenes[3] = {
            vcam::Scene::flat(320, 240, 1.5f, 0.8f),
            vcam::room_scene(vcam::product_optics("VZ-E1-660", 320, 240)),
            vcam::Scene::ramp(320, 240, 0.2f, 12.3f, 0.8f)};
        for (int s = 0; s < 3; ++s) {
            cam.fw().set_scene(scenes[s]);
            Frame &f = frame[s];
            // A few frames, so that the one kept shows the new scene.
            for (int k = 0; k < 3; ++k)
                if (!vizor_cap_snapshot(dev, f.raw.data(), uint32_t(f.raw.size()), &f.info)) return;
            f.codes = codes_before_drnu(f);
        }
        ok = true;
    }
    ~Camera() {
        if (dev) vizor_dev_close(dev);
    }

    // The frame's distance codes as the DRNU correction receives them.
    std::vector<uint16_t> codes_before_drnu(const Frame &f) const {
        std::vector<float> d(kPixels);
        vizor_frame_get_distance(dev, d.data(), kPixels, f.raw.data(), int(f.info.frame_size),
                                 &f.info);
        const vz::epc::Scope scope(ctx);
        epc_raw_image_t raw{f.info, (uint16_t *)f.raw.data()};
        pruSetImage(&raw);
        uint16_t *out = nullptr;
        const int n = calcDefPiDelayGetDataSorted(0, &out);
        pruSetImage(nullptr);
        return n == kPixels ? std::vector<uint16_t>(out, out + n) : std::vector<uint16_t>(kPixels);
    }
};

Camera &camera() {
    static Camera c;
    return c;
}

Camera::Frame *frame_of(benchmark::State &state) {
    Camera &c = camera();
    if (!c.ok) {
        state.SkipWithError("no virtual camera");
        return nullptr;
    }
    vzb::scene_label(state);
    return &c.frame[state.range(0)];
}

void BM_Decode_Default(benchmark::State &state) {
    Camera::Frame *f = frame_of(state);
    if (!f) return;
    std::vector<float> d(kPixels);
    for (auto _ : state) {
        const int n = vizor_frame_get_distance(camera().dev, d.data(), kPixels, f->raw.data(),
                                               int(f->info.frame_size), &f->info);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
}

void BM_Decode_LibraryCall(benchmark::State &state) {
    Camera::Frame *f = frame_of(state);
    if (!f) return;
    // The driver's settings for this frame, left by one decode.
    std::vector<float> d(kPixels);
    vizor_frame_get_distance(camera().dev, d.data(), kPixels, f->raw.data(),
                             int(f->info.frame_size), &f->info);
    const vz::epc::Scope scope(camera().ctx);
    for (auto _ : state) {
        // The image source lets go of a pushed record's samples once read.
        epc_raw_image_t raw{f->info, (uint16_t *)f->raw.data()};
        pruSetImage(&raw);
        uint16_t *out = nullptr;
        benchmark::DoNotOptimize(apiGetDistanceSorted(&out));
        benchmark::ClobberMemory();
    }
    pruSetImage(nullptr);
}

void BM_Driver_CodesToMetres(benchmark::State &state) {
    const auto codes = vzb::distance_codes(vzb::Scene(state.range(0)));
    std::vector<float> metres(kPixels);
    const float per_code = vzb::kRangeM / vzb::kCodesPerPeriod;
    for (auto _ : state) {
        vz::epcdrv::codes_to_metres(codes.data(), metres.data(), kPixels, per_code);
        benchmark::DoNotOptimize(metres.data());
        benchmark::ClobberMemory();
    }
    vzb::scene_label(state);
}

template <bool Library>
void drnu2(benchmark::State &state) {
    Camera::Frame *f = frame_of(state);
    if (!f) return;
    const vz::epc::Scope scope(camera().ctx);
    std::vector<uint16_t> out(kPixels);
    for (auto _ : state) {
        if (Library)
            calculationCorrectDRNU2_opt(out.data(), f->codes.data());
        else
            vz::epc::corr::ref_drnu2(out.data(), f->codes.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}
void BM_Drnu2_Library(benchmark::State &state) { drnu2<true>(state); }
void BM_Drnu2_Search(benchmark::State &state) { drnu2<false>(state); }

// A context of its own for the calculation core, every correction off.
struct Core {
    vz::epc::ContextPtr ctx = vz::epc::context_create(nullptr);
    std::vector<uint16_t> frame[3];
    Core() {
        for (int s = 0; s < 3; ++s) frame[s] = vzb::dcs_frame(vzb::Scene(s));
    }
};
Core &core() {
    static Core c;
    return c;
}

// Variant id: 0 4 DCS, 1 2 DCS, 2 PN 4 DCS, 3 dual MGX (4 DCS).
void core_variant(benchmark::State &state, int variant) {
    Core &c = core();
    vzb::scene_label(state);
    const vz::epc::Scope scope(c.ctx);
    configSetPartType(2);
    pruInit();
    atan2lut_Init();
    hysteresisSetThresholds(30, 20);
    const bool four = variant != 1;
    pruSetDCS(four ? 4 : 2);
    calculationEnablePiDelay(four);
    calculationEnablePN(variant == 2);
    calculationEnableDualMGX(variant == 3);
    std::vector<uint16_t> &frame = c.frame[state.range(0)];
    for (auto _ : state) {
        epc_raw_image_t raw{};
        raw.frame_info.frame_size = uint32_t((four ? 4 : 2) * kPixels * 2);
        raw.frame_data = frame.data();
        pruSetImage(&raw);
        uint16_t *out = nullptr;
        int n = 0;
        switch (variant) {
        case 0: n = calcDefPiDelayGetDataSorted(2, &out); break;
        case 1: n = calcDefNoPiDelayGetDataSorted(2, &out); break;
        case 2: n = calcPNDefPiDelayGetDataSorted(2, &out); break;
        default: n = calcMGXPiDelayGetDataSorted(2, &out); break;
        }
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    pruSetImage(nullptr);
}
void BM_Core_4Dcs(benchmark::State &state) { core_variant(state, 0); }
void BM_Core_2Dcs(benchmark::State &state) { core_variant(state, 1); }
void BM_Core_Pn4Dcs(benchmark::State &state) { core_variant(state, 2); }
void BM_Core_DualMgx(benchmark::State &state) { core_variant(state, 3); }

#define VZ_CASE(NAME)                   \
    BENCHMARK(NAME)                     \
        ->DenseRange(0, 2)              \
        ->Unit(benchmark::kMicrosecond) \
        ->ComputeStatistics("min", vzb::min_of)

VZ_CASE(BM_Decode_Default);
VZ_CASE(BM_Decode_LibraryCall);
VZ_CASE(BM_Driver_CodesToMetres);
VZ_CASE(BM_Drnu2_Library);
VZ_CASE(BM_Drnu2_Search);
VZ_CASE(BM_Core_4Dcs);
VZ_CASE(BM_Core_2Dcs);
VZ_CASE(BM_Core_Pn4Dcs);
VZ_CASE(BM_Core_DualMgx);

}  // namespace
