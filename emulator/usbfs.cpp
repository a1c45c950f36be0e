#include "usbfs.h"

#include "state.h"

#include <gio/gio.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <umockdev.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace kelto::emu {

using detail::Device;
using detail::state;

namespace {

using Lock = std::unique_lock<std::mutex>;

std::string busDir(unsigned bus)
{
    char name[32];
    std::snprintf(name, sizeof name, "/dev/bus/usb/%03u", bus);
    return name;
}

std::string nodePath(unsigned bus, unsigned devnum)
{
    char name[16];
    std::snprintf(name, sizeof name, "/%03u", devnum);
    return busDir(bus) + name;
}

// A root hub: what a read() of its node gives (device and configuration
// descriptors), enough for the library to list it and pass over it.
const unsigned char hubDescriptors[]
    = {18, 1, 0x00, 0x02, 9, 0, 1, 64, 0x6b, 0x1d, 0x02, 0x00, 0x06, 0x06, 3, 2, 1, 1, //
        9, 2, 25, 0, 1, 1, 0, 0xE0, 0, //
        9, 4, 0, 0, 1, 9, 0, 0, 0, //
        7, 5, 0x81, 3, 4, 0, 12};

// udev's own hash (MurmurHash2, seed 0) of a subsystem or device type: a
// listener's socket filter compares it before it looks at the properties.
uint32_t udevHash(const std::string &text)
{
    const uint32_t m = 0x5bd1e995;
    const size_t len = text.size();
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    uint32_t h = uint32_t(len);
    size_t n = len;
    for (; n >= 4; n -= 4, p += 4) {
        uint32_t k
            = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
        k *= m;
        k ^= k >> 24;
        k *= m;
        h = h * m ^ k;
    }
    if (n) {
        if (n == 3)
            h ^= uint32_t(p[2]) << 16;
        if (n >= 2)
            h ^= uint32_t(p[1]) << 8;
        h ^= p[0];
        h *= m;
    }
    h ^= h >> 13;
    h *= m;
    return h ^ (h >> 15);
}

// Sends a udev event (as udevd passes it on to libudev's listeners) to
// every listener in the bed: each program's listening socket is a socket
// file `event...` in the bed's folder. A socket whose program has gone is
// removed.
void sendUevent(const std::string &root, const std::string &sysPath, const char *action,
    const std::string &devname)
{
    static uint64_t seqnum = 0; // the main loop's thread only
    const std::string devpath = sysPath.compare(0, 4, "/sys") == 0 ? sysPath.substr(4) : sysPath;
    std::string properties;
    auto add = [&](const std::string &kv) {
        properties += kv;
        properties += '\0';
    };
    add(std::string("ACTION=") + action);
    add("DEVPATH=" + devpath);
    add("SUBSYSTEM=usb");
    add("SEQNUM=" + std::to_string(++seqnum));
    add("DEVNAME=" + devname);
    add("DEVTYPE=usb_device");
    struct Header
    {
        char prefix[8];
        uint32_t magic, headerSize, propertiesOff, propertiesLen, subsystemHash, devtypeHash,
            tagBloomHi, tagBloomLo;
    } header = {};
    std::memcpy(header.prefix, "libudev", 8);
    header.magic = htonl(0xfeedcafe);
    header.headerSize = sizeof header;
    header.propertiesOff = sizeof header;
    header.propertiesLen = uint32_t(properties.size());
    header.subsystemHash = htonl(udevHash("usb"));
    header.devtypeHash = htonl(udevHash("usb_device"));
    std::string message(reinterpret_cast<const char *>(&header), sizeof header);
    message += properties;

    GDir *dir = g_dir_open(root.c_str(), 0, nullptr);
    if (!dir)
        return;
    while (const gchar *name = g_dir_read_name(dir)) {
        if (std::strncmp(name, "event", 5) != 0 || !g_ascii_isdigit(name[5]))
            continue;
        const std::string path = root + "/" + name;
        struct sockaddr_un to = {};
        to.sun_family = AF_UNIX;
        if (path.size() >= sizeof to.sun_path)
            continue;
        std::memcpy(to.sun_path, path.c_str(), path.size() + 1);
        const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            break;
        if (sendto(
                fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to)
                < 0
            && errno == ECONNREFUSED)
            g_unlink(path.c_str());
        close(fd);
    }
    g_dir_close(dir);
}

} // namespace

// One node as the bed shows it: which converter, as it was when the node
// appeared. Handles opened on it fail with ENODEV once the converter has
// left, even before sync() removes the node.
class Completer;

