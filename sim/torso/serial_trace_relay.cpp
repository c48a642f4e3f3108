#include "sim/torso/serial_trace_relay.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <stdexcept>

namespace kestro::sim::torso {
namespace {

[[noreturn]] void refuse(const char* what) {
    throw std::runtime_error(std::string("serial trace relay: ") + what + " failed");
}

// Raw, non-blocking and unechoed: the relay only moves bytes.
void make_raw(int fd) {
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) refuse("tcgetattr");
    ::cfmakeraw(&settings);
    if (::tcsetattr(fd, TCSANOW, &settings) != 0) refuse("tcsetattr");
}

}  // namespace

SerialTraceRelay::SerialTraceRelay(const std::string& device, Trace& trace)
    : trace_(trace) {
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) refuse("openpty");
    master_.reset(master);
    slave_.reset(slave);
    std::array<char, PATH_MAX> name{};
    if (::ptsname_r(master, name.data(), name.size()) != 0) refuse("ptsname");
    device_ = name.data();
    make_raw(slave);
    bus_.reset(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!bus_ || ::fcntl(master, F_SETFL, O_NONBLOCK) != 0) refuse("open");
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    make_raw(bus_.get());
    thread_ = std::thread([this] { relay(); });
}

SerialTraceRelay::~SerialTraceRelay() {
    stop_.raise();
    thread_.join();
}

void SerialTraceRelay::relay() {
    std::array<pollfd, 3> watched{pollfd{stop_.fd(), POLLIN, 0},
                                  pollfd{master_.get(), POLLIN, 0}, pollfd{bus_.get(), POLLIN, 0}};
    for (;;) {
        if (::poll(watched.data(), watched.size(), -1) < 0 && errno != EINTR) return;
        if (watched[0].revents != 0) return;
        if (watched[1].revents != 0 && !pass(master_.get(), bus_.get(), Direction::ToSim)) return;
        if (watched[2].revents != 0 && !pass(bus_.get(), master_.get(), Direction::FromSim)) return;
    }
}

bool SerialTraceRelay::pass(int from, int to, Direction direction) {
    std::array<std::uint8_t, 512> buffer;
    const ssize_t got = ::read(from, buffer.data(), buffer.size());
    if (got < 0) return errno == EAGAIN || errno == EINTR;
    const auto bytes = std::span(buffer).first(static_cast<std::size_t>(got));
    trace_.serial(direction, bytes);
    // Never waits: what the other side has no room for is lost, as on a wire.
    (void)::write(to, bytes.data(), bytes.size());
    return got > 0;
}

}  // namespace kestro::sim::torso
