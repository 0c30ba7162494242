// Per-channel receive queues of the FD driver.
//
// The worker appends the records of a parsed chunk under one lock hold
// (Appender) and wakes only the readers whose queue got records and who are
// waiting: a classic record wakes the channel's classic reader, not its FD
// reader. Readers take up to maxCount records and, when none are queued, wait
// on their queue's condition variable instead of polling.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

#include "fd_protocol.h"

namespace dunlinfd {

class FdRxQueues {
  public:
    // Appends under one hold of the queue lock; wakes the readers of the
    // channels it touched when it goes out of scope.
    class Appender final : public RecordSink {
      public:
        explicit Appender(FdRxQueues& queues);
        ~Appender() override;
        Appender(const Appender&) = delete;
        Appender& operator=(const Appender&) = delete;
        void onClassic(uint32_t queue, const _KCAN_CAN_OBJ& frame) override;
        void onFd(uint32_t queue, const _KCAN_CANFD_OBJ& frame) override;

      private:
        FdRxQueues& queues_;
        std::unique_lock<std::mutex> lock_;
        uint32_t touched_[2] = {};  // per kind (classic, FD): bit per queue
    };

    // Moves up to maxCount records of `queue` (0..7) into buffer. With none
    // queued: waitMs 0 (or below -1) returns 0 at once, waitMs > 0 waits up to
    // that long for the first record, -1 waits without limit. Returns early
    // with 0 when abortWaits() runs meanwhile.
    uint32_t popClassic(uint32_t queue, _KCAN_CAN_OBJ* buffer, uint32_t maxCount, int32_t waitMs);
    uint32_t popFd(uint32_t queue, _KCAN_CANFD_OBJ* buffer, uint32_t maxCount, int32_t waitMs);

    // Records waiting: kind 0 classic, 1 FD, 2 both; other kinds 0.
    uint32_t count(uint32_t queue, uint8_t kind);
    // Empties both queues of a channel.
    void clear(uint32_t queue);
    // Wakes every waiting reader; each returns 0.
    void abortWaits();

  private:
    template <typename Obj>
    uint32_t pop(std::deque<Obj> (&queues)[kMaxChannels], unsigned kind, uint32_t queue,
                 Obj* buffer, uint32_t maxCount, int32_t waitMs);

    std::mutex mutex_;
    // Per kind (0 classic, 1 FD) and queue.
    std::condition_variable ready_[2][kMaxChannels];
    uint32_t waiters_[2][kMaxChannels] = {};
    uint64_t abortGeneration_ = 0;
    std::deque<_KCAN_CAN_OBJ> can_[kMaxChannels];
    std::deque<_KCAN_CANFD_OBJ> canfd_[kMaxChannels];
};

}  // namespace dunlinfd