// Poll readiness of a node as usbfs gives it: writable (POLLOUT) while a
// completed request block waits to be reaped, or once the device has gone,
// so that a libusb-1.0 client sleeps in poll() until then. The node is a
// FIFO the bed holds open at both ends: kept full it is not writable; a
// page taken out makes it writable for every program that has it open.
class Readiness
{
public:
    explicit Readiness(const std::string &path)
        : fd(open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC))
    {
        std::lock_guard<std::mutex> lock(mutex);
        setLocked(false);
    }
    ~Readiness()
    {
        if (fd >= 0)
            close(fd);
    }
    Readiness(const Readiness &) = delete;
    Readiness &operator=(const Readiness &) = delete;

    using Time = std::chrono::steady_clock::time_point;
    // A block that completes at `at`; one reaped (or dropped) that did.
    void add(Time at)
    {
        std::lock_guard<std::mutex> lock(mutex);
        due.insert(at);
        updateLocked();
    }
    void remove(Time at)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (auto it = due.find(at); it != due.end())
            due.erase(it);
        updateLocked();
    }
    void update()
    {
        std::lock_guard<std::mutex> lock(mutex);
        updateLocked();
    }
    void gone()
    {
        std::lock_guard<std::mutex> lock(mutex);
        left = true;
        updateLocked();
    }

private:
    void updateLocked()
    {
        setLocked(left || (!due.empty() && *due.begin() <= std::chrono::steady_clock::now()));
    }
    void setLocked(bool writable)
    {
        if (fd < 0 || (writable == ready && known))
            return;
        char page[4096] = {};
        if (writable) {
            if (read(fd, page, sizeof page) < 0 && errno != EAGAIN)
                return;
        } else {
            while (write(fd, page, sizeof page) > 0) { }
        }
        ready = writable;
        known = true;
    }

    std::mutex mutex;
    const int fd;
    std::multiset<Time> due; // guarded by mutex
    bool left = false; // guarded by mutex
    bool ready = false; // guarded by mutex
    bool known = false; // guarded by mutex
};

struct NodeRef
{
    // The bed's parts a handler uses; null once the bed is going.
    UsbfsBed::Impl *bed = nullptr;
    GMainContext *mainContext = nullptr;
    Completer *completer = nullptr;
    int device = -1;
    uint64_t generation = 0;
    uint64_t epoch = 0;
    unsigned devnum = 0;
    std::shared_ptr<Readiness> readiness;
};

// A request block a libusb-1.0 client handed in (USBDEVFS_SUBMITURB): the
// model runs its control transfer when it arrives, and the client reaps the
// outcome once the device's time for it has passed.
struct Urb
{
    UMockdevIoctlData *urb = nullptr; // the client's struct usbdevfs_urb
    UMockdevIoctlData *buffer = nullptr; // its buffer (setup and data stage)
    std::chrono::steady_clock::time_point due;
    bool answered = true; // false: the device never answers (until discarded)
    int status = 0;
    int actual = 0;
    std::vector<uint8_t> in; // data stage of a device-to-host transfer
};

// What one open file of a node holds (umockdev's worker thread only).
struct ClientState
{
    size_t readOffset = 0;
    // By the client's address of the block, in the order submitted.
    std::vector<std::pair<guint64, Urb>> urbs;
    std::shared_ptr<Readiness> readiness; // of the node the blocks went to
    ClientState() = default;
    ClientState(const ClientState &) = delete;
    ClientState &operator=(const ClientState &) = delete;
    ~ClientState()
    {
        for (auto &u : urbs) {
            if (readiness && u.second.answered)
                readiness->remove(u.second.due);
            g_object_unref(u.second.urb);
            if (u.second.buffer)
                g_object_unref(u.second.buffer);
        }
    }
};

// Answers clients when their device time has passed, to the microsecond,
// on a thread of its own: umockdev's worker goes on with other converters'
// requests meanwhile, and a main loop would round every wait up to the next
// millisecond.
class Completer
{
public:
    Completer()
        : thread([this] { run(); })
    {
    }
    ~Completer()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        wake.notify_one();
        thread.join();
    }

    void add(std::chrono::steady_clock::time_point at, UMockdevIoctlClient *client, long result,
        int error)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            due.emplace(at,
                Answer {static_cast<UMockdevIoctlClient *>(g_object_ref(client)), result, error,
                    nullptr});
        }
        wake.notify_one();
    }
    // Makes the node's readiness current at `at`.
    void add(std::chrono::steady_clock::time_point at, std::shared_ptr<Readiness> readiness)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            due.emplace(at, Answer {nullptr, 0, 0, std::move(readiness)});
        }
        wake.notify_one();
    }

private:
    struct Answer
    {
        UMockdevIoctlClient *client;
        long result;
        int error;
        std::shared_ptr<Readiness> readiness;
    };

    void run()
    {
        // Wake-ups on time: the default slack of 50 us would add to every
        // transfer.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        std::unique_lock<std::mutex> lock(mutex);
        while (!stopping || !due.empty()) {
            if (due.empty()) {
                wake.wait(lock);
                continue;
            }
            const auto next = due.begin();
            if (!stopping && wake.wait_until(lock, next->first) != std::cv_status::timeout)
                continue;
            if (!stopping && std::chrono::steady_clock::now() < next->first)
                continue;
            const Answer a = next->second;
            due.erase(next);
            lock.unlock();
            if (a.client) {
                umockdev_ioctl_client_complete(a.client, a.result, a.error);
                g_object_unref(a.client);
            } else if (a.readiness) {
                a.readiness->update();
            }
            lock.lock();
        }
    }

    std::mutex mutex;
    std::condition_variable wake;
    std::multimap<std::chrono::steady_clock::time_point, Answer> due; // guarded by mutex
    bool stopping = false; // guarded by mutex
    std::thread thread;
};

