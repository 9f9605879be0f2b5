// The emulated USB device: sysfs/udev entries and usbfs ioctls answered
// through umockdev, in front of the firmware model.
//
// Each plug-in of a camera is an Attachment: a device node (a FIFO, see
// below), an ioctl handler and the URBs of the clients that opened the node.
// A replug creates a new Attachment at the camera's new address; the old one
// only answers "no device" until it is detached.
//
// Readiness is signalled like the kernel's usbfs does, by the node becoming
// writable: the node is a FIFO that is kept full while no URB can be reaped
// (poll() blocks, zero CPU) and drained when one can.
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "vcam/proto.h"
#include "vcam/usbdesc.h"
#include "vcam/vcam.h"

#ifndef VIZOR_USB_VID
#define VIZOR_USB_VID 0x1209
#endif
#ifndef VIZOR_USB_PID
#define VIZOR_USB_PID 0x0001
#endif

#ifndef USBDEVFS_GET_SPEED
#define USBDEVFS_GET_SPEED _IO('U', 31)
#endif

namespace vcam {

uint16_t usb_vendor_id() { return VIZOR_USB_VID; }
uint16_t usb_product_id() { return VIZOR_USB_PID; }

namespace {

using Clock = std::chrono::steady_clock;

// Orders the set-up of an attachment before umockdev's thread first uses it.
std::mutex g_handoff;

struct Urb {
    UMockdevIoctlData *data = nullptr;  // the client's struct usbdevfs_urb
    UMockdevIoctlData *buf = nullptr;   // its buffer
    uint64_t addr = 0;                  // client address of the URB
    uint8_t type = 0;
    uint8_t endpoint = 0;
    int length = 0;
    int status = 0;
    int actual = 0;
    std::vector<uint8_t> reply;  // control IN reply, copied at reap time
    bool copy_reply = false;

    ~Urb() {
        if (buf) g_object_unref(buf);
        if (data) g_object_unref(data);
    }
};

// One client connection (an open of the device node). It keeps a reference
// to umockdev's client object so that its connection state can be asked
// after the client closed the node: umockdev does not always announce that.
struct Client {
    Client() = default;
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;
    ~Client() {
        if (conn) g_object_unref(conn);
    }

    UMockdevIoctlClient *conn = nullptr;    // referenced
    std::deque<std::unique_ptr<Urb>> done;  // completed, waiting to be reaped
    std::deque<std::unique_ptr<Urb>> bulk;  // bulk IN URBs in submission order
    std::deque<std::unique_ptr<Urb>> held;  // control URBs never answered (control_hang)
    unsigned claimed = 0;                   // bit per interface
};

}  // namespace

struct Attachment;

struct Camera::Impl : std::enable_shared_from_this<Camera::Impl> {
    Bus::Impl *bus = nullptr;
    CameraConfig cfg;
    Firmware fw;
    uint8_t busnum = 0;
    uint8_t port = 0;
    Speed speed = Speed::high;
    std::vector<uint8_t> descriptors;

    mutable std::mutex mu;                    // guards the fields below
    mutable std::condition_variable changed;  // presence changed
    uint8_t devnum = 0;
    std::string syspath;                  // empty while unplugged
    bool listed = false;                  // in the testbed's enumeration (guarded by mu)
    std::shared_ptr<Attachment> current;  // the live attachment
    std::vector<std::shared_ptr<Attachment>> attachments;  // all, until detached
    bool watching =
        false;  // a watch waits for the clients of unplugged nodes (guarded by Bus tb_mu)

    Impl(const CameraConfig &c, const FirmwareConfig &f) : cfg(c), fw(f) {}
};

// One plug-in session of a camera: device node, ioctl handler and clients.
struct Attachment {
    Camera::Impl *cam = nullptr;
    std::string devnode;
    std::string path;  // devnode under the testbed root
    int fifo = -1;
    UMockdevIoctlBase *handler = nullptr;  // set up and torn down under Bus tb_mu
    gulong sig_ioctl = 0, sig_vanished = 0;

    std::mutex mu;  // guards everything below
    bool fifo_full = false;
    bool gone = false;
    std::map<UMockdevIoctlClient *, Client> clients;

    ~Attachment() {
        if (fifo >= 0) close(fifo);
    }

    // Makes the node writable exactly when some URB can be reaped.
    void update_ready() {
        bool ready = false;
        for (auto &[c, st] : clients) {
            if (!st.done.empty() || (!gone && !st.bulk.empty() &&
                                     cam->fw.bulk_ready(size_t(st.bulk.front()->length)))) {
                ready = true;
                break;
            }
        }
        set_fifo(ready);
    }

    void set_fifo(bool ready) {
        if (fifo < 0) return;
        uint8_t scratch[4096];
        if (ready && fifo_full) {
            while (read(fifo, scratch, sizeof scratch) > 0) {}
            fifo_full = false;
        } else if (!ready && !fifo_full) {
            std::memset(scratch, 0, sizeof scratch);
            while (write(fifo, scratch, sizeof scratch) > 0) {}
            fifo_full = true;
        }
    }

