// The hot path allocates nothing once warm: a full read, the goal setters, a control-loop tick
// and the loop's handling of goal and neck commands. A heap allocation in a real-time loop is a
// source of jitter (the allocator takes locks and faults pages in), so this counts them rather
// than timing anything.
//
// This program replaces operator new. It counts the allocations made on this test's thread
// while counting is switched on, and those on the one thread it watches (the loop's); the
// simulated devices' own threads are never counted.
#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

#include <gtest/gtest.h>

#include "servo_bus/servo/feetech/registers.hpp"
#include "src/control_loop/tests/loop_fixture.hpp"
#include "src/controller/motor_layout.hpp"

namespace {

std::atomic<std::size_t> g_allocations{0};
std::atomic<std::thread::id> g_watched{};
thread_local bool t_counting = false;

void note_allocation() {
    if (t_counting || std::this_thread::get_id() == g_watched.load(std::memory_order_relaxed)) {
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    }
}

void* allocate(std::size_t size) {
    note_allocation();
    return std::malloc(size == 0 ? 1 : size);
}

void* allocate_aligned(std::size_t size, std::align_val_t alignment) {
    note_allocation();
    const auto align = static_cast<std::size_t>(alignment);
    return std::aligned_alloc(align, (size + align - 1) / align * align);
}

}  // namespace

void* operator new(std::size_t size) {
    if (void* p = allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment) {
    if (void* p = allocate_aligned(size, alignment)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return operator new(size, alignment);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace kestro::control_loop {
namespace {

constexpr int WARM_UP = 3;
constexpr int MEASURED = 20;

// Allocations on this thread while `call` runs MEASURED times, after WARM_UP uncounted runs
// (a first call may size buffers that are then reused).
template <class Call>
std::size_t allocations_per_run(Call call) {
    for (int i = 0; i < WARM_UP; ++i) call();
    const std::size_t before = g_allocations.load();
    t_counting = true;
    for (int i = 0; i < MEASURED; ++i) call();
    t_counting = false;
    return g_allocations.load() - before;
}

TEST(HotPathAllocations, NoneForAFullReadOrTheGoalSetters) {
    auto torso = controller::SimTorso::start();
    controller::KestroMotorController c = torso.controller();
    bool all_succeeded = true;
    const auto check = [&](bool ok) { all_succeeded = all_succeeded && ok; };
    const std::array<double, 7> servo_goals{0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7};
    const controller::NeckPositions neck_goals{0.1, 0.2, 0.1};

    EXPECT_EQ(allocations_per_run([&] { check(c.read_all_positions().has_value()); }), 0U);
    EXPECT_EQ(allocations_per_run([&] { check(c.read_neck_positions().has_value()); }), 0U);
    EXPECT_EQ(allocations_per_run([&] { check(c.set_all_goal_positions(servo_goals).has_value()); }),
              0U);
    EXPECT_EQ(allocations_per_run([&] {
                  check(c.set_arm_goal_positions(controller::ARM_IDS,
                                                 std::span(servo_goals).first<4>())
                            .has_value());
              }),
              0U);
    EXPECT_EQ(allocations_per_run([&] {
                  check(c.set_nose_goal_positions(std::span(servo_goals).last<3>()).has_value());
              }),
              0U);
    EXPECT_EQ(allocations_per_run([&] { check(c.set_neck_position(neck_goals).has_value()); }), 0U);
    EXPECT_EQ(allocations_per_run([&] { check(c.set_single_neck_joint(2, 0.1).has_value()); }), 0U);
    EXPECT_TRUE(all_succeeded) << "a failure may allocate its text, so the counts need successes";
}

// The loop's own thread: its ticks (read, publication, statistics) and the commands it
// handles, with the sends on this thread counted as well.
class LoopAllocations : public LoopFixture {
protected:
    void watch(KestroControlLoop& loop) {
        g_watched.store(ControlLoopTestAccess::cells(loop).loop_thread_id.load());
    }
    void unwatch() { g_watched.store(std::thread::id{}); }

    std::size_t group_reads() {
        std::size_t n = 0;
        for (const auto& request : servos().requests()) {
            n += request.instruction == sim::feetech_frame::instruction::SYNC_READ;
        }
        return n;
    }
};

TEST_F(LoopAllocations, NonePerTickOnceWarm) {
    auto loop = start_ok(config(serial_path(), 20ms, 5, 30s, 2ms));
    ASSERT_TRUE(loop);
    // Long enough for the statistics to be published a few times, which sizes their buffers.
    std::this_thread::sleep_for(300ms);
    const std::size_t reads_before = group_reads();
    const std::size_t before = g_allocations.load();
    watch(*loop);
    std::this_thread::sleep_for(300ms);
    unwatch();
    const std::size_t during = g_allocations.load() - before;
    EXPECT_GT(group_reads(), reads_before + 20) << "the loop must have ticked meanwhile";
    EXPECT_EQ(during, 0U);
}

TEST_F(LoopAllocations, NoneToSendOrHandleGoalAndNeckCommands) {
    auto loop = start_ok(config(serial_path(), std::nullopt, 5, 30s, 1h));
    ASSERT_TRUE(loop);
    KestroTorsoPosition goals{{0.1, 0.2}, {0.3, 0.4}, {0.5, 0.6, 0.7}, {0.1, 0.2, 0.1}, 0.0};
    const auto send_all = [&] {
        EXPECT_TRUE(loop->send(command::SetAllGoalPositions{goals}));
        EXPECT_TRUE(loop->send(command::SetArmsPosition{{0.1, 0.2, 0.3, 0.4}}));
        EXPECT_TRUE(loop->send(command::SetLeftArmPosition{{0.1, 0.2}}));
        EXPECT_TRUE(loop->send(command::SetNosePosition{{0.5, 0.6, 0.7}}));
        EXPECT_TRUE(loop->send(command::SetNeckPosition{{0.1, 0.2, 0.1}}));
        EXPECT_TRUE(loop->send(command::SetNeckYawPosition{0.2}));
    };
    // The last goal of a round, once the servos have it, shows the round has been handled.
    const auto handled = [&](double nose_goal) {
        EXPECT_TRUE(loop->send(command::SetNosePosition{{0.5, 0.6, nose_goal}}));
        const auto counts = servo_bus::feetech_registers::radians_to_position(nose_goal);
        return eventually([&] { return servos().goal_position(7) == counts; });
    };
    send_all();
    ASSERT_TRUE(handled(0.8));

    const std::size_t before = g_allocations.load();
    watch(*loop);
    t_counting = true;
    for (int i = 0; i < 5; ++i) send_all();
    t_counting = false;
    const bool done = handled(0.9);
    unwatch();
    ASSERT_TRUE(done);
    EXPECT_EQ(g_allocations.load() - before, 0U);
}

}  // namespace
}  // namespace kestro::control_loop