struct UsbfsBed::Impl
{
    UMockdevTestbed *bed = nullptr;
    GMainContext *mainContext = nullptr;
    std::string root;

    struct Node
    {
        NodeRef ref;
        unsigned bus = 0;
        std::string dev;
        std::string sys;
        UMockdevIoctlBase *handler = nullptr;
    };
    // Touched by sync() only (the main loop).
    std::map<int, Node> nodes;
    std::set<unsigned> hubs;
    guint returnTimer = 0;
    std::unique_ptr<Completer> completer = std::make_unique<Completer>();
    // What the handlers are given; they copy it under the emulator's mutex
    // and it is freed under that mutex when the bed goes, so that the
    // hand-over is one ThreadSanitizer sees (GObject's own is not).
    std::vector<std::unique_ptr<NodeRef>> refs;

    void addHub(unsigned bus);
    void addNode(const Device &d, uint64_t epoch);
    void removeNode(Node &n);
    // Detaches the handlers of removed nodes whose time has come (all of
    // them, or the one at `path` that a new node needs).
    void retire(bool all, const std::string &path = std::string());
    static constexpr gint64 retireAfterUs = 2000000;
    std::vector<std::pair<gint64, Node>> retiring;
    guint retireTimer = 0;
    void sync();
    void scheduleSync(uint64_t inUs);
};

namespace {

// ------------------------------------------------------------ the handlers

NodeRef nodeRef(gpointer data)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    return *static_cast<const NodeRef *>(data);
}

ClientState &clientState(UMockdevIoctlClient *client)
{
    auto *cs = static_cast<ClientState *>(g_object_get_data(G_OBJECT(client), "kelto-client"));
    if (!cs) {
        cs = new ClientState;
        g_object_set_data_full(G_OBJECT(client), "kelto-client", cs,
            [](gpointer p) { delete static_cast<ClientState *>(p); });
    }
    return *cs;
}

gboolean syncSoon(gpointer data)
{
    static_cast<UsbfsBed::Impl *>(data)->sync();
    return G_SOURCE_REMOVE;
}

// Answers the client after `us` microseconds of device time.
void completeAfter(const NodeRef &ref, UMockdevIoctlClient *client, int result, uint64_t us)
{
    const long r = result < 0 ? -1 : result;
    const int e = result < 0 ? -result : 0;
    if (us == 0 || !ref.completer)
        umockdev_ioctl_client_complete(client, r, e);
    else
        ref.completer->add(
            std::chrono::steady_clock::now() + std::chrono::microseconds(us), client, r, e);
}

int controlTransfer(const NodeRef &ref, UMockdevIoctlClient *client, uint64_t &sleepUs,
    std::chrono::steady_clock::time_point arrived)
{
    GError *error = nullptr;
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData *ctrl
        = umockdev_ioctl_data_resolve(arg, 0, sizeof(struct usbdevfs_ctrltransfer), &error);
    if (!ctrl) {
        g_clear_error(&error);
        return -EFAULT;
    }
    struct usbdevfs_ctrltransfer ct;
    std::memcpy(&ct, ctrl->data, sizeof ct);
    detail::Setup setup;
    setup.requestType = ct.bRequestType;
    setup.request = ct.bRequest;
    setup.value = ct.wValue;
    setup.index = ct.wIndex;
    setup.length = ct.wLength;
    setup.timeoutMs = ct.timeout;
    UMockdevIoctlData *buffer = nullptr;
    if (ct.wLength) {
        buffer = umockdev_ioctl_data_resolve(
            ctrl, offsetof(struct usbdevfs_ctrltransfer, data), ct.wLength, &error);
        if (!buffer) {
            g_clear_error(&error);
            g_object_unref(ctrl);
            return -EFAULT;
        }
    }
    std::vector<uint8_t> bytes(ct.wLength);
    if (buffer)
        std::memcpy(bytes.data(), buffer->data, ct.wLength);
    auto &s = state();
    Lock lock(s.mutex);
    const int result = s.transfer(ref.device, ref.generation, ref.epoch, setup,
        bytes.empty() ? nullptr : bytes.data(), sleepUs, arrived);
    Device *d = s.device(ref.device);
    const bool gone = d && !d->present;
    lock.unlock();
    if (buffer && (ct.bRequestType & 0x80) && result > 0)
        umockdev_ioctl_data_update(buffer, 0, bytes.data(), result);
    if (buffer)
        g_object_unref(buffer);
    g_object_unref(ctrl);
    if (gone)
        if (ref.mainContext)
            g_main_context_invoke(ref.mainContext, syncSoon, ref.bed);
    return result;
}