    // Completes every pending URB with "device gone".
    void disconnect() {
        gone = true;
        for (auto &[c, st] : clients) {
            while (!st.held.empty()) {
                auto u = std::move(st.held.front());
                st.held.pop_front();
                u->status = -ESHUTDOWN;
                u->actual = 0;
                st.done.push_back(std::move(u));
            }
            while (!st.bulk.empty()) {
                auto u = std::move(st.bulk.front());
                st.bulk.pop_front();
                u->status = -ESHUTDOWN;
                u->actual = 0;
                st.done.push_back(std::move(u));
            }
        }
        update_ready();
    }

    gboolean handle(UMockdevIoctlClient *client);
    void vanished(UMockdevIoctlClient *client);

    // Forgets the clients whose connection has closed; returns how many remain.
    // Call with mu held.
    size_t drop_closed() {
        std::erase_if(clients, [](const auto &kv) {
            return !umockdev_ioctl_client_get_connected(kv.second.conn);
        });
        update_ready();
        return clients.size();
    }

    long submit(Client &st, UMockdevIoctlData *arg, int &err, bool &kick);
    long reap(Client &st, UMockdevIoctlData *arg, int &err, std::unique_ptr<Urb> &out);
    long discard(Client &st, uint64_t addr, int &err);
    bool control(Urb &u);
};

struct Bus::Impl {
    UMockdevTestbed *tb = nullptr;
    std::string root;

    std::mutex tb_mu;  // serialises testbed calls
    mutable std::mutex mu;
    std::condition_variable cv;
    std::vector<std::shared_ptr<Camera::Impl>> impls;
    std::vector<std::unique_ptr<Camera>> cams;
    std::map<uint8_t, uint8_t> next_devnum;  // per bus
    struct Timer {
        Clock::time_point at;
        std::function<void()> fn;
    };
    std::vector<Timer> timers;
    bool stop = false;
    bool kicked = false;
    std::thread worker;

    void kick() {
        std::lock_guard lk(mu);
        kicked = true;
        cv.notify_one();
    }
    void post(Clock::time_point at, std::function<void()> fn) {
        std::lock_guard lk(mu);
        timers.push_back({at, std::move(fn)});
        kicked = true;
        cv.notify_one();
    }
    void run();
    // Runs fn(camera) on the worker at `at`, unless the camera was removed.
    void post_cam(Clock::time_point at, Camera::Impl &c, void (Impl::*fn)(Camera::Impl &)) {
        std::weak_ptr<Camera::Impl> w = c.weak_from_this();
        post(at, [this, w, fn] {
            if (auto sp = w.lock()) (this->*fn)(*sp);
        });
    }

    void plug(Camera::Impl &c);
    void unplug(Camera::Impl &c);
    void prune(Camera::Impl &c);
    bool devnum_taken(uint8_t busnum, uint8_t devnum);
    // Prune with tb_mu already held; true when an unplugged node is still open.
    bool prune_locked(Camera::Impl &c);
    void watch(Camera::Impl &c);  // prunes until no unplugged node is open
    void start_watch_locked(Camera::Impl &c);
    void retire(Camera::Impl &c);  // unplug and detach every node of c
    std::shared_ptr<Attachment> attach(Camera::Impl &c, const std::string &devnode);
    void detach(Attachment &a);
};

namespace {

gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user) {
    { std::lock_guard take(g_handoff); }
    return static_cast<Attachment *>(user)->handle(client);
}

void on_vanished(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user) {
    { std::lock_guard take(g_handoff); }
    static_cast<Attachment *>(user)->vanished(client);
}

int speed_code(Speed s) {
    switch (s) {
    case Speed::full: return 2;   // USB_SPEED_FULL
    case Speed::high: return 3;   // USB_SPEED_HIGH
    case Speed::super: return 5;  // USB_SPEED_SUPER
    }
    return 0;
}

// The memory an ioctl's pointer argument points to (a local copy that is
// written back when the ioctl completes).
class Pointee {
public:
    Pointee(UMockdevIoctlData *arg, size_t len) {
        if (!arg || !arg->data || size_t(arg->data_len) < sizeof(void *)) return;
        GError *e = nullptr;
        d_ = umockdev_ioctl_data_resolve(arg, 0, len, &e);
        if (e) g_error_free(e);
        if (d_ && size_t(d_->data_len) < len) {
            g_object_unref(d_);
            d_ = nullptr;
        }
    }
    ~Pointee() {
        if (d_) g_object_unref(d_);
    }
    Pointee(const Pointee &) = delete;
    Pointee &operator=(const Pointee &) = delete;
    UMockdevIoctlData *release() {
        auto *d = d_;
        d_ = nullptr;
        return d;
    }
    template <class T>
    T *as() {
        return d_ ? reinterpret_cast<T *>(d_->data) : nullptr;
    }
    UMockdevIoctlData *get() { return d_; }

private:
    UMockdevIoctlData *d_ = nullptr;
};

template <class T>
struct ArgOf {
    explicit ArgOf(UMockdevIoctlData *arg) : p(arg, sizeof(T)) {}
    T *get() { return p.as<T>(); }
    Pointee p;
};

}  // namespace

