// vizor view: the capture engine. One thread owns the camera (or the
// recording being played): it makes every device call, runs the controls the
// page sends in between frames, and publishes each frame to the latest-frame
// slot without ever waiting for a client.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app.h"
#include "framefile.h"
#include "view.h"

namespace vztool::view {

// Where the frames come from: the session's device, or a distance frame file
// played in a loop at a fixed rate.
struct Source {
    vizor_dev_t *dev = nullptr;
    std::string file;
    double file_fps = 10;
    Projection projection = Projection::exact;  // of the point cloud
    std::string calib_dir;          // the EPC calibration files' folder; empty: the working one
    float flying = kFlyingDefault;  // flying-pixel threshold of the point cloud, 0: off
};

// A control's outcome: ok, and a message or a JSON value for the page.
struct Reply {
    bool ok = true;
    std::string json;  // a JSON object
};

class Engine {
public:
    Engine(const Source &src, const std::string &out_dir,
           std::optional<std::pair<float, float>> range);
    ~Engine();
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    FrameSlot &slot() { return slot_; }
    // Runs a control on the capture thread between two frames and waits for
    // its reply (at most timeout_ms; a reply that comes later is dropped).
    // op and the arguments come from the request; unknown ops fail.
    Reply control(const std::string &op, const std::function<std::string(const char *)> &arg,
                  int timeout_ms);
    // Stops the capture thread (idempotent).
    void stop();

private:
    struct Job {
        std::function<Reply()> fn;
        std::shared_ptr<std::promise<Reply>> done;
    };
    void run();
    void run_jobs();
    void grab_device();
    void grab_file();
    void publish(int w, int h);
    Reply dispatch(const std::string &op, const std::function<std::string(const char *)> &arg);
    Reply state() const;
    Reply set_running(bool on);
    Reply set_intg(long us);
    Reply set_filter(const std::string &which, bool on, long value);
    Reply set_flying(bool on);
    Reply set_record(bool on);
    Reply snapshot();
    Reply set_range(const std::string &lo, const std::string &hi);
    Reply epc(const std::string &op, const std::function<std::string(const char *)> &arg);
    std::string epc_state() const;
    bool is_epc() const;
    int project(int w, int h);

    Source src_;
    std::string out_dir_;
    std::optional<std::pair<float, float>> fixed_range_;
    FrameSlot slot_;
    BufferPool pool_;

    std::mutex jobs_mu_;
    std::condition_variable jobs_cv_;
    std::deque<Job> jobs_;
    std::atomic<bool> quit_{false};
    std::thread thread_;

    // Capture-thread state.
    std::unique_ptr<DistanceFile> file_;
    bool running_ = false;
    int rec_fd_ = -1;
    std::string rec_path_;
    uint32_t recorded_ = 0;
    uint32_t intg_us_ = 0;
    bool undistort_ = false;
    long min_amp_ = -1, auto_intg_ = -1;  // -1: off
    float flying_ = 0;                    // the point cloud's flying-pixel threshold, 0: off
    float flying_on_ = kFlyingDefault;    // the threshold the page's checkbox switches on
    uint32_t frames_ = 0, snapshots_ = 0, records_ = 0;
    int32_t last_error_ = 0;
    uint32_t errors_ = 0;
    std::pair<float, float> range_{0.1f, 5.0f};
    bool have_range_ = false;
    float white_ = 1;
    float fps_ = 0;
    uint32_t fps_count_ = 0;
    double fps_t0_ = 0;
    std::vector<uint8_t> raw_, rgb_, bar_, pcl_rgb_;
    std::vector<float> dist_, gray_, shown_, scratch_, pcl_, bar_vals_, cloud_;
    int w_ = 0, h_ = 0, points_ = 0;
    bool have_gray_ = false;
};

// Capture statistics of the device's error callback (it runs on the capture
// thread, inside the fetch calls).
void reset_cap_stats();
uint32_t cap_discarded();
uint32_t cap_errors();

}  // namespace vztool::view
