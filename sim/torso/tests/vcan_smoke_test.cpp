// The controller against kestro-torso-sim serving the neck on a real kernel CAN stack (vcan0),
// without a serial port. Skipped where there is no vcan0 (vcan_main.cpp); scripts/test-vmcan.sh
// runs it inside a guest that has one.

#include <gtest/gtest.h>

#include "sim/torso/tests/sim_process.hpp"
#include "src/controller/controller.hpp"

namespace kestro::sim::torso {
namespace {

TEST(VcanSmoke, ControllerFindsReadsAndEnablesTheSimulatedNeck) {
    testing::SimProcess sim({"--vcan", "vcan0", "--neck-turns", "1,0,0"});
    ASSERT_TRUE(sim.ready()) << "kestro-torso-sim (KESTRO_TORSO_SIM) did not get ready";

    auto controller = controller::KestroMotorController::create(std::nullopt, "vcan0");
    ASSERT_TRUE(controller) << controller.error().message();
    EXPECT_TRUE(controller->check_missing_neck_motors().empty());
    auto positions = controller->read_neck_positions();
    ASSERT_TRUE(positions) << positions.error().message();
    EXPECT_NEAR((*positions)[0], 6.283185307179586, 0.01);
    EXPECT_NEAR((*positions)[1], 0.0, 0.01);

    ASSERT_TRUE(controller->enable_neck(true));
    for (int id = 1; id <= 3; ++id) {
        EXPECT_NE(sim.command("motor " + std::to_string(id) + " state").find("enabled=1 mode=1"),
                  std::string::npos)
            << id;
    }
    EXPECT_EQ(sim.stop(), 0);
}

}  // namespace
}  // namespace kestro::sim::torso
