// The error value of every CAN transport operation.
#pragma once

#include <cstddef>
#include <string>
#include <variant>

#include "common/io_error.hpp"

namespace kestro::can_motor {

class CanError {
public:
    // The operating system refused (interface missing, bus down, buffer full, ...).
    struct Backend {
        IoError error;
        bool operator==(const Backend&) const = default;
    };
    struct Timeout {
        bool operator==(const Timeout&) const = default;
    };
    // A payload longer than the frame kind allows; carries its length in bytes.
    struct FrameTooLarge {
        std::size_t length;
        bool operator==(const FrameTooLarge&) const = default;
    };
    struct InvalidId {
        bool operator==(const InvalidId&) const = default;
    };
    using Detail = std::variant<Backend, Timeout, FrameTooLarge, InvalidId>;

    static CanError backend(IoError error) { return CanError(Backend{std::move(error)}); }
    static CanError timeout() { return CanError(Timeout{}); }
    static CanError frame_too_large(std::size_t length) { return CanError(FrameTooLarge{length}); }
    static CanError invalid_id() { return CanError(InvalidId{}); }

    const Detail& detail() const { return detail_; }
    template <class Variant>
    bool is() const {
        return std::holds_alternative<Variant>(detail_);
    }
    template <class Variant>
    const Variant* get_if() const {
        return std::get_if<Variant>(&detail_);
    }

    // "backend error: ...", "timeout waiting for frame", ...
    std::string to_string() const;

    bool operator==(const CanError&) const = default;

private:
    // From the alternative itself rather than a variant: moving a variant temporary here
    // trips a false maybe-uninitialized warning of GCC 12 under the sanitizers.
    template <class Variant>
    explicit CanError(Variant detail) : detail_(std::move(detail)) {}

    Detail detail_;
};

}  // namespace kestro::can_motor
