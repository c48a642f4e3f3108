// The SocketCAN transport's real send/recv/request code, byte for byte, over a packet socket
// pair whose other end plays the kernel.
#include <fcntl.h>
#include <linux/can.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "can_motor/tests/raw_peer.hpp"
#include "can_motor/transport/frame_record.hpp"

namespace kestro::can_motor {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::RawPeer;
using testing::classic_record;
using testing::fd_record;
using Clock = std::chrono::steady_clock;

CanFrame classic(CanId id, Bytes data) { return CanFrame{id, std::move(data), false, false}; }

TEST(CanErrorTest, DisplayTexts) {
    EXPECT_EQ(CanError::backend(IoError::from_errno(ENODEV)).to_string(),
              "backend error: No such device (os error 19)");
    EXPECT_EQ(CanError::timeout().to_string(), "timeout waiting for frame");
    EXPECT_EQ(CanError::frame_too_large(9).to_string(),
              "frame too large for selected mode: 9 bytes");
    EXPECT_EQ(CanError::invalid_id().to_string(), "invalid CAN id");
}

TEST(SendTest, WritesClassicRecordsByteForByte) {
    RawPeer bus;
    ASSERT_TRUE(bus.transport().send(classic(CanId::standard(0x7FF), {1, 2, 3})));
    EXPECT_EQ(bus.next_written(),
              (Bytes{0xFF, 0x07, 0, 0, 3, 0, 0, 0, 1, 2, 3, 0, 0, 0, 0, 0}));

    ASSERT_TRUE(bus.transport().send(classic(CanId::extended(0x1FFFFFFF), {0xAA})));
    EXPECT_EQ(bus.next_written(),
              (Bytes{0xFF, 0xFF, 0xFF, 0x9F, 1, 0, 0, 0, 0xAA, 0, 0, 0, 0, 0, 0, 0}));

    ASSERT_TRUE(bus.transport().send(classic(CanId::standard(0x123), {})));
    EXPECT_EQ(bus.next_written(), classic_record(0x123, {}));
}

TEST(SendTest, RejectsBadFramesBeforeWritingAnything) {
    RawPeer bus;
    EXPECT_EQ(bus.transport().send(classic(CanId::standard(0x800), {1})).error(),
              CanError::invalid_id());
    EXPECT_EQ(bus.transport().send(classic(CanId::extended(0x20000000), {1})).error(),
              CanError::invalid_id());

    auto too_long = bus.transport().send(classic(CanId::standard(1), Bytes(9, 0)));
    EXPECT_EQ(too_long.error(), CanError::frame_too_large(9));
    EXPECT_EQ(too_long.error().to_string(), "frame too large for selected mode: 9 bytes");

    EXPECT_FALSE(bus.next_written());
}

TEST(SendTest, FdRecordRoundsLengthUpAndZeroFills) {
    RawPeer bus;
    const Bytes payload{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_TRUE(bus.transport().send(CanFrame{CanId::standard(0x42), payload, true, true}));
    const Bytes expected = fd_record(0x42, payload, 12, 0x05);
    EXPECT_EQ(bus.next_written(), expected);

    ASSERT_TRUE(bus.transport().send(CanFrame{CanId::standard(0x42), Bytes(64, 7), true, false}));
    EXPECT_EQ(bus.next_written(), fd_record(0x42, Bytes(64, 7), 64, 0x04));
}

TEST(SendTest, FdLengthTable) {
    const std::pair<std::size_t, std::size_t> steps[] = {
        {0, 0},   {8, 8},   {9, 12},  {12, 12}, {13, 16}, {16, 16}, {17, 20}, {20, 20},
        {21, 24}, {24, 24}, {25, 32}, {32, 32}, {33, 48}, {48, 48}, {49, 64}, {64, 64}};
    for (auto [length, rounded] : steps) {
        EXPECT_EQ(frame_record::fd_length(length), rounded) << length;
    }
}

TEST(SendTest, VanishedPeerIsABackendErrorNotASignal) {
    RawPeer bus;
    bus.close_peer();
    auto sent = bus.transport().send(classic(CanId::standard(1), {1}));
    ASSERT_FALSE(sent);
    EXPECT_EQ(sent.error().to_string(), "backend error: Broken pipe (os error 32)");
}

TEST(RecvTest, DecodesEveryKindOfRecord) {
    RawPeer bus;
    const Bytes eight{1, 2, 3, 4, 5, 6, 7, 8};
    bus.inject(classic_record(0x123, {9, 8, 7}));
    bus.inject(classic_record(0x80000000 | 0x1ABCDEF, {1}));
    bus.inject(classic_record(0x40000000 | 0x10, eight, 2));  // remote: first length bytes
    bus.inject(classic_record(0x20000000 | 0x04, eight, 2));  // error: all 8 bytes
    bus.inject(classic_record(0x55, eight, 15));              // length beyond 8 is cut
    bus.inject(fd_record(0x66, Bytes(64, 3), 12, 0x05));
    bus.inject(fd_record(0x80000000 | 0x77, Bytes(64, 4), 200, 0x04));

    const CanFrame expected[] = {
        {CanId::standard(0x123), {9, 8, 7}, false, false},
        {CanId::extended(0x1ABCDEF), {1}, false, false},
        {CanId::standard(0x10), {1, 2}, false, false},
        {CanId::standard(0x04), eight, false, false},
        {CanId::standard(0x55), eight, false, false},
        {CanId::standard(0x66), Bytes(12, 3), true, true},
        {CanId::extended(0x77), Bytes(64, 4), true, false},
    };
    for (const CanFrame& frame : expected) {
        auto got = bus.transport().recv(100ms);
        ASSERT_TRUE(got) << got.error().to_string();
        EXPECT_EQ(*got, frame);
    }
}

TEST(RecvTest, RecordOfAnotherSizeIsABackendError) {
    RawPeer bus;
    bus.inject(Bytes(5, 0));
    auto got = bus.transport().recv(100ms);
    ASSERT_FALSE(got);
    ASSERT_TRUE(got.error().is<CanError::Backend>());
    EXPECT_EQ(got.error().to_string(),
              "backend error: received a CAN frame record of 5 bytes, expected 16 or 72");

    bus.close_peer();  // end of stream reads as an empty record
    EXPECT_TRUE(bus.transport().recv(100ms).error().is<CanError::Backend>());
}

TEST(RecvTest, TimeOutsAreBoundedAndNoTimeOutWaits) {
    RawPeer bus;
    auto start = Clock::now();
    EXPECT_EQ(bus.transport().recv(30ms).error(), CanError::timeout());
    EXPECT_LT(Clock::now() - start, 500ms);

    // Zero must not become the socket's "no limit".
    start = Clock::now();
    EXPECT_EQ(bus.transport().recv(0ns).error(), CanError::timeout());
    EXPECT_LT(Clock::now() - start, 200ms);

    std::thread late([&bus] {
        std::this_thread::sleep_for(50ms);
        bus.inject(classic_record(0x1, {1}));
    });
    start = Clock::now();
    auto got = bus.transport().recv(std::nullopt);
    late.join();
    ASSERT_TRUE(got);
    EXPECT_GE(Clock::now() - start, 40ms);
}

TEST(RequestTest, SkipsAndConsumesForeignFrames) {
    RawPeer bus;
    bus.inject(classic_record(0x002, {0xEE}));                 // another motor
    bus.inject(classic_record(0x80000000 | 0x001, {0xEE}));    // same value, extended
    bus.inject(classic_record(0x001, {0x11}));                 // the reply
    bus.inject(classic_record(0x003, {0x33}));                 // after the reply

    auto reply = bus.transport().request(classic(CanId::standard(0x101), {5}),
                                         CanId::standard(0x001), 100ms);
    ASSERT_TRUE(reply) << reply.error().to_string();
    EXPECT_EQ(reply->data, Bytes{0x11});
    EXPECT_EQ(bus.next_written(), classic_record(0x101, {5}));
    // Frames before the reply are gone; the one after it is still waiting.
    EXPECT_EQ(bus.transport().recv(100ms)->id, CanId::standard(0x003));
}

TEST(RequestTest, SilentBusTimesOutNotBeforeTheTimeOut) {
    RawPeer bus;
    bus.inject(classic_record(0x002, {}));  // a foreign frame does not end the wait
    const auto start = Clock::now();
    auto reply = bus.transport().request(classic(CanId::standard(1), {}), CanId::standard(1), 20ms);
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(reply.error(), CanError::timeout());
    EXPECT_GE(elapsed, 20ms);
    EXPECT_LT(elapsed, 200ms);
}

TEST(RequestTest, TimeLeftBelowAMicrosecondIsExpiredNotUnbounded) {
    RawPeer bus;
    for (std::chrono::nanoseconds timeout : {0ns, 999ns, -5000000ns}) {
        const auto start = Clock::now();
        auto reply =
            bus.transport().request(classic(CanId::standard(1), {}), CanId::standard(1), timeout);
        EXPECT_EQ(reply.error(), CanError::timeout());
        EXPECT_LT(Clock::now() - start, 100ms);
    }
}

TEST(RequestTest, SendFailureEndsTheRequest) {
    RawPeer bus;
    auto reply = bus.transport().request(classic(CanId::standard(0x800), {}),
                                         CanId::standard(1), 20ms);
    EXPECT_EQ(reply.error(), CanError::invalid_id());
}

TEST(RequestTest, ALateAnswerToATimedOutRequestIsNeverTakenForTheNextOne) {
    RawPeer bus;
    CanTransport& can = bus.transport();
    const CanFrame ask = classic(CanId::standard(0x7FF), {1, 0, 0xCC});
    const CanId answer = CanId::standard(1);
    ASSERT_EQ(can.request(ask, answer, 50ms).error(), CanError::timeout());
    ASSERT_TRUE(bus.next_written());
    // One late answer queued before the next request, another arriving while it drains.
    bus.inject(classic_record(0x001, {0xAA}));
    std::thread late([&] {
        std::this_thread::sleep_for(5ms);
        bus.inject(classic_record(0x001, {0xBB}));
    });
    std::thread fresh([&] {
        // The fresh answer only once the request has gone out, as a motor would answer it.
        while (!bus.next_written()) std::this_thread::sleep_for(1ms);
        bus.inject(classic_record(0x001, {0xCC}));
    });
    auto reply = can.request(ask, answer, 1s);
    late.join();
    fresh.join();
    ASSERT_TRUE(reply) << reply.error().to_string();
    EXPECT_EQ(reply->data, Bytes{0xCC});

    // Without a time-out before it, a request drains nothing: an answer queued early is taken.
    bus.inject(classic_record(0x001, {0xDD}));
    EXPECT_EQ(can.request(ask, answer, 50ms)->data, Bytes{0xDD});
}

// This machine's kernel has no SocketCAN, so `open` is tested for how it fails.
class OpenTest : public ::testing::Test {
protected:
    void SetUp() override { descriptors_before_ = testing::open_descriptor_count(); }
    void TearDown() override {
        EXPECT_EQ(testing::open_descriptor_count(), descriptors_before_) << "descriptor leak";
    }

    static std::string backend_text(int error_number) {
        return CanError::backend(IoError::from_errno(error_number)).to_string();
    }

private:
    int descriptors_before_ = 0;
};

TEST_F(OpenTest, MissingInterfaceIsNoSuchDevice) {
    auto opened = SocketCanTransport::open("can0_missing");
    ASSERT_FALSE(opened);
    const auto* backend = opened.error().get_if<CanError::Backend>();
    ASSERT_NE(backend, nullptr);
    EXPECT_EQ(backend->error.os_error(), ENODEV);
    EXPECT_EQ(opened.error().to_string(), "backend error: No such device (os error 19)");
}

TEST_F(OpenTest, NameWithZeroByteIsInvalidArgument) {
    auto opened = SocketCanTransport::open(std::string_view("lo\0x", 4));
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().to_string(), backend_text(EINVAL));
}

TEST_F(OpenTest, VeryLongNamesFailCleanly) {
    for (std::size_t length : {1023, 1024, 5000}) {
        auto opened = SocketCanTransport::open(std::string(length, 'c'));
        ASSERT_FALSE(opened);
        EXPECT_TRUE(opened.error().is<CanError::Backend>()) << length;
    }
}

TEST_F(OpenTest, ExistingNonCanInterfaceGivesTheKernelsOwnError) {
    // Without CAN support the socket cannot be created; with it, "lo" cannot be bound.
    const int probe = ::socket(AF_CAN, SOCK_RAW, CAN_RAW);
    const int expected = probe < 0 ? errno : ENODEV;
    if (probe >= 0) ::close(probe);

    auto opened = SocketCanTransport::open("lo");
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().to_string(), backend_text(expected));
}

TEST_F(OpenTest, AdoptedDescriptorIsClosedExactlyOnce) {
    const int before = testing::open_descriptor_count();
    int sentinel = -1;
    {
        testing::RawPeer bus;
        SocketCanTransport moved = std::move(bus.transport());
        const int duplicate = ::dup(0);
        SocketCanTransport assigned = SocketCanTransport::adopt(duplicate);
        assigned = std::move(moved);  // closes `duplicate`
        EXPECT_EQ(::fcntl(duplicate, F_GETFD), -1);
        // The lowest free number, `duplicate`'s again: a second close of it would close this.
        sentinel = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(sentinel, duplicate);
    }
    EXPECT_NE(::fcntl(sentinel, F_GETFD), -1) << "a descriptor was closed twice";
    EXPECT_EQ(testing::open_descriptor_count(), before + 1) << "a descriptor was left open";
    ::close(sentinel);
}

}  // namespace
}  // namespace kestro::can_motor
