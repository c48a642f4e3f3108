// The preload library, loaded into this test through LD_PRELOAD with KESTRO_CAN_PRELOAD naming
// a simulated interface: the product's SocketCAN transport reaches a unix socket for that name,
// and behaves exactly as with the C library alone for every other name.
#include <dirent.h>
#include <dlfcn.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "can_motor/transport/socketcan_backend.hpp"

namespace kestro::can_motor {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

struct Setting {
    std::string ifname;
    std::string socket_path;
};

Setting preload_setting() {
    const char* value = std::getenv("KESTRO_CAN_PRELOAD");
    if (value == nullptr || std::strchr(value, '=') == nullptr) return {};
    const std::string text(value);
    const std::size_t separator = text.find('=');
    return {text.substr(0, separator), text.substr(separator + 1)};
}

int open_descriptor_count() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
    return count;
}

// The C library's own definitions, past the preload library.
template <class F>
F* libc(const char* name) {
    void* handle = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    return reinterpret_cast<F*>(dlsym(handle, name));
}

// What SocketCanTransport::open meets for `name` without the preload library: 0 or an errno.
int unshimmed_open_errno(const std::string& name) {
    const unsigned index = libc<decltype(if_nametoindex)>("if_nametoindex")(name.c_str());
    if (index == 0) return errno;
    const int fd = libc<decltype(socket)>("socket")(AF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) return errno;
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = static_cast<int>(index);
    const int bound =
        libc<decltype(bind)>("bind")(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    const int error = bound == 0 ? 0 : errno;
    libc<decltype(close)>("close")(fd);
    return error;
}

// The simulator's side of the simulated interface: a listening packet socket.
class FakeSimulator {
public:
    explicit FakeSimulator(const std::string& path) : path_(path) {
        ::unlink(path.c_str());
        listener_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener_, 4), 0);
    }
    ~FakeSimulator() {
        if (peer_ >= 0) ::close(peer_);
        ::close(listener_);
        ::unlink(path_.c_str());
    }

    int accept_peer() { return peer_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC); }
    Bytes receive() {
        std::array<std::uint8_t, 128> buffer{};
        pollfd ready{peer_, POLLIN, 0};
        if (::poll(&ready, 1, 1000) != 1) return {};
        const ssize_t size = ::recv(peer_, buffer.data(), buffer.size(), 0);
        return size < 0 ? Bytes{} : Bytes(buffer.begin(), buffer.begin() + size);
    }
    void send(const Bytes& record) { ::send(peer_, record.data(), record.size(), 0); }

private:
    std::string path_;
    int listener_ = -1;
    int peer_ = -1;
};

TEST(SimulatedInterface, CarriesFrameRecordsBothWaysAndTimesOut) {
    const Setting setting = preload_setting();
    ASSERT_FALSE(setting.ifname.empty()) << "run with KESTRO_CAN_PRELOAD=<ifname>=<socket path>";
    FakeSimulator simulator(setting.socket_path);
    const int descriptors = open_descriptor_count();
    {
        auto transport = SocketCanTransport::open(setting.ifname);
        ASSERT_TRUE(transport) << transport.error().to_string();
        ASSERT_GE(simulator.accept_peer(), 0);

        ASSERT_TRUE(transport->send(CanFrame{CanId::standard(0x123), {1, 2, 3}, false, false}));
        EXPECT_EQ(simulator.receive(),
                  (Bytes{0x23, 0x01, 0, 0, 3, 0, 0, 0, 1, 2, 3, 0, 0, 0, 0, 0}));

        simulator.send({0x01, 0, 0, 0, 2, 0, 0, 0, 0xAB, 0xCD, 0, 0, 0, 0, 0, 0});
        auto frame = transport->recv(1s);
        ASSERT_TRUE(frame) << frame.error().to_string();
        EXPECT_EQ(*frame, (CanFrame{CanId::standard(0x001), {0xAB, 0xCD}, false, false}));

        auto nothing = transport->recv(20ms);
        ASSERT_FALSE(nothing);
        EXPECT_TRUE(nothing.error().is<CanError::Timeout>());
    }
    EXPECT_EQ(simulator.receive(), Bytes{}) << "closing the transport ends the connection";
    EXPECT_EQ(open_descriptor_count(), descriptors + 1) << "only the accepted peer stays open";
}

TEST(SimulatedInterface, OpenFailsWithoutASimulatorAndLeavesNothingOpen) {
    const Setting setting = preload_setting();
    ASSERT_FALSE(setting.ifname.empty());
    ::unlink(setting.socket_path.c_str());
    const int descriptors = open_descriptor_count();
    auto transport = SocketCanTransport::open(setting.ifname);
    ASSERT_FALSE(transport);
    EXPECT_EQ(transport.error().to_string(),
              CanError::backend(IoError::from_errno(ENOENT)).to_string());
    EXPECT_EQ(open_descriptor_count(), descriptors);
}

TEST(OtherInterfaces, BehaveAsWithTheCLibraryAlone) {
    ASSERT_NE(if_nametoindex(preload_setting().ifname.c_str()), 0u);
    for (const std::string name : {"lo", "nosuchcan9", "can0"}) {
        errno = 0;
        const unsigned index = if_nametoindex(name.c_str());
        const int lookup_error = errno;
        errno = 0;
        EXPECT_EQ(index, libc<decltype(if_nametoindex)>("if_nametoindex")(name.c_str())) << name;
        EXPECT_EQ(lookup_error, errno) << name;

        auto transport = SocketCanTransport::open(name);
        const int expected = unshimmed_open_errno(name);
        EXPECT_EQ(transport.has_value(), expected == 0) << name;
        if (!transport) {
            EXPECT_EQ(transport.error().to_string(),
                      CanError::backend(IoError::from_errno(expected)).to_string())
                << name;
        }
    }
}

TEST(OtherSockets, KeepTheirOwnAnswersToCanOptions) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
    const int enable = 1;
    errno = 0;
    const int answer = ::setsockopt(pair[0], SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &enable, sizeof enable);
    const int error = errno;
    errno = 0;
    EXPECT_EQ(answer, libc<decltype(setsockopt)>("setsockopt")(pair[0], SOL_CAN_RAW,
                                                               CAN_RAW_FD_FRAMES, &enable,
                                                               sizeof enable));
    EXPECT_EQ(error, errno);
    EXPECT_NE(answer, 0) << "a unix socket takes no CAN option";
    ::close(pair[0]);
    ::close(pair[1]);
}

}  // namespace
}  // namespace kestro::can_motor