// The connection of each client that claimed an interface, by client: the
// kernel releases a claim when its program closes the node or dies, and a
// program killed while a request of its was pending never tells umockdev
// that it has gone (no "client-vanished"), but its connection hangs up.
std::map<const void *, GSocketConnection *> claimants; // guarded by state().mutex

// umockdev does not hand out a client's connection; it is among the first
// fields of the client's private part (the handler, then the stream, both
// objects, checked by type so that another layout finds nothing).
GSocketConnection *connectionOf(UMockdevIoctlClient *client)
{
    struct Instance
    {
        GObject parent;
        gpointer *priv;
    };
    gpointer *priv = reinterpret_cast<Instance *>(client)->priv;
    for (int i = 0; priv && i < 2; ++i)
        if (priv[i] && G_IS_SOCKET_CONNECTION(priv[i]))
            return G_SOCKET_CONNECTION(priv[i]);
    return nullptr;
}

void forgetClaimant(const void *client)
{
    if (auto it = claimants.find(client); it != claimants.end()) {
        g_object_unref(it->second);
        claimants.erase(it);
    }
}

// A claim whose program has gone (its connection hung up) is released, and
// the connection closed as umockdev would have on noticing.
void releaseIfGone(Device &d)
{
    auto it = claimants.find(d.claimedBy);
    if (!d.claimedBy || it == claimants.end()
        || !(g_socket_condition_check(g_socket_connection_get_socket(it->second), G_IO_HUP)
            & G_IO_HUP))
        return;
    g_io_stream_close(G_IO_STREAM(it->second), nullptr, nullptr);
    forgetClaimant(d.claimedBy);
    d.claimedBy = nullptr;
}

// SETCONFIGURATION, CLAIMINTERFACE, RELEASEINTERFACE: an unsigned int behind
// the argument.
int interfaceRequest(const NodeRef &ref, UMockdevIoctlClient *client, unsigned long request)
{
    GError *error = nullptr;
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData *value = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), &error);
    if (!value) {
        g_clear_error(&error);
        return -EFAULT;
    }
    unsigned number = 0;
    std::memcpy(&number, value->data, sizeof number);
    g_object_unref(value);

    auto &s = state();
    Lock lock(s.mutex);
    Device *d = s.live(ref.device, ref.generation, ref.epoch);
    if (!d)
        return -ENODEV;
    const DeviceConfig cfg = d->cfg;
    releaseIfGone(*d);
    if (request == USBDEVFS_SETCONFIGURATION) {
        // The kernel does not touch a device whose interface anybody holds.
        if (d->claimedBy)
            return -EBUSY;
        if (cfg.failSetConfiguration)
            return -EPIPE;
        return number == 1 ? 0 : -EINVAL;
    }
    lock.unlock();
    if (number != 0)
        return -EINVAL;
    lock.lock();
    d = s.live(ref.device, ref.generation, ref.epoch);
    if (!d)
        return -ENODEV;
    if (request == USBDEVFS_CLAIMINTERFACE) {
        // One program at a time: another file's claim stands until
        // released or closed.
        releaseIfGone(*d);
        if (cfg.failClaim || (d->claimedBy && d->claimedBy != client))
            return -EBUSY;
        if (d->claimedBy != client) {
            forgetClaimant(client);
            if (GSocketConnection *connection = connectionOf(client))
                claimants[client] = static_cast<GSocketConnection *>(g_object_ref(connection));
        }
        d->claimedBy = client;
        return 0;
    }
    if (d->claimedBy != client)
        return -EINVAL;
    forgetClaimant(client);
    d->claimedBy = nullptr;
    return 0;
}

