// Serves a FeetechBusModel on the master side of a pseudo-terminal, so that code under test
// opens the slave path as its serial port and talks to the simulated servos through the real
// terminal layer.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "common/io_error.hpp"
#include "common/result.hpp"
#include "sim/feetech/bus_model.hpp"
#include "sim/wire/serial_line.hpp"

namespace kestro::sim {

class FeetechPtyBus {
public:
    // A partial request older than this is dropped, as a servo resynchronises after a gap.
    static constexpr std::chrono::milliseconds FRAME_GAP{20};

    // Each packet on a wire-timed line, with the bytes and when they held the line.
    using WireObserver =
        std::function<void(bool from_host, std::span<const std::uint8_t>, const wire::Window&)>;

    // Creates the pseudo-terminal, puts the servos `ids` on the bus and starts serving. With
    // `timing`, every request and reply holds the modelled line for its bytes, and replies reach
    // the port no sooner than on a real line; `observer` then sees each packet.
    static Result<std::unique_ptr<FeetechPtyBus>, IoError> start(
        std::span<const std::uint8_t> ids = {},
        std::optional<wire::SerialTiming> timing = std::nullopt, WireObserver observer = {});

    FeetechPtyBus(const FeetechPtyBus&) = delete;
    FeetechPtyBus& operator=(const FeetechPtyBus&) = delete;
    ~FeetechPtyBus();

    const std::string& slave_path() const { return slave_path_; }
    FeetechBusModel& model() { return model_; }

    // Puts noise on the line toward the port, once.
    void inject_stray_bytes(std::span<const std::uint8_t> bytes);
    // Keeps noise coming, one byte about every millisecond, until switched off.
    void set_continuous_stray_bytes(bool on) { continuous_stray_bytes_ = on; }

    // Stops serving and waits for the serving thread; the destructor does it too.
    void stop();

    // Pulls the adapter out: the pseudo-terminal goes, so a client's open port reads the end of
    // the file, fails writes with EIO and polls as hung up, and the slave path disappears.
    // The servos keep their state. Nothing happens when already unplugged.
    void unplug();
    // Plugs an adapter in again: a new pseudo-terminal (slave_path() names it) in front of the
    // same servos. Nothing happens when already plugged in.
    Result<void, IoError> plug();
    bool plugged() const { return master_fd_ >= 0; }

private:
    struct Terminal {
        int master_fd;
        int slave_fd;
        std::string slave_path;
    };
    // A new raw pseudo-terminal, its master non-blocking and its slave held open.
    static Result<Terminal, IoError> open_terminal();
    void close_terminal();

    FeetechPtyBus(int master_fd, int slave_fd, std::string slave_path,
                  std::span<const std::uint8_t> ids, std::optional<wire::SerialTiming> timing,
                  WireObserver observer);

    void serve();
    // The replies to one request that has arrived at `arrived`, each at its time on the wire.
    void answer_on_wire(const feetech_frame::Request& request,
                        const std::vector<FeetechBusModel::Reply>& replies,
                        wire::Clock::time_point arrived);
    void send(std::span<const std::uint8_t> bytes);

    int master_fd_;
    // Held open so that the master never sees a hang-up while the port under test is closed.
    int slave_fd_;  // both -1 while unplugged
    std::string slave_path_;
    FeetechBusModel model_;
    std::optional<wire::SerialTiming> timing_;
    WireObserver observer_;
    std::optional<wire::SerialLine> line_;  // only the serving thread touches it
    wire::Clock::time_point epoch_ = wire::Clock::now();  // of the USB adapter's timer
    std::mutex write_mutex_;
    std::atomic<bool> continuous_stray_bytes_{false};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace kestro::sim
