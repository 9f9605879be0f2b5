// Data-image transfer through the emulated USB bus: a 1 MiB image written to
// the virtual camera's flash (download) and read back (upload). The numbers
// describe the library's command pacing on a bus that answers at once; a real
// camera adds its flash programming time.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <vector>

#include "vcam/vcam.h"
#include "vizor/datatrans.h"
#include "vizor/ll.h"
#include "vizor/log.h"

namespace {

constexpr size_t kImageSize = 1u << 20;
vizor_ll_t *g_ll = nullptr;

void BM_Download1MiB(benchmark::State &state) {
    for (auto _ : state) {
        if (vizor_bin_data_write(g_ll, 6, 1, 0, "vizor_bench_down.bin") != 1)
            state.SkipWithError("download failed");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kImageSize));
}

void BM_Upload1MiB(benchmark::State &state) {
    for (auto _ : state) {
        if (vizor_bin_data_read(g_ll, 6, "vizor_bench_up.bin") != 1)
            state.SkipWithError("upload failed");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kImageSize));
}

BENCHMARK(BM_Download1MiB)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Upload1MiB)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    vcam::ensure_preload(argv);
    vz_log_enable(VZ_LOG_CH_CONSOLE, VZ_LOG_OFF, nullptr);

    std::vector<uint8_t> img(kImageSize);
    std::mt19937 rng(1);
    for (auto &b : img) b = uint8_t(rng());
    FILE *f = std::fopen("vizor_bench_down.bin", "wb");
    if (!f || std::fwrite(img.data(), 1, img.size(), f) != img.size()) return 1;
    std::fclose(f);

    int rc = 0;
    {
        vcam::Bus bus;  // before any USB context
        auto &cam = bus.add_camera(3, 2);
        cam.fw().set_erase_polls(0);
        vizor_ll_usb_t usb{};
        g_ll = reinterpret_cast<vizor_ll_t *>(&usb);
        if (vizor_ll_dev_open(g_ll) == g_ll) {
            benchmark::Initialize(&argc, argv);
            benchmark::RunSpecifiedBenchmarks();
            benchmark::Shutdown();
            vizor_ll_dev_close(g_ll);
        } else {
            std::fprintf(stderr, "no virtual camera\n");
            rc = 1;
        }
    }
    std::remove("vizor_bench_down.bin");
    std::remove("vizor_bench_up.bin");
    return rc;
}
