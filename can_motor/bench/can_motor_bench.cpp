// Costs of the neck's hot path: packing an MIT command, unpacking feedback, and one
// request/reply exchange through the real transport code against a simulated motor.
#include <benchmark/benchmark.h>

#include "can_motor/damiao/driver.hpp"
#include "can_motor/transport/socketcan_backend.hpp"
#include "sim/damiao/socketpair_endpoint.hpp"

namespace {

using namespace kestro::can_motor;
using namespace kestro::can_motor::damiao;

constexpr MitLimits YAW_LIMITS{12.5f, 30.0f, 500.0f, 5.0f, 10.0f};

void mit_encode(benchmark::State& state) {
    MitCommand command{0.1f, 0.0f, 30.0f, 1.0f, 0.0f};
    for (auto _ : state) {
        benchmark::DoNotOptimize(command);
        benchmark::DoNotOptimize(encode(YAW_LIMITS, command));
    }
}
BENCHMARK(mit_encode);

void mit_decode(benchmark::State& state) {
    std::array<std::uint8_t, 8> payload{0x11, 0x80, 0x10, 0x7F, 0xF7, 0xFF, 30, 32};
    for (auto _ : state) {
        benchmark::DoNotOptimize(payload);
        benchmark::DoNotOptimize(decode_state(YAW_LIMITS, payload));
    }
}
BENCHMARK(mit_decode);

void mit_round_trip_over_socketpair(benchmark::State& state) {
    kestro::sim::DamiaoBusModel model(kestro::sim::neck_motor_configs());
    kestro::sim::DamiaoSocketpairEndpoint endpoint(model);
    SocketCanTransport can = SocketCanTransport::adopt(endpoint.take_peer());
    const Damiao yaw = *Damiao::create(std::chrono::milliseconds(20), YAW_LIMITS, 1, 1);
    const ControlCommand command = MitCommand{0.1f, 0.0f, 30.0f, 1.0f, 0.0f};
    for (auto _ : state) {
        auto reply = yaw.control(can, command);
        if (!reply) {
            state.SkipWithError(reply.error().to_string().c_str());
            break;
        }
        benchmark::DoNotOptimize(reply->position);
    }
}
BENCHMARK(mit_round_trip_over_socketpair)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
