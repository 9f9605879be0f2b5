// Throughput of the virtual camera: the firmware model's stream alone, and
// the same stream through umockdev and the real libusb with four bulk
// transfers in flight. Run: build/vcam/vcam_bench (re-executes itself under
// the umockdev preload).
#include <benchmark/benchmark.h>
#include <libusb.h>

#include <vector>

#include "vcam/scene.h"
#include "vcam/vcam.h"

namespace {

void start(vcam::Firmware &fw) {
    uint8_t setup[8] = {0x22, 0xC2, 4, 0, 0, 0, 4, 0};
    uint8_t count[4] = {0, 0, 0, 0};
    fw.control(setup, count, {});
}

void BM_ModelStream(benchmark::State &state) {
    vcam::Firmware fw;
    start(fw);
    std::vector<uint8_t> buf(131072);
    size_t bytes = 0;
    for (auto _ : state) {
        auto r = fw.bulk_in(buf);
        bytes += r.length;
    }
    state.SetBytesProcessed(int64_t(bytes));
}
BENCHMARK(BM_ModelStream);

// One epc660 frame of four DCS synthesised from a scene (noise on and off).
void BM_EpcRender(benchmark::State &state) {
    vcam::EpcModel m;
    m.noise = state.range(0) != 0;
    vcam::EpcSensor s(vcam::EpcChip::epc660, m, 1, 2, 7);
    s.set_scene(vcam::Scene::ramp(320, 240, 0.5f, 4.0f, 0.8f));
    std::vector<uint8_t> frame(s.describe().size);
    for (auto _ : state) s.render(frame, 0);
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frame.size()));
}
BENCHMARK(BM_EpcRender)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The same frame of the room through the camera's lens: pixels across its
// edges sum the phasors of their 16 footprint rays (must stay within the
// 33 ms of a frame at 30 fps).
void BM_EpcRenderRoom(benchmark::State &state) {
    vcam::EpcModel m;
    m.noise = state.range(0) != 0;
    vcam::EpcSensor s(vcam::EpcChip::epc660, m, 1, 2, 7);
    const vcam::Scene room = vcam::room_scene(vcam::product_optics("VZ-E1-660", 320, 240));
    s.set_scene(room);
    std::vector<uint8_t> frame(s.describe().size);
    for (auto _ : state) s.render(frame, 0);
    state.counters["mixed_pixels"] = double(room.mix.size() / vcam::Scene::kFootprint);
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_EpcRenderRoom)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Building the room with its mixed pixels (once per scene, not per frame).
void BM_RoomScene(benchmark::State &state) {
    const vcam::Optics o = vcam::product_optics("VZ-E1-660", 320, 240);
    for (auto _ : state) benchmark::DoNotOptimize(vcam::room_scene(o));
}
BENCHMARK(BM_RoomScene)->Unit(benchmark::kMillisecond);

struct Flight {
    libusb_transfer *t = nullptr;
    std::vector<uint8_t> buf = std::vector<uint8_t>(131072);
    size_t *bytes = nullptr;
    bool *stop = nullptr;
};

void LIBUSB_CALL on_bulk(libusb_transfer *t) {
    auto *f = static_cast<Flight *>(t->user_data);
    *f->bytes += size_t(t->actual_length);
    if (!*f->stop && t->status == LIBUSB_TRANSFER_COMPLETED)
        libusb_submit_transfer(t);
    else
        f->t = nullptr;
}

void BM_UsbStream(benchmark::State &state) {
    vcam::Bus bus;
    bus.add_camera(1, 1);
    libusb_context *ctx = nullptr;
    libusb_init(&ctx);
    libusb_device_handle *h =
        libusb_open_device_with_vid_pid(ctx, vcam::usb_vendor_id(), vcam::usb_product_id());
    if (!h) {
        state.SkipWithError("no virtual camera");
        libusb_exit(ctx);
        return;
    }
    libusb_claim_interface(h, 0);
    uint8_t count[4] = {0, 0, 0, 0};
    libusb_control_transfer(h, 0x22, 0xC2, 4, 0, count, 4, 1000);
    size_t bytes = 0;
    bool stop = false;
    std::vector<Flight> fl(4);
    for (auto &f : fl) {
        f.t = libusb_alloc_transfer(0);
        f.bytes = &bytes;
        f.stop = &stop;
        libusb_fill_bulk_transfer(f.t, h, 0x81, f.buf.data(), int(f.buf.size()), on_bulk, &f, 2000);
        libusb_submit_transfer(f.t);
    }
    for (auto _ : state) libusb_handle_events(ctx);
    state.SetBytesProcessed(int64_t(bytes));
    stop = true;
    auto pending = [&] {
        for (auto &f : fl)
            if (f.t) return true;
        return false;
    };
    while (pending()) libusb_handle_events(ctx);
    libusb_release_interface(h, 0);
    libusb_close(h);
    libusb_exit(ctx);
}
BENCHMARK(BM_UsbStream)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    vcam::ensure_preload(argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
