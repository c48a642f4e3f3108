// A preload library that lets an unmodified program reach the torso simulator's neck motors
// through its ordinary SocketCAN calls on a machine whose kernel has no CAN support.
//
// KESTRO_CAN_PRELOAD=<ifname>=<socket path> names one simulated interface. For that name only:
//   if_nametoindex(<ifname>)            gives SIMULATED_INDEX (no real interface has it);
//   socket(AF_CAN, SOCK_RAW, CAN_RAW)   gives the real socket, or, where the kernel refuses it,
//                                       a unix packet socket standing in for it;
//   bind(fd, {AF_CAN, SIMULATED_INDEX}) replaces fd (same number, same flags) by a unix packet
//                                       socket connected to <socket path>;
//   setsockopt(fd, SOL_CAN_RAW, ...)    on such a socket succeeds without effect (frame filters
//                                       included: every frame on the simulated bus arrives);
//   close(fd)                           forgets the socket.
// send, recv and SO_RCVTIMEO then work natively: the simulator speaks the kernel's 16- and
// 72-byte frame records, one per message. The simulator can also take the interface down or
// unplug it. It says so in a symbolic link at <socket path>.state, pointing at "down" or
// "unplugged" (none while up), which the library reads at each call: then if_nametoindex (when
// unplugged), bind, send and recv fail with ENODEV or ENETDOWN as a real interface's do. An
// unplugged interface's connections are closed, and the end of one reads as ENODEV for good,
// as a socket bound to a vanished interface does; a 1-byte record on a connection only wakes a
// waiting recv to look at the state again. Everything else passes through untouched; a stand-in
// bound to any other address fails with the error its socket() call met, so code using another
// interface sees what it would see without this library.
//
// The wrappers use only atomics and system calls after start-up, so they stay thread-safe and
// async-signal-safe (close from a signal handler, for one).
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr unsigned SIMULATED_INDEX = 0x4B530001;  // far above any index the kernel hands out

// Per descriptor number: NOT_OURS, CONNECTED, or a stand-in awaiting bind, stored as minus
// the errno of the real socket() call it replaced. Descriptors past the table are left alone.
constexpr int NOT_OURS = 0;
constexpr int CONNECTED = 1;
constexpr int TRACKED_FDS = 4096;
std::atomic<int> g_state[TRACKED_FDS];

// Set once, before main(), by configure().
bool g_active = false;
char g_ifname[IFNAMSIZ];
sockaddr_un g_simulator{};
char g_state_path[sizeof g_simulator.sun_path + 8];

// The simulator's state link and the words it may hold; a record this long wakes a recv.
constexpr const char* STATE_SUFFIX = ".state";
constexpr const char* STATE_DOWN = "down";
constexpr const char* STATE_UNPLUGGED = "unplugged";
constexpr ssize_t WAKE_SIZE = 1;

// The definitions this library hides, each looked up on first use: at the latest by
// configure(), so that later calls never enter the dynamic linker.
std::atomic<decltype(&::socket)> g_socket{nullptr};
std::atomic<decltype(&::bind)> g_bind{nullptr};
std::atomic<decltype(&::setsockopt)> g_setsockopt{nullptr};
std::atomic<decltype(&::close)> g_close{nullptr};
std::atomic<decltype(&::if_nametoindex)> g_if_nametoindex{nullptr};
std::atomic<decltype(&::send)> g_send{nullptr};
std::atomic<decltype(&::recv)> g_recv{nullptr};

template <class F>
F* next(std::atomic<F*>& slot, const char* name) {
    F* f = slot.load(std::memory_order_acquire);
    if (f == nullptr) {
        f = reinterpret_cast<F*>(dlsym(RTLD_NEXT, name));
        slot.store(f, std::memory_order_release);
    }
    return f;
}

int real_socket(int domain, int type, int protocol) {
    return next(g_socket, "socket")(domain, type, protocol);
}
int real_close(int fd) { return next(g_close, "close")(fd); }

int state(int fd) {
    return fd >= 0 && fd < TRACKED_FDS ? g_state[fd].load(std::memory_order_acquire) : NOT_OURS;
}

