#include "src/control_loop/channel.hpp"

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace kestro::control_loop {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A receive that, in these tests, never has to wait long.
template <class T>
Result<T, RecvError> receive(Receiver<T>& rx) {
    return rx.recv_until(Clock::now() + 10s);
}

TEST(Channel, KeepsOrderAndMakesProducersWaitForRoom) {
    auto [tx, rx] = bounded_channel<int>(2);
    ASSERT_TRUE(tx.send(1));
    ASSERT_TRUE(tx.send(2));

    std::atomic<bool> third_sent{false};
    std::thread producer([&, sender = tx] () mutable {
        ASSERT_TRUE(sender.send(3));
        third_sent = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(third_sent) << "a full channel must hold the producer back";

    EXPECT_EQ(receive(rx), 1);
    producer.join();
    EXPECT_TRUE(third_sent);
    EXPECT_EQ(receive(rx), 2);
    EXPECT_EQ(receive(rx), 3);
}

TEST(Channel, ManyProducersKeepEachOwnOrder) {
    constexpr int PRODUCERS = 4;
    constexpr int PER_PRODUCER = 2000;
    auto [tx, rx] = bounded_channel<std::pair<int, int>>(100);
    std::vector<std::thread> threads;
    for (int p = 0; p < PRODUCERS; ++p) {
        threads.emplace_back([p, sender = tx] () mutable {
            for (int i = 0; i < PER_PRODUCER; ++i) ASSERT_TRUE(sender.send({p, i}));
        });
    }
    { auto last = std::move(tx); }  // only the producers' copies remain

    std::vector<int> next(PRODUCERS, 0);
    int received = 0;
    while (auto item = receive(rx)) {
        auto [p, i] = *item;
        EXPECT_EQ(i, next[p]++);
        ++received;
    }
    EXPECT_EQ(receive(rx).error(), RecvError::Closed);
    EXPECT_EQ(received, PRODUCERS * PER_PRODUCER);
    for (auto& t : threads) t.join();
}

TEST(Channel, ATimedReceiveWaitsItsTimeAndNoLonger) {
    auto [tx, rx] = bounded_channel<int>(1);
    auto start = Clock::now();
    EXPECT_EQ(rx.recv_until(Clock::now() + 30ms).error(), RecvError::Timeout);
    auto waited = Clock::now() - start;
    EXPECT_GE(waited, 30ms);
    EXPECT_LT(waited, 500ms);
    EXPECT_EQ(rx.try_recv().error(), RecvError::Timeout);
}

TEST(Channel, ALostSenderIsSeenAtOnceByAWaitingReceiver) {
    auto [tx, rx] = bounded_channel<int>(1);
    std::thread dropper([sender = std::move(tx)] () mutable {
        std::this_thread::sleep_for(20ms);
        auto gone = std::move(sender);
    });
    auto start = Clock::now();
    EXPECT_EQ(rx.recv_until(Clock::now() + 1s).error(), RecvError::Closed);
    EXPECT_LT(Clock::now() - start, 500ms);
    dropper.join();
}

TEST(Channel, QueuedValuesAreDeliveredBeforeClosedIsReported) {
    auto [tx, rx] = bounded_channel<int>(4);
    ASSERT_TRUE(tx.send(7));
    { auto gone = std::move(tx); }
    EXPECT_EQ(rx.recv_until(Clock::now() + 1s), 7);
    EXPECT_EQ(rx.recv_until(Clock::now() + 1s).error(), RecvError::Closed);
}

TEST(Channel, ALostReceiverReleasesQueuedValuesAndFailsSendsAtOnce) {
    auto payload = std::make_shared<int>(5);
    auto [tx, rx] = bounded_channel<std::shared_ptr<int>>(1);
    ASSERT_TRUE(tx.send(payload));
    EXPECT_EQ(payload.use_count(), 2);

    std::thread blocked([&] {
        // The channel is full: this waits until the receiver goes, then fails with the value.
        auto result = tx.send(std::make_shared<int>(6));
        ASSERT_FALSE(result);
        EXPECT_EQ(*result.error(), 6);
    });
    std::this_thread::sleep_for(20ms);
    { auto gone = std::move(rx); }
    blocked.join();
    EXPECT_EQ(payload.use_count(), 1) << "a queued value must be released with the receiver";
    EXPECT_TRUE(tx.is_closed());
}

// The timed forms behind waits that can be interrupted: a send that finds no room keeps its
// value, and a consumer can wait for a value without taking it (so that it still counts
// against the capacity) or be woken without one.
TEST(Channel, TimedSendsKeepTheirValueAndAWaitTakesNothing) {
    auto [tx, rx] = bounded_channel<std::unique_ptr<int>>(1);
    auto first = std::make_unique<int>(1);
    EXPECT_EQ(tx.send_until(first, Clock::now()), SendStatus::Sent);
    EXPECT_FALSE(first);
    auto second = std::make_unique<int>(2);
    const auto begun = Clock::now();
    EXPECT_EQ(tx.send_until(second, begun + 20ms), SendStatus::Full);
    EXPECT_GE(Clock::now() - begun, 20ms);
    ASSERT_TRUE(second) << "a send that found no room keeps its value";

    EXPECT_EQ(rx.wait_until(Clock::now()), Readiness::Ready);
    EXPECT_EQ(tx.send_until(second, Clock::now()), SendStatus::Full) << "waiting took nothing";
    EXPECT_EQ(**rx.try_recv(), 1);
    EXPECT_EQ(rx.wait_until(Clock::now() + 5ms), Readiness::Timeout);

    std::thread waker([sender = tx]() mutable {
        std::this_thread::sleep_for(20ms);
        sender.wake_receiver();
    });
    EXPECT_EQ(rx.wait_until(Clock::now() + 10s), Readiness::Woken);
    waker.join();
    EXPECT_EQ(rx.wait_until(Clock::now()), Readiness::Timeout) << "a wake-up is reported once";

    { auto gone = std::move(rx); }
    EXPECT_EQ(tx.send_until(second, Clock::now() + 10s), SendStatus::Closed);
    EXPECT_TRUE(second);
}

}  // namespace
}  // namespace kestro::control_loop
