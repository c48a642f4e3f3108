// A vector of at most N elements kept inside the object: no heap, so packets, replies and
// group values can be built and returned on every read of the control loop without the
// allocator's locks and page faults. Sizes come from the protocols (a Feetech packet's
// parameters, a CAN FD payload), so a caller never holds more than N; going past N is a
// programming error and stops the program.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <iterator>
#include <ranges>
#include <type_traits>

namespace kestro {

template <class T, std::size_t N>
class InlineVector {
    // Elements are copied bytewise and never destroyed; all the users hold plain values.
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    using value_type = T;
    using iterator = T*;
    using const_iterator = const T*;

    static constexpr std::size_t CAPACITY = N;

    constexpr InlineVector() = default;
    constexpr InlineVector(std::initializer_list<T> values) { assign(values.begin(), values.end()); }
    template <std::input_iterator It>
    constexpr InlineVector(It first, It last) {
        assign(first, last);
    }
    // A copy of any other sequence, such as a std::vector, that fits.
    template <std::ranges::input_range Other>
        requires(!std::same_as<std::remove_cvref_t<Other>, InlineVector>)
    constexpr InlineVector(const Other& values) {
        assign(std::ranges::begin(values), std::ranges::end(values));
    }
    // Value-initialised elements, as std::vector's count constructor gives.
    constexpr explicit InlineVector(std::size_t count) { resize(count); }

    // A small vector (a packet, say) copies whole, as a plain struct does: that is a few
    // register moves and keeps it trivially copyable. A larger one copies only the elements
    // in use, so that a group of four values does not move the room for 251.
    static constexpr bool COPIES_WHOLE = sizeof(T) * N <= 512;
    constexpr InlineVector(const InlineVector&)
        requires COPIES_WHOLE
    = default;
    constexpr InlineVector(const InlineVector& other)
        requires(!COPIES_WHOLE)
    {
        assign(other.begin(), other.end());
    }
    constexpr InlineVector& operator=(const InlineVector&)
        requires COPIES_WHOLE
    = default;
    constexpr InlineVector& operator=(const InlineVector& other)
        requires(!COPIES_WHOLE)
    {
        if (this != &other) assign(other.begin(), other.end());
        return *this;
    }

    template <std::input_iterator It>
    constexpr void assign(It first, It last) {
        size_ = 0;
        append(first, last);
    }

    constexpr void push_back(const T& value) {
        check_room(size_ + 1);
        items_[size_++] = value;
    }
    // Whole runs are checked once and copied in one go: packets are built from such runs.
    template <std::input_iterator It>
    constexpr void append(It first, It last) {
        if constexpr (std::forward_iterator<It>) {
            const auto count = static_cast<std::size_t>(std::distance(first, last));
            check_room(size_ + count);
            std::copy(first, last, items_ + size_);
            size_ += count;
        } else {
            for (; first != last; ++first) push_back(*first);
        }
    }
    // New elements are value-initialised.
    constexpr void resize(std::size_t count) {
        check_room(count);
        std::fill(items_ + std::min(size_, count), items_ + count, T{});
        size_ = count;
    }
    // New elements are left as they are, for a reader to fill (a reply read off the line).
    constexpr void resize_for_overwrite(std::size_t count) {
        check_room(count);
        size_ = count;
    }
    constexpr void clear() { size_ = 0; }

    constexpr std::size_t size() const { return size_; }
    constexpr bool empty() const { return size_ == 0; }

    constexpr T* data() { return items_; }
    constexpr const T* data() const { return items_; }
    constexpr T* begin() { return items_; }
    constexpr T* end() { return items_ + size_; }
    constexpr const T* begin() const { return items_; }
    constexpr const T* end() const { return items_ + size_; }
    constexpr T& operator[](std::size_t i) { return items_[i]; }
    constexpr const T& operator[](std::size_t i) const { return items_[i]; }
    constexpr T& front() { return items_[0]; }
    constexpr const T& front() const { return items_[0]; }

    // Equal when the elements in use are; also against any other sequence, such as a
    // std::vector or an array, so values read into one compare with values from elsewhere.
    friend constexpr bool operator==(const InlineVector& a, const InlineVector& b) {
        return std::ranges::equal(a, b);
    }
    template <std::ranges::input_range Other>
        requires(!std::same_as<Other, InlineVector>)
    friend constexpr bool operator==(const InlineVector& a, const Other& b) {
        return std::ranges::equal(a, b);
    }

private:
    constexpr void check_room(std::size_t count) const {
        if (count > N) {
            std::fputs("kestro::InlineVector: more elements than its fixed capacity\n", stderr);
            std::abort();
        }
    }

    std::size_t size_ = 0;
    // Left uninitialised: only the first size_ elements are ever looked at (a whole copy
    // carries the rest along unread).
    T items_[N];
};

}  // namespace kestro
