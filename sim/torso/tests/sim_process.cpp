#include "sim/torso/tests/sim_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace kestro::sim::torso::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Sanitizer builds start slowly.
constexpr auto READY_WAIT = 10s;
constexpr auto ANSWER_WAIT = 3s;
constexpr auto EXIT_WAIT = 5s;

std::vector<std::string> child_environment() {
    std::vector<std::string> kept;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        if (!text.starts_with("LD_PRELOAD=") && !text.starts_with("KESTRO_CAN_PRELOAD=")) {
            kept.emplace_back(text);
        }
    }
    return kept;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (std::string& text : texts) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

}  // namespace

PreloadSetting preload_setting() {
    const char* value = std::getenv("KESTRO_CAN_PRELOAD");
    const std::string_view text = value == nullptr ? "" : value;
    const std::size_t separator = text.find('=');
    if (separator == std::string_view::npos) return {};
    return {std::string(text.substr(0, separator)), std::string(text.substr(separator + 1))};
}

SimProcess::SimProcess(const std::vector<std::string>& args) {
    const char* program = std::getenv("KESTRO_TORSO_SIM");
    if (program == nullptr) return;
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = child_environment();
    std::vector<char*> argv_pointers = pointers(argv);
    std::vector<char*> env_pointers = pointers(env);

    int to_child[2];
    int from_child[2];
    if (::pipe2(to_child, O_CLOEXEC) != 0) return;
    if (::pipe2(from_child, O_CLOEXEC) != 0) {
        ::close(to_child[0]);
        ::close(to_child[1]);
        return;
    }
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(to_child[0], STDIN_FILENO);
        ::dup2(from_child[1], STDOUT_FILENO);
        ::execve(argv_pointers[0], argv_pointers.data(), env_pointers.data());
        ::_exit(127);
    }
    ::close(to_child[0]);
    ::close(from_child[1]);
    to_child_ = to_child[1];
    from_child_ = from_child[0];
    if (pid_ < 0) return;

    const auto line = read_line(std::chrono::duration_cast<std::chrono::milliseconds>(READY_WAIT));
    const std::string_view prefix = "ready serial=";
    if (line && line->starts_with(prefix)) serial_device_ = line->substr(prefix.size());
}

SimProcess::~SimProcess() {
    stop();
    if (to_child_ >= 0) ::close(to_child_);
    if (from_child_ >= 0) ::close(from_child_);
}

std::string SimProcess::command(std::string_view line) {
    const std::string text = std::string(line) + "\n";
    if (to_child_ < 0 || ::write(to_child_, text.data(), text.size()) !=
                             static_cast<ssize_t>(text.size())) {
        return "no answer";
    }
    return read_line(std::chrono::duration_cast<std::chrono::milliseconds>(ANSWER_WAIT))
        .value_or("no answer");
}

int SimProcess::stop() {
    if (pid_ <= 0) return exit_status_;
    ::kill(pid_, SIGTERM);
    int status = 0;
    const auto deadline = Clock::now() + EXIT_WAIT;
    pid_t done = 0;
    while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    if (done == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    exit_status_ = done == 0 || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
    return exit_status_;
}

std::optional<std::string> SimProcess::read_line(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (const std::size_t end = received_.find('\n'); end != std::string::npos) {
            std::string line = received_.substr(0, end);
            received_.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd readable{from_child_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) <= 0) {
            return std::nullopt;
        }
        char buffer[512];
        const ssize_t got = ::read(from_child_, buffer, sizeof buffer);
        if (got <= 0) return std::nullopt;
        received_.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace kestro::sim::torso::testing
