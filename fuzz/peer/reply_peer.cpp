#include "fuzz/peer/reply_peer.h"

#include <libusb.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/usertime.h"
#include "virtual_device.h"

namespace fuzzpeer {

namespace {

std::atomic<uint64_t> g_skipped{0};
std::atomic<ReplyPeer*> g_peers[3];

// Nothing here unplugs a peer.
class PeerDevice : public ksim::VirtualDevice, public ReplyPeer {
  public:
    explicit PeerDevice(Family family) : family_(family) { g_peers[family_] = this; }
    ~PeerDevice() override {
        ReplyPeer* self = this;
        g_peers[family_].compare_exchange_strong(self, nullptr);
    }

    uint16_t vendorId() const override { return ksim::emulatedIdentities()[family_].vendorId; }
    uint16_t productId() const override { return ksim::emulatedIdentities()[family_].productId; }
    std::string modelName() const override { return "PEER"; }
    std::string control(const std::vector<std::string>&) override { return "error: no control"; }
    void setAttached(bool) override {}

    int transferOut(uint8_t endpoint, const uint8_t* data, int length, unsigned,
                    int* transferred) override {
        std::lock_guard<std::mutex> lock(mutex_);
        lastWrite_[endpoint].assign(data, data + length);
        log_.push_back({endpoint, true, lastWrite_[endpoint], {}});
        *transferred = length;
        return LIBUSB_SUCCESS;
    }

    int transferIn(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                   int* transferred) override {
        std::unique_lock<std::mutex> lock(mutex_);
        *transferred = 0;
        const unsigned waitMs = timeoutMs == 0 ? 60000 : timeoutMs;  // 0: no limit
        if (endpoint == (family_ == kFd ? 0x83 : family_ == kClassic ? 0x82 : 0)) {
            // After an empty read a worker pauses in a wait that its stop ends.
            streamWake_.wait_for(lock, std::chrono::milliseconds(waitMs),
                                 [this] { return streamReleased_; });
            return streamReleased_ ? LIBUSB_SUCCESS : LIBUSB_ERROR_TIMEOUT;
        }
        fuzz::Bytes& rest = rest_[endpoint];
        fuzz::Bytes reply = rest.empty() ? nextReply(endpoint & 0x7F) : std::exchange(rest, {});
        const bool ok = !reply.empty();
        const size_t n = std::min(static_cast<size_t>(std::max(length, 0)), reply.size());
        rest.assign(reply.begin() + static_cast<std::ptrdiff_t>(n), reply.end());
        reply.resize(n);
        std::copy(reply.begin(), reply.end(), data);
        *transferred = static_cast<int>(n);
        g_skipped += ok ? 0 : waitMs * uint64_t{1000};
        log_.push_back({endpoint, ok, std::move(reply), lastWrite_[endpoint & 0x7F]});
        return ok ? LIBUSB_SUCCESS : LIBUSB_ERROR_TIMEOUT;
    }

    void usbReset() override {
        std::lock_guard<std::mutex> lock(mutex_);
        rest_.clear();
        lastWrite_.clear();
    }

    void beginInput(fuzz::InputReader* input) override {
        usbReset();
        std::lock_guard<std::mutex> lock(mutex_);
        input_ = input;
        log_.clear();
    }

    std::vector<Transfer> takeTransfers() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(log_, {});
    }

    void releaseStreamReads(bool released) override {
        std::lock_guard<std::mutex> lock(mutex_);
        streamReleased_ = released;
        streamWake_.notify_all();
    }

  private:
    fuzz::Bytes nextReply(uint8_t requestEndpoint) {
        if (input_ == nullptr || input_->remaining() == 0)
            return {};
        const uint8_t key = input_->u8();
        const size_t length = (key & 0x3F) == 0x3F ? 0x3F + input_->u8() : key & 0x3F;
        if (key >> 6 == 0)
            return {};
        const fuzz::Bytes& request = lastWrite_[requestEndpoint];
        fuzz::Bytes r(
            request.begin(),
            request.begin() + (key >> 6 >= 2 ? std::min({length, request.size(), size_t{2}}) : 0));
        const size_t echoed = r.size();
        r.resize(echoed + std::min(length - echoed, input_->remaining()));
        input_->take(r.data() + echoed, r.size() - echoed);
        return r;
    }

    const Family family_;
    std::mutex mutex_;
    std::condition_variable streamWake_;
    bool streamReleased_ = false;
    fuzz::InputReader* input_ = nullptr;
    std::map<uint8_t, fuzz::Bytes> lastWrite_, rest_;
    std::vector<Transfer> log_;
};

}  // namespace

ReplyPeer* peerOf(Family family) {
    return g_peers[family].load();
}

uint64_t skippedMicros() {
    return g_skipped.load();
}

}  // namespace fuzzpeer

// The simulator's firmware seam: the peer is the only firmware.
namespace ksim {

const std::vector<UsbIdentity>& emulatedIdentities() {
    static const std::vector<UsbIdentity> identities = {{0x3068, 0x0009, "PEERFD"},
                                                        {0x0471, 0x1200, "PEERCLASSIC"},
                                                        {0x0471, 0x2601, "PEERRECORDER"}};
    return identities;
}

std::unique_ptr<VirtualDevice> createVirtualDevice(uint16_t vendorId, uint16_t productId,
                                                   int ordinal) {
    for (int f = 0; f < 3; ++f)
        if (emulatedIdentities()[f].vendorId == vendorId &&
            emulatedIdentities()[f].productId == productId && ordinal == 0)
            return std::make_unique<fuzzpeer::PeerDevice>(static_cast<fuzzpeer::Family>(f));
    return nullptr;
}

}  // namespace ksim

// The program's clock, in place of platform/usertime.cpp (which the linker
// then leaves out of the static library): the drivers' time-outs run on it.
extern "C" {

uint64_t getCurMicroSec(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u +
           fuzzpeer::skippedMicros();
}

uint32_t getLapseMicroSec(uint32_t start) {
    return static_cast<uint32_t>(getCurMicroSec()) - start;
}

}  // extern "C"
