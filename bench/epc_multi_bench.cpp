// Decode rate of EPC cameras on their own threads: two virtual epc660
// cameras, each decoded on its own thread, against one. Each thread decodes
// a frame captured once from its camera, so the emulated bus does not set the
// pace; every decode runs in its camera's processing context.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>
#include <vector>

#include "vcam/vcam.h"
#include "vizor/drv_epc.h"
#include "vizor/epc660.h"
#include "vizor/vizor.h"

namespace {

constexpr int kPixels = 320 * 240;

struct Cam {
    vizor_dev_t rec{};
    vizor_dev_t *dev = nullptr;
    std::vector<uint8_t> raw = std::vector<uint8_t>(8 * kPixels);
    vizor_frame_info_t info{};
};

void BM_EpcDecodeThreads(benchmark::State &state) {
    const int n = int(state.range(0));
    vcam::Bus bus;
    for (int i = 0; i < n; ++i) {
        vcam::CameraConfig cfg;
        cfg.fw.product = "VZ-E1-660";
        bus.add_camera(1, uint8_t(2 + i), cfg)
            .fw()
            .set_scene(vcam::Scene::flat(320, 240, 1.5f + 0.2f * float(i), 0.8f));
    }
    vz_log_disable();
    vizor_dev_t list[4];
    if (vizor_dev_list(list, 4) != n) {
        state.SkipWithError("no virtual cameras");
        return;
    }
    std::vector<Cam> cams(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        Cam &c = cams[size_t(i)];
        c.rec = list[i];
        c.dev = vizor_dev_open(&c.rec);
        if (!c.dev || !epc_adapter_select(c.dev) || (apiLoadConfig(1, 32), false) ||
            !vizor_cap_snapshot(c.dev, c.raw.data(), uint32_t(c.raw.size()), &c.info)) {
            state.SkipWithError("cannot open or capture");
            return;
        }
    }
    constexpr int kPerRound = 20;  // decodes per camera per iteration
    int64_t frames = 0;
    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (Cam &c : cams)
            threads.emplace_back([&c] {
                std::vector<float> d(static_cast<size_t>(kPixels));
                for (int k = 0; k < kPerRound; ++k)
                    vizor_frame_get_distance(c.dev, d.data(), kPixels, c.raw.data(),
                                             int(c.info.frame_size), &c.info);
            });
        for (std::thread &t : threads) t.join();
        frames += int64_t(n) * kPerRound;
    }
    for (Cam &c : cams) vizor_dev_close(c.dev);
    state.counters["frames/s"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EpcDecodeThreads)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3.0)
    ->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    vcam::ensure_preload(argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
