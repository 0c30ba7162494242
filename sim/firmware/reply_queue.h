// The replies waiting on a firmware's IN endpoint: command answers, and the
// FD adapters' frame-packet acknowledgements. The owner's mutex guards a
// queue; readers wait on its condition variable (see FirmwareDevice).
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

namespace ksim::fwkit {

using Clock = std::chrono::steady_clock;

// Largest command request and reply on the command endpoints.
constexpr size_t kCommandPacket = 64;

// One reply, readable from `ready` on.
struct Message {
    Clock::time_point ready{};
    size_t length = 0;
    std::array<uint8_t, kCommandPacket> bytes{};
};

class ReplyQueue {
  public:
    // limit: unread replies kept, a newer one dropping the oldest; 0 keeps all.
    explicit ReplyQueue(size_t limit) : limit_(limit) {}

    void push(const Message& m);
    // Drops every unread reply (a USB reset, or a request that replaces them).
    void clear();
    bool empty() const { return queue_.empty(); }
    // Replies dropped unread so far, by clear() or by the limit.
    uint64_t discarded() const { return discarded_; }

    // Hands the oldest reply to a read of `length` bytes if it is ready by
    // now: the libusb result (LIBUSB_ERROR_OVERFLOW when the buffer is
    // smaller, as for a device packet larger than the host's buffer), or
    // nothing when no reply is ready.
    std::optional<int> take(Clock::time_point now, uint8_t* data, int length, int* transferred);
    // When the oldest reply becomes ready; Clock::time_point::max() when none waits.
    Clock::time_point nextReady() const;

    std::condition_variable& waiters() { return cv_; }

  private:
    const size_t limit_;
    std::deque<Message> queue_;
    uint64_t discarded_ = 0;
    std::condition_variable cv_;
};

}  // namespace ksim::fwkit
