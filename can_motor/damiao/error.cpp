#include "can_motor/damiao/error.hpp"

#include "common/text.hpp"

namespace kestro::can_motor::damiao {
namespace {

std::string reg_text(std::uint8_t reg) { return "register " + std::to_string(reg); }

struct Render {
    std::string operator()(const Error::Transport& e) const {
        return "transport error: " + e.error.to_string();
    }
    std::string operator()(const Error::UnknownRegister& e) const {
        return reg_text(e.reg) + " is not in the Damiao register table";
    }
    std::string operator()(const Error::ReadOnly& e) const {
        return reg_text(e.reg) + " is read-only";
    }
    std::string operator()(const Error::TypeMismatch& e) const {
        return reg_text(e.reg) + ": expected " + std::string(type_name(e.expected)) + ", got " +
               std::string(type_name(e.received));
    }
    std::string operator()(const Error::UnexpectedReply& e) const {
        return "unexpected reply (data did not match register-reply pattern): " +
               text::bracketed(e.data);
    }
    std::string operator()(const Error::ModeVerification& e) const {
        return "control mode verification failed: wrote " + std::to_string(e.written) +
               ", motor reports " + std::to_string(e.reported);
    }
};

}  // namespace

std::string Error::to_string() const { return std::visit(Render{}, detail_); }

}  // namespace kestro::can_motor::damiao
