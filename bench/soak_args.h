// The soak programs' own argument: --frames=N (N > 0) sets how many frames a
// run sends. It is taken out of argv so that the rest goes to the benchmark
// library unchanged.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace vzb {

inline void take_frames_arg(int &argc, char **argv, size_t &frames) {
    int out = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--frames=", 9) == 0) {
            const long n = std::strtol(argv[i] + 9, nullptr, 10);
            if (n > 0) frames = size_t(n);
        } else {
            argv[out++] = argv[i];
        }
    }
    argc = out;
}

}  // namespace vzb
