// The operating-system objects the simulator creates for its clients: the neck's listening
// socket and CAN socket, and the serial link, each removed again when the simulator stops.
// Set-up failures throw std::runtime_error with a text for the user.
#pragma once

#include <sys/stat.h>

#include <string>

#include "common/unique_fd.hpp"

namespace kestro::sim::torso {

// A unix packet socket listening at `path`. A socket file left behind by a simulator that did
// not stop cleanly is replaced; a live one, or any other file, is an error.
UniqueFd listen_unix(const std::string& path);

// A raw CAN socket bound to interface `name`, taking CAN FD frames too.
UniqueFd open_can(const std::string& name);

// Makes `path` a symbolic link to `target`, replacing an older symbolic link there.
void link_path(const std::string& target, const std::string& path);

// Removes the symbolic link at `path`; a file of another type there is someone else's.
void remove_link(const std::string& path);

// How the preload library learns, at each of its calls, that the simulated interface is down
// or unplugged: a symbolic link beside the socket, at <socket path>CAN_STATE_SUFFIX, pointing
// at one of the words below; no link while the interface is up. (The library keeps its own
// copy of these three texts.)
inline constexpr const char* CAN_STATE_SUFFIX = ".state";
inline constexpr const char* CAN_STATE_DOWN = "down";
inline constexpr const char* CAN_STATE_UNPLUGGED = "unplugged";

// Points the link `path` at `word`, replacing it in one step so that a reader never finds it
// missing half-way; an empty `word` removes a link there (and nothing else).
void publish_can_state(const std::string& path, const std::string& word);

// Removes `path` at destruction, if it is still a file of type `type` (S_IFSOCK, S_IFLNK):
// whatever someone else has put there since is left alone.
class RemoveAtExit {
public:
    RemoveAtExit(std::string path, mode_t type) : path_(std::move(path)), type_(type) {}
    RemoveAtExit(const RemoveAtExit&) = delete;
    RemoveAtExit& operator=(const RemoveAtExit&) = delete;
    ~RemoveAtExit();

private:
    std::string path_;
    mode_t type_;
};

}  // namespace kestro::sim::torso
