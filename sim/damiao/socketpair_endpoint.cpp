#include "sim/damiao/socketpair_endpoint.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <system_error>
#include <utility>

#include "sim/damiao/wire_timed_answer.hpp"

namespace kestro::sim {
namespace {

[[noreturn]] void throw_os_error(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

timespec to_timespec(std::chrono::nanoseconds delay) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(delay);
    return timespec{static_cast<time_t>(seconds.count()),
                    static_cast<long>((delay - seconds).count())};
}

}  // namespace

DamiaoSocketpairEndpoint::DamiaoSocketpairEndpoint(DamiaoBusModel& model,
                                                   std::optional<wire::CanTiming> timing,
                                                   WireDelivery observer)
    : model_(model), observer_(std::move(observer)) {
    if (timing) wire_.emplace(*timing);
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
        throw_os_error("socketpair");
    }
    own_fd_ = fds[0];
    peer_fd_ = fds[1];
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC);
    if (wake_fd_ < 0) {
        ::close(own_fd_);
        ::close(peer_fd_);
        throw_os_error("eventfd");
    }
    thread_ = std::thread([this] { serve(); });
}

DamiaoSocketpairEndpoint::~DamiaoSocketpairEndpoint() {
    stop();
    ::close(wake_fd_);
    ::close(own_fd_);
    if (peer_fd_ >= 0) ::close(peer_fd_);
}

int DamiaoSocketpairEndpoint::take_peer() { return std::exchange(peer_fd_, -1); }

void DamiaoSocketpairEndpoint::stop() {
    const std::uint64_t one = 1;
    // The event counter stays set, so every later poll of the thread returns at once.
    if (::write(wake_fd_, &one, sizeof one) < 0) throw_os_error("eventfd write");
    if (thread_.joinable()) thread_.join();
}

void DamiaoSocketpairEndpoint::serve() {
    std::array<pollfd, 2> watched{pollfd{own_fd_, POLLIN, 0}, pollfd{wake_fd_, POLLIN, 0}};
    std::array<std::uint8_t, bus_record::FD_SIZE + 1> buffer;
    for (;;) {
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (watched[1].revents != 0) return;
        const short events = watched[0].revents;
        if (events & POLLIN) {
            const ssize_t size = ::recv(own_fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (size > 0) {
                auto frame = bus_record::unpack({buffer.data(), static_cast<std::size_t>(size)});
                if (frame) {
                    answer(*frame);
                } else {
                    ++malformed_;
                }
                continue;
            }
        }
        // The peer has closed its end and everything it sent has been read.
        if (events & (POLLHUP | POLLERR)) return;
    }
}

void DamiaoSocketpairEndpoint::answer(const BusFrame& frame) {
    const auto arrived = DamiaoBusModel::Clock::now();
    DamiaoBusModel::Reply reply = model_.handle(frame, arrived);
    if (wire_) {
        // The request itself also holds the bus, so it is timed even when nobody answers.
        deliver_on_wire(*wire_, frame, arrived, reply, wake_fd_,
                        [this](const BusFrame& out, const wire::Window& window, bool is_answer) {
                            if (is_answer) send_frame(out);
                            if (observer_) observer_(out, window, is_answer);
                        });
        return;
    }
    if (reply.frames.empty()) return;
    if (reply.delay > std::chrono::nanoseconds::zero() && !pause(reply.delay)) return;
    for (const BusFrame& out : reply.frames) send_frame(out);
}

void DamiaoSocketpairEndpoint::send_frame(const BusFrame& frame) {
    const std::vector<std::uint8_t> record = bus_record::pack(frame);
    if (::send(own_fd_, record.data(), record.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
        ++dropped_;
    }
}

bool DamiaoSocketpairEndpoint::pause(std::chrono::nanoseconds delay) const {
    pollfd wake{wake_fd_, POLLIN, 0};
    const timespec limit = to_timespec(delay);
    int ready = 0;
    while ((ready = ::ppoll(&wake, 1, &limit, nullptr)) < 0 && errno == EINTR) {
    }
    return ready == 0;
}

}  // namespace kestro::sim