// USBDEVFS_SUBMITURB: a control transfer on endpoint 0, the only pipe the
// converter has. The model runs it now; its outcome is reapable after the
// device's time.
int submitUrb(
    const NodeRef &ref, UMockdevIoctlClient *client, std::chrono::steady_clock::time_point arrived)
{
    GError *error = nullptr;
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    guint64 address = 0;
    std::memcpy(&address, arg->data, std::min(sizeof address, size_t(arg->data_len)));
    UMockdevIoctlData *urbData
        = umockdev_ioctl_data_resolve(arg, 0, sizeof(struct usbdevfs_urb), &error);
    if (!urbData) {
        g_clear_error(&error);
        return -EFAULT;
    }
    struct usbdevfs_urb urb;
    std::memcpy(&urb, urbData->data, sizeof urb);
    if (urb.type != USBDEVFS_URB_TYPE_CONTROL || (urb.endpoint & 0x7f) != 0)
        return -ENOENT; // no such endpoint
    if (urb.buffer_length < 8)
        return -EINVAL;
    UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(
        urbData, offsetof(struct usbdevfs_urb, buffer), size_t(urb.buffer_length), &error);
    if (!buffer) {
        g_clear_error(&error);
        return -EFAULT;
    }
    const uint8_t *b = buffer->data;
    detail::Setup setup;
    setup.requestType = b[0];
    setup.request = b[1];
    setup.value = uint16_t(b[2] | b[3] << 8);
    setup.index = uint16_t(b[4] | b[5] << 8);
    setup.length = std::min(int(b[6] | b[7] << 8), urb.buffer_length - 8);
    // No timeout: libusb keeps its own and discards the block when it runs
    // out.
    setup.timeoutMs = 0;
    std::vector<uint8_t> bytes(b + 8, b + 8 + setup.length);
    uint64_t sleepUs = 0;
    auto &s = state();
    Lock lock(s.mutex);
    const int result = s.transfer(ref.device, ref.generation, ref.epoch, setup,
        bytes.empty() ? nullptr : bytes.data(), sleepUs, arrived);
    Device *d = s.device(ref.device);
    const bool gone = d && !d->present;
    lock.unlock();
    Urb u;
    u.urb = static_cast<UMockdevIoctlData *>(g_object_ref(urbData));
    u.buffer = static_cast<UMockdevIoctlData *>(g_object_ref(buffer));
    u.due = std::chrono::steady_clock::now() + std::chrono::microseconds(sleepUs);
    u.answered = result != errTimeout;
    u.status = result < 0 ? result : 0;
    u.actual = result < 0 ? 0 : result;
    if ((setup.requestType & 0x80) && result > 0)
        u.in.assign(bytes.begin(), bytes.begin() + result);
    ClientState &cs = clientState(client);
    if (ref.readiness && u.answered) {
        cs.readiness = ref.readiness;
        ref.readiness->add(u.due);
        if (ref.completer)
            ref.completer->add(u.due, ref.readiness);
    }
    cs.urbs.emplace_back(address, std::move(u));
    if (gone && ref.mainContext)
        g_main_context_invoke(ref.mainContext, syncSoon, ref.bed);
    return 0;
}

// USBDEVFS_REAPURBNDELAY: the oldest block whose time has passed, written
// back into the client's memory, its address into the client's pointer.
// Blocks completed before the device left can still be reaped after.
int reapUrb(const NodeRef &ref, UMockdevIoctlClient *client)
{
    ClientState &cs = clientState(client);
    const auto now = std::chrono::steady_clock::now();
    auto it = std::find_if(cs.urbs.begin(), cs.urbs.end(),
        [&](const auto &u) { return u.second.answered && u.second.due <= now; });
    if (it == cs.urbs.end()) {
        if (ref.readiness)
            ref.readiness->update();
        std::lock_guard<std::mutex> lock(state().mutex);
        return state().live(ref.device, ref.generation, ref.epoch) ? -EAGAIN : -ENODEV;
    }
    GError *error = nullptr;
    UMockdevIoctlData *target = umockdev_ioctl_data_resolve(
        umockdev_ioctl_client_get_arg(client), 0, sizeof(void *), &error);
    if (!target) {
        g_clear_error(&error);
        return -EFAULT;
    }
    Urb &u = it->second;
    if (!u.in.empty())
        umockdev_ioctl_data_update(u.buffer, 8, u.in.data(), gint(u.in.size()));
    umockdev_ioctl_data_update(u.urb, offsetof(struct usbdevfs_urb, status),
        reinterpret_cast<guint8 *>(&u.status), gint(sizeof u.status));
    umockdev_ioctl_data_update(u.urb, offsetof(struct usbdevfs_urb, actual_length),
        reinterpret_cast<guint8 *>(&u.actual), gint(sizeof u.actual));
    umockdev_ioctl_data_set_ptr(target, 0, u.urb);
    g_object_unref(u.urb);
    g_object_unref(u.buffer);
    if (ref.readiness)
        ref.readiness->remove(u.due);
    cs.urbs.erase(it);
    return 0;
}

// USBDEVFS_DISCARDURB (the argument is the block's address): a block not
// yet complete completes now as cancelled.
int discardUrb(const NodeRef &ref, UMockdevIoctlClient *client)
{
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    guint64 address = 0;
    std::memcpy(&address, arg->data, std::min(sizeof address, size_t(arg->data_len)));
    ClientState &cs = clientState(client);
    if (!cs.readiness)
        cs.readiness = ref.readiness;
    const auto now = std::chrono::steady_clock::now();
    for (auto &u : cs.urbs) {
        if (u.first != address)
            continue;
        if (u.second.answered && u.second.due <= now)
            return -EINVAL; // complete already
        if (cs.readiness && u.second.answered)
            cs.readiness->remove(u.second.due);
        u.second = Urb {u.second.urb, u.second.buffer, now, true, -ENOENT, 0, {}};
        if (cs.readiness)
            cs.readiness->add(now);
        return 0;
    }
    return -EINVAL;
}

