#include "src/control_loop/motor_error.hpp"

#include "common/text.hpp"

namespace kestro::control_loop {
namespace {

struct Describe {
    std::string operator()(const MissingMotors& e) const {
        return "Missing motors: " + text::bracketed(e.names, text::quoted) + "!";
    }
    std::string operator()(const CommunicationError&) const {
        return "Motor communication error! Check connections and power supply.";
    }
    std::string operator()(const NoMotorsDetected&) const {
        return "No motors detected. Check if the power supply is connected and turned on!";
    }
    std::string operator()(const VoltageRampupTimeout& e) const {
        return "Voltage did not ramp up to 12V (got " + text::fixed(e.voltage / 10.0, 1) +
               "V) within " + text::duration(e.timeout) + "!";
    }
    std::string operator()(const PortNotFound& e) const {
        return "Check if your USB cable is connected. Could not find port: " + e.path + "!";
    }
    std::string operator()(const PortOpenFailed& e) const {
        return "Could not open serial port: " + e.path +
               "! Check permissions and if the port is already in use.";
    }
    std::string operator()(const Interrupted&) const { return "Start-up interrupted"; }
};

}  // namespace

std::string to_string(const MotorError& error) { return std::visit(Describe{}, error); }

}  // namespace kestro::control_loop
