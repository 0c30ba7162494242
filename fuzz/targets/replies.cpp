// Command replies of the three adapter families (FD, classic, recorder),
// through the drivers' own exchange and decoding code: the exported KCAN_*
// functions send their real commands to a virtual adapter whose replies come
// from the input (fuzz/peer/reply_peer.h: short, foreign, oversized and
// several replies in a row, or none at all).
//
// Input: byte 0 picks the family. Then, until the input ends or 24 calls were
// made, the target opens the adapter when it is closed, or else takes a byte
// choosing the next call and the bytes of that call's arguments; while the
// call runs, each read of the driver takes the next reply entry. The adapter
// is closed at the end. Calls:
//   FD        open, board information, channel init and start, start, stop,
//             filters, direct transfer, frame transmit (acknowledgements are
//             replies too), close
//   classic   open, channel init and start, start, reset, board information,
//             relay set and get, bit-timing and channel-state queries, data
//             transfer, close
//   recorder  open, board information, settings write and read, filter
//             commands, direct transfer, close
// Invariants:
//   - a call succeeds exactly when the replies the driver was left with
//     belong to its requests (the request's first two bytes, where the
//     driver matches them) and say what success needs (length, status), and
//     its commands come in order (none after a failed one);
//   - values returned come from those replies' bytes, bytes past a reply's
//     end reading as the zeros of the driver's cleared buffer; out-parameter
//     bytes that no reply supplies keep their prior contents, and documented
//     failures leave out-parameters untouched;
//   - the driver's state follows (open, channel initialised);
//   - every call gives up on a silent adapter within 10 s on the drivers'
//     clock (the peer's, on which a time-out costs no real time), and returns
//     within 10 s of real time;
//   - the pure reply decoders, given each delivered reply in a buffer of
//     exactly its length, accept only what they may read and leave outputs
//     untouched when they refuse.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "QKCANDevMgr.h"
#include "drivers/classic/dunlin2_device.h"
#include "drivers/classic/dunlin2_protocol.h"
#include "drivers/fd/QDeviceDunlinFd2.h"
#include "drivers/fd/fd_protocol.h"
#include "drivers/record/record_protocol.h"
#include "fuzz/peer/reply_peer.h"
#include "fuzz/targets/fuzz_support.h"
#include "kcan.h"

