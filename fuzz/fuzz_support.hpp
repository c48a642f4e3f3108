// Helpers shared by the fuzz targets: reading structured values off the front of an input, and
// stopping the run with a message when a property of the code under test does not hold.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

namespace kestro::fuzz {

// A broken property: libFuzzer reports the abort as a crash and saves the input.
[[noreturn]] inline void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

inline void fail(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::fputs("fuzz property violated: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}

#define FUZZ_CHECK(condition, ...)                                     \
    do {                                                               \
        if (!(condition)) ::kestro::fuzz::fail(__VA_ARGS__);           \
    } while (false)

// The code under test prints a diagnostic line for every corrupted servo reply; on the
// fuzzer's millions of inputs that would only drown its own report (on standard error).
inline void silence_stdout() {
    std::fflush(stdout);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0 || ::dup2(null, STDOUT_FILENO) < 0) fail("cannot redirect standard output");
    ::close(null);
}

// Takes values off the front of the input; once it runs dry every value reads as zero, so a
// short input is still a complete test case.
class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> data) : data_(data) {}

    bool empty() const { return data_.empty(); }
    std::size_t size() const { return data_.size(); }

    std::uint8_t u8() {
        if (data_.empty()) return 0;
        const std::uint8_t value = data_.front();
        data_ = data_.subspan(1);
        return value;
    }
    std::uint16_t u16() {
        const std::uint16_t low = u8();
        return static_cast<std::uint16_t>(low | (u8() << 8));
    }
    std::uint32_t u32() {
        const std::uint32_t low = u16();
        return low | (std::uint32_t{u16()} << 16);
    }
    float f32() { return std::bit_cast<float>(u32()); }

    // Up to `count` bytes, fewer when the input ends first.
    std::span<const std::uint8_t> bytes(std::size_t count) {
        const std::size_t taken = count < data_.size() ? count : data_.size();
        const auto out = data_.first(taken);
        data_ = data_.subspan(taken);
        return out;
    }
    std::span<const std::uint8_t> rest() { return bytes(data_.size()); }

private:
    std::span<const std::uint8_t> data_;
};

inline bool same_bits(float a, float b) {
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}
inline bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

}  // namespace kestro::fuzz
