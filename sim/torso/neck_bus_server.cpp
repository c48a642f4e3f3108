#include "sim/torso/neck_bus_server.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <stdexcept>

#include "sim/damiao/wire_timed_answer.hpp"

namespace kestro::sim::torso {
namespace {

// How often the motors' TIMEOUT watch runs when no frame comes: its resolution.
constexpr int TICK_INTERVAL_MS = 1;
// Where the serving thread's poll list has the parties.
constexpr std::size_t FIRST_PARTY = 3;

}  // namespace

NeckBusServer::NeckBusServer(DamiaoBusModel& model, Trace& trace, UniqueFd listener, UniqueFd can,
                             std::optional<wire::CanTiming> timing)
    : model_(model),
      trace_(trace),
      listener_(std::move(listener)),
      link_changed_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!link_changed_) throw std::runtime_error("eventfd failed");
    if (timing) wire_.emplace(*timing);
    if (can) parties_.push_back(Party{std::move(can), false});
    thread_ = std::thread([this] {
        serve();
        // A set_link waiting for a thread that has ended would wait for ever.
        std::lock_guard lock(link_mutex_);
        serving_ = false;
        link_applied_.notify_all();
    });
    ticker_ = std::thread([this] { tick(); });
}

NeckBusServer::~NeckBusServer() {
    stop_.raise();
    thread_.join();
    ticker_.join();
}

void NeckBusServer::set_link(Link link) {
    std::unique_lock lock(link_mutex_);
    requested_link_ = link;
    const unsigned request = ++link_requests_;
    const std::uint64_t one = 1;
    (void)::write(link_changed_.get(), &one, sizeof one);
    link_applied_.wait(lock, [&] { return link_requests_applied_ == request || !serving_; });
}

void NeckBusServer::apply_link() {
    std::uint64_t count = 0;
    (void)::read(link_changed_.get(), &count, sizeof count);
    std::unique_lock lock(link_mutex_);
    const Link next = requested_link_;
    const unsigned request = link_requests_;
    lock.unlock();
    if (next == Link::Unplugged) {
        std::erase_if(parties_, [](const Party& party) { return party.connection; });
    } else if (next == Link::Down && link_ == Link::Up) {
        for (const Party& party : parties_) {
            if (!party.connection) continue;
            (void)::send(party.fd.get(), &WAKE_RECORD, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
        }
    }
    link_ = next;
    lock.lock();
    link_requests_applied_ = request;
    link_applied_.notify_all();
}

void NeckBusServer::tick() {
    pollfd stop{stop_.fd(), POLLIN, 0};
    for (;;) {
        const int ready = ::poll(&stop, 1, TICK_INTERVAL_MS);
        if (ready > 0 || (ready < 0 && errno != EINTR)) return;
        model_.tick(DamiaoBusModel::Clock::now());
    }
}

void NeckBusServer::serve() {
    std::vector<pollfd> watched;
    for (;;) {
        watched.assign({pollfd{stop_.fd(), POLLIN, 0}, pollfd{listener_.get(), POLLIN, 0},
                        pollfd{link_changed_.get(), POLLIN, 0}});
        for (const Party& party : parties_) watched.push_back(pollfd{party.fd.get(), POLLIN, 0});
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (watched[0].revents != 0) return;
        if (watched[2].revents != 0) {
            apply_link();
            continue;  // the parties may have changed under the poll list
        }
        if (watched[1].revents & POLLIN) accept_client();
        // From the back, so that dropping a client leaves the indices still to visit intact.
        for (std::size_t i = watched.size() - FIRST_PARTY; i-- > 0;) {
            if (watched[i + FIRST_PARTY].revents != 0 && !receive(i)) {
                parties_.erase(parties_.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
}

void NeckBusServer::accept_client() {
    UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    // An unplugged interface has nobody to talk to: the connection closes again at once.
    if (client && link_ != Link::Unplugged) parties_.push_back(Party{std::move(client), true});
}

bool NeckBusServer::receive(std::size_t index) {
    std::array<std::uint8_t, bus_record::FD_SIZE + 1> buffer;
    const int fd = parties_[index].fd.get();
    const ssize_t size = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (size > 0) {
        on_record(fd, std::span(buffer).first(static_cast<std::size_t>(size)));
        return true;
    }
    // A CAN socket reports bus errors through recv and stays usable; a client that has gone
    // reads as the end of the stream.
    const bool gone = size == 0 || (errno != EAGAIN && errno != EINTR);
    return !(gone && parties_[index].connection);
}

void NeckBusServer::on_record(int from, std::span<const std::uint8_t> record) {
    if (link_ != Link::Up) return;  // nothing goes on a bus that is down
    if (wire_) {
        on_wire_record(from, record);
        return;
    }
    trace_.can(Direction::ToSim, record);
    send_all(record, from);
    const std::optional<BusFrame> frame = bus_record::unpack(record);
    if (!frame) return;
    const DamiaoBusModel::Reply reply = model_.handle(*frame, DamiaoBusModel::Clock::now());
    if (reply.frames.empty()) return;
    if (reply.delay > std::chrono::nanoseconds::zero() && !pause(reply.delay)) return;
    for (const BusFrame& answer : reply.frames) {
        const std::vector<std::uint8_t> out = bus_record::pack(answer);
        trace_.can(Direction::FromSim, out);
        send_all(out, -1);
    }
}

void NeckBusServer::on_wire_record(int from, std::span<const std::uint8_t> record) {
    const auto arrived = wire::Clock::now();
    send_all(record, from);
    const std::optional<BusFrame> frame = bus_record::unpack(record);
    if (!frame) {
        trace_.can(Direction::ToSim, record);
        return;
    }
    const DamiaoBusModel::Reply reply = model_.handle(*frame, arrived);
    deliver_on_wire(*wire_, *frame, arrived, reply, stop_.fd(),
                    [&](const BusFrame& out, const wire::Window& window, bool answer) {
                        if (!answer) {
                            trace_.can(Direction::ToSim, record, window);
                            return;
                        }
                        const std::vector<std::uint8_t> packed = bus_record::pack(out);
                        trace_.can(Direction::FromSim, packed, window);
                        send_all(packed, -1);
                    });
}

void NeckBusServer::send_all(std::span<const std::uint8_t> record, int except) {
    for (const Party& party : parties_) {
        // Never waits: a party that does not read loses frames, as a full CAN socket does.
        if (party.fd.get() != except) {
            (void)::send(party.fd.get(), record.data(), record.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        }
    }
}

bool NeckBusServer::pause(std::chrono::nanoseconds delay) const {
    pollfd wake{stop_.fd(), POLLIN, 0};
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(delay);
    return ::poll(&wake, 1, static_cast<int>(wait.count())) == 0;
}

}  // namespace kestro::sim::torso
