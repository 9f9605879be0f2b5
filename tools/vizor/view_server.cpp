// vizor view: the HTTP side of the live viewer. Serves the page and its
// scripts, hands each client the newest frame by long poll (a client asks
// for a frame newer than the one it has and gets only the newest, so a slow
// tab just sees fewer frames), and passes the page's controls to the capture
// engine. Every request passes the Host/Origin guard first.
#include <httplib.h>
#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app.h"
#include "cli.h"
#include "view_engine.h"

namespace fs = std::filesystem;

namespace vztool {

namespace {

std::atomic<bool> g_stop{false};
void on_signal(int) { g_stop = true; }

// The page's files: --assets, else next to the installed program, else the
// source tree this program was built from.
std::string find_assets(const std::string &given) {
    if (!given.empty()) return given;
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const fs::path inst = exe.parent_path().parent_path() / "share" / "vizor" / "viewer";
        if (fs::is_regular_file(inst / "index.html")) return inst.string();
    }
    return VIZOR_VIEWER_SOURCE_DIR;
}

constexpr const char *kThreeDir = "/usr/share/javascript/three";

// Each open connection holds a worker while it lives, idle ones too (a
// browser keeps several open; a careless or hostile client hundreds). A fixed
// pool would make the page's requests wait behind idle connections until
// their keep-alive runs out, so the pool grows a worker whenever a new
// connection finds none free, up to kMaxWorkers; beyond that connections wait
// in line. Workers stay until shutdown: an idle one costs a sleeping thread.
class GrowingPool : public httplib::TaskQueue {
public:
    GrowingPool(size_t first, size_t most) : most_(most) {
        std::lock_guard lk(mu_);
        while (workers_.size() < first) add_worker();
    }
    void enqueue(std::function<void()> fn) override {
        std::lock_guard lk(mu_);
        jobs_.push_back(std::move(fn));
        if (idle_ < jobs_.size() && workers_.size() < most_) add_worker();
        cv_.notify_one();
    }
    void shutdown() override {
        {
            std::lock_guard lk(mu_);
            stop_ = true;
        }
        cv_.notify_all();
        for (std::thread &t : workers_) t.join();
    }

private:
    void add_worker() {
        workers_.emplace_back([this] { run(); });
    }
    void run() {
        std::unique_lock lk(mu_);
        for (;;) {
            ++idle_;
            cv_.wait(lk, [&] { return stop_ || !jobs_.empty(); });
            --idle_;
            if (jobs_.empty()) return;  // stopping, and nothing left to serve
            std::function<void()> fn = std::move(jobs_.front());
            jobs_.pop_front();
            lk.unlock();
            fn();
            lk.lock();
        }
    }

    const size_t most_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> workers_;
    size_t idle_ = 0;
    bool stop_ = false;
};

constexpr size_t kFirstWorkers = 8;
constexpr size_t kMaxWorkers = 512;
// Long polls one client address may have waiting at once: a page polls once
// per tab, so more are refused (429) instead of piling up workers.
constexpr int kPollsPerClient = 16;

// Counts the long polls waiting per client address.
class PollLimit {
public:
    bool enter(const std::string &addr) {
        std::lock_guard lk(mu_);
        int &n = polls_[addr];
        if (n >= kPollsPerClient) return false;
        ++n;
        return true;
    }
    void leave(const std::string &addr) {
        std::lock_guard lk(mu_);
        auto it = polls_.find(addr);
        if (it != polls_.end() && --it->second <= 0) polls_.erase(it);
    }

private:
    std::mutex mu_;
    std::map<std::string, int> polls_;
};

}  // namespace

