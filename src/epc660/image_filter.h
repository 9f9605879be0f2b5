// The spatial averaging filters of the distance pipeline on an explicit
// geometry, shared by the exported image functions, the tests and the
// benchmarks.
#pragma once

#include <cstdint>

namespace vz::epc::image {

// Four- and eight-neighbour averaging of `image` (width x rows codes, row
// major). Every value is read from `copy`, a scratch of at least width x rows
// codes that receives the input first; results go to `image`. The vertical
// neighbours of a pixel are two rows away. Geometries too small for the
// filter's borders leave the image unchanged.
void averageFour(uint16_t *image, uint16_t *copy, int width, int rows);
void averageEight(uint16_t *image, uint16_t *copy, int width, int rows);

// Forgets the temporal average's history: the next frames average as after
// start-up.
void forget_history();

}  // namespace vz::epc::image
