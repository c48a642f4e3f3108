// The servo status reader (FeetechProtocolHandler::read_status_packet, and the packet decoder
// behind it) fed an arbitrary byte stream from the serial line.
//
// Input: the servo id the reader waits for, then the bytes on the line. Replies are read until
// the line runs dry; every result must match an independent model of the reply format.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz/feetech_line.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kestro::fuzz::silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > kestro::fuzz::MAX_LINE_INPUT) return -1;
    kestro::fuzz::read_all_replies(data[0], std::span(data + 1, size - 1));
    return 0;
}
