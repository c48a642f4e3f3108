// Fallible operations return their value or an error value; nothing unwinds across layers.
#pragma once

#include <expected>
#include <utility>

namespace kestro {

template <class T, class E>
using Result = std::expected<T, E>;

// Builds the error side of a Result: `return fail(CanError::timeout());`
template <class E>
constexpr std::unexpected<std::decay_t<E>> fail(E&& error) {
    return std::unexpected<std::decay_t<E>>(std::forward<E>(error));
}

}  // namespace kestro

// The one way an error is passed on to the caller. Both evaluate the expression once; on a
// failure they return its error from the enclosing function, converted to that function's
// error type by one of the type's implicit constructors (a ControllerError from a
// ServoBusError, say). An error that gains context on the way is mapped by hand instead, so
// that the mapping stays in sight.
//
//   KESTRO_TRY(port.drain());                      // any Result; a value is dropped
//   KESTRO_TRY_ASSIGN(auto bytes, read(port, id));  // declares, or assigns to, the value
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