gboolean handleIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
{
    const auto arrived = std::chrono::steady_clock::now();
    const NodeRef ref = nodeRef(data);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    if (request == USBDEVFS_REAPURBNDELAY) {
        const int result = reapUrb(ref, client);
        umockdev_ioctl_client_complete(client, result < 0 ? -1 : 0, result < 0 ? -result : 0);
        return TRUE;
    }
    {
        // Without the udev rule the node opens read-only, and the kernel
        // refuses every request on such a file; on the file of a device
        // that has left, every request fails with ENODEV.
        auto &s = state();
        Lock lock(s.mutex);
        Device *d = s.device(ref.device);
        const int refused = d && d->cfg.permissionDenied     ? EPERM
            : !s.live(ref.device, ref.generation, ref.epoch) ? ENODEV
                                                             : 0;
        if (refused) {
            lock.unlock();
            umockdev_ioctl_client_complete(client, -1, refused);
            return TRUE;
        }
    }
    uint64_t sleepUs = 0;
    int result = -ENOTTY;
    if (request == USBDEVFS_CONTROL) {
        result = controlTransfer(ref, client, sleepUs, arrived);
    } else if (request == USBDEVFS_CONNECTINFO) {
        GError *error = nullptr;
        UMockdevIoctlData *info = umockdev_ioctl_data_resolve(
            umockdev_ioctl_client_get_arg(client), 0, sizeof(struct usbdevfs_connectinfo), &error);
        g_clear_error(&error);
        if (info) {
            struct usbdevfs_connectinfo ci = {};
            ci.devnum = ref.devnum;
            ci.slow = 0;
            umockdev_ioctl_data_update(info, 0, reinterpret_cast<guint8 *>(&ci), gint(sizeof ci));
            g_object_unref(info);
            result = 0;
        } else {
            result = -EFAULT;
        }
    } else if (request == USBDEVFS_SETCONFIGURATION || request == USBDEVFS_CLAIMINTERFACE
        || request == USBDEVFS_RELEASEINTERFACE) {
        result = interfaceRequest(ref, client, request);
    } else if (request == USBDEVFS_SUBMITURB) {
        result = submitUrb(ref, client, arrived);
    } else if (request == USBDEVFS_DISCARDURB) {
        result = discardUrb(ref, client);
    }
    completeAfter(ref, client, result, sleepUs);
    return TRUE;
}

