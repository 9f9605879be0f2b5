// Streams frames from the first camera with the C++ layer: a capture session
// fetches frames, each is decoded into distances, and the mean distance of
// the valid pixels is printed per frame.
// Usage: vizor_cpp_stream [frames]   (default 10)
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <vizor/vizor.hpp>

int main(int argc, char **argv) {
    const int wanted = argc > 1 ? std::atoi(argv[1]) : 10;
    try {
        vizor::Library lib;
        auto cams = vizor::list_devices();
        if (cams.empty()) {
            std::fprintf(stderr, "no camera found\n");
            return 1;
        }
        vizor::Device dev(cams[0]);
        std::printf("camera %s\n", dev.product().c_str());
        vizor::Capture cap(dev);
        vizor::Frame frame;
        std::vector<float> dist;  // reused: no allocation per frame
        int got = 0;
        while (got < wanted && cap.next(frame)) {
            double sum = 0;
            std::size_t n = 0;
            for (float d : dev.distance(frame, dist))
                if (d > 0 && d < 60) sum += d, ++n;
            std::printf("frame %u: %ux%u, mean %.3f m over %zu pixels\n", frame.index(),
                        frame.width(), frame.height(), n ? sum / double(n) : 0.0, n);
            ++got;
        }
        return got == wanted ? 0 : 1;
    } catch (const vizor::error &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
