// The register maps' reply handling: every group read of the SM40BL and STS3025BL maps, run as
// a whole transaction (sync read request out, one reply per servo back, register values
// decoded and converted) against servos that answer with the fuzz input.
//
// Input: an operation selector, a servo count (0 to 7) and that many ids, then the bytes the
// servos send back once the request is on the line. The line then goes quiet for good.
//
// The far end of the line is a socket pair served by a helper thread: it waits for the whole
// request, so that the replies cannot be mistaken for stale input and drained, then sends them
// and hangs up, so that running out of input is an end of file rather than a 10 ms time-out.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <semaphore>
#include <span>
#include <thread>
#include <type_traits>
#include <vector>

#include "fuzz/feetech_line.hpp"
#include "servo_bus/servo/feetech/registers.hpp"
#include "servo_bus/servo/feetech/sm40bl.hpp"
#include "servo_bus/servo/feetech/sts3025bl.hpp"

namespace {

using kestro::Result;
using kestro::fuzz::ExpectedReply;
using kestro::fuzz::fail;
using kestro::servo_bus::CommunicationErrorKind;
using kestro::servo_bus::FeetechProtocolHandler;
using kestro::servo_bus::SerialPort;
using kestro::servo_bus::ServoBusError;
namespace registers = kestro::servo_bus::feetech_registers;
namespace sm40bl = kestro::servo_bus::sm40bl;
namespace sts3025bl = kestro::servo_bus::sts3025bl;

using Ids = std::span<const std::uint8_t>;

// The servos' end of the line, one transaction at a time.
class ServoEnd {
public:
    ServoEnd() : thread_([this] { serve(); }) { thread_.detach(); }

    // Starts serving one transaction on `fd` (taken over and closed when done).
    void start(int fd, std::span<const std::uint8_t> replies) {
        fd_ = fd;
        replies_ = replies;
        request_.clear();
        go_.release();
    }
    // Waits until the transaction is over; gives the request as it arrived.
    const std::vector<std::uint8_t>& finish() {
        done_.acquire();
        return request_;
    }

private:
    void serve() {
        for (;;) {
            go_.acquire();
            // The whole instruction packet: FF FF id length, then `length` bytes. An early end
            // of file means the port was closed without sending.
            if (read_into(4) && request_[0] == 0xFF && request_[1] == 0xFF) {
                if (read_into(request_[3])) send_replies();
            }
            ::close(fd_);
            done_.release();
        }
    }

    bool read_into(std::size_t count) {
        const std::size_t at = request_.size();
        request_.resize(at + count);
        std::size_t got = 0;
        while (got < count) {
            const ssize_t n = ::read(fd_, request_.data() + at + got, count - got);
            if (n > 0) {
                got += static_cast<std::size_t>(n);
            } else if (n == 0 || errno != EINTR) {
                request_.resize(at + got);
                return false;
            }
        }
        return true;
    }

    void send_replies() {
        std::span<const std::uint8_t> rest = replies_;
        while (!rest.empty()) {
            // The port may already be closed when the operation failed early.
            const ssize_t n = ::send(fd_, rest.data(), rest.size(), MSG_NOSIGNAL);
            if (n <= 0) {
                if (n < 0 && errno == EINTR) continue;
                return;
            }
            rest = rest.subspan(static_cast<std::size_t>(n));
        }
    }

    int fd_ = -1;
    std::span<const std::uint8_t> replies_;
    std::vector<std::uint8_t> request_;
    std::binary_semaphore go_{0};
    std::binary_semaphore done_{0};
    std::thread thread_;
};

// The sync read request the servos must see, built from the wire format.
std::vector<std::uint8_t> sync_read_request(Ids ids, std::uint8_t address, std::uint8_t width) {
    std::vector<std::uint8_t> packet{0xFF, 0xFF, 0xFE, static_cast<std::uint8_t>(ids.size() + 4),
                                     0x82, address, width};
    packet.insert(packet.end(), ids.begin(), ids.end());
    packet.push_back(kestro::fuzz::feetech_checksum(std::span(packet).subspan(2)));
    return packet;
}

// The register values the transaction must give (one per id, zero-extended little-endian), or
// the reply that must fail it.
struct ExpectedRead {
    std::optional<ExpectedReply> failure;
    std::vector<std::uint16_t> raw;
};

ExpectedRead expected_read(Ids ids, std::uint8_t width, std::span<const std::uint8_t> replies) {
    kestro::fuzz::ReplyStreamModel model(replies);
    std::vector<std::vector<std::uint8_t>> params;
    for (std::uint8_t id : ids) {
        ExpectedReply reply = model.next(id);
        if (reply.outcome != ExpectedReply::Outcome::Packet) return {std::move(reply), {}};
        params.push_back(std::move(reply.params));
    }
    // Only once every servo has answered are the values looked at: a reply of the wrong size
    // would be misread as a value of another register.
    ExpectedRead out;
    for (const auto& bytes : params) {
        if (bytes.size() != width) {
            return {ExpectedReply::failure(ExpectedReply::Outcome::ParsingError), {}};
        }
        out.raw.push_back(width == 1 ? bytes[0]
                                     : static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8)));
    }
    return out;
}

template <class T>
using ReadResult = Result<kestro::servo_bus::GroupValues<T>, ServoBusError>;

