// Zip wrapper: archives written and read back through every call, and
// hostile archives (escaping names, lying sizes, truncated or corrupt data)
// that zip_extract refuses without writing outside its folder or leaving a
// partial file.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "log_capture.h"
#include "testutil.h"
#include "vizor/zip.h"

namespace fs = std::filesystem;

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

void write_file(const fs::path &p, const std::string &data) {
    std::ofstream(p, std::ios::binary) << data;
}

std::string blob(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 7 + i / 251) & 0xFF);
    return s;
}

// Writes an archive with the given entries (names stored as given).
void make_zip(const std::string &path, const Entries &entries, int level = 6) {
    zip_t *z = zip_open(path.c_str(), level, 'w');
    ASSERT_NE(z, nullptr);
    for (const auto &[name, data] : entries) {
        ASSERT_EQ(zip_entry_open(z, name.c_str()), 0) << name;
        ASSERT_EQ(zip_entry_write(z, data.data(), data.size()), 0);
        ASSERT_EQ(zip_entry_close(z), 0);
    }
    zip_close(z);
}

// Every file below dir, relative names.
std::vector<std::string> tree(const fs::path &dir) {
    std::vector<std::string> out;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        out.push_back(fs::relative(e.path(), dir).string());
    std::sort(out.begin(), out.end());
    return out;
}

int collect(const char *name, void *arg) {
    static_cast<std::vector<std::string> *>(arg)->push_back(name);
    return 0;
}

class Zip : public ::testing::Test {
protected:
    vzt::TempCwd cwd;  // holds the archive and "out", the extraction folder
    LogCapture log;
    fs::path out = fs::path(cwd.path()) / "out";
    void SetUp() override { fs::create_directory(out); }
};

TEST_F(Zip, RoundTripThroughEveryCall) {
    const std::string a = blob(200000), b = "second file";
    write_file("a.bin", a);
    write_file("b.txt", b);
    const char *files[] = {"a.bin", "./b.txt"};
    ASSERT_EQ(zip_create("made.zip", files, 2), 0);

    zip_t *z = zip_open("made.zip", -1, 'a');  // append: two in memory, one in a folder
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(zip_total_entries(z), 2);
    ASSERT_EQ(zip_entry_open(z, "sub/c.bin"), 0);
    EXPECT_EQ(zip_entry_open(z, "other"), -1);  // one entry at a time
    ASSERT_EQ(zip_entry_fwrite(z, "a.bin"), 0);
    ASSERT_EQ(zip_entry_close(z), 0);
    EXPECT_EQ(zip_total_entries(z), 3);
    zip_close(z);

    std::vector<std::string> names;
    ASSERT_EQ(zip_extract("made.zip", out.c_str(), collect, &names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"a.bin", "b.txt", "sub/c.bin"}));
    EXPECT_EQ(vzt::read_file((out / "a.bin").string()), a);
    EXPECT_EQ(vzt::read_file((out / "b.txt").string()), b);
    EXPECT_EQ(vzt::read_file((out / "sub/c.bin").string()), a);
    EXPECT_EQ(tree(out), (std::vector<std::string>{"a.bin", "b.txt", "sub", "sub/c.bin"}));

    z = zip_open("made.zip", 0, 'r');
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(zip_total_entries(z), 3);
    EXPECT_EQ(zip_entry_open(z, "missing"), -1);
    ASSERT_EQ(zip_entry_open(z, "b.txt"), 0);
    void *buf = nullptr;
    size_t len = 0;
    ASSERT_EQ(zip_entry_read(z, &buf, &len), ssize_t(b.size()));
    EXPECT_EQ(std::string(static_cast<char *>(buf), len), b);
    free(buf);
    EXPECT_EQ(zip_entry_close(z), 0);
    ASSERT_EQ(zip_entry_open(z, "sub/c.bin"), 0);
    EXPECT_EQ(zip_entry_fread(z, "copy.bin"), ssize_t(a.size()));
    EXPECT_EQ(zip_entry_close(z), 0);
    EXPECT_EQ(vzt::read_file("copy.bin"), a);
    ASSERT_EQ(zip_entry_open(z, "a.bin"), 0);
    std::string streamed;
    auto sink = [](void *arg, uint64_t off, const void *d, size_t n) -> size_t {
        auto *s = static_cast<std::string *>(arg);
        if (off != s->size()) return 0;
        s->append(static_cast<const char *>(d), n);
        return n;
    };
    EXPECT_EQ(zip_entry_extract(z, sink, &streamed), 0);
    EXPECT_EQ(streamed, a);
    zip_entry_close(z);
    zip_close(z);
}

