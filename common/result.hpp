// Fallible operations return their value or an error value; nothing unwinds across layers.
#pragma once

#include <expected>

namespace kestro {

template <class T, class E>
using Result = std::expected<T, E>;

// Builds the error side of a Result: `return fail(CanError::timeout());`
template <class E>
constexpr std::unexpected<std::decay_t<E>> fail(E&& error) {
    return std::unexpected<std::decay_t<E>>(std::forward<E>(error));
}

}  // namespace kestro
