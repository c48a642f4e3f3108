// Control loops on a simulated torso, for tests.
#pragma once

#include <pthread.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "common/log_capture.hpp"
#include "src/control_loop/control_loop.hpp"
#include "src/controller/tests/sim_torso.hpp"

namespace kestro::control_loop {

using namespace std::chrono_literals;

// Reaches into a loop: to damage its cells, as a fault on another thread would, or to learn
// which thread is its own.
struct ControlLoopTestAccess {
    template <class T>
    static void poison(SharedCell<T>& cell) {
        try {
            cell.with_lock([](T&) -> void { throw std::runtime_error("fault while holding the lock"); });
        } catch (const std::runtime_error&) {
        }
    }
    static LoopCells& cells(KestroControlLoop& loop) { return *loop.cells_; }
    static void poison_thread_handle(KestroControlLoop& loop) { poison(loop.thread_handle_); }
};

enum class Fault { None, Throw, ExitThread };

// A transport that can be made to fail mid-call: by a fault, as a bug deep in a bus layer
// would, or by ending the calling thread, as a finalising interpreter does to a thread that
// asks for its lock.
class FaultingTransport final : public can_motor::CanTransport {
public:
    FaultingTransport(std::unique_ptr<can_motor::CanTransport> inner, std::atomic<Fault>& fault)
        : inner_(std::move(inner)), fault_(fault) {}

    Result<void, can_motor::CanError> send(const can_motor::CanFrame& frame) override {
        if (fault_ == Fault::Throw) throw std::logic_error("injected fault");
        if (fault_ == Fault::ExitThread) pthread_exit(nullptr);
        return inner_->send(frame);
    }
    Result<can_motor::CanFrame, can_motor::CanError> recv(
        std::optional<std::chrono::nanoseconds> timeout) override {
        return inner_->recv(timeout);
    }

private:
    std::unique_ptr<can_motor::CanTransport> inner_;
    std::atomic<Fault>& fault_;
};

class LoopFixture : public ::testing::Test {
protected:
    void SetUp() override {
        log::Capture::instance().take();
        torso_ = controller::SimTorso::start();
    }

    sim::FeetechBusModel& servos() { return torso_.servos->model(); }
    sim::DamiaoBusModel& neck() { return *torso_.neck; }

    static LoopConfig config(std::optional<std::string> serialport,
                             std::optional<std::chrono::nanoseconds> stats = std::nullopt,
                             std::uint64_t retries = 5,
                             std::chrono::nanoseconds voltage_timeout = 30s,
                             std::chrono::nanoseconds period = 20ms) {
        return *LoopConfig::make(std::move(serialport), period, "can0", retries, stats,
                                 voltage_timeout);
    }

    // Builds the loop's controller on the simulated buses; the CAN interface name is unused.
    ControllerFactory factory() {
        return [this](const std::optional<std::string>& serialport, const std::string&) {
            factory_calls_++;
            std::unique_ptr<can_motor::CanTransport> can = torso_.take_neck_transport();
            can = std::make_unique<FaultingTransport>(std::move(can), fault_);
            return controller::KestroMotorController::create(serialport, std::move(can));
        };
    }

    Result<std::unique_ptr<KestroControlLoop>, MotorError> start(const LoopConfig& config) {
        return KestroControlLoop::start(config, factory());
    }

    std::unique_ptr<KestroControlLoop> start_ok(const LoopConfig& config) {
        auto loop = start(config);
        EXPECT_TRUE(loop) << (loop ? "" : to_string(loop.error()));
        return loop ? std::move(*loop) : nullptr;
    }

    std::string serial_path() { return torso_.servos->slave_path(); }

    controller::SimTorso torso_;
    int factory_calls_ = 0;
    std::atomic<Fault> fault_{Fault::None};
};

// Polls `condition` for up to ten seconds. It returns as soon as the condition holds, so the
// bound only matters on a slow machine: an emulated board under a loaded CI runner needs it.
template <class Condition>
bool eventually(Condition condition) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(2ms);
    }
    return condition();
}

}  // namespace kestro::control_loop
