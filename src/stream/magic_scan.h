// Search for the stream header's magic pair FB 98. The reassembler runs it
// over every payload byte (a header inside a chunk's payload means the chunk
// was cut short) and while hunting, so the search is vectorised and chosen at
// run time like the other hot loops.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vz::stream {

// Offset of the first magic pair FB 98 in p[0..n), or n when there is none.
size_t find_magic(const uint8_t *p, size_t n);

// The same, byte by byte: the reference the vector forms must equal.
size_t find_magic_ref(const uint8_t *p, size_t n);

// Copies src[0..c) to dst up to the first magic pair that starts there
// (its second byte may lie at src[c] when avail > c); returns the bytes
// copied: c, or the pair's offset. The copy runs block by block behind the
// search, so each byte is read from memory once.
size_t copy_until_magic(uint8_t *dst, const uint8_t *src, size_t c, size_t avail);

}  // namespace vz::stream
