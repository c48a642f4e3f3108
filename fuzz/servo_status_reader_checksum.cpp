// The servo status reader as in servo_status_reader.cpp, with the checksum of every reply the
// reader will frame put right before the bytes go on the line. Random bytes almost never carry
// a valid checksum; this way the inputs reach the id and length checks and the parameter
// extraction behind it.
//
// Input: the servo id the reader waits for, then the bytes on the line (checksums repaired).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/feetech_line.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kestro::fuzz::silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > kestro::fuzz::MAX_LINE_INPUT) return -1;
    std::vector<std::uint8_t> stream(data + 1, data + size);
    kestro::fuzz::repair_checksums(stream);
    kestro::fuzz::read_all_replies(data[0], stream);
    return 0;
}
