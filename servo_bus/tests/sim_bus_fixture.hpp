// A port opened on a pseudo-terminal served by simulated servos 1 to 7.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "servo_bus/feetech_protocol/protocol_handler.hpp"
#include "servo_bus/serial_port/serial_port.hpp"
#include "servo_bus/tests/printers.hpp"
#include "sim/feetech/pty_bus.hpp"

namespace kestro::servo_bus {

class SimBusTest : public testing::Test {
protected:
    void SetUp() override {
        const std::uint8_t ids[] = {1, 2, 3, 4, 5, 6, 7};
        auto started = sim::FeetechPtyBus::start(ids);
        ASSERT_TRUE(started) << started.error().message();
        bus_ = std::move(*started);
        auto opened = SerialPort::open(bus_->slave_path());
        ASSERT_TRUE(opened) << opened.error().description();
        port_.emplace(std::move(*opened));
    }

    sim::FeetechBusModel& model() { return bus_->model(); }
    SerialPort& port() { return *port_; }

    // The terminal layer hands bytes over asynchronously: wait until `count` have landed.
    void wait_for_input(std::uint32_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (port_->bytes_to_read().value_or(0) < count &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        ASSERT_GE(port_->bytes_to_read().value_or(0), count);
    }

    std::unique_ptr<sim::FeetechPtyBus> bus_;
    std::optional<SerialPort> port_;  // closed before the bus goes away
    FeetechProtocolHandler handler_;
};

}  // namespace kestro::servo_bus
