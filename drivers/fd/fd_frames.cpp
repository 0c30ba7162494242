// Frame transmit (packets of up to 10 frames, one acknowledgement each) and
// receive (from the per-channel queues the worker fills).
#include <algorithm>

#include "QDeviceDunlinFd2.h"
#include "QErrMgr.h"

using namespace dunlinfd;

namespace {

void setError(int code) {
    QErrInfoMgr::getinstance()->setLastError(code);
}

// Sends `frames` in packets of up to 10 and stops at the first packet that is
// not acknowledged. Returns the frames acknowledged.
template <typename Obj, typename SendOne>
int32_t sendInPackets(Obj* frames, uint32_t count, SendOne sendOne) {
    uint32_t total = 0;
    while (total < count) {
        uint32_t chunk = std::min<uint32_t>(count - total, kMaxFramesPerPacket);
        int32_t sent = sendOne(frames + total, chunk);
        if (sent > 0)
            total += static_cast<uint32_t>(sent);
        if (sent != static_cast<int32_t>(chunk))
            break;
    }
    return static_cast<int32_t>(total);
}

// A remote frame carries no data: its length goes out as 0 and the caller's
// record says so afterwards.
template <typename Obj>
void zeroRemoteLengths(Obj* frames, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        if (frames[i].rtr)
            frames[i].len = 0;
    }
}

}  // namespace

int32_t QDeviceDunlinFd2::transmit(uint32_t channel, _KCAN_CAN_OBJ* frames, uint32_t count) {
    if (isDeviceReady() < 0 || count == 0)
        return 0;
    if (frames == nullptr) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    return sendInPackets(frames, count, [this, channel](_KCAN_CAN_OBJ* chunk, uint32_t n) {
        return transmitSingle(channel, chunk, n);
    });
}

int32_t QDeviceDunlinFd2::transmitFD(uint32_t channel, _KCAN_CANFD_OBJ* frames, uint32_t count) {
    if (isDeviceReady() < 0 || count == 0)
        return 0;
    if (frames == nullptr) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    return sendInPackets(frames, count, [this, channel](_KCAN_CANFD_OBJ* chunk, uint32_t n) {
        return transmitSingleFD(channel, chunk, n);
    });
}

int32_t QDeviceDunlinFd2::transmitSingle(uint32_t channel, _KCAN_CAN_OBJ* frames, uint32_t count) {
    count = std::min<uint32_t>(count, kMaxFramesPerPacket);
    zeroRemoteLengths(frames, count);
    uint8_t packet[kMaxClassicPacket];
    size_t n = encodeClassicPacket(channel, frames, count, packet);
    uint8_t ack[kReplyCapacity];
    uint32_t ackLength = kReplyCapacity;
    if (n == 0 || usbCmdExtSendByBulk(packet, static_cast<uint32_t>(n), ack, &ackLength,
                                      kEpFrameOut, kEpAckIn, kPacketTimeoutMs) != 0) {
        return 0;
    }
    return static_cast<int32_t>(count);
}

int32_t QDeviceDunlinFd2::transmitSingleFD(uint32_t channel, _KCAN_CANFD_OBJ* frames,
                                           uint32_t count) {
    count = std::min<uint32_t>(count, kMaxFramesPerPacket);
    zeroRemoteLengths(frames, count);
    uint8_t packet[kMaxFdPacket];
    size_t n = encodeFdPacket(channel, frames, count, packet);
    uint8_t ack[kReplyCapacity];
    uint32_t ackLength = kReplyCapacity;
    if (n == 0 || usbCmdExtSendByBulk(packet, static_cast<uint32_t>(n), ack, &ackLength,
                                      kEpFrameOut, kEpAckIn, kPacketTimeoutMs) != 0) {
        return 0;
    }
    return static_cast<int32_t>(count);
}

int32_t QDeviceDunlinFd2::receive(uint32_t channel, _KCAN_CAN_OBJ* buffer, uint32_t maxCount,
                                  int32_t waitMs) {
    if (buffer == nullptr || maxCount == 0) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    return static_cast<int32_t>(
        queues_.popClassic(queueForChannel(channel), buffer, maxCount, waitMs));
}

int32_t QDeviceDunlinFd2::receiveFD(uint32_t channel, _KCAN_CANFD_OBJ* buffer, uint32_t maxCount,
                                    int32_t waitMs) {
    if (buffer == nullptr || maxCount == 0) {
        setError(KCAN_ERR_PARAMETER);
        return 0;
    }
    return static_cast<int32_t>(queues_.popFd(queueForChannel(channel), buffer, maxCount, waitMs));
}
