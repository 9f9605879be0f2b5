// Writes the seed corpus of the stream fuzzer into the folder given as the
// only argument: small valid streams of every chunk layout and the same
// streams damaged in each way the reassembler must survive, each followed by
// the fuzzer's 4-byte trailer (max_frames byte, transfer seed).
#include <cstdio>
#include <string>

#include "stream/stream_gen.h"

using namespace vzt;

namespace {

bool write(const std::string &dir, const std::string &name, Bytes b, uint32_t n) {
    b.push_back(uint8_t(n));       // max_frames = 1 + n % 4
    b.push_back(uint8_t(n * 37));  // transfer seed
    b.push_back(uint8_t(n * 101));
    b.push_back(uint8_t(n >> 3));
    const std::string path = dir + "/" + name;
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(b.data(), 1, b.size(), f) == b.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s corpus-folder\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = true;
    for (uint32_t n = 0; n < 8; ++n) {
        std::mt19937 rng(n + 1);
        GenOptions o;
        o.max_frame = n < 4 ? 40 : 300;
        o.max_whole = 3;
        o.first_fridx = uint16_t(65530 + n);
        o.first_hdr_idx = uint16_t(65533 + n);
        Generator g(rng, o);
        const Stream s = g.make(12);
        const std::string id = std::to_string(n);
        ok &= write(dir, "valid_" + id, s.bytes(), n);
        const size_t k = 1 + rng() % (s.chunks.size() - 2);
        Stream d = s;
        d.bad_checksum(k);
        ok &= write(dir, "bad_cksum_" + id, d.bytes(), n);
        d = s;
        d.drop_chunk(k);
        ok &= write(dir, "lost_chunk_" + id, d.bytes(), n);
        d = s;
        d.index_gap(k);
        ok &= write(dir, "index_gap_" + id, d.bytes(), n);
        d = s;
        Bytes junk = random_bytes(rng, 1 + rng() % 60);
        junk.back() = 0xFB;
        d.junk_before(k, junk);
        ok &= write(dir, "junk_" + id, d.bytes(), n);
        d = s;
        d.truncate(k, 1 + rng() % 40);
        ok &= write(dir, "truncated_" + id, d.bytes(), n);
    }
    if (!ok) std::fprintf(stderr, "cannot write the corpus into %s\n", dir.c_str());
    return ok ? 0 : 1;
}
