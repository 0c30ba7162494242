#include "fuzz/peer/reply_peer.h"

#include <libusb.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "core/sim_control.h"
#include "fuzz/targets/fuzz_support.h"
#include "platform/usertime.h"
#include "virtual_device.h"

namespace fuzzpeer {

namespace {

std::atomic<uint64_t> g_skipped{0};

void skipClock(unsigned timeoutMs) {
    // A libusb time-out of 0 means no limit: count it as a long wait.
    const uint64_t ms = timeoutMs == 0 ? 60000 : timeoutMs;
    g_skipped.fetch_add(ms * 1000, std::memory_order_relaxed);
}

// Which endpoints of an identity carry replies (and the OUT endpoint whose
// latest write they answer) and which carry a received-frame stream.
struct EndpointPlan {
    uint8_t replyIn[2];
    uint8_t requestOut[2];
    uint8_t streamIn;  // 0: none
};

EndpointPlan planFor(uint16_t vendorId, uint16_t productId) {
    if (vendorId == kFdVendor && productId == kFdProduct) {
        // Command replies answer 0x01; packet acknowledgements answer 0x02.
        return {{0x81, 0x82}, {0x01, 0x02}, 0x83};
    }
    if (vendorId == kClassicVendor && productId == kClassicProduct) {
        return {{0x81, 0}, {0x01, 0}, 0x82};
    }
    return {{0x81, 0}, {0x01, 0}, 0};
}

// A reply held in a heap block of exactly its length.
struct Reply {
    std::unique_ptr<uint8_t[]> bytes;
    size_t length = 0;
};

Reply makeReply(size_t length) {
    Reply r;
    r.bytes.reset(new uint8_t[length]);
    r.length = length;
    return r;
}

class PeerDevice : public ksim::VirtualDevice, public ReplyPeer {
  public:
    PeerDevice(uint16_t vendorId, uint16_t productId)
        : vendorId_(vendorId), productId_(productId), plan_(planFor(vendorId, productId)) {}
    ~PeerDevice() override;

    uint16_t vendorId() const override { return vendorId_; }
    uint16_t productId() const override { return productId_; }
    std::string modelName() const override { return "PEER"; }

    int transferOut(uint8_t endpoint, const uint8_t* data, int length, unsigned /*timeoutMs*/,
                    int* transferred) override {
        std::lock_guard<std::mutex> lock(mutex_);
        *transferred = 0;
        if (!attached_) {
            return LIBUSB_ERROR_NO_DEVICE;
        }
        Bytes written(data, data + length);
        lastWrite_[endpoint] = written;
        log_.push_back({endpoint, LIBUSB_SUCCESS, std::move(written)});
        *transferred = length;
        return LIBUSB_SUCCESS;
    }

    int transferIn(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                   int* transferred) override {
        *transferred = 0;
        if (plan_.streamIn != 0 && endpoint == plan_.streamIn) {
            return streamRead(timeoutMs);
        }
        const int slot = replySlot(endpoint);
        if (slot < 0) {
            return LIBUSB_ERROR_NOT_FOUND;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (!attached_) {
            return LIBUSB_ERROR_NO_DEVICE;
        }
        Reply& rest = rest_[slot];
        Reply reply = rest.length > 0 ? std::move(rest) : nextReply(plan_.requestOut[slot]);
        rest = Reply{};
        if (reply.length == 0) {
            skipClock(timeoutMs);
            log_.push_back({endpoint, LIBUSB_ERROR_TIMEOUT, {}});
            return LIBUSB_ERROR_TIMEOUT;
        }
        const size_t room = length > 0 ? static_cast<size_t>(length) : 0;
        const size_t n = std::min(room, reply.length);
        if (n > 0) {
            std::memcpy(data, reply.bytes.get(), n);
        }
        if (n < reply.length) {
            rest = makeReply(reply.length - n);
            std::memcpy(rest.bytes.get(), reply.bytes.get() + n, rest.length);
        }
        log_.push_back({endpoint, LIBUSB_SUCCESS, Bytes(reply.bytes.get(), reply.bytes.get() + n)});
        *transferred = static_cast<int>(n);
        return LIBUSB_SUCCESS;
    }

    void usbReset() override {
        // A reset drops what the adapter still had to say.
        std::lock_guard<std::mutex> lock(mutex_);
        rest_[0] = Reply{};
        rest_[1] = Reply{};
        lastWrite_.clear();
    }

    void setAttached(bool attached) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            attached_ = attached;
        }
        streamWake_.notify_all();
    }

    std::string control(const std::vector<std::string>& /*args*/) override {
        return "error: the reply peer has no control commands";
    }

    void beginInput(fuzz::InputReader* input) override {
        std::lock_guard<std::mutex> lock(mutex_);
        input_ = input;
        log_.clear();
        rest_[0] = Reply{};
        rest_[1] = Reply{};
        lastWrite_.clear();
    }

    std::vector<Transfer> takeTransfers() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(log_, {});
    }