bool set_state(int fd, int value) {
    if (fd < 0 || fd >= TRACKED_FDS) return false;
    g_state[fd].store(value, std::memory_order_release);
    return true;
}

int socket_domain(int fd) {
    int domain = -1;
    socklen_t size = sizeof domain;
    if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) != 0) return -1;
    return domain;
}

// The table entry is trusted only while the descriptor is still a unix socket: one closed
// behind this library's back (dup2, close_range) may have been reused for anything.
int verified_state(int fd) {
    const int s = state(fd);
    return s != NOT_OURS && socket_domain(fd) == AF_UNIX ? s : NOT_OURS;
}

// 0 while the simulated interface is up, else the errno its calls fail with. Leaves errno.
int interface_error() {
    const int saved = errno;
    char word[16];
    const ssize_t length = readlink(g_state_path, word, sizeof word - 1);
    errno = saved;
    if (length <= 0) return 0;
    word[length] = '\0';
    if (std::strcmp(word, STATE_DOWN) == 0) return ENETDOWN;
    if (std::strcmp(word, STATE_UNPLUGGED) == 0) return ENODEV;
    return 0;
}

bool is_can_raw(int domain, int type, int protocol) {
    constexpr int TYPE_MASK = 0xF;  // the flags SOCK_CLOEXEC and SOCK_NONBLOCK sit above it
    return domain == AF_CAN && (type & TYPE_MASK) == SOCK_RAW && protocol == CAN_RAW;
}

bool names_simulated_bus(const sockaddr* address, socklen_t length) {
    if (address == nullptr || length < sizeof(sockaddr_can)) return false;
    sockaddr_can can{};
    std::memcpy(&can, address, sizeof can);
    return can.can_family == AF_CAN && static_cast<unsigned>(can.can_ifindex) == SIMULATED_INDEX;
}

// Puts a connection to the simulator in place of `fd`, keeping its number and flags.
int connect_to_simulator(int fd) {
    const int descriptor_flags = fcntl(fd, F_GETFD);
    const int status_flags = fcntl(fd, F_GETFL);
    if (descriptor_flags < 0 || status_flags < 0) return -1;
    const int link = real_socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (link < 0) return -1;
    if (connect(link, reinterpret_cast<const sockaddr*>(&g_simulator), sizeof g_simulator) != 0 ||
        dup3(link, fd, (descriptor_flags & FD_CLOEXEC) != 0 ? O_CLOEXEC : 0) < 0) {
        const int error = errno;
        real_close(link);
        errno = error;
        return -1;
    }
    real_close(link);
    if ((status_flags & O_NONBLOCK) != 0 && fcntl(fd, F_SETFL, O_NONBLOCK) != 0) return -1;
    set_state(fd, CONNECTED);
    return 0;
}

// Reads KESTRO_CAN_PRELOAD; a malformed value leaves the library inert and says why once.
__attribute__((constructor)) void configure() {
    // Resolved now, while the process is still single-threaded and no signal handler runs.
    next(g_socket, "socket");
    next(g_bind, "bind");
    next(g_setsockopt, "setsockopt");
    next(g_close, "close");
    next(g_if_nametoindex, "if_nametoindex");
    next(g_send, "send");
    next(g_recv, "recv");

    const char* setting = std::getenv("KESTRO_CAN_PRELOAD");
    if (setting == nullptr) return;
    const char* separator = std::strchr(setting, '=');
    const std::size_t name_length = separator == nullptr ? 0 : separator - setting;
    const char* path = separator == nullptr ? "" : separator + 1;
    if (name_length == 0 || name_length >= sizeof g_ifname || *path == '\0' ||
        std::strlen(path) >= sizeof g_simulator.sun_path) {
        std::fprintf(stderr,
                     "kestro_can_preload: ignoring KESTRO_CAN_PRELOAD=%s (expected "
                     "<ifname>=<socket path>, ifname below %d and path below %zu bytes)\n",
                     setting, IFNAMSIZ, sizeof g_simulator.sun_path);
        return;
    }
    std::memcpy(g_ifname, setting, name_length);
    g_ifname[name_length] = '\0';
    g_simulator.sun_family = AF_UNIX;
    std::strcpy(g_simulator.sun_path, path);
    std::strcpy(g_state_path, path);
    std::strcat(g_state_path, STATE_SUFFIX);
    g_active = true;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) unsigned if_nametoindex(const char* name) noexcept {
    if (g_active && name != nullptr && std::strcmp(name, g_ifname) == 0) {
        // A down interface still has its index; an unplugged one has none.
        if (interface_error() == ENODEV) {
            errno = ENODEV;
            return 0;
        }
        return SIMULATED_INDEX;
    }
    return next(g_if_nametoindex, "if_nametoindex")(name);
}

