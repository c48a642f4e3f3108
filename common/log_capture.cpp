#include "common/log_capture.hpp"

namespace kestro::log {

Capture& Capture::instance() {
    static Capture* capture = [] {
        auto* created = new Capture;  // lives for the process, like any installed sink
        install(*created);
        return created;
    }();
    return *capture;
}

void Capture::write(const Record& record) {
    std::lock_guard lock(mutex_);
    records_.push_back({record.level, std::string(record.target), std::string(record.file),
                        record.line, record.message});
}

std::vector<CapturedRecord> Capture::take() {
    std::lock_guard lock(mutex_);
    return std::exchange(records_, {});
}

}  // namespace kestro::log
