// Reading distance frame files ("VZ_DIST" header, then whole frames) through
// the library's frame-file calls.
#pragma once

#include <string>
#include <vector>

namespace vztool {

class DistanceFile {
public:
    // Opens path and reads its header line. Throws ToolError when the file
    // cannot be opened or is not a distance frame file of a sane size.
    explicit DistanceFile(const std::string &path);
    ~DistanceFile();
    DistanceFile(const DistanceFile &) = delete;
    DistanceFile &operator=(const DistanceFile &) = delete;

    int width() const { return w_; }
    int height() const { return h_; }
    // Reads the next whole frame into dist (width x height metres); false at
    // the end of the file.
    bool next(std::vector<float> &dist);
    // Bytes left after the last whole frame (a cut recording); meaningful once
    // next() returned false.
    long long trailing_bytes() const;

private:
    std::string path_;
    int fd_ = -1;
    int w_ = 0, h_ = 0;
    long long header_len_ = 0;  // bytes of the header line
    long long last_pos_ = 0;    // where the last frame read started
};

}  // namespace vztool