namespace {

using fuzzpeer::Bytes;
using fuzzpeer::ReplyPeer;
using fuzzpeer::Transfer;

constexpr uint32_t kFdType = KCAN_TYPE_DUNLINFD2;
constexpr uint32_t kClassicType = KCAN_TYPE_DUNLIN2;
constexpr uint32_t kRecorderType = KCAN_TYPE_RECORD_2601;
constexpr uint32_t kIndex = 0;
constexpr int kMaxCalls = 24;
// The longest a call may wait for a silent adapter, on the drivers' clock:
// above the sum of the time-outs of any one call's commands (at most 6 s).
constexpr uint64_t kMaxSilenceMicros = 10000000;
// Real time a call may take; it never waits for the adapter in real time, so
// this leaves a wide margin for a loaded machine and the sanitizers.
constexpr auto kPrompt = std::chrono::seconds(10);
constexpr uint8_t kPoison = 0xEE;

// ---- Transfers and exchanges ---------------------------------------------------

// One read on a reply endpoint with the latest write on its request endpoint.
struct Exchange {
    Bytes request;
    bool answered;
    Bytes reply;
};

std::vector<Exchange> exchanges(const std::vector<Transfer>& log, uint8_t outEp, uint8_t inEp) {
    std::vector<Exchange> out;
    Bytes request;
    for (const Transfer& t : log) {
        if (t.endpoint == outEp) {
            request = t.bytes;
        } else if (t.endpoint == inEp) {
            out.push_back({request, t.result == 0, t.bytes});
        }
    }
    return out;
}

// The last read in answer to a request starting with b0 b1, or null.
const Exchange* lastFor(const std::vector<Exchange>& ex, uint8_t b0, uint8_t b1) {
    for (auto it = ex.rbegin(); it != ex.rend(); ++it) {
        if (it->request.size() >= 2 && it->request[0] == b0 && it->request[1] == b1) {
            return &*it;
        }
    }
    return nullptr;
}
// The exchanges must outlive the pointer.
const Exchange* lastFor(std::vector<Exchange>&& ex, uint8_t b0, uint8_t b1) = delete;

// Whether a read got a reply that belongs to its request: at least three
// bytes, the first two those of the request.
bool belongs(const Exchange* e) {
    return e != nullptr && e->answered && e->reply.size() >= 3 && e->request.size() >= 2 &&
           e->reply[0] == e->request[0] && e->reply[1] == e->request[1];
}

bool answered(const Exchange* e) {
    return e != nullptr && e->answered;
}

size_t writesOf(const std::vector<Transfer>& log, uint8_t ep, uint8_t b0, uint8_t b1) {
    return static_cast<size_t>(std::count_if(log.begin(), log.end(), [&](const Transfer& t) {
        return t.endpoint == ep && t.bytes.size() >= 2 && t.bytes[0] == b0 && t.bytes[1] == b1;
    }));
}

// The channels named (byte 4, high nibble) by the writes of a channel
// command, one bit each.
uint32_t channelsOf(const std::vector<Transfer>& log, uint8_t ep, uint8_t b0, uint8_t b1) {
    uint32_t bits = 0;
    for (const Transfer& t : log) {
        if (t.endpoint == ep && t.bytes.size() >= 5 && t.bytes[0] == b0 && t.bytes[1] == b1) {
            bits |= 1u << (t.bytes[4] >> 4);
        }
    }
    return bits;
}

// Reply byte i, or 0 past the reply's end (the drivers clear their buffers).
uint8_t at(const Exchange* e, size_t i) {
    return e != nullptr && e->answered && i < e->reply.size() ? e->reply[i] : 0;
}
uint16_t le16(const Exchange* e, size_t i) {
    return static_cast<uint16_t>(at(e, i) | at(e, i + 1) << 8);
}
uint16_t be16(const Exchange* e, size_t i) {
    return static_cast<uint16_t>(at(e, i) << 8 | at(e, i + 1));
}
uint32_t le32(const Exchange* e, size_t i) {
    return static_cast<uint32_t>(le16(e, i)) | static_cast<uint32_t>(le16(e, i + 2)) << 16;
}

template <typename T>
void poison(T* value) {
    std::memset(static_cast<void*>(value), kPoison, sizeof *value);
}

template <typename T>
bool same(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// A heap block of exactly a reply's length.
std::unique_ptr<uint8_t[]> exactCopy(const Bytes& b) {
    std::unique_ptr<uint8_t[]> p(new uint8_t[b.empty() ? 1 : b.size()]);
    if (!b.empty()) {
        std::memcpy(p.get(), b.data(), b.size());
    }
    return p;
}

// Runs one exported call and checks that it came back in time: the drivers
// give up on a silent adapter after their time-outs, and no call waits for
// them in real time.
template <typename Call>
uint32_t timed(Call call) {
    const uint64_t silence = fuzzpeer::skippedMicros();
    const auto start = std::chrono::steady_clock::now();
    const uint32_t result = call();
    FUZZ_CHECK(std::chrono::steady_clock::now() - start < kPrompt);
    FUZZ_CHECK(fuzzpeer::skippedMicros() - silence <= kMaxSilenceMicros);
    return result;
}

// ---- Pure decoders on exact-length replies --------------------------------------

void fdDecoders(const Exchange& e) {
    const auto reply = exactCopy(e.reply);
    const std::span<const uint8_t> span(reply.get(), e.reply.size());
    const bool match = dunlinfd::replyMatches(e.request, span);
    FUZZ_CHECK(!match || (span.size() >= dunlinfd::kMinReplyLength && span[0] == e.request[0]));
    uint16_t word = 0xEEEE;
    if (dunlinfd::replyVersionWord(span, &word)) {
        FUZZ_CHECK(span.size() >= 6 && word == (span[4] << 8 | span[5]));
    } else {
        FUZZ_CHECK(word == 0xEEEE);
    }
    uint8_t byte = kPoison;
    if (dunlinfd::replyByte(span, dunlinfd::kReplyStatusOffset, &byte)) {
        FUZZ_CHECK(span.size() > dunlinfd::kReplyStatusOffset &&
                   byte == span[dunlinfd::kReplyStatusOffset]);
    } else {
        FUZZ_CHECK(byte == kPoison);
    }
}

void classicDecoders(const Exchange& e) {
    const auto reply = exactCopy(e.reply);
    const size_t size = e.reply.size();
    if (dunlin2::initAccepted(reply.get(), size)) {
        FUZZ_CHECK(size > 2);
    }
    // The text lands in a destination of exactly its size.
    for (size_t destSize : {size_t{0}, size_t{3}, size_t{20}}) {
        std::unique_ptr<char[]> dest(new char[destSize + 1]);
        dest[destSize] = '\x7E';
        const size_t n = dunlin2::copyInfoText(reply.get(), size, dest.get(), destSize);
        FUZZ_CHECK(n <= destSize && dest[destSize] == '\x7E');
        FUZZ_CHECK(n == 0 ||
                   (size > 4 && n <= size - 4 && std::memcmp(dest.get(), reply.get() + 4, n) == 0));
    }
}

void recorderDecoders(const Exchange& e) {
    const auto reply = exactCopy(e.reply);
    const size_t size = e.reply.size();
    if (e.request.size() >= 2 && recorder::replyMatches(e.request.data(), reply.get(), size)) {
        FUZZ_CHECK(size >= recorder::kReplyMatchMin);
    }
    _KCAN_FLITER_INFO info;
    poison(&info);
    const _KCAN_FLITER_INFO infoBefore = info;
    if (recorder::parseFilterSummary(reply.get(), size, &info)) {
        FUZZ_CHECK(size >= recorder::kFilterSummaryReplyMin && info.filterState == reply[6]);
    } else {
        FUZZ_CHECK(same(info, infoBefore));
    }
    _KCAN_FLITER_CONFIG filter;
    poison(&filter);
    const _KCAN_FLITER_CONFIG filterBefore = filter;
    if (recorder::parseFilterEntry(reply.get(), size, &filter)) {
        FUZZ_CHECK(size >= recorder::kFilterEntryReplyMin && filter.filterType == reply[4]);
    } else {
        FUZZ_CHECK(same(filter, filterBefore));
    }
}

// ---- A session with one adapter --------------------------------------------------

class Session {
  public:
    Session(ReplyPeer& peer, fuzz::InputReader& in) : peer_(peer), in_(in) {}
    virtual ~Session() = default;

    void run() {
        bool open = false;
        for (int calls = 0; calls < kMaxCalls && in_.remaining() > 0; ++calls) {
            open = open ? call(in_.u8()) : openDevice();
        }
        if (open) {
            closeDevice();
        }
    }

  protected:
    // Each returns whether the adapter is open afterwards.
    virtual bool openDevice() = 0;
    virtual bool call(uint8_t choice) = 0;
    virtual void closeDevice() = 0;

    // The transfers of the call just made; each delivered reply also goes
    // through the family's pure decoders.
    std::vector<Transfer> transfers(void (*decoders)(const Exchange&), uint8_t outEp,
                                    uint8_t inEp) {
        std::vector<Transfer> log = peer_.takeTransfers();
        for (const Exchange& e : exchanges(log, outEp, inEp)) {
            if (e.answered) {
                decoders(e);
            }
        }
        return log;
    }

    // Closes with stream reads released, so that the driver's worker stops
    // without waiting out a read.
    template <typename Close>
    uint32_t closeReleased(Close close) {
        peer_.releaseStreamReads(true);
        const uint32_t result = timed(close);
        peer_.releaseStreamReads(false);
        return result;
    }

    ReplyPeer& peer_;
    fuzz::InputReader& in_;
};

// ---- FD driver ------------------------------------------------------------------------

class FdSession : public Session {
  public:
    using Session::Session;

  private:
    static constexpr uint8_t kP = dunlinfd::kCmdPrefix;

    static QDeviceDunlinFd2* driver() {
        return dynamic_cast<QDeviceDunlinFd2*>(kcanDevMgr.deviceFind(kFdType, kIndex));
    }

    std::vector<Transfer> log() {
        return transfers(fdDecoders, dunlinfd::kEpCmdOut, dunlinfd::kEpCmdIn);
    }

    bool openDevice() override {
        const uint32_t r = timed([] { return KCAN_OpenDevice(kFdType, kIndex); });
        const auto ex = exchanges(log(), dunlinfd::kEpCmdOut, dunlinfd::kEpCmdIn);
        const Exchange* hw = lastFor(ex, kP, dunlinfd::kCmdHwVersion);
        const Exchange* fw = lastFor(ex, kP, dunlinfd::kCmdFwVersion);
        // A matching reply of any length opens: what it lacks reads as zero.
        const bool hwOk = belongs(hw);
        const bool fwOk = belongs(fw);
        FUZZ_CHECK(hw != nullptr);
        FUZZ_CHECK(hwOk || fw == nullptr);
        FUZZ_CHECK(r == (hwOk && fwOk ? 1u : 0u));
        QDeviceDunlinFd2* dev = driver();
        if (r == 1) {
            FUZZ_CHECK(dev != nullptr && dev->isOpened());
            FUZZ_CHECK(dev->hwVersion() == be16(hw, 4) && dev->fwVersion() == be16(fw, 4));
            FUZZ_CHECK(KCAN_GetLastError() == KCAN_ERR_OK);
        } else {
            FUZZ_CHECK(dev == nullptr);
            FUZZ_CHECK(KCAN_GetLastError() == KCAN_ERR_DEVICE_INFO);
        }
        return r == 1;
    }

    void closeDevice() override {
        // The channels of the model that are initialised get a stop.
        QDeviceDunlinFd2* dev = driver();
        uint32_t initialised = 0;
        for (uint32_t ch = 0; ch < std::min(dev->channelCount(), dunlinfd::kMaxChannels); ++ch) {
            initialised |= dev->channelInitialised(ch) ? 1u << ch : 0;
        }
        const uint32_t r = closeReleased([] { return KCAN_CloseDevice(kFdType, kIndex); });
        const auto sent = log();
        FUZZ_CHECK(r == 1 && driver() == nullptr);
        FUZZ_CHECK(channelsOf(sent, dunlinfd::kEpCmdOut, kP, dunlinfd::kCmdStop) == initialised);
    }

    bool call(uint8_t choice) override {
        switch (choice % 8) {
            case 0:
                boardInfo();
                return true;
            case 1:
                initChannel();
                return true;
            case 2:
                startChannel();
                return true;
            case 3:
                stopChannel();
                return true;
            case 4:
                filter();
                return true;
            case 5:
                directTransfer();
                return true;
            case 6:
                transmit();
                return true;
            default:
                closeDevice();
                return false;
        }
    }

    void boardInfo() {
        _KCAN_BOARD_INFO info;
        poison(&info);
        _KCAN_BOARD_INFO expect = info;
        const uint32_t r = timed([&] { return KCAN_BoardInfoGet(kFdType, kIndex, &info); });
        const auto ex = exchanges(log(), dunlinfd::kEpCmdOut, dunlinfd::kEpCmdIn);
        const Exchange* hw = lastFor(ex, kP, dunlinfd::kCmdHwVersion);
        const Exchange* fw = lastFor(ex, kP, dunlinfd::kCmdFwVersion);
        const Exchange* count = lastFor(ex, kP, dunlinfd::kCmdChannelCount);
        FUZZ_CHECK(hw != nullptr);
        FUZZ_CHECK(belongs(hw) || fw == nullptr);
        FUZZ_CHECK(belongs(fw) || count == nullptr);
        const bool ok = belongs(hw) && belongs(fw) && belongs(count);
        FUZZ_CHECK(r == (ok ? 1u : 0u));
        // Each field comes from its own matching reply, bytes past its end
        // read as zero; fields of replies never received keep what the
        // caller had.
        if (belongs(hw)) {
            expect.hwVersion = be16(hw, 4);
        }
        if (belongs(fw)) {
            expect.fwVersion = be16(fw, 4);
        }
        if (belongs(count)) {
            expect.chNum = at(count, 4);
        }
        if (ok) {
            expect.ifVersion = 0x0100;
        }
        FUZZ_CHECK(same(info, expect));
    }

    _KCAN_INITFD_CONFIG initConfig() {
        static constexpr uint32_t kRates[] = {1000000, 800000,  500000,  250000, 125000, 100000,
                                              50000,   5000000, 2000000, 0,      33333};
        _KCAN_INITFD_CONFIG cfg;
        std::memset(&cfg, 0, sizeof cfg);
        const uint8_t flags = in_.u8();
        cfg.fdEnable = flags & 1;
        cfg.isoMode = (flags >> 1) & 1;
        cfg.mode = in_.u8();
        cfg.abitBaudRate = kRates[in_.u8() % std::size(kRates)];
        cfg.dbitBaudRate = kRates[in_.u8() % std::size(kRates)];
        if (cfg.abitBaudRate == 0) {
            cfg.abitTiming = in_.u32();
            cfg.dbitTiming = in_.u32();
        }
        return cfg;
    }

    void initChannel() {
        const uint32_t ch = in_.u8() % 10;
        _KCAN_INITFD_CONFIG cfg = initConfig();
        const bool before = driver()->channelInitialised(ch);
        const uint32_t r = timed([&] { return KCAN_InitCANFD(kFdType, kIndex, ch, &cfg); });
        const auto ex = exchanges(log(), dunlinfd::kEpCmdOut, dunlinfd::kEpCmdIn);
        const Exchange* init = lastFor(ex, kP, dunlinfd::kCmdBitTiming);
        const Exchange* start = lastFor(ex, kP, dunlinfd::kCmdStart);
        const bool initOk = belongs(init) && init->reply.size() >= dunlinfd::kInitReplyMinLength &&
                            init->reply[dunlinfd::kReplyStatusOffset] == 0;
        if (ch >= dunlinfd::kMaxChannels) {
            FUZZ_CHECK(ex.empty());
        }
        FUZZ_CHECK(initOk || start == nullptr);
        FUZZ_CHECK(r == (initOk && belongs(start) ? 1u : 0u));
        FUZZ_CHECK(driver()->channelInitialised(ch) == (before || initOk));
    }

    void startChannel() {
        const uint32_t ch = in_.u8() % 10;
        const uint32_t r = timed([&] { return KCAN_Start(kFdType, kIndex, ch); });
        const auto ex = exchanges(log(), dunlinfd::kEpCmdOut, dunlinfd::kEpCmdIn);
        const Exchange* start = lastFor(ex, kP, dunlinfd::kCmdStart);
        FUZZ_CHECK((start != nullptr) == (ch < dunlinfd::kMaxChannels));
        FUZZ_CHECK(r == (belongs(start) ? 1u : 0u));
    }

    void stopChannel() {
        const uint32_t ch = in_.u8() % 10;
        const bool before = driver()->channelInitialised(ch);
        const uint32_t r = timed([&] { return KCAN_Stop(kFdType, kIndex, ch); });
        const auto sent = log();
        // The reply to a stop is not examined: the result is the queue's.
        FUZZ_CHECK(r == (ch < dunlinfd::kMaxChannels ? 1u : 0u));
        FUZZ_CHECK(!driver()->channelInitialised(ch));
        FUZZ_CHECK(channelsOf(sent, dunlinfd::kEpCmdOut, kP, dunlinfd::kCmdStop) ==
                   (before ? 1u << ch : 0u));
    }

    void filter() {
        const uint32_t ch = in_.u8() % 10;
        _KCAN_FLITER_CONFIG cfg{};
        cfg.filterOp = in_.u8() % 4;
        cfg.filterMode = in_.u8() % 3;
        cfg.startId = in_.u32();
        cfg.endId = in_.u32();
        const uint32_t r = timed([&] { return KCAN_SetFliter(kFdType, kIndex, ch, &cfg); });
        const auto ex = exchanges(log(), dunlinfd::kEpCmdOut, dunlinfd::kEpCmdIn);
        // Only the last command of a filter step counts.
        const Exchange* last = ex.empty() ? nullptr : &ex.back();
        FUZZ_CHECK(last == nullptr ||
                   (last->request.size() >= 2 && last->request[1] == dunlinfd::kCmdFilter));
        const bool ok = belongs(last) && last->reply.size() >= dunlinfd::kFilterReplyMinLength &&
                        last->reply[dunlinfd::kReplyStatusOffset] == 0;
        FUZZ_CHECK(r == (ok ? 1u : 0u));
    }

    void directTransfer() {
        const uint32_t length = in_.u8() % 80;
        // The 62 bytes the caller must provide, and not one more.
        std::unique_ptr<uint8_t[]> data(new uint8_t[dunlinfd::kDirectPayloadMax]);
        std::memset(data.get(), kPoison, dunlinfd::kDirectPayloadMax);
        in_.take(data.get(), std::min<size_t>(length, dunlinfd::kDirectPayloadMax));
        const Bytes before(data.get(), data.get() + dunlinfd::kDirectPayloadMax);
        const uint32_t r =
            timed([&] { return KCAN_DataDirectTransfer(kFdType, kIndex, data.get(), length); });
        const auto ex = exchanges(log(), dunlinfd::kEpCmdOut, dunlinfd::kEpCmdIn);
        const Exchange* e = lastFor(ex, dunlinfd::kDirectTag0, dunlinfd::kDirectTag1);
        FUZZ_CHECK(e != nullptr);
        Bytes expect = before;
        if (belongs(e)) {
            const size_t n = std::min(e->reply.size() - 2, dunlinfd::kDirectPayloadMax);
            FUZZ_CHECK(r == n);
            std::copy(e->reply.begin() + 2, e->reply.begin() + 2 + static_cast<std::ptrdiff_t>(n),
                      expect.begin());
        } else {
            FUZZ_CHECK(r == 0);
        }
        FUZZ_CHECK(std::equal(expect.begin(), expect.end(), data.get()));
    }

    void transmit() {
        const uint32_t ch = in_.u8() % 16;
        const uint8_t shape = in_.u8();
        const bool fd = shape & 1;
        const uint32_t count = 1 + (shape >> 1) % 25;
        uint32_t r = 0;
        if (fd) {
            std::vector<_KCAN_CANFD_OBJ> frames(count);
            for (uint32_t i = 0; i < count; ++i) {
                frames[i].id = i;
                frames[i].len = static_cast<uint8_t>(i % 65);
            }
            r = timed([&] { return KCAN_TransmitFD(kFdType, kIndex, ch, frames.data(), count); });
        } else {
            std::vector<_KCAN_CAN_OBJ> frames(count);
            for (uint32_t i = 0; i < count; ++i) {
                frames[i].id = i;
                frames[i].len = static_cast<uint8_t>(i % 9);
            }
            r = timed([&] { return KCAN_Transmit(kFdType, kIndex, ch, frames.data(), count); });
        }
        // Packets of up to 10 frames, each written once and acknowledged by
        // a reply starting like it; the driver stops at the first that was not.
        const auto sent = log();
        struct Packet {
            Bytes bytes;
            const Transfer* ack = nullptr;
        };
        std::vector<Packet> packets;
        for (const Transfer& t : sent) {
            if (t.endpoint == dunlinfd::kEpFrameOut) {
                packets.push_back({t.bytes});
            } else if (t.endpoint == dunlinfd::kEpAckIn) {
                FUZZ_CHECK(!packets.empty());
                packets.back().ack = &t;
            }
        }
        const size_t total =
            (count + dunlinfd::kMaxFramesPerPacket - 1) / dunlinfd::kMaxFramesPerPacket;
        uint32_t acknowledged = 0;
        size_t acked = 0;
        for (const Packet& p : packets) {
            const Transfer* a = p.ack;
            if (a == nullptr || a->result != 0 || a->bytes.size() < 3 ||
                a->bytes[0] != p.bytes[0] || a->bytes[1] != p.bytes[1]) {
                break;
            }
            acknowledged += std::min<uint32_t>(
                count - static_cast<uint32_t>(acked * dunlinfd::kMaxFramesPerPacket),
                dunlinfd::kMaxFramesPerPacket);
            ++acked;
        }
        FUZZ_CHECK(r == acknowledged);
        FUZZ_CHECK(packets.size() == std::min(acked + 1, total));
    }
};

// ---- Classic driver ------------------------------------------------------------------

class ClassicSession : public Session {
  public:
    using Session::Session;

  private:
    static constexpr uint8_t kP = dunlin2::kCmdPrefix;

    static bool initialised(uint32_t ch) {
        return ch < dunlin2::kChannelCount && dunlin2Record(kIndex)->chInitFlag[ch].load() != 0;
    }

    std::vector<Exchange> exchangesOfCall() {
        return exchanges(transfers(classicDecoders, dunlin2::kEpCmdOut, dunlin2::kEpCmdIn),
                         dunlin2::kEpCmdOut, dunlin2::kEpCmdIn);
    }

    bool openDevice() override {
        const uint32_t r = timed([] { return KCAN_OpenDevice(kClassicType, kIndex); });
        FUZZ_CHECK(r == 1 && peer_.takeTransfers().empty());
        return true;
    }

    void closeDevice() override {
        const uint32_t r = closeReleased([] { return KCAN_CloseDevice(kClassicType, kIndex); });
        const auto log = transfers(classicDecoders, dunlin2::kEpCmdOut, dunlin2::kEpCmdIn);
        FUZZ_CHECK(r == 1 && dunlin2Record(kIndex)->usbDev.load() == nullptr);
        FUZZ_CHECK(!initialised(0) && !initialised(1));
        FUZZ_CHECK(channelsOf(log, dunlin2::kEpCmdOut, kP, dunlin2::kCmdChannelReset) == 0x3);
    }

    bool call(uint8_t choice) override {
        switch (choice % 10) {
            case 0:
                initChannel();
                return true;
            case 1:
                startChannel();
                return true;
            case 2:
                resetChannel();
                return true;
            case 3:
                boardInfo();
                return true;
            case 4:
                relaySet();
                return true;
            case 5:
                relayGet();
                return true;
            case 6:
                baudParameters();
                return true;
            case 7:
                channelState();
                return true;
            case 8:
                dataTransfer();
                return true;
            default:
                closeDevice();
                return false;
        }
    }

    // The classic driver takes the first reply that comes as the answer
    // (the adapter keeps only the answer to the latest request).
    void initChannel() {
        const uint32_t ch = in_.u8() % 3;
        _KCAN_INIT_CONFIG cfg;
        std::memset(&cfg, 0, sizeof cfg);
        cfg.timing0 = in_.u8();
        cfg.timing1 = in_.u8();
        cfg.mode = in_.u8() % 3;
        const bool before = initialised(ch);
        const uint32_t r = timed([&] { return KCAN_InitCAN(kClassicType, kIndex, ch, &cfg); });
        const auto log = transfers(classicDecoders, dunlin2::kEpCmdOut, dunlin2::kEpCmdIn);
        const auto ex = exchanges(log, dunlin2::kEpCmdOut, dunlin2::kEpCmdIn);
        const Exchange* init = lastFor(ex, kP, dunlin2::kCmdChannelInit);
        if (ch >= dunlin2::kChannelCount || cfg.mode > 1) {
            FUZZ_CHECK(init == nullptr);
        }
        const bool initOk = answered(init) && init->reply.size() > 2 &&
                            (init->reply[2] == dunlin2::kInitAccepted1 ||
                             init->reply[2] == dunlin2::kInitAccepted2);
        FUZZ_CHECK(r == (initOk ? 1u : 0u));
        FUZZ_CHECK(initialised(ch) == (before || initOk));
        // The start follows whatever the init result, on an initialised channel.
        FUZZ_CHECK((writesOf(log, dunlin2::kEpCmdOut, kP, dunlin2::kCmdChannelStart) > 0) ==
                   initialised(ch));
    }

    void startChannel() {
        const uint32_t ch = in_.u8() % 3;
        const bool before = initialised(ch);
        const uint32_t r = timed([&] { return KCAN_Start(kClassicType, kIndex, ch); });
        const auto log = transfers(classicDecoders, dunlin2::kEpCmdOut, dunlin2::kEpCmdIn);
        // A start needs no answer: only a write that fails is a failure.
        FUZZ_CHECK(r == (before ? 1u : 0u));
        FUZZ_CHECK((writesOf(log, dunlin2::kEpCmdOut, kP, dunlin2::kCmdChannelStart) > 0) ==
                   before);
    }

    void resetChannel() {
        const uint32_t ch = in_.u8() % 3;
        const uint32_t r = timed([&] { return KCAN_Stop(kClassicType, kIndex, ch); });
        const auto log = peer_.takeTransfers();
        const bool valid = ch < dunlin2::kChannelCount;
        FUZZ_CHECK(r == (valid ? 1u : 0u));
        FUZZ_CHECK(writesOf(log, dunlin2::kEpCmdOut, kP, dunlin2::kCmdChannelReset) ==
                   (valid ? 1u : 0u));
        FUZZ_CHECK(exchanges(log, dunlin2::kEpCmdOut, dunlin2::kEpCmdIn).empty());
    }

    // Bytes of a board query's answer as the driver's cleared 100-byte buffer holds them.
    static Bytes cleared(const Exchange* e) {
        Bytes b(100, 0);
        if (answered(e)) {
            std::copy(e->reply.begin(), e->reply.end(), b.begin());
        }
        return b;
    }

    // The text of query 20 or 21: (byte 2 & 0x0F) - 1 bytes from byte 4 on.
    template <size_t N>
    static void expectText(const Exchange* e, char (&field)[N]) {
        const Bytes b = cleared(e);
        const int announced = (b[2] & 0x0F) - 1;
        if (announced < 1) {
            return;
        }
        const size_t n = std::min<size_t>(static_cast<size_t>(announced), N);
        std::copy(b.begin() + 4, b.begin() + 4 + static_cast<std::ptrdiff_t>(n), field);
    }

    void boardInfo() {
        _KCAN_BOARD_INFO info;
        poison(&info);
        _KCAN_BOARD_INFO expect = info;
        const uint32_t r = timed([&] { return KCAN_BoardInfoGet(kClassicType, kIndex, &info); });
        const auto ex = exchangesOfCall();
        const Exchange* q1 = lastFor(ex, kP, dunlin2::kCmdBoardQuery1);
        const Exchange* q18 = lastFor(ex, kP, dunlin2::kCmdBoardQuery18);
        FUZZ_CHECK(q1 != nullptr);
        const bool ok = answered(q1) && q1->reply.size() == dunlin2::kBoardQuery1ReplyLength;
        FUZZ_CHECK(r == (ok ? 1u : 0u));
        if (!ok) {
            FUZZ_CHECK(q18 == nullptr && same(info, expect));
            return;
        }
        // The later queries are asked whatever came before; a silent adapter
        // leaves zeros.
        const Exchange* q19 = lastFor(ex, kP, dunlin2::kCmdBoardQuery19);
        const Exchange* q20 = lastFor(ex, kP, dunlin2::kCmdBoardQuery20);
        const Exchange* q21 = lastFor(ex, kP, dunlin2::kCmdBoardQuery21);
        FUZZ_CHECK(q18 != nullptr && q19 != nullptr && q20 != nullptr && q21 != nullptr);
        expect.hwVersion = le16(q1, 4);
        expect.fwVersion = le16(q18, 4);
        expect.chNum = answered(q19) && !q19->reply.empty() ? q19->reply.back() : 0;
        expectText(q20, expect.serialNum);
        expectText(q21, expect.hwType);
        FUZZ_CHECK(same(info, expect));
    }

    // A device-level service: answered with at least min bytes, byte 1 the
    // command's code.
    static bool serviceOk(const Exchange* e, uint8_t code, size_t min) {
        return answered(e) && e->reply.size() >= min && e->reply[1] == code;
    }

    void relaySet() {
        const uint8_t a = in_.u8();
        const uint8_t b = in_.u8();
        const uint32_t r =
            timed([&] { return KCAN_DevRelayStatusSet(kClassicType, kIndex, a, b); });
        const auto ex = exchangesOfCall();
        const Exchange* e = lastFor(ex, kP, dunlin2::kCmdRelaySet);
        FUZZ_CHECK(e != nullptr);
        FUZZ_CHECK(r == (serviceOk(e, dunlin2::kCmdRelaySet, dunlin2::kRelayReplyMin) ? 1u : 0u));
    }

    void relayGet() {
        uint8_t a = kPoison;
        uint8_t b = kPoison;
        const uint32_t r =
            timed([&] { return KCAN_DevRelayStatusGet(kClassicType, kIndex, &a, &b); });
        const auto ex = exchangesOfCall();
        const Exchange* e = lastFor(ex, kP, dunlin2::kCmdRelayGet);
        const bool ok = serviceOk(e, dunlin2::kCmdRelayGet, dunlin2::kRelayReplyMin);
        FUZZ_CHECK(r == (ok ? 1u : 0u));
        // Out-parameters are written only on success.
        FUZZ_CHECK(ok ? (a == e->reply[3] && b == e->reply[4]) : (a == kPoison && b == kPoison));
    }

    void baudParameters() {
        const uint8_t ch = in_.u8();
        uint8_t p1 = kPoison;
        uint8_t p2 = kPoison;
        const uint32_t r =
            timed([&] { return KCAN_DevBaudParaGet(kClassicType, kIndex, ch, &p1, &p2); });
        const auto ex = exchangesOfCall();
        const Exchange* e = lastFor(ex, kP, dunlin2::kCmdBaudParam);
        const bool ok = serviceOk(e, dunlin2::kCmdBaudParam, dunlin2::kBaudParamReplyMin);
        FUZZ_CHECK(r == (ok ? 1u : 0u));
        FUZZ_CHECK(ok ? (p1 == e->reply[6] && p2 == e->reply[8])
                      : (p1 == kPoison && p2 == kPoison));
    }

    void channelState() {
        const uint8_t ch = in_.u8();
        uint8_t s[3] = {kPoison, kPoison, kPoison};
        const uint32_t r = timed(
            [&] { return KCAN_DevChStateGet(kClassicType, kIndex, ch, &s[0], &s[1], &s[2]); });
        const auto ex = exchangesOfCall();
        const Exchange* e = lastFor(ex, kP, dunlin2::kCmdChannelState);
        const bool ok = serviceOk(e, dunlin2::kCmdChannelState, dunlin2::kChannelStateReplyMin);
        FUZZ_CHECK(r == (ok ? 1u : 0u));
        FUZZ_CHECK(ok ? (s[0] == e->reply[5] && s[1] == e->reply[10] && s[2] == e->reply[9])
                      : (s[0] == kPoison && s[1] == kPoison && s[2] == kPoison));
    }

    void dataTransfer() {
        const int32_t length = static_cast<int32_t>(in_.u8() % 80);
        std::unique_ptr<uint8_t[]> data(new uint8_t[dunlin2::kDataTransferMax]);
        std::memset(data.get(), kPoison, dunlin2::kDataTransferMax);
        in_.take(data.get(),
                 std::min<size_t>(static_cast<size_t>(length), dunlin2::kDataTransferMax));
        const Bytes before(data.get(), data.get() + dunlin2::kDataTransferMax);
        const uint32_t r = timed([&] {
            return KCAN_DataDirectTransfer(kClassicType, kIndex, data.get(),
                                           static_cast<uint32_t>(length));
        });
        const auto ex = exchangesOfCall();
        const Exchange* e = lastFor(ex, kP, dunlin2::kCmdDataTransfer);
        FUZZ_CHECK(e != nullptr);
        Bytes expect = before;
        if (answered(e) && e->reply.size() >= dunlin2::kDataTransferReplyMin) {
            const size_t n = e->reply.size() - dunlin2::kDataTransferReplyMin;
            FUZZ_CHECK(r == n && n <= dunlin2::kDataTransferMax);
            std::copy(e->reply.begin() + 2, e->reply.end(), expect.begin());
        } else {
            FUZZ_CHECK(r == 0);
        }
        FUZZ_CHECK(std::equal(expect.begin(), expect.end(), data.get()));
    }
};

// ---- Recorder driver ----------------------------------------------------------------

class RecorderSession : public Session {
  public:
    using Session::Session;

  private:
    static constexpr uint8_t kP = recorder::kPrefix;

    std::vector<Exchange> exchangesOfCall() {
        return exchanges(transfers(recorderDecoders, recorder::kEpOut, recorder::kEpIn),
                         recorder::kEpOut, recorder::kEpIn);
    }

    // A reply that belongs to its command and has the accepted status.
    static bool accepted(const Exchange* e, size_t min) {
        return belongs(e) && e->reply.size() >= min &&
               e->reply[recorder::kStatusByte] == recorder::kStatusAccepted;
    }

    bool openDevice() override {
        const uint32_t r = timed([] { return KCAN_OpenDevice(kRecorderType, kIndex); });
        FUZZ_CHECK(r == 1 && peer_.takeTransfers().empty());
        return true;
    }

    void closeDevice() override {
        const uint32_t r = timed([] { return KCAN_CloseDevice(kRecorderType, kIndex); });
        FUZZ_CHECK(r == 1 && peer_.takeTransfers().empty());
        FUZZ_CHECK(kcanDevMgr.deviceFind(kRecorderType, kIndex) == nullptr);
    }

    bool call(uint8_t choice) override {
        switch (choice % 6) {
            case 0:
                boardInfo();
                return true;
            case 1:
                settingsWrite();
                return true;
            case 2:
                settingsRead();
                return true;
            case 3:
                filterCommand();
                return true;
            case 4:
                directTransfer();
                return true;
            default:
                closeDevice();
                return false;
        }
    }

    void boardInfo() {
        _KCAN_BOARD_INFO info;
        poison(&info);
        _KCAN_BOARD_INFO expect = info;
        const uint32_t r = timed([&] { return KCAN_BoardInfoGet(kRecorderType, kIndex, &info); });
        const auto ex = exchangesOfCall();
        const Exchange* q1 = lastFor(ex, kP, recorder::kCmdBoardQuery1);
        const Exchange* q18 = lastFor(ex, kP, recorder::kCmdBoardQuery18);
        const Exchange* q19 = lastFor(ex, kP, recorder::kCmdBoardQuery19);
        FUZZ_CHECK(q1 != nullptr);
        FUZZ_CHECK(belongs(q1) || q18 == nullptr);
        FUZZ_CHECK(belongs(q18) || q19 == nullptr);
        const bool ok = belongs(q1) && belongs(q18) && belongs(q19);
        FUZZ_CHECK(r == (ok ? 1u : 0u));
        if (belongs(q1)) {
            expect.hwVersion = le16(q1, 4);
        }
        if (belongs(q18)) {
            expect.fwVersion = le16(q18, 4);
        }
        if (ok) {
            expect.chNum = at(q19, 4);
            expect.ifVersion = 0x0100;
        }
        FUZZ_CHECK(same(info, expect));
    }

    void settingsWrite() {
        const uint32_t ch = in_.u8() % 3;
        _KCAN_RECORD_CONFIG cfg;
        std::memset(&cfg, 0, sizeof cfg);
        in_.take(reinterpret_cast<uint8_t*>(&cfg), sizeof cfg);
        const uint32_t r =
            timed([&] { return KCAN_RecordSettingSet(kRecorderType, kIndex, ch, &cfg); });
        const auto ex = exchangesOfCall();
        const Exchange* e = lastFor(ex, kP, recorder::kCmdSettingsWrite);
        FUZZ_CHECK((e != nullptr) == (ch < recorder::kChannelCount));
        FUZZ_CHECK(r == (accepted(e, recorder::kSettingsWriteReplyMin) ? 1u : 0u));
    }

    void settingsRead() {
        const uint32_t ch = in_.u8() % 3;
        _KCAN_RECORD_CONFIG cfg;
        poison(&cfg);
        _KCAN_RECORD_CONFIG expect = cfg;
        const uint32_t r =
            timed([&] { return KCAN_RecordSettingGet(kRecorderType, kIndex, ch, &cfg); });
        const auto ex = exchangesOfCall();
        const Exchange* e = lastFor(ex, kP, recorder::kCmdSettingsRead);
        FUZZ_CHECK((e != nullptr) == (ch < recorder::kChannelCount));
        const bool ok = belongs(e) && e->reply.size() >= recorder::kSettingsReadReplyMin;
        FUZZ_CHECK(r == (ok ? 1u : 0u));
        if (!ok) {
            FUZZ_CHECK(same(cfg, expect));  // refused settings leave the record untouched
            return;
        }
        // Bytes 2..27 of the reply, in the write command's layout; the
        // record's first byte is not part of it.
        FUZZ_CHECK(cfg.reserved == kPoison);
        FUZZ_CHECK(cfg.fdEnable == (at(e, 3) & 1) && cfg.isoMode == (at(e, 4) & 1) &&
                   cfg.mode == (at(e, 5) & 1));
        FUZZ_CHECK(cfg.abitClock == at(e, 6) && cfg.dbitClock == at(e, 15));
        FUZZ_CHECK(cfg.recordFlagA == (at(e, 24) & 1) && cfg.recordFlagB == ((at(e, 24) >> 1) & 1));
        FUZZ_CHECK(cfg.recordParamA == at(e, 25) && cfg.recordParamB == at(e, 26) &&
                   cfg.recordParamC == at(e, 27));
        // A timing word whose fields fit their bits comes back whole.
        for (size_t base : {size_t{8}, size_t{17}}) {
            const uint16_t prescaler = le16(e, base);
            const uint8_t sjw = at(e, base + 2);
            const uint16_t tseg1 = le16(e, base + 3);
            const uint16_t tseg2 = le16(e, base + 5);
            if (prescaler < 1024 && sjw < 128 && tseg1 < 256 && tseg2 < 128) {
                const uint32_t word = static_cast<uint32_t>(prescaler) << 22 |
                                      static_cast<uint32_t>(sjw) << 15 |
                                      static_cast<uint32_t>(tseg2) << 8 | tseg1;
                FUZZ_CHECK((base == 8 ? cfg.abitTiming : cfg.dbitTiming) == word);
            }
        }
    }

    void filterCommand() {
        const uint32_t ch = in_.u8();
        const uint32_t command = in_.u8() % 7;
        _KCAN_FLITER_INFO info;
        poison(&info);
        const _KCAN_FLITER_INFO infoBefore = info;
        _KCAN_FLITER_CONFIG cfg;
        if (command == 1) {
            std::memset(&cfg, 0, sizeof cfg);
            in_.take(reinterpret_cast<uint8_t*>(&cfg), sizeof cfg);
        } else {
            poison(&cfg);
            cfg.filterIndex = in_.u16();
        }
        const _KCAN_FLITER_CONFIG cfgBefore = cfg;
        const uint32_t r = timed(
            [&] { return KCAN_RecordCmdExecute(kRecorderType, kIndex, ch, command, &info, &cfg); });
        const auto ex = exchangesOfCall();
        const Exchange* set = lastFor(ex, kP, recorder::kCmdFilter);
        const Exchange* query = lastFor(ex, kP, recorder::kCmdFilterQuery);
        switch (command) {
            case 0:
            case 1:
            case 2:
            case 3:
                FUZZ_CHECK(set != nullptr && query == nullptr);
                FUZZ_CHECK(r == (accepted(set, recorder::kFilterReplyMin) ? 1u : 0u));
                FUZZ_CHECK(same(info, infoBefore));
                break;
            case 4: {
                FUZZ_CHECK(query != nullptr && set == nullptr);
                const bool ok = accepted(query, recorder::kFilterSummaryReplyMin);
                FUZZ_CHECK(r == (ok ? 1u : 0u));
                _KCAN_FLITER_INFO expect = infoBefore;
                if (ok) {
                    expect.filterCount = le16(query, 4);
                    expect.filterState = at(query, 6);
                }
                FUZZ_CHECK(same(info, expect));
                break;
            }
            case 5: {
                FUZZ_CHECK(query != nullptr && set == nullptr);
                const bool ok = accepted(query, recorder::kFilterEntryReplyMin);
                FUZZ_CHECK(r == (ok ? 1u : 0u));
                _KCAN_FLITER_CONFIG expect = cfgBefore;
                if (ok) {
                    expect.filterType = at(query, 4);
                    expect.startId = le32(query, 5);
                    expect.endId = le32(query, 9);
                }
                FUZZ_CHECK(same(cfg, expect));
                break;
            }
            default:
                FUZZ_CHECK(r == 0 && ex.empty());
                break;
        }
        if (command != 5) {
            FUZZ_CHECK(same(cfg, cfgBefore));
        }
    }

    void directTransfer() {
        const uint32_t length = in_.u8() % 80;
        std::unique_ptr<uint8_t[]> data(new uint8_t[recorder::kDataTransferMax]);
        std::memset(data.get(), kPoison, recorder::kDataTransferMax);
        in_.take(data.get(), std::min<size_t>(length, recorder::kDataTransferMax));
        const Bytes before(data.get(), data.get() + recorder::kDataTransferMax);
        const uint32_t r = timed(
            [&] { return KCAN_DataDirectTransfer(kRecorderType, kIndex, data.get(), length); });
        const auto ex = exchangesOfCall();
        const Exchange* e = lastFor(ex, recorder::kDataPrefix, recorder::kCmdDataTransfer);
        FUZZ_CHECK(e != nullptr);
        Bytes expect = before;
        if (belongs(e)) {
            const size_t n = e->reply.size() - 2;
            FUZZ_CHECK(r == n && n <= recorder::kDataTransferMax);
            std::copy(e->reply.begin() + 2, e->reply.end(), expect.begin());
        } else {
            FUZZ_CHECK(r == 0);
        }
        FUZZ_CHECK(std::equal(expect.begin(), expect.end(), data.get()));
    }
};

}  // namespace

int fuzzOneReplies(const uint8_t* data, size_t size) {
    FUZZ_CHECK(fuzzpeer::attachPeers());
    fuzz::Quiet quiet;
    fuzz::InputReader in(data, size);
    const uint8_t family = in.u8() % 3;
    const uint16_t vendor = family == 0   ? fuzzpeer::kFdVendor
                            : family == 1 ? fuzzpeer::kClassicVendor
                                          : fuzzpeer::kRecorderVendor;
    const uint16_t product = family == 0   ? fuzzpeer::kFdProduct
                             : family == 1 ? fuzzpeer::kClassicProduct
                                           : fuzzpeer::kRecorderProduct;
    ReplyPeer* peer = fuzzpeer::peerFor(vendor, product);
    FUZZ_CHECK(peer != nullptr);
    peer->beginInput(&in);
    if (family == 0) {
        FdSession(*peer, in).run();
    } else if (family == 1) {
        ClassicSession(*peer, in).run();
    } else {
        RecorderSession(*peer, in).run();
    }
    peer->beginInput(nullptr);
    return 0;
}
