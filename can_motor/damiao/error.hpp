// The Damiao driver's error value.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "can_motor/damiao/registers.hpp"
#include "can_motor/transport/can_error.hpp"

namespace kestro::can_motor::damiao {

class Error {
public:
    struct Transport {
        CanError error;
        bool operator==(const Transport&) const = default;
    };
    struct UnknownRegister {
        std::uint8_t reg;
        bool operator==(const UnknownRegister&) const = default;
    };
    struct ReadOnly {
        std::uint8_t reg;
        bool operator==(const ReadOnly&) const = default;
    };
    struct TypeMismatch {
        std::uint8_t reg;
        RegisterType expected;
        RegisterType received;
        bool operator==(const TypeMismatch&) const = default;
    };
    // A reply whose payload cannot be what was asked for: a register reply of the wrong shape,
    // or a feedback frame shorter than the 8 bytes of a motor state.
    struct UnexpectedReply {
        std::vector<std::uint8_t> data;
        bool operator==(const UnexpectedReply&) const = default;
    };
    struct ModeVerification {
        std::uint8_t written;
        std::uint8_t reported;
        bool operator==(const ModeVerification&) const = default;
    };
    using Detail =
        std::variant<Transport, UnknownRegister, ReadOnly, TypeMismatch, UnexpectedReply,
                     ModeVerification>;

    // Implicit, so that `fail(Error::ReadOnly{reg})` reads as what it is.
    template <class Variant>
        requires std::is_constructible_v<Detail, Variant>
    Error(Variant detail) : detail_(std::move(detail)) {}
    // Implicit too, so that a transport failure passes on through KESTRO_TRY.
    Error(CanError error) : detail_(Transport{std::move(error)}) {}

    const Detail& detail() const { return detail_; }
    template <class Variant>
    bool is() const {
        return std::holds_alternative<Variant>(detail_);
    }
    template <class Variant>
    const Variant* get_if() const {
        return std::get_if<Variant>(&detail_);
    }

    // "transport error: timeout waiting for frame", "register 80 is read-only", ...
    std::string to_string() const;

    bool operator==(const Error&) const = default;

private:
    Detail detail_;
};

}  // namespace kestro::can_motor::damiao
