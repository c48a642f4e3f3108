#include "can_motor/transport/can_error.hpp"

namespace kestro::can_motor {
namespace {

struct Render {
    std::string operator()(const CanError::Backend& e) const {
        return "backend error: " + e.error.message();
    }
    std::string operator()(const CanError::Timeout&) const { return "timeout waiting for frame"; }
    std::string operator()(const CanError::FrameTooLarge& e) const {
        return "frame too large for selected mode: " + std::to_string(e.length) + " bytes";
    }
    std::string operator()(const CanError::InvalidId&) const { return "invalid CAN id"; }
};

}  // namespace

std::string CanError::to_string() const { return std::visit(Render{}, detail_); }

}  // namespace kestro::can_motor