TEST_F(Zip, ArgumentsAndCallbackStop) {
    EXPECT_EQ(zip_open(nullptr, 0, 'r'), nullptr);
    EXPECT_EQ(zip_open("x.zip", 10, 'w'), nullptr);
    EXPECT_EQ(zip_open("x.zip", 0, 'q'), nullptr);
    EXPECT_EQ(zip_open("absent.zip", 0, 'r'), nullptr);
    EXPECT_EQ(zip_total_entries(nullptr), -1);
    EXPECT_LT(zip_extract("absent.zip", out.c_str(), nullptr, nullptr), 0);
    make_zip("two.zip", {{"one", "1"}, {"two", "2"}});
    EXPECT_LT(zip_extract("two.zip", "no-such-folder", nullptr, nullptr), 0);
    auto stop = [](const char *, void *) { return 1; };
    EXPECT_EQ(zip_extract("two.zip", out.c_str(), stop, nullptr), 0);
    EXPECT_EQ(tree(out), (std::vector<std::string>{"one"}));
}

// Names that would leave the folder refuse the whole archive, even the good
// entry in front of them.
TEST_F(Zip, EscapingNamesAreRefused) {
    const char *bad[] = {"../calib_and_param.bin",
                         "/tmp/vizor-zip-test-abs",
                         "sub\\..\\..\\x",
                         "a/../../x",
                         "a//b",
                         "./x",
                         "sub/..",
                         "a\x01"};
    for (const char *name : bad) {
        make_zip("bad.zip", {{"good.bin", "ok"}, {name, "evil"}});
        EXPECT_LT(zip_extract("bad.zip", out.c_str(), nullptr, nullptr), 0) << name;
        EXPECT_TRUE(tree(out).empty()) << name;
        EXPECT_TRUE(log.has("it leaves the folder")) << name;
    }
    EXPECT_EQ(tree(cwd.path()), (std::vector<std::string>{"bad.zip", "out"}));
    EXPECT_FALSE(fs::exists("/tmp/vizor-zip-test-abs"));
}

TEST_F(Zip, SymlinkedFolderIsNotFollowed) {
    fs::create_directory("elsewhere");
    fs::create_directory_symlink(fs::absolute("elsewhere"), out / "sub");
    make_zip("link.zip", {{"sub/x.bin", "evil"}});
    EXPECT_LT(zip_extract("link.zip", out.c_str(), nullptr, nullptr), 0);
    EXPECT_TRUE(fs::is_empty("elsewhere"));
}

// Patches a little-endian u32 at offset off of every record with signature sig.
void patch(std::string &zip, const char *sig, size_t off, uint32_t v) {
    for (size_t p = zip.find(sig, 0, 4); p != std::string::npos; p = zip.find(sig, p + 4, 4))
        for (int i = 0; i < 4; ++i) zip[p + off + size_t(i)] = char(v >> (8 * i));
}

// Damaged archives: each fails, leaving neither the file nor a temporary one.
TEST_F(Zip, DamagedArchivesLeaveNoPartialFile) {
    const std::string data = blob(300000);
    make_zip("good.zip", {{"calib_and_param.bin", data}});
    const std::string good = vzt::read_file("good.zip");
    const char *local = "PK\x03\x04", *central = "PK\x01\x02";
    struct Case {
        const char *what;
        std::function<void(std::string &)> damage;
    } cases[] = {
        {"truncated", [](std::string &z) { z.resize(z.size() / 2); }},
        {"no central directory", [](std::string &z) { z.resize(z.size() - 22); }},
        {"corrupt data",
         [](std::string &z) {
             for (size_t i = 100; i < 400; ++i) z[i] = char(~z[i]);
         }},
        {"size above the data",
         [&](std::string &z) {
             patch(z, local, 22, uint32_t(data.size() + 1));
             patch(z, central, 24, uint32_t(data.size() + 1));
         }},
        {"size below the data",
         [&](std::string &z) {
             patch(z, local, 22, uint32_t(data.size() - 1));
             patch(z, central, 24, uint32_t(data.size() - 1));
         }},
        {"compressed size beyond the file",
         [&](std::string &z) {
             patch(z, local, 18, 0x7FFFFFF0u);
             patch(z, central, 20, 0x7FFFFFF0u);
         }},
        {"wrong check sum",
         [&](std::string &z) {
             patch(z, local, 14, 0x12345678u);
             patch(z, central, 16, 0x12345678u);
         }},
        {"size beyond the limit",
         [&](std::string &z) {
             patch(z, local, 22, 0xFFFFFFF0u);
             patch(z, central, 24, 0xFFFFFFF0u);
         }},
    };
    for (const Case &c : cases) {
        std::string z = good;
        c.damage(z);
        write_file("damaged.zip", z);
        EXPECT_LT(zip_extract("damaged.zip", out.c_str(), nullptr, nullptr), 0) << c.what;
        EXPECT_TRUE(tree(out).empty()) << c.what;
        zip_t *r = zip_open("damaged.zip", 0, 'r');
        if (r && zip_entry_open(r, "calib_and_param.bin") == 0) {
            void *buf = reinterpret_cast<void *>(1);
            EXPECT_LT(zip_entry_read(r, &buf, nullptr), 0) << c.what;
            EXPECT_EQ(buf, nullptr);
        }
        zip_close(r);
    }
}

}  // namespace
