// Packet encoding and decoding, and the periodic read of all seven servo positions (one SM40BL
// group read and one STS3025BL group read) over a pseudo-terminal served by simulated servos.
#include <benchmark/benchmark.h>

#include <array>
#include <vector>

#include "servo_bus/feetech_protocol/feetech.hpp"
#include "servo_bus/feetech_protocol/protocol_handler.hpp"
#include "servo_bus/serial_port/serial_port.hpp"
#include "servo_bus/servo/feetech/sm40bl.hpp"
#include "servo_bus/servo/feetech/sts3025bl.hpp"
#include "sim/feetech/pty_bus.hpp"

namespace kestro::servo_bus {
namespace {

constexpr std::array<std::uint8_t, 4> ARM_IDS{1, 2, 3, 4};
constexpr std::array<std::uint8_t, 3> NOSE_IDS{5, 6, 7};

void encode_read(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(PacketFeetech::read_packet(1, 0x38, 2).to_bytes());
    }
}
BENCHMARK(encode_read);

void encode_sync_write(benchmark::State& state) {
    const std::array<std::uint8_t, 8> goals{0x00, 0x08, 0x10, 0x08, 0x20, 0x08, 0x30, 0x08};
    for (auto _ : state) {
        auto packet = PacketFeetech::sync_write_packet(ARM_IDS, 0x2A, 2, goals);
        benchmark::DoNotOptimize(packet->to_bytes());
    }
}
BENCHMARK(encode_sync_write);

void decode_status(benchmark::State& state) {
    const std::array<std::uint8_t, 8> reply{0xFF, 0xFF, 0x02, 0x04, 0x00, 0x00, 0x08, 0xF1};
    for (auto _ : state) {
        benchmark::DoNotOptimize(PacketFeetech::status_packet(reply, 2));
    }
}
BENCHMARK(decode_status);

void read_all_positions(benchmark::State& state) {
    std::array<std::uint8_t, 7> ids{1, 2, 3, 4, 5, 6, 7};
    auto bus = sim::FeetechPtyBus::start(ids);
    if (!bus) {
        state.SkipWithError(bus.error().message().c_str());
        return;
    }
    auto port = SerialPort::open((*bus)->slave_path());
    if (!port) {
        state.SkipWithError(port.error().description().c_str());
        return;
    }
    const FeetechProtocolHandler handler;
    for (auto _ : state) {
        auto arms = sm40bl::sync_read_present_position(handler, *port, ARM_IDS);
        auto nose = sts3025bl::sync_read_present_position(handler, *port, NOSE_IDS);
        if (!arms || !nose) {
            state.SkipWithError("group read failed");
            break;
        }
        benchmark::DoNotOptimize(arms);
        benchmark::DoNotOptimize(nose);
    }
}
BENCHMARK(read_all_positions)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kestro::servo_bus

BENCHMARK_MAIN();