void Attachment::vanished(UMockdevIoctlClient *client) {
    bool orphan;
    {
        std::lock_guard lk(mu);
        clients.erase(client);
        update_ready();
        orphan = gone && clients.empty();
    }
    if (orphan) {
        // The last client of an unplugged device closed it: detach it (from the
        // worker; umockdev cannot detach a handler from its own thread).
        cam->bus->post_cam(Clock::now(), *cam, &Bus::Impl::prune);
    }
}

// ---- usbfs ioctls -------------------------------------------------------------

gboolean Attachment::handle(UMockdevIoctlClient *client) {
    const gulong req = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    long res = 0;
    int err = 0;
    bool kick = false;
    std::unique_ptr<Urb> reaped;  // released after the completion wrote it back
    {
        std::lock_guard lk(mu);
        auto [slot, fresh] = clients.try_emplace(client);
        if (fresh) {
            slot->second.conn = static_cast<UMockdevIoctlClient *>(g_object_ref(client));
            drop_closed();  // the clients before it may have closed unannounced
        }
        Client &st = slot->second;
        auto uint_arg = [&](unsigned &v) {
            ArgOf<unsigned> a(arg);
            if (!a.get()) return false;
            v = *a.get();
            return true;
        };
        switch (req) {
        case USBDEVFS_GET_CAPABILITIES: {
            ArgOf<uint32_t> a(arg);
            auto *p = a.get();
            if (!p) {
                err = EFAULT;
                break;
            }
            *p = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                 USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                 USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
            break;
        }
        case USBDEVFS_SETCONFIGURATION: {
            unsigned v = 0;
            if (gone)
                err = ENODEV;
            else if (!uint_arg(v))
                err = EFAULT;
            else if (st.claimed)
                err = EBUSY;
            else if (v != 1 && v != 0 && int(v) != -1)
                err = EINVAL;
            break;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_DISCONNECT_CLAIM: {
            unsigned iface = 0;
            if (gone) {
                err = ENODEV;
            } else if (!uint_arg(iface)) {
                err = EFAULT;
            } else if (iface > 1) {
                err = ENOENT;
            } else {
                bool other = false;
                for (auto &[c, s] : clients)
                    if (c != client && (s.claimed & (1u << iface))) other = true;
                if (other || !cam->fw.claim_allowed(iface))
                    err = EBUSY;
                else
                    st.claimed |= 1u << iface;
            }
            break;
        }
        case USBDEVFS_RELEASEINTERFACE: {
            unsigned iface = 0;
            if (gone)
                err = ENODEV;
            else if (!uint_arg(iface))
                err = EFAULT;
            else if (iface > 1 || !(st.claimed & (1u << iface)))
                err = EINVAL;
            else
                st.claimed &= ~(1u << iface);
            break;
        }
        case USBDEVFS_GETDRIVER:
        case USBDEVFS_IOCTL:
            err = gone ? ENODEV : ENODATA;  // no kernel driver is bound
            break;
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP: {
            unsigned ep = 0;
            if (gone)
                err = ENODEV;
            else if (!uint_arg(ep))
                err = EFAULT;
            else if (ep != proto::kBulkInEp && (ep & 0x7F) != 0)
                err = ENOENT;
            break;
        }
        case USBDEVFS_SETINTERFACE: {
            ArgOf<usbdevfs_setinterface> a(arg);
            auto *p = a.get();
            if (gone)
                err = ENODEV;
            else if (!p)
                err = EFAULT;
            else if (p->interface > 1 || p->altsetting != 0)
                err = EINVAL;
            break;
        }
        case USBDEVFS_RESET:
            if (gone) err = ENODEV;
            break;
        case USBDEVFS_CONNECTINFO: {
            ArgOf<usbdevfs_connectinfo> a(arg);
            auto *p = a.get();
            if (!p) {
                err = EFAULT;
                break;
            }
            std::lock_guard ck(cam->mu);
            p->devnum = cam->devnum;
            p->slow = 0;
            break;
        }
        case USBDEVFS_GET_SPEED: res = speed_code(cam->speed); break;
        case USBDEVFS_SUBMITURB: res = submit(st, arg, err, kick); break;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY: res = reap(st, arg, err, reaped); break;
        case USBDEVFS_DISCARDURB:
            if (arg && arg->data && size_t(arg->data_len) >= sizeof(uint64_t)) {
                uint64_t addr = 0;
                std::memcpy(&addr, arg->data, sizeof addr);
                res = discard(st, addr, err);
            } else {
                err = EINVAL;
            }
            break;
        default: err = ENOTTY; break;
        }
        if (err) res = -1;
        update_ready();
    }
    umockdev_ioctl_client_complete(client, res, err);
    if (kick) cam->bus->kick();
    return TRUE;
}

long Attachment::submit(Client &st, UMockdevIoctlData *arg, int &err, bool &kick) {
    Pointee urb(arg, sizeof(usbdevfs_urb));
    auto *uu = urb.as<usbdevfs_urb>();
    if (!uu) {
        err = EFAULT;
        return -1;
    }
    if (gone) {
        err = ENODEV;
        return -1;
    }
    auto u = std::make_unique<Urb>();
    u->type = uu->type;
    u->endpoint = uu->endpoint;
    u->length = uu->buffer_length;
    u->addr = urb.get()->client_addr;
    if (u->length < 0) {
        err = EINVAL;
        return -1;
    }
    if (u->length > 0) {
        GError *e = nullptr;
        u->buf = umockdev_ioctl_data_resolve(urb.get(), offsetof(usbdevfs_urb, buffer),
                                             size_t(u->length), &e);
        if (!u->buf) {
            if (e) g_error_free(e);
            err = EFAULT;
            return -1;
        }
    }
    u->data = urb.release();

    if (u->type == USBDEVFS_URB_TYPE_CONTROL && (u->endpoint & 0x7F) == 0) {
        if (u->length < 8) {
            err = EINVAL;
            return -1;
        }
        uint16_t wlength = proto::get16(u->buf->data + 6);
        if (u->length < 8 + int(wlength)) {
            err = EINVAL;
            return -1;
        }
        if ((u->buf->data[0] & 0x60) != 0 && cam->fw.control_hangs()) {
            st.held.push_back(std::move(u));
            return 0;
        }
        bool reset = control(*u);
        st.done.push_back(std::move(u));
        kick = true;
        if (reset) {
            // The reply goes out first; then the camera drops off the bus and
            // comes back on the same port.
            cam->bus->post_cam(Clock::now(), *cam, &Bus::Impl::unplug);
            cam->bus->post_cam(Clock::now() + cam->cfg.usb_reset_delay, *cam, &Bus::Impl::plug);
        }
        return 0;
    }
    if (u->type == USBDEVFS_URB_TYPE_BULK && u->endpoint == proto::kBulkInEp) {
        st.bulk.push_back(std::move(u));
        return 0;
    }
    err = ENOENT;  // no such endpoint
    return -1;
}

// Runs a control request; returns true when it asked for a USB reset.
bool Attachment::control(Urb &u) {
    const uint8_t *setup = u.buf->data;
    const uint16_t wlength = proto::get16(setup + 6);
    const bool in = (setup[0] & 0x80) != 0;
    u.status = 0;
    u.actual = in ? 0 : wlength;
    if ((setup[0] & 0x60) == 0) {  // standard request
        std::vector<uint8_t> reply;
        bool ok = standard_request(setup, cam->descriptors, cam->cfg.manufacturer,
                                   cam->fw.config().product, cam->cfg.serial, reply);
        if (!ok) {
            u.status = -EPIPE;
            return false;
        }
        if (in) {
            reply.resize(std::min<size_t>(reply.size(), wlength));
            u.actual = int(reply.size());
            u.reply = std::move(reply);
            u.copy_reply = true;
        }
        return false;
    }
    std::span<const uint8_t> out;
    if (!in) out = std::span<const uint8_t>(setup + 8, wlength);
    u.reply.assign(in ? wlength : 0, 0);
    auto r = cam->fw.control(setup, out, u.reply);
    if (r.stall) {
        u.status = -EPIPE;
        u.actual = 0;
        u.reply.clear();
        return false;
    }
    if (in) {
        u.reply.resize(r.in_len);
        u.actual = int(r.in_len);
        u.copy_reply = true;
    }
    return cam->fw.take_usb_reset_request();
}

long Attachment::reap(Client &st, UMockdevIoctlData *arg, int &err, std::unique_ptr<Urb> &u) {
    Pointee slot(arg, sizeof(void *));
    if (!slot.get()) {
        err = EFAULT;
        return -1;
    }
    if (!st.done.empty()) {
        u = std::move(st.done.front());
        st.done.pop_front();
    } else if (!gone && !st.bulk.empty()) {
        Urb &head = *st.bulk.front();
        if (cam->fw.bulk_ready(size_t(head.length))) {
            auto r = cam->fw.bulk_in(
                std::span<uint8_t>(head.buf ? head.buf->data : nullptr, size_t(head.length)));
            if (r.complete) {
                switch (r.status) {
                case Firmware::BulkStatus::ok: head.status = 0; break;
                case Firmware::BulkStatus::overflow: head.status = -EOVERFLOW; break;
                case Firmware::BulkStatus::stall: head.status = -EPIPE; break;
                case Firmware::BulkStatus::error: head.status = -EPROTO; break;
                case Firmware::BulkStatus::no_device: head.status = -ESHUTDOWN; break;
                }
                head.actual = int(r.length);
                u = std::move(st.bulk.front());
                st.bulk.pop_front();
                if (r.status == Firmware::BulkStatus::no_device) {
                    // The camera vanished: everything else in flight goes with it.
                    disconnect();
                    cam->bus->post_cam(Clock::now(), *cam, &Bus::Impl::unplug);
                }
            }
        }
    }
    if (!u) {
        err = gone ? ENODEV : EAGAIN;
        return -1;
    }
    auto *uu = reinterpret_cast<usbdevfs_urb *>(u->data->data);
    uu->status = u->status;
    uu->actual_length = u->actual;
    if (u->copy_reply && u->buf && !u->reply.empty())
        std::memcpy(u->buf->data + 8, u->reply.data(),
                    std::min<size_t>(u->reply.size(), size_t(u->length) - 8));
    // The URB's memory is written back when the reap completes; the caller
    // keeps it alive until then.
    umockdev_ioctl_data_set_ptr(slot.get(), 0, u->data);
    return 0;
}

long Attachment::discard(Client &st, uint64_t addr, int &err) {
    for (size_t i = 0; i < st.bulk.size(); ++i) {
        if (st.bulk[i]->addr != addr) continue;
        auto u = std::move(st.bulk[i]);
        st.bulk.erase(st.bulk.begin() + long(i));
        if (i == 0) cam->fw.bulk_head_cancelled();
        u->status = -ENOENT;
        u->actual = 0;
        st.done.push_back(std::move(u));
        return 0;
    }
    err = EINVAL;  // no longer pending
    return -1;
}

// ---- the bus ---------------------------------------------------------------

std::shared_ptr<Attachment> Bus::Impl::attach(Camera::Impl &c, const std::string &devnode) {
    auto a = std::make_shared<Attachment>();
    a->cam = &c;
    a->devnode = devnode;
    a->path = root + devnode;
    // Directories and the FIFO node. They are reached relative to "/": the
    // umockdev preload rewrites and tracks absolute paths below /dev, which the
    // testbed itself is when TMPDIR is /dev/shm.
    int slash = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (slash < 0) throw std::runtime_error("vcam: cannot open /");
    const std::string rel = a->path.substr(1);
    for (size_t p = root.size(); (p = rel.find('/', p)) != std::string::npos; ++p)
        mkdirat(slash, rel.substr(0, p).c_str(), 0755);
    unlinkat(slash, rel.c_str(), 0);
    if (mkfifoat(slash, rel.c_str(), 0666) != 0) {
        close(slash);
        throw std::runtime_error("vcam: mkfifo " + a->path + " failed");
    }
    a->fifo = openat(slash, rel.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    close(slash);
    if (a->fifo < 0) throw std::runtime_error("vcam: cannot open " + a->path);
    fcntl(a->fifo, F_SETPIPE_SZ, 4096);
    a->set_fifo(false);
    // umockdev hands ioctls to its own thread through GLib primitives that
    // ThreadSanitizer cannot see; passing the hand-off mutex publishes the new
    // attachment to the handler, which takes it first on every call.
    { std::lock_guard publish(g_handoff); }
    a->handler = umockdev_ioctl_base_new();
    a->sig_ioctl = g_signal_connect(a->handler, "handle-ioctl", G_CALLBACK(on_ioctl), a.get());
    a->sig_vanished =
        g_signal_connect(a->handler, "client-vanished", G_CALLBACK(on_vanished), a.get());
    GError *e = nullptr;
    if (!umockdev_testbed_attach_ioctl(tb, devnode.c_str(), a->handler, &e)) {
        std::string msg = e ? e->message : "?";
        if (e) g_error_free(e);
        throw std::runtime_error("vcam: attach_ioctl " + devnode + ": " + msg);
    }
    return a;
}

void Bus::Impl::detach(Attachment &a) {
    if (!a.handler) return;
    GError *e = nullptr;
    umockdev_testbed_detach_ioctl(tb, a.devnode.c_str(), &e);
    if (e) g_error_free(e);
    g_signal_handler_disconnect(a.handler, a.sig_ioctl);
    g_signal_handler_disconnect(a.handler, a.sig_vanished);
    g_object_unref(a.handler);
    a.handler = nullptr;
    // Pairs with the handler's last unlock: its writes happen before teardown.
    std::lock_guard lk(a.mu);
}

void Bus::Impl::plug(Camera::Impl &c) {
    std::lock_guard tl(tb_mu);
    std::shared_ptr<Attachment> a;
    {
        std::lock_guard cl(c.mu);
        if (!c.syspath.empty()) return;  // already present
    }
    // Addresses count up like on a real bus, skipping any still in use by a
    // device node a client keeps open. (next_devnum is only used under tb_mu.)
    uint8_t devnum_new = 0;
    uint8_t &next = next_devnum[c.busnum];
    for (int pass = 0; pass < 2 && !devnum_new; ++pass) {
        if (pass == 1) {
            // Every address is held: release the nodes of unplugged devices that no
            // client uses any more now rather than when the worker gets to them.
            std::vector<std::shared_ptr<Camera::Impl>> list;
            {
                std::lock_guard lk(mu);
                list = impls;
            }
            for (auto &other : list) prune_locked(*other);
        }
        for (int tries = 0; tries < 126 && !devnum_new; ++tries) {
            if (next < 2 || next > 127) next = 2;
            uint8_t cand = next;
            next = uint8_t(next + 1);
            if (!devnum_taken(c.busnum, cand)) devnum_new = cand;
        }
    }
    if (!devnum_new) throw std::runtime_error("vcam: no free address on the bus");
    {
        std::lock_guard cl(c.mu);
        c.devnum = devnum_new;
    }
    c.fw.on_plugged();
    char devnode[64], name[32], dev[32], busnum[8], devnum[8], product[48];
    std::snprintf(devnode, sizeof devnode, "/dev/bus/usb/%03u/%03u", c.busnum, c.devnum);
    std::snprintf(name, sizeof name, "%u-%u", c.busnum, c.port);
    std::snprintf(dev, sizeof dev, "189:%u", (c.busnum - 1u) * 128u + c.devnum - 1u);
    std::snprintf(busnum, sizeof busnum, "%u", c.busnum);
    std::snprintf(devnum, sizeof devnum, "%u", c.devnum);
    std::snprintf(product, sizeof product, "%x/%x/%x", usb_vendor_id(), usb_product_id(),
                  c.cfg.bcd_device);
    char vid[8], pid[8], bcd[8], speed[8], busnum3[8], devnum3[8];
    std::snprintf(vid, sizeof vid, "%04x", usb_vendor_id());
    std::snprintf(pid, sizeof pid, "%04x", usb_product_id());
    std::snprintf(bcd, sizeof bcd, "%04x", c.cfg.bcd_device);
    std::snprintf(speed, sizeof speed, "%d", int(c.speed));
    std::snprintf(busnum3, sizeof busnum3, "%03u", c.busnum);
    std::snprintf(devnum3, sizeof devnum3, "%03u", c.devnum);
    // sysfs attribute values end with a newline, as the kernel writes them.
    const std::vector<std::pair<std::string, std::string>> kv = {
        {"busnum", busnum},
        {"devnum", devnum},
        {"speed", speed},
        {"idVendor", vid},
        {"idProduct", pid},
        {"bcdDevice", bcd},
        {"bConfigurationValue", "1"},
        {"bNumConfigurations", "1"},
        {"bNumInterfaces", " 2"},
        {"bMaxPacketSize0", c.speed == Speed::super ? "9" : "64"},
        {"dev", dev},
        {"product", c.fw.config().product},
        {"manufacturer", c.cfg.manufacturer},
        {"serial", c.cfg.serial}};
    std::vector<std::string> store;
    for (auto &[k, v] : kv) {
        store.push_back(k);
        // umockdev itself reads "dev" (for the /sys/dev/char link): no newline.
        store.push_back(k == "dev" ? v : v + "\n");
    }
    std::vector<const gchar *> attrs;
    for (auto &x : store) attrs.push_back(x.c_str());
    attrs.push_back(nullptr);
    const gchar *props[] = {"DEVNAME", devnode,  "DEVTYPE", "usb_device", "SUBSYSTEM",
                            "usb",     "BUSNUM", busnum3,   "DEVNUM",     devnum3,
                            "PRODUCT", product,  nullptr};
    gchar *sp = umockdev_testbed_add_devicev(
        tb, "usb", name, nullptr, const_cast<gchar **>(attrs.data()), const_cast<gchar **>(props));
    if (!sp) throw std::runtime_error("vcam: cannot add the sysfs device");
    umockdev_testbed_set_attribute_binary(tb, sp, "descriptors", c.descriptors.data(),
                                          int(c.descriptors.size()));
    std::string syspath = sp;
    g_free(sp);
    a = attach(c, devnode);
    {
        std::lock_guard cl(c.mu);
        c.syspath = syspath;
        c.current = a;
        c.attachments.push_back(a);
        c.listed = true;
    }
    c.changed.notify_all();
    umockdev_testbed_uevent(tb, syspath.c_str(), "add");
}

bool Bus::Impl::devnum_taken(uint8_t busnum, uint8_t devnum) {
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", busnum, devnum);
    std::vector<std::shared_ptr<Camera::Impl>> list;
    {
        std::lock_guard lk(mu);
        list = impls;
    }
    for (auto &other : list) {
        if (other->busnum != busnum) continue;
        std::lock_guard ol(other->mu);
        for (auto &a : other->attachments)
            if (a->devnode == node) return true;
    }
    return false;
}

void Bus::Impl::retire(Camera::Impl &c) {
    unplug(c);
    std::vector<std::shared_ptr<Attachment>> as;
    {
        std::lock_guard cl(c.mu);
        as = std::move(c.attachments);
    }
    std::lock_guard tl(tb_mu);
    for (auto &a : as) detach(*a);
}

void Bus::Impl::prune(Camera::Impl &c) {
    std::lock_guard tl(tb_mu);
    prune_locked(c);
}

bool Bus::Impl::prune_locked(Camera::Impl &c) {
    std::vector<std::shared_ptr<Attachment>> dead;
    bool held = false;
    {
        std::lock_guard cl(c.mu);
        for (auto it = c.attachments.begin(); it != c.attachments.end();) {
            bool gone, unused;
            {
                std::lock_guard al((*it)->mu);
                gone = (*it)->gone;
                unused = gone && (*it)->drop_closed() == 0;
            }
            if (unused && *it != c.current) {
                dead.push_back(std::move(*it));
                it = c.attachments.erase(it);
            } else {
                held = held || (gone && !unused);
                ++it;
            }
        }
    }
    for (auto &a : dead) detach(*a);
    return held;
}

// A client that closes an unplugged node is not always reported (no
// "client-vanished"): while such a node is open, its clients' connections
// are looked at every kWatchPeriod, and the node with its FIFO and ioctl
// socket is released once the last one has closed.
constexpr std::chrono::milliseconds kWatchPeriod{20};

void Bus::Impl::start_watch_locked(Camera::Impl &c) {
    if (c.watching) return;
    c.watching = true;
    post_cam(Clock::now() + kWatchPeriod, c, &Bus::Impl::watch);
}

void Bus::Impl::watch(Camera::Impl &c) {
    std::lock_guard tl(tb_mu);
    c.watching = false;
    if (prune_locked(c)) start_watch_locked(c);
}

void Bus::Impl::unplug(Camera::Impl &c) {
    std::lock_guard tl(tb_mu);
    std::string syspath;
    std::shared_ptr<Attachment> a;
    {
        std::lock_guard cl(c.mu);
        if (c.syspath.empty()) return;
        syspath = std::move(c.syspath);
        c.syspath.clear();
        a = std::move(c.current);
    }
    c.changed.notify_all();
    c.fw.on_unplugged();
    bool orphan = false;
    if (a) {
        std::lock_guard al(a->mu);
        a->disconnect();
        orphan = a->drop_closed() == 0;
    }
    umockdev_testbed_uevent(tb, syspath.c_str(), "remove");
    umockdev_testbed_remove_device(tb, syspath.c_str());
    {
        // Absent for the tests only once a fresh enumeration can no longer see it.
        std::lock_guard cl(c.mu);
        c.listed = false;
    }
    c.changed.notify_all();
    if (orphan)
        post_cam(Clock::now(), c, &Bus::Impl::prune);
    else
        start_watch_locked(c);
}

void Bus::Impl::run() {
    std::unique_lock lk(mu);
    while (!stop) {
        // Due timers.
        auto now = Clock::now();
        std::vector<std::function<void()>> due;
        for (size_t i = 0; i < timers.size();) {
            if (timers[i].at <= now) {
                due.push_back(std::move(timers[i].fn));
                timers.erase(timers.begin() + long(i));
            } else {
                ++i;
            }
        }
        auto list = impls;
        lk.unlock();
        for (auto &fn : due) {
            try {
                fn();
            } catch (const std::exception &e) {
                std::fprintf(stderr, "vcam: %s\n", e.what());
            }
        }
        // Frame-rate streams.
        std::optional<Clock::time_point> next;
        now = Clock::now();
        for (auto &c : list) {
            auto d = c->fw.next_frame_due();
            if (!d) continue;
            if (*d <= now) {
                c->fw.run_due(now);
                std::shared_ptr<Attachment> a;
                {
                    std::lock_guard cl(c->mu);
                    a = c->current;
                }
                if (a) {
                    std::lock_guard al(a->mu);
                    a->update_ready();
                }
                d = c->fw.next_frame_due();
                if (!d) continue;
            }
            if (!next || *d < *next) next = *d;
        }
        lk.lock();
        for (auto &t : timers)
            if (!next || t.at < *next) next = t.at;
        if (!due.empty()) continue;
        if (kicked) {
            kicked = false;
            continue;
        }
        if (next)
            cv.wait_until(lk, *next, [&] { return stop || kicked; });
        else
            cv.wait(lk, [&] { return stop || kicked; });
        kicked = false;
    }
}

// ---- public API --------------------------------------------------------------

Camera::Camera(std::shared_ptr<Impl> d) : d_(std::move(d)) {}
Camera::~Camera() = default;
Firmware &Camera::fw() { return d_->fw; }
uint8_t Camera::bus() const { return d_->busnum; }
uint8_t Camera::port() const { return d_->port; }
uint8_t Camera::address() const {
    std::lock_guard lk(d_->mu);
    return d_->devnum;
}
Speed Camera::speed() const { return d_->speed; }
std::string Camera::devnode() const {
    std::lock_guard lk(d_->mu);
    char b[64];
    std::snprintf(b, sizeof b, "/dev/bus/usb/%03u/%03u", d_->busnum, d_->devnum);
    return b;
}
bool Camera::present() const {
    std::lock_guard lk(d_->mu);
    return d_->listed;
}
bool Camera::wait_present(bool present, std::chrono::milliseconds timeout) const {
    std::unique_lock lk(d_->mu);
    return d_->changed.wait_for(lk, timeout, [&] { return d_->listed == present; });
}
void Camera::unplug() { d_->bus->unplug(*d_); }
void Camera::replug() { d_->bus->plug(*d_); }

Bus::Bus() : d_(std::make_unique<Impl>()) {
    d_->tb = umockdev_testbed_new();
    if (!umockdev_in_mock_environment()) {
        g_object_unref(d_->tb);
        throw std::runtime_error(
            "vcam: not running under the umockdev preload (LD_PRELOAD=libumockdev-preload.so.0)");
    }
    gchar *r = umockdev_testbed_get_root_dir(d_->tb);
    d_->root = r;
    g_free(r);
    d_->worker = std::thread([this] { d_->run(); });
}

Bus::~Bus() {
    {
        std::lock_guard lk(d_->mu);
        d_->stop = true;
        d_->cv.notify_one();
    }
    d_->worker.join();
    for (auto &c : d_->impls) d_->retire(*c);
    d_->cams.clear();
    d_->impls.clear();
    g_object_unref(d_->tb);
}

Camera &Bus::add_camera(uint8_t bus, uint8_t port, const CameraConfig &cfg) {
    if (bus < 1 || bus > 127 || port < 1 || port > 127)
        throw std::invalid_argument("vcam: bus/port out of range");
    {
        std::lock_guard lk(d_->mu);
        for (auto &c : d_->impls)
            if (c->busnum == bus && c->port == port)
                throw std::invalid_argument("vcam: port already taken");
    }
    FirmwareConfig fc = cfg.fw;
    fc.packet_size = max_packet_size(int(cfg.speed));
    auto c = std::make_shared<Camera::Impl>(cfg, fc);
    c->bus = d_.get();
    c->busnum = bus;
    c->port = port;
    c->speed = cfg.speed;
    if (c->cfg.serial.empty())
        c->cfg.serial = "VCAM" + std::to_string(bus) + "-" + std::to_string(port);
    for (auto &[id, v] : cfg.params) c->fw.set_param(id, v);
    c->descriptors =
        build_descriptors(usb_vendor_id(), usb_product_id(), c->cfg.bcd_device, int(cfg.speed));
    Camera *cam = new Camera(c);
    {
        std::lock_guard lk(d_->mu);
        d_->impls.push_back(c);
        d_->cams.emplace_back(cam);
    }
    d_->plug(*c);
    return *cam;
}

Camera &Bus::add_camera(uint8_t bus, uint8_t port, Speed speed, const std::string &product) {
    CameraConfig cfg;
    cfg.speed = speed;
    cfg.fw.product = product;
    return add_camera(bus, port, cfg);
}

void Bus::remove_camera(Camera &cam) {
    std::shared_ptr<Camera::Impl> c = cam.d_;
    d_->retire(*c);
    std::lock_guard lk(d_->mu);
    d_->impls.erase(std::remove(d_->impls.begin(), d_->impls.end(), c), d_->impls.end());
    d_->cams.erase(
        std::remove_if(d_->cams.begin(), d_->cams.end(), [&](auto &p) { return p.get() == &cam; }),
        d_->cams.end());
}

std::vector<Camera *> Bus::cameras() const {
    std::lock_guard lk(d_->mu);
    std::vector<Camera *> v;
    for (auto &c : d_->cams) v.push_back(c.get());
    return v;
}

std::string Bus::root_dir() const { return d_->root; }

void ensure_preload(char **argv) {
    const char *lib = "libumockdev-preload.so.0";
    const char *cur = std::getenv("LD_PRELOAD");
    if (cur && std::strstr(cur, "libumockdev-preload")) return;
    std::string v = cur && *cur ? std::string(cur) + ":" + lib : std::string(lib);
    setenv("LD_PRELOAD", v.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::perror("vcam: re-executing under the umockdev preload failed");
    std::exit(127);
}

}  // namespace vcam
