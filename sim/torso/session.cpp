#include "sim/torso/session.hpp"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "sim/torso/command_runner.hpp"

namespace kestro::sim::torso {
namespace {

// The answer to one line, or nothing for a blank line or a # comment (so that a script of
// commands can be annotated).
std::optional<std::string> answer(std::string_view line, SimulatedTorso& torso, bool& quit) {
    const std::size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string_view::npos || line[start] == '#') return std::nullopt;
    const auto command = command::parse(line);
    if (!command) return "error: " + command.error();
    quit = std::holds_alternative<command::Quit>(*command);
    return run(*command, torso);
}

}  // namespace

sigset_t block_stop_signals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) {
        throw std::runtime_error("cannot block SIGINT and SIGTERM");
    }
    return signals;
}

void run_session(SimulatedTorso& torso, const sigset_t& stop_signals) {
    UniqueFd signals(::signalfd(-1, &stop_signals, SFD_CLOEXEC));
    if (!signals) throw std::runtime_error("signalfd failed");
    std::array<pollfd, 2> watched{pollfd{signals.get(), POLLIN, 0},
                                  pollfd{STDIN_FILENO, POLLIN, 0}};
    std::string pending;
    std::array<char, 4096> buffer;
    bool quit = false;
    while (!quit) {
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("poll failed");
        }
        if (watched[0].revents != 0) return;
        if (watched[1].revents == 0) continue;
        const ssize_t got = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (got <= 0) {
            if (got < 0 && errno == EINTR) continue;
            watched[1].fd = -1;  // no more commands; serve until a signal comes
            continue;
        }
        pending.append(buffer.data(), static_cast<std::size_t>(got));
        for (std::size_t end; !quit && (end = pending.find('\n')) != std::string::npos;) {
            if (const auto reply = answer(std::string_view(pending).substr(0, end), torso, quit)) {
                std::printf("%s\n", reply->c_str());
                std::fflush(stdout);
            }
            pending.erase(0, end + 1);
        }
    }
}

}  // namespace kestro::sim::torso
