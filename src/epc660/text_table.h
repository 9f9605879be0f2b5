// Bounded reading of the image group's text files (defect lists, mean
// images, gain/offset tables): one line at a time with a length cap, and
// strict number tokens, so that a hostile file can neither grow a buffer
// without bound nor slip a non-number, NaN or infinity into a table.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace vz::epc {

// Reads a file line by line within a byte budget, so that neither a line
// without end nor an endless file (a device node, a pipe) holds the reader.
class LineReader {
public:
    LineReader(std::FILE *f, size_t budget) : f_(f), budget_(budget) {}
    // Reads one line without its line feed into `line`, keeping at most `cap`
    // characters (the rest of the line is consumed and `overlong` set).
    // Returns false at the end of the file, or when the budget ran out.
    bool next(std::string &line, size_t cap, bool &overlong);
    bool exhausted() const { return exhausted_; }

private:
    std::FILE *f_;
    size_t budget_;
    bool exhausted_ = false;
};

// Number tokens of a line split at blanks (space, tab, CR).
class Tokens {
public:
    explicit Tokens(std::string_view line) : rest_(line) {}
    // Next token, or false when the line has no more.
    bool next(std::string_view &token);

private:
    std::string_view rest_;
};

// An integer as "%i" reads it (0x hexadecimal, leading 0 octal) within int.
bool parseInt(std::string_view token, int &value);
// A finite real as "%lf" reads it; NaN and infinities are refused.
bool parseReal(std::string_view token, double &value);

// fopen for the image group's files: write mode never follows a symbolic
// link at the final path component.
std::FILE *openText(const char *path, bool write);

}  // namespace vz::epc
