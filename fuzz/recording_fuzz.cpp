// Raw recordings (".vzr") through the recording reader that `vizor play` and
// the virtual camera's replay use. Input: the bytes of a recording file.
// A damaged or hostile file may only end in a RecordingError; whatever the
// reader hands out lies within the bounds it promises.
#include "fuzz_files.h"
#include "recording/recording.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    vzf::enter_private_folder(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    vzf::write_file("in.vzr", data, size);
    try {
        vzrec::Reader r("in.vzr");
        const vzrec::Header &h = r.header();
        for (const auto &[id, value] : h.params) VZF_CHECK(value.size() <= vzrec::kMaxParamBytes);
        for (const auto &[key, value] : h.meta) VZF_CHECK(value.size() <= vzrec::kMaxMetaBytes);
        for (const vzrec::FlashImage &im : h.images)
            VZF_CHECK(im.bytes.size() <= vzrec::kMaxImageBytes);
        vzrec::Frame f;
        int64_t seq = 0, n = 0;
        while (n < 64 && r.frame_at(seq, f)) {
            VZF_CHECK(f.seq >= seq && f.data.size() <= vzrec::kMaxFrameBytes);
            VZF_CHECK(f.width <= vzrec::kMaxDimension && f.height <= vzrec::kMaxDimension);
            seq = f.seq + 1;
            ++n;
        }
    } catch (const vzrec::RecordingError &) {}
    vzf::clear_folder();
    return 0;
}
