// The reads of one loop tick done with plain system calls and nothing else: both servo sync
// reads on the serial port, then a status request to each neck motor on the CAN socket. Its
// time against the modelled wire shows what this machine's wake-ups cost any driver, so that
// the loop's own share can be told apart.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <numeric>
#include <span>
#include <string>
#include <vector>

namespace kestro::control_loop {

class MinimalClient {
public:
    // `can` is a socket that carries the kernel's 16-byte CAN frame records; taken over.
    MinimalClient(const std::string& serial_path, int can)
        : port_(::open(serial_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)), can_(can) {
        termios settings{};
        if (port_ >= 0 && ::tcgetattr(port_, &settings) == 0) {
            ::cfmakeraw(&settings);
            ::tcsetattr(port_, TCSANOW, &settings);
        }
    }
    MinimalClient(const MinimalClient&) = delete;
    MinimalClient& operator=(const MinimalClient&) = delete;
    ~MinimalClient() {
        if (port_ >= 0) ::close(port_);
        if (can_ >= 0) ::close(can_);
    }

    bool usable() const { return port_ >= 0 && can_ >= 0; }

    // One tick's reads; false when an answer is missing.
    bool read_all() {
        static constexpr std::array<std::uint8_t, 4> ARMS{1, 2, 3, 4};
        static constexpr std::array<std::uint8_t, 3> NOSE{5, 6, 7};
        if (!sync_read(ARMS) || !sync_read(NOSE)) return false;
        for (std::uint8_t motor = 1; motor <= 3; ++motor) {
            if (!status(motor)) return false;
        }
        return true;
    }

private:
    static constexpr int WAIT_MS = 100;

    // Present position, two bytes at 56, of each servo; each answers 8 bytes.
    bool sync_read(std::span<const std::uint8_t> ids) {
        std::vector<std::uint8_t> packet{0xFF, 0xFF, 0xFE,
                                         static_cast<std::uint8_t>(ids.size() + 4), 0x82, 56, 2};
        packet.insert(packet.end(), ids.begin(), ids.end());
        const unsigned sum = std::accumulate(packet.begin() + 2, packet.end(), 0U);
        packet.push_back(static_cast<std::uint8_t>(~sum));
        if (::write(port_, packet.data(), packet.size()) != static_cast<ssize_t>(packet.size())) {
            return false;
        }
        std::array<std::uint8_t, 64> buffer{};
        for (std::size_t got = 0, want = 8 * ids.size(); got < want;) {
            pollfd entry{port_, POLLIN, 0};
            if (::poll(&entry, 1, WAIT_MS) <= 0) return false;
            const ssize_t n = ::read(port_, buffer.data(), buffer.size());
            if (n <= 0) return false;
            got += static_cast<std::size_t>(n);
        }
        return true;
    }

    // The status request on the service id 0x7FF; the motor answers with its feedback frame.
    bool status(std::uint8_t motor) {
        std::array<std::uint8_t, 16> record{0xFF, 0x07, 0, 0, 8, 0, 0, 0,
                                            motor, 0, 0xCC, 0, 0, 0, 0, 0};
        if (::send(can_, record.data(), record.size(), 0) != 16) return false;
        for (;;) {
            pollfd entry{can_, POLLIN, 0};
            if (::poll(&entry, 1, WAIT_MS) <= 0) return false;
            if (::recv(can_, record.data(), record.size(), 0) != 16) return false;
            if (record[0] == motor && record[1] == 0) return true;
        }
    }

    int port_;
    int can_;
};

}  // namespace kestro::control_loop
