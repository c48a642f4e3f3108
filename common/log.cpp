#include "common/log.hpp"

#include <atomic>

namespace kestro::log {
namespace {

// Records more detailed than Debug are never wanted downstream, so they are cut at the source.
constexpr Level INSTALLED_MAX_LEVEL = Level::Debug;

std::atomic<Sink*> installed_sink{nullptr};
std::atomic<Level> max_level{Level::Off};

}  // namespace

bool install(Sink& sink) {
    Sink* expected = nullptr;
    if (!installed_sink.compare_exchange_strong(expected, &sink, std::memory_order_acq_rel)) {
        return false;
    }
    max_level.store(INSTALLED_MAX_LEVEL, std::memory_order_release);
    return true;
}

bool enabled(Level level) {
    return level != Level::Off && level <= max_level.load(std::memory_order_acquire);
}

void deliver(Level level, std::string_view target, const std::source_location& where,
             std::string message) {
    Sink* sink = installed_sink.load(std::memory_order_acquire);
    if (sink == nullptr) return;
    sink->write(Record{level, target, where.file_name(), where.line(), std::move(message)});
}

}  // namespace kestro::log
