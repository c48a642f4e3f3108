#include "servo_bus/feetech_protocol/error.hpp"

namespace kestro::servo_bus {

std::string CommunicationErrorKind::to_string() const {
    switch (variant_) {
        case Variant::ChecksumError: return "Checksum error";
        case Variant::ParsingError: return "Parsing error";
        case Variant::TimeoutError: return "Timeout error";
        case Variant::IncorrectId:
            return "Incorrect id (" + std::to_string(second_) + " instead of " +
                   std::to_string(first_) + ")";
        case Variant::Unsupported: return "Operation not supported";
    }
    return "Unknown communication error";
}

std::string CommunicationErrorKind::debug_string() const {
    switch (variant_) {
        case Variant::ChecksumError: return "ChecksumError";
        case Variant::ParsingError: return "ParsingError";
        case Variant::TimeoutError: return "TimeoutError";
        case Variant::IncorrectId:
            return "IncorrectId(" + std::to_string(first_) + ", " + std::to_string(second_) + ")";
        case Variant::Unsupported: return "Unsupported";
    }
    return "Unknown";
}

std::string ServoBusError::to_string() const {
    struct Render {
        std::string operator()(const CommunicationErrorKind& error) const {
            return error.to_string();
        }
        std::string operator()(const SerialError& error) const { return error.description(); }
        std::string operator()(const IoError& error) const { return error.message(); }
    };
    return std::visit(Render{}, error_);
}

}  // namespace kestro::servo_bus
