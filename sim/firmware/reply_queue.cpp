#include "firmware/reply_queue.h"

#include <libusb.h>

#include <algorithm>
#include <cstring>

namespace ksim::fwkit {

void ReplyQueue::push(const Message& m) {
    if (limit_ > 0 && queue_.size() >= limit_) {
        queue_.pop_front();
        ++discarded_;
    }
    queue_.push_back(m);
    cv_.notify_all();
}

void ReplyQueue::clear() {
    discarded_ += queue_.size();
    queue_.clear();
}

std::optional<int> ReplyQueue::take(Clock::time_point now, uint8_t* data, int length,
                                    int* transferred) {
    if (queue_.empty() || queue_.front().ready > now) {
        return std::nullopt;
    }
    const Message m = queue_.front();
    queue_.pop_front();
    const size_t n = std::min(m.length, static_cast<size_t>(length));
    if (n > 0) {
        std::memcpy(data, m.bytes.data(), n);
    }
    *transferred = static_cast<int>(n);
    return n < m.length ? LIBUSB_ERROR_OVERFLOW : LIBUSB_SUCCESS;
}

Clock::time_point ReplyQueue::nextReady() const {
    return queue_.empty() ? Clock::time_point::max() : queue_.front().ready;
}

}  // namespace ksim::fwkit
