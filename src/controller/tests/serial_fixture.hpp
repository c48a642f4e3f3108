// A controller on seven simulated servos behind a pseudo-terminal, for the tests of its
// serial-side operations.
#pragma once

#include <cstdio>
#include <optional>
#include <ostream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/log_capture.hpp"
#include "sim/feetech/frame.hpp"
#include "src/controller/tests/sim_torso.hpp"

namespace kestro::sim::feetech_frame {

// How gtest shows a request: "FE 83 [2A 02 01 00 08]".
inline void PrintTo(const Request& request, std::ostream* out) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02X", request.id);
    *out << byte;
    std::snprintf(byte, sizeof byte, " %02X", request.instruction);
    *out << byte << " [";
    for (std::size_t i = 0; i < request.params.size(); ++i) {
        std::snprintf(byte, sizeof byte, i == 0 ? "%02X" : " %02X", request.params[i]);
        *out << byte;
    }
    *out << "]";
}

}  // namespace kestro::sim::feetech_frame

namespace kestro::controller {

using namespace std::chrono_literals;
using sim::feetech_frame::Request;
namespace instruction = sim::feetech_frame::instruction;
using Clock = std::chrono::steady_clock;

class SerialOperations : public ::testing::Test {
protected:
    void SetUp() override {
        log::Capture::instance().take();
        torso_ = SimTorso::start();
        controller_.emplace(torso_.controller());
        servos().clear_requests();
    }

    sim::FeetechBusModel& servos() { return torso_.servos->model(); }

    // Group writes get no reply, so the servos may still be taking them in when the call
    // returns: wait (boundedly) until `count` requests have arrived.
    std::vector<Request> wait_for_requests(std::size_t count) {
        auto deadline = Clock::now() + 10s;
        auto requests = servos().requests();
        while (requests.size() < count && Clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
            requests = servos().requests();
        }
        return requests;
    }
    KestroMotorController& controller() { return *controller_; }

    SimTorso torso_;
    std::optional<KestroMotorController> controller_;
};

}  // namespace kestro::controller
