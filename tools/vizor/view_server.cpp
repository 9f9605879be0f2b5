// vizor view: the HTTP side of the live viewer. Serves the page and its
// scripts, hands each client the newest frame by long poll (a client asks
// for a frame newer than the one it has and gets only the newest, so a slow
// tab just sees fewer frames), and passes the page's controls to the capture
// engine. Every request passes the Host/Origin guard first.
#include <httplib.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

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

}  // namespace

int cmd_view(Session &s, const ViewOpts &o) {
    view::Source src;
    src.projection = o.projection;
    if (o.play.empty()) {
        src.dev = s.open();
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
    // Each open connection holds a thread while it lives (a browser opens up to
    // six): room for several tabs, and idle connections are closed soon.
    const int nthreads = 48;
    svr.new_task_queue = [] { return new httplib::ThreadPool(nthreads); };
    svr.set_keep_alive_max_count(1000);
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

    svr.Get("/api/frame", [&](const httplib::Request &req, httplib::Response &res) {
        uint32_t after = 0;
        const std::string a = req.get_param_value("after");
        if (a.size() <= 10 && !a.empty() && a.find_first_not_of("0123456789") == std::string::npos)
            after = uint32_t(std::stoull(a));
        uint32_t seq = 0;
        view::Buffer frame = engine.slot().wait_newer(after, 1000, seq);
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
    c.on_run(viewc, [args](Session &s, const Globals &) {
        if (!args->range.empty()) args->view.range = parse_range(args->range);
        return cmd_view(s, args->view);
    });
}

}  // namespace vztool