// read() of a node gives the device descriptor followed by the
// configuration descriptors, as usbfs does.
gboolean handleRead(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
{
    const NodeRef ref = nodeRef(data);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    std::vector<uint8_t> all;
    {
        auto &s = state();
        Lock lock(s.mutex);
        Device *d = s.live(ref.device, ref.generation, ref.epoch);
        if (!d) {
            lock.unlock();
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return TRUE;
        }
        int error = 0;
        all = d->descriptor(0x01, 0, error);
        const std::vector<uint8_t> config = d->descriptor(0x02, 0, error);
        all.insert(all.end(), config.begin(), config.end());
    }
    ClientState &cs = clientState(client);
    const size_t from = std::min(cs.readOffset, all.size());
    const size_t n = std::min(all.size() - from, size_t(arg->data_len));
    if (n)
        umockdev_ioctl_data_update(arg, 0, all.data() + from, gint(n));
    cs.readOffset += n;
    umockdev_ioctl_client_complete(client, long(n), 0);
    return TRUE;
}

void clientVanished(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
{
    // Closing the file releases what it had claimed.
    const NodeRef ref = nodeRef(data);
    auto &s = state();
    Lock lock(s.mutex);
    if (Device *d = s.device(ref.device); d && d->claimedBy == client)
        d->claimedBy = nullptr;
    forgetClaimant(client);
}

} // namespace

// ---------------------------------------------------------------- the bed

void UsbfsBed::Impl::addHub(unsigned bus)
{
    if (!hubs.insert(bus).second)
        return;
    const std::string dir = root + busDir(bus);
    g_mkdir_with_parents(dir.c_str(), 0755);
    g_file_set_contents((dir + "/001").c_str(), reinterpret_cast<const char *>(hubDescriptors),
        sizeof hubDescriptors, nullptr);
    const std::string name = "usb" + std::to_string(bus);
    const std::string busnum = std::to_string(bus) + "\n";
    const std::string devname = nodePath(bus, 1);
    gchar *sys = umockdev_testbed_add_device(bed, "usb", name.c_str(), nullptr, "idVendor",
        "1d6b\n", "idProduct", "0002\n", "busnum", busnum.c_str(), "devnum", "1\n", "speed",
        "480\n", "bConfigurationValue", "1\n", nullptr, "DEVNAME", devname.c_str(), "DEVTYPE",
        "usb_device", nullptr);
    if (sys) {
        // libusb-1.0 reads the descriptors from sysfs, not from the node.
        umockdev_testbed_set_attribute_binary(bed, sys, "descriptors",
            const_cast<guint8 *>(hubDescriptors), gssize(sizeof hubDescriptors));
        sendUevent(root, sys, "add", devname);
    }
    g_free(sys);
}

void UsbfsBed::Impl::addNode(const Device &d, uint64_t epoch)
{
    const unsigned bus = d.cfg.bus;
    addHub(bus);
    // The port stays the converter's own across restarts, as the socket it
    // is plugged into does.
    const unsigned port = state().portOf(d);
    Node n;
    n.ref = NodeRef {this, mainContext, completer.get(), d.id, d.generation, epoch, d.devnum, {}};
    n.bus = bus;
    n.dev = nodePath(bus, d.devnum);
    // Attributes end in a newline, as the kernel's do.
    char vid[8], pid[8];
    std::snprintf(vid, sizeof vid, "%04x\n", unsigned(d.cfg.vendorId));
    std::snprintf(pid, sizeof pid, "%04x\n", unsigned(d.cfg.productId));
    // Under its hub's entry; named by path rather than by parent, as the
    // bed's folders are not where this process's /sys is.
    const std::string name
        = "usb" + std::to_string(bus) + "/" + std::to_string(bus) + "-" + std::to_string(port);
    const std::string busnum = std::to_string(bus) + "\n";
    const std::string devnum = std::to_string(d.devnum) + "\n";
    const std::string serial = d.reportedSerial() + "\n";
    const std::string devpath = std::to_string(port) + "\n";
    const std::string busProperty = std::to_string(bus);
    const std::string devProperty = std::to_string(d.devnum);
    // Full speed; the descriptors as the kernel keeps them (the device's,
    // then its configuration's), which libusb-1.0 reads from sysfs.
    gchar *sys = umockdev_testbed_add_device(bed, "usb", name.c_str(), nullptr, "idVendor", vid,
        "idProduct", pid, "busnum", busnum.c_str(), "devnum", devnum.c_str(), "serial",
        serial.c_str(), "devpath", devpath.c_str(), "bConfigurationValue", "1\n", "bNumInterfaces",
        " 1\n", "speed", "12\n", nullptr, "DEVNAME", n.dev.c_str(), "DEVTYPE", "usb_device", "BUSNUM",
        busProperty.c_str(), "DEVNUM", devProperty.c_str(), nullptr);
    n.sys = sys ? sys : "";
    g_free(sys);
    if (!n.sys.empty()) {
        int error = 0;
        std::vector<uint8_t> descriptors = d.descriptor(0x01, 0, error);
        const std::vector<uint8_t> config = d.descriptor(0x02, 0, error);
        descriptors.insert(descriptors.end(), config.begin(), config.end());
        umockdev_testbed_set_attribute_binary(
            bed, n.sys.c_str(), "descriptors", descriptors.data(), gssize(descriptors.size()));
    }

    n.handler = umockdev_ioctl_base_new();
    refs.push_back(std::make_unique<NodeRef>(n.ref));
    NodeRef *ref = refs.back().get();
    g_signal_connect(n.handler, "handle-ioctl", G_CALLBACK(handleIoctl), ref);
    g_signal_connect(n.handler, "handle-read", G_CALLBACK(handleRead), ref);
    g_signal_connect(n.handler, "client-vanished", G_CALLBACK(clientVanished), ref);
    retire(false, n.dev);
    GError *error = nullptr;
    if (!umockdev_testbed_attach_ioctl(bed, n.dev.c_str(), n.handler, &error)) {
        std::fprintf(stderr, "kelto-testbed: cannot serve %s: %s\n", n.dev.c_str(),
            error ? error->message : "?");
        g_clear_error(&error);
    }
    // The node appears only once it is served: a program scanning the bus
    // in between would read an empty descriptor from a plain file, and
    // libusb-0.1 keeps what it read for as long as the node exists.
    const std::string file = root + n.dev;
    mkfifo(file.c_str(), 0600);
    n.ref.readiness = std::make_shared<Readiness>(file);
    ref->readiness = n.ref.readiness;
    // Without the udev rule the node is root's alone (or, on Debian's
    // default, readable by everyone but writable by root only).
    g_chmod(file.c_str(), d.cfg.noAccess ? 0000 : d.cfg.permissionDenied ? 0444 : 0666);
    // Every program in the bed that listens for udev's events learns of
    // the arrival (libusb-1.0 learns of re-enumeration only this way).
    if (!n.sys.empty())
        sendUevent(root, n.sys, "add", n.dev);
    nodes[d.id] = n;
}

void UsbfsBed::Impl::removeNode(Node &n)
{
    // The node goes at once: a program opening it from now on gets ENOENT,
    // one holding it gets ENODEV from the handler. The handler's socket
    // stays a while: a program that opened the node just before has yet to
    // connect to it, and a socket closed under it would end that program
    // (umockdev's preload library gives up), where the kernel would answer
    // ENODEV.
    g_unlink((root + n.dev).c_str());
    if (n.ref.readiness)
        n.ref.readiness->gone();
    if (!n.sys.empty()) {
        sendUevent(root, n.sys, "remove", n.dev);
        umockdev_testbed_remove_device(bed, n.sys.c_str());
    }
    retiring.push_back({g_get_monotonic_time() + retireAfterUs, n});
    if (!retireTimer)
        retireTimer = g_timeout_add(
            guint(retireAfterUs / 1000),
            [](gpointer data) -> gboolean {
                auto *impl = static_cast<Impl *>(data);
                impl->retire(false);
                if (impl->retiring.empty()) {
                    impl->retireTimer = 0;
                    return G_SOURCE_REMOVE;
                }
                return G_SOURCE_CONTINUE;
            },
            this);
}

void UsbfsBed::Impl::retire(bool all, const std::string &path)
{
    const gint64 now = g_get_monotonic_time();
    for (auto it = retiring.begin(); it != retiring.end();) {
        if (all || it->first <= now || it->second.dev == path) {
            umockdev_testbed_detach_ioctl(bed, it->second.dev.c_str(), nullptr);
            g_object_unref(it->second.handler);
            it = retiring.erase(it);
        } else {
            ++it;
        }
    }
}

void UsbfsBed::Impl::sync()
{
    auto &s = state();
    Lock lock(s.mutex);
    s.refreshAll();
    uint64_t nextReturn = detail::never;
    for (auto it = nodes.begin(); it != nodes.end();) {
        Device *d = s.device(it->first);
        if (d && d->present && d->generation == it->second.ref.generation
            && d->devnum == it->second.ref.devnum && it->second.ref.epoch == s.epoch) {
            ++it;
            continue;
        }
        removeNode(it->second);
        it = nodes.erase(it);
    }
    // New nodes in the order the devices arrived, as the kernel makes them.
    std::vector<Device *> arrived;
    for (auto &d : s.devices) {
        if (d->present && !nodes.count(d->id))
            arrived.push_back(d.get());
        if (!d->present && d->returnAtUs != detail::never)
            nextReturn = std::min(nextReturn, d->returnAtUs);
    }
    std::sort(arrived.begin(), arrived.end(),
        [](const Device *a, const Device *b) { return a->born < b->born; });
    for (Device *d : arrived)
        addNode(*d, s.epoch);
    const uint64_t now = s.nowUs();
    lock.unlock();
    if (nextReturn != detail::never)
        scheduleSync(nextReturn > now ? nextReturn - now : 0);
}

void UsbfsBed::Impl::scheduleSync(uint64_t inUs)
{
    if (returnTimer)
        g_source_remove(returnTimer);
    returnTimer = g_timeout_add(
        guint((inUs + 999) / 1000),
        [](gpointer data) {
            auto *impl = static_cast<Impl *>(data);
            impl->returnTimer = 0;
            impl->sync();
            return G_SOURCE_REMOVE;
        },
        this);
}

UsbfsBed::UsbfsBed()
    : impl(std::make_unique<Impl>())
{
    impl->mainContext = g_main_context_ref_thread_default();
    // The bed's /dev on a tmpfs, as the machine's /dev is: the order in
    // which the library reads the nodes, and so finds the converters, is
    // then the order it has on a real system (newest first).
    const char *before = g_getenv("TMPDIR");
    const std::string saved = before ? before : "";
    if (g_file_test("/dev/shm", G_FILE_TEST_IS_DIR) && access("/dev/shm", W_OK) == 0)
        g_setenv("TMPDIR", "/dev/shm", TRUE);
    impl->bed = umockdev_testbed_new();
    if (before)
        g_setenv("TMPDIR", saved.c_str(), TRUE);
    else
        g_unsetenv("TMPDIR");
    gchar *root = umockdev_testbed_get_root_dir(impl->bed);
    impl->root = root;
    g_free(root);
    // Bus 1's hub is always there: /dev/bus/usb exists inside the bed even
    // with no converter plugged in, so that the library never looks at the
    // machine's own.
    impl->addHub(1);
    sync();
}

UsbfsBed::~UsbfsBed()
{
    // Handlers still running from here on answer at once and leave the
    // nodes alone; answers still due go out before the bed goes.
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        for (auto &r : impl->refs) {
            r->mainContext = nullptr;
            r->completer = nullptr;
        }
    }
    impl->completer.reset();
    if (impl->returnTimer)
        g_source_remove(impl->returnTimer);
    for (auto &n : impl->nodes)
        impl->removeNode(n.second);
    if (impl->retireTimer)
        g_source_remove(impl->retireTimer);
    impl->retire(true);
    g_object_unref(impl->bed);
    std::lock_guard<std::mutex> lock(state().mutex);
    impl->refs.clear();
    for (auto &c : claimants)
        g_object_unref(c.second);
    claimants.clear();
    g_main_context_unref(impl->mainContext);
}

std::string UsbfsBed::rootDir() const
{
    return impl->root;
}

std::vector<std::pair<std::string, std::string>> UsbfsBed::environment(
    const std::string &preload) const
{
    const char *before = g_getenv("LD_PRELOAD");
    // Each program's udev listening socket gets a name of its own first.
#ifdef KELTO_TESTBED_EVENTS
    std::string list = KELTO_TESTBED_EVENTS ":libumockdev-preload.so.0";
#else
    std::string list = "libumockdev-preload.so.0";
#endif
    if (!preload.empty())
        list += ":" + preload;
    if (before && *before)
        list += std::string(":") + before;
    return {{"UMOCKDEV_DIR", impl->root}, {"LD_PRELOAD", list}};
}

void UsbfsBed::sync()
{
    impl->sync();
}

} // namespace kelto::emu