// Checks a group read's result: the failure the model expects, or one value per id equal to
// `expected_value(raw)`. A result that timed out says nothing: the helper thread was not
// scheduled within the port's 10 ms (a loaded machine), which no input can cause.
template <class T, class Expect>
void check_read(const ReadResult<T>& got, const ExpectedRead& expected, Expect expected_value) {
    if (!got) {
        const ServoBusError& error = got.error();
        if (error.io_error() != nullptr && error.io_error()->kind() == kestro::IoErrorKind::TimedOut) {
            return;
        }
        if (!expected.failure) fail("a valid group read failed: %s", error.to_string().c_str());
        kestro::fuzz::check_failure(error, *expected.failure);
        return;
    }
    FUZZ_CHECK(!expected.failure, "a group read succeeded though a reply is bad (model outcome %d)",
               static_cast<int>(expected.failure->outcome));
    FUZZ_CHECK(got->size() == expected.raw.size(), "%zu values for %zu servos", got->size(),
               expected.raw.size());
    for (std::size_t i = 0; i < got->size(); ++i) {
        const T want = expected_value(expected.raw[i]);
        bool same;
        if constexpr (std::is_floating_point_v<T>) {
            same = kestro::fuzz::same_bits(static_cast<double>((*got)[i]), static_cast<double>(want));
        } else {
            same = (*got)[i] == want;
        }
        FUZZ_CHECK(same, "value %zu does not match register word 0x%04X", i, expected.raw[i]);
    }
}

struct Operation {
    const char* name;
    std::uint8_t address;
    std::uint8_t width;
    std::function<void(const FeetechProtocolHandler&, SerialPort&, Ids, const ExpectedRead&)> run;
};

// Every group read that the two register maps offer.
const std::vector<Operation>& operations() {
    using H = const FeetechProtocolHandler&;
    using E = const ExpectedRead&;
    static const std::vector<Operation> all{
        {"sync_read_raw_present_position", 0x38, 2,
         [](H h, SerialPort& p, Ids ids, E e) {
             check_read(sts3025bl::sync_read_raw_present_position(h, p, ids), e,
                        [](std::uint16_t w) { return static_cast<std::int16_t>(w); });
         }},
        {"sync_read_present_position", 0x38, 2,
         [](H h, SerialPort& p, Ids ids, E e) {
             check_read(sm40bl::sync_read_present_position(h, p, ids), e, [](std::uint16_t w) {
                 return registers::position_to_radians(static_cast<std::int16_t>(w));
             });
         }},
        {"sync_read_raw_torque_enable", 0x28, 1,
         [](H h, SerialPort& p, Ids ids, E e) {
             check_read(sts3025bl::sync_read_raw_torque_enable(h, p, ids), e,
                        [](std::uint16_t w) { return static_cast<std::uint8_t>(w); });
         }},
        {"sync_read_torque_enable", 0x28, 1,
         [](H h, SerialPort& p, Ids ids, E e) {
             check_read(sm40bl::sync_read_torque_enable(h, p, ids), e,
                        [](std::uint16_t w) { return w != 0; });
         }},
        {"sync_read_present_voltage", 0x3E, 1,
         [](H h, SerialPort& p, Ids ids, E e) {
             check_read(sts3025bl::sync_read_present_voltage(h, p, ids), e,
                        [](std::uint16_t w) { return static_cast<std::uint8_t>(w); });
         }},
        {"sync_read_raw_offset", 0x1F, 2,
         [](H h, SerialPort& p, Ids ids, E e) {
             check_read(sm40bl::sync_read_raw_offset(h, p, ids), e,
                        [](std::uint16_t w) { return w; });
         }},
        {"sync_read_offset", 0x1F, 2,
         [](H h, SerialPort& p, Ids ids, E e) {
             check_read(sm40bl::sync_read_offset(h, p, ids), e, [](std::uint16_t w) {
                 const double radians = registers::offset_to_radians(w);
                 // Eleven bits of magnitude over a half turn.
                 FUZZ_CHECK(radians >= -3.141592653589793 && radians <= 3.141592653589793,
                            "offset word 0x%04X reads as %f rad", w, radians);
                 return radians;
             });
         }},
    };
    return all;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kestro::fuzz::silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kestro::fuzz::MAX_LINE_INPUT) return -1;
    // Never destroyed: its thread lives as long as the process.
    static ServoEnd* const servos = new ServoEnd;

    kestro::fuzz::ByteReader input({data, size});
    const Operation& operation = operations()[input.u8() % operations().size()];
    const auto id_span = input.bytes(input.u8() % 8);
    const std::vector<std::uint8_t> ids(id_span.begin(), id_span.end());
    const auto replies = input.rest();

    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        fail("socketpair: %s", std::strerror(errno));
    }
    if (::fcntl(ends[0], F_SETFL, O_NONBLOCK) != 0) fail("fcntl: %s", std::strerror(errno));
    servos->start(ends[1], replies);
    {
        SerialPort port = SerialPort::from_fd(ends[0]);
        const FeetechProtocolHandler handler;
        operation.run(handler, port, ids, expected_read(ids, operation.width, replies));
    }
    const std::vector<std::uint8_t>& request = servos->finish();
    FUZZ_CHECK(request == sync_read_request(ids, operation.address, operation.width),
               "%s sent a request of %zu bytes that is not the sync read it needs",
               operation.name, request.size());
    return 0;
}