    void releaseStreamReads(bool released) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            streamReleased_ = released;
        }
        streamWake_.notify_all();
    }

  private:
    int replySlot(uint8_t endpoint) const {
        for (int i = 0; i < 2; ++i) {
            if (plan_.replyIn[i] != 0 && plan_.replyIn[i] == endpoint) {
                return i;
            }
        }
        return -1;
    }

    // The next entry of the input (mutex_ held); a reply of no bytes when it
    // says "no reply" or the input is used up.
    Reply nextReply(uint8_t requestEndpoint) {
        if (input_ == nullptr || input_->remaining() == 0) {
            return Reply{};
        }
        const uint8_t key = input_->u8();
        const int kind = key >> 6;
        size_t length = key & 0x3F;
        if (length == 0x3F) {
            length += input_->u8();
        }
        if (kind == 0 || length == 0) {
            return Reply{};
        }
        size_t echoed = 0;
        uint8_t head[2] = {};
        if (kind >= 2) {
            const Bytes& request = lastWrite_[requestEndpoint];
            echoed = std::min({length, request.size(), sizeof head});
            std::copy(request.begin(), request.begin() + static_cast<std::ptrdiff_t>(echoed), head);
        }
        const size_t wanted = length - echoed;
        const size_t available = std::min(wanted, input_->remaining());
        if (echoed + available == 0) {
            return Reply{};
        }
        Reply r = makeReply(echoed + available);
        std::memcpy(r.bytes.get(), head, echoed);
        input_->take(r.bytes.get() + echoed, available);
        return r;
    }

    // A read of a received-frame stream: a time-out after waiting in real
    // time, or at once an empty transfer while reads are released, after
    // which the drivers' workers pause in a wait that their stop request
    // ends.
    int streamRead(unsigned timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto limit = std::chrono::milliseconds(timeoutMs == 0 ? 60000 : timeoutMs);
        streamWake_.wait_for(lock, limit, [this] { return streamReleased_ || !attached_; });
        if (!attached_) {
            return LIBUSB_ERROR_NO_DEVICE;
        }
        return streamReleased_ ? LIBUSB_SUCCESS : LIBUSB_ERROR_TIMEOUT;
    }

    const uint16_t vendorId_;
    const uint16_t productId_;
    const EndpointPlan plan_;
    std::mutex mutex_;
    std::condition_variable streamWake_;
    bool attached_ = true;
    bool streamReleased_ = false;
    fuzz::InputReader* input_ = nullptr;
    std::map<uint8_t, Bytes> lastWrite_;
    Reply rest_[2];
    std::vector<Transfer> log_;
};

std::mutex g_registryMutex;
std::map<std::pair<uint16_t, uint16_t>, PeerDevice*>& registry() {
    static auto* peers = new std::map<std::pair<uint16_t, uint16_t>, PeerDevice*>();
    return *peers;
}

PeerDevice::~PeerDevice() {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    auto it = registry().find({vendorId_, productId_});
    if (it != registry().end() && it->second == this) {
        registry().erase(it);
    }
}

}  // namespace

bool attachPeers() {
    static const bool attached = [] {
        std::string error;
        if (!ksim::configureDevices("3068:0009,0471:1200,0471:2601", &error)) {
            std::fprintf(stderr, "reply peer: %s\n", error.c_str());
            return false;
        }
        return true;
    }();
    return attached;
}

ReplyPeer* peerFor(uint16_t vendorId, uint16_t productId) {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    auto it = registry().find({vendorId, productId});
    return it != registry().end() ? it->second : nullptr;
}

uint64_t skippedMicros() {
    return g_skipped.load(std::memory_order_relaxed);
}

}  // namespace fuzzpeer

// ---- The simulator's firmware seam: the peer is the only firmware --------------

namespace ksim {

std::unique_ptr<VirtualDevice> createVirtualDevice(uint16_t vendorId, uint16_t productId,
                                                   int ordinal) {
    const bool known =
        (vendorId == fuzzpeer::kFdVendor && productId == fuzzpeer::kFdProduct) ||
        (vendorId == fuzzpeer::kClassicVendor && productId == fuzzpeer::kClassicProduct) ||
        (vendorId == fuzzpeer::kRecorderVendor && productId == fuzzpeer::kRecorderProduct);
    if (!known || ordinal != 0) {
        return nullptr;
    }
    auto peer = std::make_unique<fuzzpeer::PeerDevice>(vendorId, productId);
    std::lock_guard<std::mutex> lock(fuzzpeer::g_registryMutex);
    fuzzpeer::registry()[{vendorId, productId}] = peer.get();
    return peer;
}

const std::vector<UsbIdentity>& emulatedIdentities() {
    static const std::vector<UsbIdentity> identities = {
        {fuzzpeer::kFdVendor, fuzzpeer::kFdProduct, "PEERFD"},
        {fuzzpeer::kClassicVendor, fuzzpeer::kClassicProduct, "PEERCLASSIC"},
        {fuzzpeer::kRecorderVendor, fuzzpeer::kRecorderProduct, "PEERRECORDER"},
    };
    return identities;
}

}  // namespace ksim

// ---- The program's clock --------------------------------------------------------
// These take the place of platform/usertime.cpp, which the linker then leaves
// out of the static library: the drivers' time-outs run on this clock.

extern "C" {

uint64_t getCurMicroSec(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u +
           fuzzpeer::skippedMicros();
}

uint32_t getLapseMicroSec(uint32_t start) {
    const uint32_t now = static_cast<uint32_t>(getCurMicroSec());
    return now - start;
}

}  // extern "C"
