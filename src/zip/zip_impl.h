// Internals of the zip wrapper: the archive record behind struct zip_t and
// the checked reader of one entry that every reading call shares.
#pragma once

#include <minizip/unzip.h>
#include <minizip/zip.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "vizor/zip.h"

struct zip_t {
    char mode = 'r';       // 'r', 'w' or 'a'
    int level = 0;         // compression level of new entries
    zipFile zw = nullptr;  // writing modes
    unzFile zr = nullptr;  // reading mode
    bool entry_open = false;
    int entries = 0;  // writing: entries in the archive so far
};

namespace vz::zip {

// Longest entry name the reading calls accept (bytes, without terminator).
constexpr size_t kMaxName = 4095;

// Receives consecutive pieces of an entry; false stops the read.
using Sink = std::function<bool(const void *data, size_t size)>;

// Reads the current (opened) entry of r to the end through sink. The data
// must match the entry's recorded size and CRC-32 and stay below
// VIZOR_ZIP_MAX_ENTRY. Result: bytes read, or negative (logged under fn).
int64_t read_current(unzFile r, const Sink &sink, const char *fn);

// Name of the current entry of r into name (at most kMaxName bytes);
// false when it is longer or cannot be read.
bool current_name(unzFile r, std::string &name);

}  // namespace vz::zip
