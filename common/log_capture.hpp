// A sink that keeps records in memory, for tests of code that logs. A test binary installs
// one capture for the whole process (only one sink can ever be installed) and each test
// takes the records it produced.
#pragma once

#include <mutex>
#include <vector>

#include "common/log.hpp"

namespace kestro::log {

struct CapturedRecord {
    Level level;
    std::string target;
    std::string file;
    unsigned line;
    std::string message;
};

class Capture final : public Sink {
public:
    // The process-wide capture, installed on first use.
    static Capture& instance();

    void write(const Record& record) override;
    // Removes and gives every record written so far.
    std::vector<CapturedRecord> take();

private:
    std::mutex mutex_;
    std::vector<CapturedRecord> records_;
};

}  // namespace kestro::log
