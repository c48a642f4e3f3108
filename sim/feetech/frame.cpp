#include "sim/feetech/frame.hpp"

#include <numeric>

namespace kestro::sim::feetech_frame {

std::uint8_t checksum(std::span<const std::uint8_t> covered) {
    const unsigned sum = std::accumulate(covered.begin(), covered.end(), 0U);
    return static_cast<std::uint8_t>(~sum & 0xFFU);
}

std::vector<std::uint8_t> status_frame(std::uint8_t id, std::uint8_t error,
                                       std::span<const std::uint8_t> params) {
    std::vector<std::uint8_t> frame{0xFF, 0xFF, id, static_cast<std::uint8_t>(params.size() + 2),
                                    error};
    frame.insert(frame.end(), params.begin(), params.end());
    frame.push_back(checksum(std::span(frame).subspan(2)));
    return frame;
}

void RequestReader::feed(std::span<const std::uint8_t> bytes) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
}

void RequestReader::clear() {
    pending_.clear();
}

std::optional<Request> RequestReader::next() {
    for (;;) {
        std::size_t start = 0;
        while (start + 1 < pending_.size() &&
               !(pending_[start] == 0xFF && pending_[start + 1] == 0xFF)) {
            ++start;
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(start));
        // Header, id and length byte first.
        if (pending_.size() < 4) return std::nullopt;

        // FF FF FF id ...: a servo treats the extra 0xFF as noise before the header.
        if (pending_[2] == 0xFF) {
            pending_.erase(pending_.begin());
            continue;
        }
        const std::size_t length = pending_[3];
        const std::size_t total = 4 + length;
        if (pending_.size() < total) return std::nullopt;

        const bool intact = length >= 2 && checksum(std::span(pending_).subspan(2, total - 3)) ==
                                               pending_[total - 1];
        if (!intact) {
            // Skip this header only; a real frame may start inside the damaged one.
            pending_.erase(pending_.begin());
            continue;
        }
        Request request{
            pending_[2], pending_[4],
            std::vector<std::uint8_t>(pending_.begin() + 5,
                                      pending_.begin() + static_cast<std::ptrdiff_t>(total - 1))};
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(total));
        return request;
    }
}

}  // namespace kestro::sim::feetech_frame
