#include "fd_rx_queues.h"

#include <chrono>

namespace dunlinfd {

FdRxQueues::Appender::Appender(FdRxQueues& queues) : queues_(queues), lock_(queues.mutex_) {}

FdRxQueues::Appender::~Appender() {
    uint32_t wake[2] = {};
    for (unsigned kind = 0; kind < 2; ++kind) {
        for (uint32_t q = 0; q < kMaxChannels; ++q) {
            if ((touched_[kind] & (1u << q)) && queues_.waiters_[kind][q] != 0)
                wake[kind] |= 1u << q;
        }
    }
    lock_.unlock();
    for (unsigned kind = 0; kind < 2; ++kind) {
        for (uint32_t q = 0; q < kMaxChannels; ++q) {
            if (wake[kind] & (1u << q))
                queues_.ready_[kind][q].notify_all();
        }
    }
}

void FdRxQueues::Appender::onClassic(uint32_t queue, const _KCAN_CAN_OBJ& frame) {
    queue = queueForChannel(queue);
    queues_.can_[queue].push_back(frame);
    touched_[0] |= 1u << queue;
}

void FdRxQueues::Appender::onFd(uint32_t queue, const _KCAN_CANFD_OBJ& frame) {
    queue = queueForChannel(queue);
    queues_.canfd_[queue].push_back(frame);
    touched_[1] |= 1u << queue;
}

template <typename Obj>
uint32_t FdRxQueues::pop(std::deque<Obj> (&queues)[kMaxChannels], unsigned kind, uint32_t queue,
                         Obj* buffer, uint32_t maxCount, int32_t waitMs) {
    queue = queueForChannel(queue);
    std::deque<Obj>& q = queues[queue];
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs > 0 ? waitMs : 0);
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t generation = abortGeneration_;
    for (;;) {
        uint32_t moved = 0;
        while (moved < maxCount && !q.empty()) {
            buffer[moved++] = q.front();
            q.pop_front();
        }
        if (moved != 0)
            return moved;
        if (waitMs == 0 || waitMs < -1 || abortGeneration_ != generation)
            return 0;
        ++waiters_[kind][queue];
        bool timedOut = false;
        if (waitMs == -1) {
            ready_[kind][queue].wait(lock);
        } else {
            timedOut = ready_[kind][queue].wait_until(lock, deadline) == std::cv_status::timeout;
        }
        --waiters_[kind][queue];
        if (timedOut) {
            // One last look: a record may have come with the time-out.
            waitMs = 0;
        }
    }
}

uint32_t FdRxQueues::popClassic(uint32_t queue, _KCAN_CAN_OBJ* buffer, uint32_t maxCount,
                                int32_t waitMs) {
    return pop(can_, 0, queue, buffer, maxCount, waitMs);
}

uint32_t FdRxQueues::popFd(uint32_t queue, _KCAN_CANFD_OBJ* buffer, uint32_t maxCount,
                           int32_t waitMs) {
    return pop(canfd_, 1, queue, buffer, maxCount, waitMs);
}

uint32_t FdRxQueues::count(uint32_t queue, uint8_t kind) {
    queue = queueForChannel(queue);
    std::lock_guard<std::mutex> lock(mutex_);
    switch (kind) {
        case 0:
            return static_cast<uint32_t>(can_[queue].size());
        case 1:
            return static_cast<uint32_t>(canfd_[queue].size());
        case 2:
            return static_cast<uint32_t>(can_[queue].size() + canfd_[queue].size());
        default:
            return 0;
    }
}

void FdRxQueues::clear(uint32_t queue) {
    queue = queueForChannel(queue);
    std::lock_guard<std::mutex> lock(mutex_);
    can_[queue].clear();
    canfd_[queue].clear();
}

void FdRxQueues::abortWaits() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++abortGeneration_;
    }
    for (auto& kind : ready_) {
        for (auto& cv : kind)
            cv.notify_all();
    }
}

}  // namespace dunlinfd
