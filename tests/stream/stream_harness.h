// Helpers of the stream tests: a stream with a frame collector, exact frame
// comparison, and capture of the log file.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "stream/stream_gen.h"
#include "vizor/log.h"
#include "vizor/stream.h"

namespace vzt {

// A frame as fetched.
struct Got {
    vz_stream_frame_hdr_t desc{};
    Bytes data;
};

inline bool same_desc(const vz_stream_frame_hdr_t &a, const vz_stream_frame_hdr_t &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

inline std::string describe(const vz_stream_frame_hdr_t &d) {
    std::ostringstream o;
    o << "{size " << d.frame_size << " idx " << d.frame_idx << " fmt " << d.frame_format << " "
      << d.width << "x" << d.height << "}";
    return o.str();
}

// Owns a stream; fetches every ready frame into `got`.
class Harness {
public:
    explicit Harness(uint32_t max_frames = 1000) {
        vz_stream_cfg_t cfg{max_frames};
        s = vz_stream_create(&cfg);
    }
    ~Harness() { vz_stream_destroy(s); }
    Harness(const Harness &) = delete;
    Harness &operator=(const Harness &) = delete;

    void feed(const uint8_t *p, size_t n) { EXPECT_EQ(vz_stream_feed_input(s, p, int(n)), 1); }
    void feed(const Bytes &b) { feed(b.data(), b.size()); }

    // Feeds b cut into transfers of the given sizes, draining after each.
    void feed_cut(const Bytes &b, const std::vector<size_t> &sizes) {
        size_t at = 0;
        for (size_t n : sizes) {
            feed(b.data() + at, n);
            at += n;
            drain();
        }
    }

    // Takes every ready frame, one at a time, sized by a peek first.
    void drain() {
        vz_stream_frame_hdr_t d;
        uint8_t none = 0;
        while (vz_stream_fetch_frames(s, &none, 0, 1, &d, true) == 1) {
            Got g;
            g.data.resize(d.frame_size);
            vz_stream_frame_hdr_t d2;
            EXPECT_EQ(
                vz_stream_fetch_frames(s, g.data.data(), uint32_t(g.data.size()), 1, &d2, false),
                1u);
            EXPECT_TRUE(same_desc(d, d2));
            g.desc = d2;
            got.push_back(std::move(g));
        }
    }

    vz_stream_state_t state() {
        vz_stream_state_t st{};
        vz_stream_get_state(s, &st);
        return st;
    }

    vz_stream_t *s = nullptr;
    std::vector<Got> got;
};

// Checks that got is exactly the expected frames, in order, byte for byte.
inline ::testing::AssertionResult frames_equal(const std::vector<Got> &got,
                                               const std::vector<const Frame *> &want) {
    if (got.size() != want.size())
        return ::testing::AssertionFailure()
               << "got " << got.size() << " frames, want " << want.size();
    for (size_t i = 0; i < got.size(); ++i) {
        if (!same_desc(got[i].desc, want[i]->desc))
            return ::testing::AssertionFailure()
                   << "frame " << i << ": description " << describe(got[i].desc) << ", want "
                   << describe(want[i]->desc);
        if (got[i].data != want[i]->data)
            return ::testing::AssertionFailure()
                   << "frame " << i << " (idx " << want[i]->desc.frame_idx << "): bytes differ";
    }
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult frames_equal(const std::vector<Got> &got,
                                               const std::vector<Frame> &want) {
    std::vector<const Frame *> w;
    for (const Frame &f : want) w.push_back(&f);
    return frames_equal(got, w);
}

// Sends every log level to a file of its own (and nothing to the console)
// while alive; text() reads what was logged.
class LogCapture {
public:
    LogCapture() {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = ::testing::TempDir() + "vz_stream_" + info->test_suite_name() + "_" + info->name() +
                ".log";
        std::remove(path_.c_str());
        vz_log_enable(VZ_LOG_CH_FILE, VZ_LOG_TRC, path_.c_str());
        vz_log_enable(VZ_LOG_CH_CONSOLE, VZ_LOG_OFF, nullptr);
    }
    ~LogCapture() {
        vz_log_disable();
        vz_log_enable(VZ_LOG_CH_CONSOLE, VZ_LOG_WRN, nullptr);
        std::remove(path_.c_str());
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::string text() const {
        std::ifstream in(path_, std::ios::binary);
        std::ostringstream o;
        o << in.rdbuf();
        return o.str();
    }
    // Lines that end with "[level] " + msg (msg carries its own line end).
    size_t count(const std::string &level, const std::string &msg) const {
        const std::string t = text(), needle = "[" + level + "] " + msg;
        size_t n = 0;
        for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + 1)) ++n;
        return n;
    }
    bool has(const std::string &level, const std::string &msg) const {
        return count(level, msg) > 0;
    }

private:
    std::string path_;
};

}  // namespace vzt
