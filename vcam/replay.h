// Replay of a raw recording (".vzr", written by `vizor record`) as a virtual
// camera: the camera presents the recorded product, device information,
// chip identity, registers and flash images (the EPC calibration package),
// and streams the recorded raw frames one by one with their recorded header
// fields (frame index included), at the recorded pace or as fast as the host reads, then ends the
// stream (the camera stays on the bus and sends nothing more).
#pragma once

#include <cstdint>
#include <string>

#include "vcam/vcam.h"

namespace vcam {

struct ReplayOptions {
    // true: each frame is due when its recorded host time says (relative to
    // the first one); false: frames as fast as the host reads, none lost.
    bool paced = true;
};

// Whether the file at path starts like a recording (an SQLite database).
bool is_recording(const std::string &path);

// Adds a camera replaying the recording at `path` to the bus. Throws
// std::runtime_error (the container's RecordingError) for a file that is no
// usable recording, naming what is wrong.
Camera &add_replay_camera(Bus &bus, uint8_t bus_no, uint8_t port, const std::string &path,
                          const ReplayOptions &opts = {});

}  // namespace vcam
