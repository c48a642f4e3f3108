// A stop request that a serving thread polls for along with its own descriptors. Once raised
// it stays raised, so every later poll returns at once.
#pragma once

#include <sys/eventfd.h>

#include <cstdint>
#include <stdexcept>

#include "common/unique_fd.hpp"

namespace kestro::sim::torso {

class StopEvent {
public:
    StopEvent() : fd_(::eventfd(0, EFD_CLOEXEC)) {
        if (!fd_) throw std::runtime_error("eventfd failed");
    }

    int fd() const { return fd_.get(); }
    void raise() {
        const std::uint64_t one = 1;
        (void)::write(fd_.get(), &one, sizeof one);
    }

private:
    UniqueFd fd_;
};

}  // namespace kestro::sim::torso