int cmd_view(Session &s, const ViewOpts &o) {
    view::Source src;
    src.projection = o.projection;
    src.flying = o.flying;
    if (o.play.empty()) {
        src.dev = s.open();
        src.calib_dir = s.calib_dir();
    } else {
        src.file = o.play;
        src.file_fps = o.play_fps;
    }
    const std::string assets = find_assets(o.assets);
    if (!fs::is_regular_file(fs::path(assets) / "index.html"))
        throw ToolError("the viewer's page is not in " + assets + " (use --assets DIR)");
    if (!fs::is_regular_file(fs::path(kThreeDir) / "three.min.js"))
        throw ToolError(std::string("three.js is missing from ") + kThreeDir +
                        " (install libjs-three)");

    view::Engine engine(src, o.out_dir, o.range);
    httplib::Server svr;
    // Workers grow with the open connections (GrowingPool); an idle connection
    // is closed after 2 s and any connection after 100 requests.
    svr.new_task_queue = [] { return new GrowingPool(kFirstWorkers, kMaxWorkers); };
    svr.set_keep_alive_max_count(100);
    svr.set_keep_alive_timeout(2);
    svr.set_read_timeout(5, 0);
    svr.set_write_timeout(5, 0);
    svr.set_payload_max_length(4096);
    int port = o.port;

    svr.set_pre_routing_handler([&](const httplib::Request &req, httplib::Response &res) {
        const bool changing = req.method != "GET" && req.method != "HEAD";
        if (view::request_allowed(req.get_header_value("Host"), req.get_header_value("Origin"),
                                  o.bind, port, changing))
            return httplib::Server::HandlerResponse::Unhandled;
        res.status = 403;
        res.set_content("request refused: wrong Host or Origin\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });
    svr.set_post_routing_handler([](const httplib::Request &, httplib::Response &res) {
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Cache-Control", "no-store");
    });
    if (!svr.set_mount_point("/", assets) || !svr.set_mount_point("/three", kThreeDir))
        throw ToolError("cannot serve " + assets);

    PollLimit polls;
    svr.Get("/api/frame", [&](const httplib::Request &req, httplib::Response &res) {
        const uint32_t after = view::frame_after(req.get_param_value("after"));
        if (!polls.enter(req.remote_addr)) {
            res.status = 429;
            res.set_content("too many waiting requests from this client\n", "text/plain");
            return;
        }
        uint32_t seq = 0;
        view::Buffer frame = engine.slot().wait_newer(after, 1000, seq);
        polls.leave(req.remote_addr);
        if (!frame) {
            res.status = 204;
            return;
        }
        // Streams from the shared buffer: no copy, and the buffer lives until
        // the response is done or the client went away.
        res.set_content_provider(frame->size(), "application/octet-stream",
                                 [frame](size_t off, size_t len, httplib::DataSink &sink) {
                                     return sink.write(
                                         reinterpret_cast<const char *>(frame->data()) + off, len);
                                 });
    });
    svr.Get("/api/state", [&](const httplib::Request &req, httplib::Response &res) {
        const view::Reply r = engine.control(
            "state", [&](const char *k) { return req.get_param_value(k); }, 5000);
        res.status = r.ok ? 200 : 503;
        res.set_content(r.json, "application/json");
    });
    svr.Post("/api/control", [&](const httplib::Request &req, httplib::Response &res) {
        const std::string op = req.get_param_value("op");
        const view::Reply r = engine.control(
            op, [&](const char *k) { return req.get_param_value(k).substr(0, 64); }, 5000);
        res.status = r.ok ? 200 : 400;
        res.set_content(r.json, "application/json");
    });

    if (port == 0) {
        port = svr.bind_to_any_port(o.bind);
        if (port < 0) throw ToolError("cannot listen on " + o.bind);
    } else if (!svr.bind_to_port(o.bind, port)) {
        throw ToolError("cannot listen on " + o.bind + ":" + std::to_string(port));
    }
    const std::string shown = o.bind.find(':') != std::string::npos ? "[" + o.bind + "]" : o.bind;
    std::printf("vizor view: http://%s:%d/ (Ctrl-C ends)\n", shown.c_str(), port);
    std::printf("vizor view: %s; the page's checkbox switches it\n", flying_note(o.flying).c_str());
    std::fflush(stdout);

    g_stop = false;
    ::signal(SIGINT, on_signal);
    ::signal(SIGTERM, on_signal);
    ::signal(SIGPIPE, SIG_IGN);  // a client that went away is the server's business, not fatal
    std::thread watcher([&] {
        while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        engine.slot().close();  // wakes the long polls
        svr.stop();
    });
    svr.listen_after_bind();
    g_stop = true;
    watcher.join();
    engine.stop();
    std::printf("vizor view: stopped\n");
    return 0;
}

// ---- the command's options ----------------------------------------------------------

void add_view_command(Commands &c) {
    struct ViewArgs {
        ViewOpts view;
        std::string range;
        std::vector<std::string> filters;
    };
    auto args = std::make_shared<ViewArgs>();
    ViewOpts &view = args->view;
    auto *viewc = c.add("view", "Show the camera (or a recording) live in the browser", true);
    viewc
        ->add_option("--bind", view.bind,
                     "Address to listen on (other than loopback: reachable by others)")
        ->type_name("ADDR")
        ->capture_default_str();
    viewc->add_option("-p,--port", view.port, "Port (0: any free one)")
        ->type_name("PORT")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    viewc->add_option("-o,--out", view.out_dir, "Folder of snapshots and recordings")
        ->type_name("DIR")
        ->capture_default_str();
    viewc->add_option("--assets", view.assets, "Folder of the page's files")
        ->type_name("DIR")
        ->check(CLI::ExistingDirectory);
    viewc
        ->add_option("--play", view.play,
                     "Show a distance frame file (.vzd) in a loop instead of a camera")
        ->type_name("FILE")
        ->check(CLI::ExistingFile);
    add_projection_opt(viewc, view.projection);
    viewc->add_option("--play-fps", view.play_fps, "Frame rate of --play")
        ->check(CLI::Range(0.5, 100.0))
        ->capture_default_str();
    viewc
        ->add_option("--range", args->range,
                     "Fixed colour range in metres (default: follows the scene)")
        ->type_name("MIN:MAX")
        ->check(kRange);
    viewc
        ->add_option("--filter", args->filters,
                     "flying-pixels=off or flying-pixels=METRES: the point cloud's flying-pixel "
                     "filter (on at 0.15 m by default)")
        ->check(CLI::Validator([](std::string &v) { return flying_filter_error(v); }, "FILTER"));
    c.on_run(viewc, [args](Session &s, const Globals &) {
        if (!args->range.empty()) args->view.range = parse_range(args->range);
        args->view.flying = flying_threshold(args->filters);
        return cmd_view(s, args->view);
    });
}

}  // namespace vztool
