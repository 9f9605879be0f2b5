// Files written by the zip wrapper: entry names checked against escaping
// their folder, folders entered without following symbolic links, and files
// that appear only complete (temporary name, renamed on success).
#pragma once

#include <string>
#include <vector>

namespace vz::zip {

// Splits an entry name into its components when it stays inside the folder
// it is extracted to: not absolute, no backslash, no control character, no
// empty, "." or ".." component. *is_dir tells a name ending in '/'.
bool split_name(const std::string &name, std::vector<std::string> &parts, bool *is_dir);

// Opens the folder parts[0]/.../parts[n-1] below the folder root (a
// descriptor), creating missing folders, never following a symbolic link.
// Result: a descriptor the caller closes, or -1.
int open_folders(int root, const std::vector<std::string> &parts, size_t n);

// A new file in the folder dirfd under a temporary name; commit() gives it
// its final name, and the destructor removes it when it was not committed.
class TempFile {
public:
    TempFile(int dirfd, std::string leaf);
    ~TempFile();
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    bool ok() const { return fd_ >= 0; }
    bool write(const void *data, size_t size);
    bool commit();

private:
    int dirfd_;
    int fd_ = -1;
    std::string leaf_, tmp_;
};

}  // namespace vz::zip
