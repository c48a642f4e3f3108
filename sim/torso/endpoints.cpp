#include "sim/torso/endpoints.hpp"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace kestro::sim::torso {
namespace {

// Up to as many waiting connections as the module and its control loops open at once.
constexpr int LISTEN_BACKLOG = 8;

[[noreturn]] void refuse(const std::string& what, int error = errno) {
    throw std::runtime_error(what + ": " + std::strerror(error));
}

sockaddr_un unix_address(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        throw std::runtime_error("socket path must have 1 to " +
                                 std::to_string(sizeof address.sun_path - 1) + " bytes: " + path);
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

void remove_stale_socket(const std::string& path, const sockaddr_un& address) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return;
    if (!S_ISSOCK(status.st_mode)) throw std::runtime_error("not a socket, left alone: " + path);
    UniqueFd probe(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        throw std::runtime_error("another simulator serves " + path);
    }
    if (errno != ECONNREFUSED) refuse(path);
    ::unlink(path.c_str());
}

}  // namespace

UniqueFd listen_unix(const std::string& path) {
    const sockaddr_un address = unix_address(path);
    remove_stale_socket(path, address);
    UniqueFd listener(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (listener.get() < 0) refuse("socket");
    if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        refuse(path);
    }
    if (::listen(listener.get(), LISTEN_BACKLOG) != 0) refuse(path);
    return listener;
}

UniqueFd open_can(const std::string& name) {
    const unsigned index = ::if_nametoindex(name.c_str());
    if (index == 0) refuse("CAN interface " + name);
    UniqueFd can(::socket(AF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW));
    if (can.get() < 0) refuse("CAN socket");
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = static_cast<int>(index);
    if (::bind(can.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        refuse("CAN interface " + name);
    }
    // The motors answer classic frames only, but FD frames on the bus should reach the trace.
    const int enable = 1;
    if (::setsockopt(can.get(), SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &enable, sizeof enable) != 0) {
        refuse("CAN FD frames on " + name);
    }
    return can;
}

void link_path(const std::string& target, const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0) {
        if (!S_ISLNK(status.st_mode)) {
            throw std::runtime_error("not a symbolic link, left alone: " + path);
        }
        ::unlink(path.c_str());
    }
    if (::symlink(target.c_str(), path.c_str()) != 0) refuse(path);
}

void remove_link(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) ::unlink(path.c_str());
}

void publish_can_state(const std::string& path, const std::string& word) {
    if (word.empty()) {
        remove_link(path);
        return;
    }
    const std::string fresh = path + ".new";
    ::unlink(fresh.c_str());
    if (::symlink(word.c_str(), fresh.c_str()) != 0) refuse(fresh);
    if (::rename(fresh.c_str(), path.c_str()) != 0) refuse(path);
}

RemoveAtExit::~RemoveAtExit() {
    struct stat status {};
    if (::lstat(path_.c_str(), &status) == 0 && (status.st_mode & S_IFMT) == type_) {
        ::unlink(path_.c_str());
    }
}

}  // namespace kestro::sim::torso
