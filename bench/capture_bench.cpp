// Frame rate of the whole capture path (libusb, emulated bus, reassembler,
// delivery) on the virtual OPT8241 camera streaming as fast as it is read.
// Informative only: the emulated bus, not the library, sets the pace.
#include <benchmark/benchmark.h>

#include <vector>

#include "vcam/vcam.h"
#include "vizor/vizor.h"

namespace {

void BM_CaptureVirtualOpt8241(benchmark::State &state) {
    vcam::Bus bus;
    bus.add_camera(1, 2);
    vz_log_disable();
    vizor_dev_t list[2];
    if (vizor_dev_list(list, 2) != 1) {
        state.SkipWithError("no virtual camera");
        return;
    }
    vizor_dev_t *dev = vizor_dev_open(&list[0]);
    if (!dev || !vizor_cap_start(dev)) {
        state.SkipWithError("cannot open or start the virtual camera");
        return;
    }
    std::vector<uint8_t> buf(320 * 240 * 4 * 10);
    int64_t frames = 0;
    for (auto _ : state) {
        const int n = vizor_cap_get_frames(dev, 10, buf.data(), uint32_t(buf.size()), nullptr);
        if (n > 0) frames += n;
    }
    vizor_cap_stop(dev);
    vizor_dev_close(dev);
    state.counters["frames/s"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(frames * 320 * 240 * 4);
}
BENCHMARK(BM_CaptureVirtualOpt8241)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    vcam::ensure_preload(argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
