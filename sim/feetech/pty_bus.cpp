#include "sim/feetech/pty_bus.hpp"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

#include "sim/wire/wait_until.hpp"

namespace kestro::sim {
namespace {

constexpr int POLL_INTERVAL_MS = 1;
constexpr std::uint8_t STRAY_BYTE = 0xAA;

// Closes a descriptor on every early return of start().
class OwnedFd {
public:
    explicit OwnedFd(int fd) : fd_(fd) {}
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    ~OwnedFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

}  // namespace

Result<FeetechPtyBus::Terminal, IoError> FeetechPtyBus::open_terminal() {
    OwnedFd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (master.get() < 0) return fail(IoError::from_errno(errno));
    if (grantpt(master.get()) != 0 || unlockpt(master.get()) != 0) {
        return fail(IoError::from_errno(errno));
    }
    std::array<char, PATH_MAX> name{};
    if (const int error = ptsname_r(master.get(), name.data(), name.size()); error != 0) {
        return fail(IoError::from_errno(error));
    }
    // The master never blocks: replies to a port that does not read are simply lost.
    if (fcntl(master.get(), F_SETFL, fcntl(master.get(), F_GETFL) | O_NONBLOCK) != 0) {
        return fail(IoError::from_errno(errno));
    }
    OwnedFd slave(::open(name.data(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (slave.get() < 0) return fail(IoError::from_errno(errno));
    // Raw from the start, so nothing is echoed back even before the port configures the line.
    termios settings{};
    if (tcgetattr(slave.get(), &settings) != 0) return fail(IoError::from_errno(errno));
    cfmakeraw(&settings);
    if (tcsetattr(slave.get(), TCSANOW, &settings) != 0) return fail(IoError::from_errno(errno));
    return Terminal{master.release(), slave.release(), name.data()};
}

Result<std::unique_ptr<FeetechPtyBus>, IoError> FeetechPtyBus::start(
    std::span<const std::uint8_t> ids, std::optional<wire::SerialTiming> timing,
    WireObserver observer) {
    KESTRO_TRY_ASSIGN(Terminal terminal, open_terminal());
    return std::unique_ptr<FeetechPtyBus>(new FeetechPtyBus(
        terminal.master_fd, terminal.slave_fd, std::move(terminal.slave_path), ids, timing,
        std::move(observer)));
}

FeetechPtyBus::FeetechPtyBus(int master_fd, int slave_fd, std::string slave_path,
                             std::span<const std::uint8_t> ids,
                             std::optional<wire::SerialTiming> timing, WireObserver observer)
    : master_fd_(master_fd),
      slave_fd_(slave_fd),
      slave_path_(std::move(slave_path)),
      model_(ids),
      timing_(timing),
      observer_(std::move(observer)) {
    if (timing_) line_.emplace(timing_->byte_time());
    thread_ = std::thread([this] { serve(); });
}

FeetechPtyBus::~FeetechPtyBus() {
    stop();
    close_terminal();
}

void FeetechPtyBus::stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
}

void FeetechPtyBus::close_terminal() {
    std::lock_guard lock(write_mutex_);
    if (slave_fd_ >= 0) ::close(std::exchange(slave_fd_, -1));
    if (master_fd_ >= 0) ::close(std::exchange(master_fd_, -1));
}

void FeetechPtyBus::unplug() {
    if (master_fd_ < 0) return;
    stop();
    // With the master gone the kernel hangs up every opening of the slave and removes its path.
    close_terminal();
}

Result<void, IoError> FeetechPtyBus::plug() {
    if (master_fd_ >= 0) return {};
    KESTRO_TRY_ASSIGN(Terminal terminal, open_terminal());
    {
        std::lock_guard lock(write_mutex_);
        master_fd_ = terminal.master_fd;
        slave_fd_ = terminal.slave_fd;
    }
    slave_path_ = std::move(terminal.slave_path);
    stopping_ = false;
    thread_ = std::thread([this] { serve(); });
    return {};
}

void FeetechPtyBus::inject_stray_bytes(std::span<const std::uint8_t> bytes) {
    send(bytes);
}

void FeetechPtyBus::serve() {
    using Clock = std::chrono::steady_clock;
    feetech_frame::RequestReader reader;
    auto last_received = Clock::now();
    std::array<std::uint8_t, 512> buffer{};

    while (!stopping_) {
        pollfd entry{master_fd_, POLLIN, 0};
        const int ready = poll(&entry, 1, POLL_INTERVAL_MS);
        const ssize_t got = ready > 0 && (entry.revents & POLLIN) != 0
                                ? ::read(master_fd_, buffer.data(), buffer.size())
                                : 0;
        if (got > 0) {
            reader.feed(std::span(buffer).first(static_cast<std::size_t>(got)));
            last_received = Clock::now();
            while (auto request = reader.next()) {
                if (line_) {
                    answer_on_wire(*request, model_.handle(*request), last_received);
                    continue;
                }
                for (const auto& reply : model_.handle(*request)) {
                    std::this_thread::sleep_for(reply.delay);
                    send(reply.bytes);
                }
            }
        } else if (reader.has_partial_frame() && Clock::now() - last_received > FRAME_GAP) {
            reader.clear();
        }
        if (continuous_stray_bytes_) send(std::span(&STRAY_BYTE, 1));
    }
}

void FeetechPtyBus::answer_on_wire(const feetech_frame::Request& request,
                                   const std::vector<FeetechBusModel::Reply>& replies,
                                   wire::Clock::time_point arrived) {
    // The request as it went on the line: FF FF id length instruction params checksum.
    std::vector<std::uint8_t> sent{0xFF, 0xFF, request.id,
                                   static_cast<std::uint8_t>(request.params.size() + 2),
                                   request.instruction};
    sent.insert(sent.end(), request.params.begin(), request.params.end());
    sent.push_back(feetech_frame::checksum(std::span(sent).subspan(2)));

    std::vector<wire::ReplyShape> shapes;
    for (const auto& reply : replies) {
        shapes.push_back(wire::ReplyShape{
            reply.delay + wire::return_delay(reply.return_delay_register,
                                             timing_->default_return_delay),
            reply.bytes.size()});
    }
    const auto windows = wire::transaction(*line_, arrived, sent.size(), shapes);
    if (observer_) observer_(true, sent, windows[0]);
    for (std::size_t i = 0; i < replies.size(); ++i) {
        const auto due = wire::usb_delivery(windows[i + 1].end, epoch_, timing_->usb_latency);
        wire::wait_until(due);
        if (stopping_) return;
        send(replies[i].bytes);
        if (observer_) observer_(false, replies[i].bytes, windows[i + 1]);
    }
}

void FeetechPtyBus::send(std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(write_mutex_);
    while (!bytes.empty()) {
        const ssize_t put = ::write(master_fd_, bytes.data(), bytes.size());
        if (put > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(put));
        } else if (put < 0 && errno == EINTR) {
            continue;
        } else {
            return;  // the line is full (nobody reads the port): the rest is lost, as on a wire
        }
    }
}

}  // namespace kestro::sim
