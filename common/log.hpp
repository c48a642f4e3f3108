// The system's logging facade. Code emits records with a level and a target (the emitting
// layer's path, e.g. "kestro_motor_controller::controller", named by that layer); one
// process-wide sink receives them (the Python module connects it to Python's `logging`). A
// message is built only when its level passes the maximum level, so a discarded record costs
// one atomic load.
#pragma once

#include <source_location>
#include <string>
#include <string_view>
#include <utility>

namespace kestro::log {

// Ordered from most to least severe; a record passes when its level <= the maximum level.
enum class Level { Off = 0, Error, Warn, Info, Debug, Trace };

struct Record {
    Level level;
    std::string_view target;
    std::string_view file;
    unsigned line;
    std::string message;
};

class Sink {
public:
    virtual ~Sink() = default;
    // Called from whichever thread emits the record.
    virtual void write(const Record& record) = 0;
};

// Makes `sink` the process's only sink and admits records up to Debug (Trace never passes).
// Gives false, changing nothing, when a sink is already installed. The sink must outlive
// every later record.
bool install(Sink& sink);

// True when a record of `level` would be delivered.
bool enabled(Level level);

void deliver(Level level, std::string_view target, const std::source_location& where,
             std::string message);

// Emits a record whose message `make_message()` builds only when the level is enabled:
//   log::emit(Level::Warn, LOG_TARGET, [&] { return "Rebooting motor " + name; });
template <class MakeMessage>
void emit(Level level, std::string_view target, MakeMessage&& make_message,
          const std::source_location& where = std::source_location::current()) {
    if (enabled(level)) deliver(level, target, where, std::forward<MakeMessage>(make_message)());
}

}  // namespace kestro::log
