// Fallible operations return their value or an error value; nothing unwinds across layers.
//
// Result<T, E> holds a T (nothing, for void) or an E, as C++23's std::expected does, with the
// part of its interface this project uses. It is our own so that the project needs C++20 only,
// which every compiler it is built with (g++ 12 native and armhf cross, clang 16 for the fuzz
// targets) supports as it stands.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <type_traits>
#include <utility>
#include <variant>

namespace kestro {

// The error side of a Result on its way into one; made by fail().
template <class E>
class Failure {
public:
    // Forwarded, not taken by value: one move of the error fewer on every failure.
    template <class G>
        requires std::is_constructible_v<E, G&&>
    constexpr explicit Failure(G&& error) : error_(std::forward<G>(error)) {}

    constexpr const E& error() const& { return error_; }
    constexpr E&& error() && { return std::move(error_); }

private:
    E error_;
};

// Builds the error side of a Result: `return fail(CanError::timeout());`
template <class E>
constexpr Failure<std::decay_t<E>> fail(E&& error) {
    return Failure<std::decay_t<E>>(std::forward<E>(error));
}

namespace result_detail {

template <class T>
inline constexpr bool is_failure = false;
template <class E>
inline constexpr bool is_failure<Failure<E>> = true;

// Reading the side a Result does not hold is a programming error: it stops the program with a
// line on stderr rather than reading whatever the storage holds.
[[noreturn]] inline void wrong_side(const char* wanted) {
    std::fprintf(stderr, "kestro::Result: %s read from a result that does not hold one\n", wanted);
    std::abort();
}

}  // namespace result_detail

template <class T, class E>
class [[nodiscard]] Result {
    using Value = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

public:
    using value_type = T;
    using error_type = E;

    // A success: no value for void, else a default value.
    constexpr Result()
        requires std::is_default_constructible_v<Value>
        : has_value_(true), value_() {}

    // A success holding `value`; implicit where U converts to T implicitly.
    template <class U = Value>
        requires(!std::is_same_v<std::remove_cvref_t<U>, Result> &&
                 !result_detail::is_failure<std::remove_cvref_t<U>> && !std::is_void_v<T> &&
                 std::is_constructible_v<Value, U &&>)
    constexpr explicit(!std::is_convertible_v<U&&, Value>) Result(U&& value)
        : has_value_(true), value_(std::forward<U>(value)) {}

    // A failure; implicit where G converts to E implicitly, so that KESTRO_TRY passes a lower
    // layer's error up through the wider error type's constructor.
    template <class G>
        requires std::is_constructible_v<E, const G&>
    constexpr explicit(!std::is_convertible_v<const G&, E>) Result(const Failure<G>& failure)
        : has_value_(false), error_(failure.error()) {}
    template <class G>
        requires std::is_constructible_v<E, G&&>
    constexpr explicit(!std::is_convertible_v<G&&, E>) Result(Failure<G>&& failure)
        : has_value_(false), error_(std::move(failure).error()) {}

    constexpr Result(const Result& other) : has_value_(other.has_value_) {
        if (has_value_) {
            std::construct_at(&value_, other.value_);
        } else {
            std::construct_at(&error_, other.error_);
        }
    }
    constexpr Result(Result&& other) noexcept(std::is_nothrow_move_constructible_v<Value> &&
                                              std::is_nothrow_move_constructible_v<E>)
        : has_value_(other.has_value_) {
        if (has_value_) {
            std::construct_at(&value_, std::move(other.value_));
        } else {
            std::construct_at(&error_, std::move(other.error_));
        }
    }
    // By value: a copy or a move is made first, so the old contents go only once the new ones
    // exist.
    constexpr Result& operator=(Result other) noexcept(
        std::is_nothrow_move_constructible_v<Value> && std::is_nothrow_move_constructible_v<E>) {
        destroy();
        std::construct_at(this, std::move(other));
        return *this;
    }
    constexpr ~Result() { destroy(); }

    constexpr bool has_value() const { return has_value_; }
    constexpr explicit operator bool() const { return has_value_; }