__attribute__((visibility("default"))) int socket(int domain, int type, int protocol) noexcept {
    const int fd = real_socket(domain, type, protocol);
    if (fd >= 0) {
        // A fresh descriptor: whatever the table held for its number is history.
        set_state(fd, NOT_OURS);
        return fd;
    }
    if (!g_active || !is_can_raw(domain, type, protocol)) return fd;
    // No CAN in this kernel: hand out a stand-in, which only a bind to the simulated
    // interface makes useful.
    const int refused = errno;
    const int stand_in =
        real_socket(AF_UNIX, SOCK_SEQPACKET | (type & (SOCK_CLOEXEC | SOCK_NONBLOCK)), 0);
    if (stand_in >= 0 && set_state(stand_in, -refused)) return stand_in;
    if (stand_in >= 0) real_close(stand_in);
    errno = refused;
    return -1;
}

__attribute__((visibility("default"))) int bind(int fd, const sockaddr* address,
                                                socklen_t length) noexcept {
    const int s = g_active ? verified_state(fd) : NOT_OURS;
    if (g_active && names_simulated_bus(address, length) &&
        (s < 0 || socket_domain(fd) == AF_CAN)) {
        if (const int error = interface_error(); error != 0) {
            errno = error;
            return -1;
        }
        return connect_to_simulator(fd);
    }
    if (s < 0) {
        errno = -s;
        return -1;
    }
    return next(g_bind, "bind")(fd, address, length);
}

__attribute__((visibility("default"))) int setsockopt(int fd, int level, int option,
                                                      const void* value, socklen_t length) noexcept {
    if (level == SOL_CAN_RAW && g_active && verified_state(fd) != NOT_OURS) return 0;
    return next(g_setsockopt, "setsockopt")(fd, level, option, value, length);
}

__attribute__((visibility("default"))) ssize_t send(int fd, const void* buffer, size_t length,
                                                    int flags) {
    const auto real_send = next(g_send, "send");
    if (state(fd) != CONNECTED) return real_send(fd, buffer, length, flags);
    if (const int error = interface_error(); error != 0 && verified_state(fd) == CONNECTED) {
        errno = error;
        return -1;
    }
    const ssize_t sent = real_send(fd, buffer, length, flags);
    if (sent < 0 && (errno == EPIPE || errno == ECONNRESET) && verified_state(fd) == CONNECTED) {
        errno = ENODEV;  // the simulator closed the connection: the interface went away
    }
    return sent;
}

__attribute__((visibility("default"))) ssize_t recv(int fd, void* buffer, size_t length,
                                                    int flags) {
    const auto real_recv = next(g_recv, "recv");
    if (state(fd) != CONNECTED) return real_recv(fd, buffer, length, flags);
    for (;;) {
        if (const int error = interface_error(); error != 0 && verified_state(fd) == CONNECTED) {
            errno = error;
            return -1;
        }
        const ssize_t got = real_recv(fd, buffer, length, flags);
        if (got == 0 && length > 0 && verified_state(fd) == CONNECTED) {
            errno = ENODEV;  // the end of the connection: the interface went away
            return -1;
        }
        if (got != WAKE_SIZE || verified_state(fd) != CONNECTED) return got;
        // A wake record: gone from the queue, then the state is looked at again.
        if ((flags & MSG_PEEK) != 0) {
            char wake;
            real_recv(fd, &wake, 1, MSG_DONTWAIT);
        }
    }
}

__attribute__((visibility("default"))) int close(int fd) {
    set_state(fd, NOT_OURS);
    return real_close(fd);
}

}  // extern "C"