    template <class V = Value>
        requires(!std::is_void_v<T>)
    constexpr V& operator*() & {
        check(true);
        return value_;
    }
    template <class V = Value>
        requires(!std::is_void_v<T>)
    constexpr const V& operator*() const& {
        check(true);
        return value_;
    }
    template <class V = Value>
        requires(!std::is_void_v<T>)
    constexpr V&& operator*() && {
        check(true);
        return std::move(value_);
    }
    template <class V = Value>
        requires(!std::is_void_v<T>)
    constexpr V* operator->() {
        return &**this;
    }
    template <class V = Value>
        requires(!std::is_void_v<T>)
    constexpr const V* operator->() const {
        return &**this;
    }

    constexpr E& error() & {
        check(false);
        return error_;
    }
    constexpr const E& error() const& {
        check(false);
        return error_;
    }
    constexpr E&& error() && {
        check(false);
        return std::move(error_);
    }

    // The value, or `otherwise` converted to T for a failure.
    template <class U, class V = Value>
        requires(!std::is_void_v<T>)
    constexpr V value_or(U&& otherwise) const& {
        return has_value_ ? value_ : static_cast<V>(std::forward<U>(otherwise));
    }
    template <class U, class V = Value>
        requires(!std::is_void_v<T>)
    constexpr V value_or(U&& otherwise) && {
        return has_value_ ? std::move(value_) : static_cast<V>(std::forward<U>(otherwise));
    }

    // Equal to a value when it holds an equal one, to a failure when it holds an equal error.
    template <class U>
        requires(!result_detail::is_failure<U> && !std::is_void_v<T>)
    friend constexpr bool operator==(const Result& result, const U& value) {
        return result.has_value_ && result.value_ == value;
    }
    template <class G>
    friend constexpr bool operator==(const Result& result, const Failure<G>& failure) {
        return !result.has_value_ && result.error_ == failure.error();
    }

private:
    constexpr void check(bool value) const {
        if (has_value_ != value) result_detail::wrong_side(value ? "value" : "error");
    }
    constexpr void destroy() {
        if (has_value_) {
            std::destroy_at(&value_);
        } else {
            std::destroy_at(&error_);
        }
    }

    bool has_value_;
    // A union with one flag rather than a std::variant: no second dispatch on every access.
    union {
        Value value_;
        E error_;
    };
};

}  // namespace kestro

// The one way an error is passed on to the caller. Both evaluate the expression once; on a
// failure they return its error from the enclosing function, converted to that function's
// error type by one of the type's implicit constructors (a ControllerError from a
// ServoBusError, say). An error that gains context on the way is mapped by hand instead, so
// that the mapping stays in sight.
//
//   KESTRO_TRY(port.drain());                      // any Result; a value is dropped
//   KESTRO_TRY_ASSIGN(auto bytes, read(port, id));  // declares, or assigns to, the value
//   KESTRO_TRY_ASSIGN(const auto& values, ...);     // refers to it where it is, uncopied
//
// Plain statements rather than GCC's statement expressions, so that they stay standard C++.
// KESTRO_TRY_ASSIGN's temporary lives on in the caller's scope and is named after its line:
// one per line.
#define KESTRO_TRY(...)                                                      \
    do {                                                                     \
        if (auto kestro_try_result_ = (__VA_ARGS__); !kestro_try_result_) { \
            return ::kestro::fail(::std::move(kestro_try_result_).error());  \
        }                                                                    \
    } while (false)
#define KESTRO_TRY_ASSIGN(target, ...) \
    KESTRO_TRY_ASSIGN_IMPL_(KESTRO_TRY_CONCAT_(kestro_try_result_, __LINE__), target, __VA_ARGS__)

#define KESTRO_TRY_CONCAT_INNER_(a, b) a##b
#define KESTRO_TRY_CONCAT_(a, b) KESTRO_TRY_CONCAT_INNER_(a, b)
#define KESTRO_TRY_ASSIGN_IMPL_(result, target, ...)                 \
    auto result = (__VA_ARGS__);                                     \
    if (!result) return ::kestro::fail(::std::move(result).error()); \
    target = ::std::move(*result)
