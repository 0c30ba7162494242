// Sessions of KCAN_* calls on an FD, classic or recorder adapter whose every
// reply comes from the input (fuzz/peer); the reply rules: fuzz/README.md.
#include <chrono>
#include <functional>

#include "QKCANDevMgr.h"
#include "drivers/classic/dunlin2_device.h"
#include "drivers/classic/dunlin2_protocol.h"
#include "drivers/fd/QDeviceDunlinFd2.h"
#include "drivers/fd/fd_protocol.h"
#include "drivers/record/record_protocol.h"
#include "fuzz/peer/reply_peer.h"
#include "kcan.h"

namespace {

using fuzz::poison;
using fuzz::same;
using Reply = fuzzpeer::Transfer;

constexpr uint32_t kIndex = 0;
constexpr uint8_t kPoison = 0xEE;

bool answered(const Reply* e) {
    return e != nullptr && e->ok;
}
bool belongs(const Reply* e) {
    return e != nullptr && e->belongs();
}
bool says(const Reply* e, size_t min, size_t at, uint8_t value) {
    return answered(e) && e->bytes.size() >= std::max(min, at + 1) && e->bytes[at] == value;
}
uint32_t result(bool ok) {
    return ok ? 1u : 0u;
}

class Session {
  public:
    Session(fuzzpeer::Family family, uint32_t type, uint8_t prefix, fuzz::InputReader& in)
        : peer_(*fuzzpeer::peerOf(family)), type_(type), prefix_(prefix), in_(in) {}
    virtual ~Session() = default;

    void run() {
        bool open = false;
        for (int calls = 0; calls < 24 && in_.remaining() > 0; ++calls) {
            if (!open) {
                open = openDevice();
                continue;
            }
            const size_t step = in_.u8() % (steps_.size() + 1);
            open = step < steps_.size();
            if (open)
                steps_[step]();
            else
                closeDevice();
        }
        if (open)
            closeDevice();
    }

  protected:
    virtual bool openDevice() {
        FUZZ_CHECK(call([this] { return KCAN_OpenDevice(type_, kIndex); }) == 1 && log_.empty());
        return true;
    }
    virtual void closeDevice() = 0;

    // 10 s on the drivers' clock is above the time-outs of any call's
    // commands; in real time, a wide margin. A close runs with stream reads
    // released, so that the driver's worker stops without waiting out a read.
    template <typename Call>
    uint32_t call(Call c, bool closing = false) {
        peer_.releaseStreamReads(closing);
        const uint64_t silence = fuzzpeer::skippedMicros();
        const auto start = std::chrono::steady_clock::now();
        const uint32_t r = c();
        FUZZ_CHECK(std::chrono::steady_clock::now() - start < std::chrono::seconds(10));
        FUZZ_CHECK(fuzzpeer::skippedMicros() - silence <= 10000000);
        peer_.releaseStreamReads(false);
        log_ = peer_.takeTransfers();
        return r;
    }

    const Reply* last(int b0 = -1, int b1 = -1) const {
        for (auto it = log_.rbegin(); it != log_.rend(); ++it)
            if (it->endpoint == 0x81 && (b0 < 0 || (it->request.size() >= 2 &&
                                                    it->request[0] == b0 && it->request[1] == b1)))
                return &*it;
        return nullptr;
    }
    const Reply* cmd(uint8_t code) const { return last(prefix_, code); }

    uint32_t channels(uint8_t code) const {
        uint32_t bits = 0;
        for (const Reply& t : log_)
            if (t.endpoint == 0x01 && t.bytes.size() >= 5 && t.bytes[0] == prefix_ &&
                t.bytes[1] == code)
                bits |= 1u << (t.bytes[4] >> 4);
        return bits;
    }

    void chainedBoardInfo(bool bigEndian) {
        _KCAN_BOARD_INFO info;
        poison(&info);
        _KCAN_BOARD_INFO expect = info;
        const uint32_t r = call([&] { return KCAN_BoardInfoGet(type_, kIndex, &info); });
        const Reply* q[3] = {cmd(0x01), cmd(0x12), cmd(0x13)};
        const bool ok = belongs(q[0]) && belongs(q[1]) && belongs(q[2]);
        FUZZ_CHECK(q[0] && (belongs(q[0]) || !q[1]) && (belongs(q[1]) || !q[2]) && r == result(ok));
        if (belongs(q[0]))
            expect.hwVersion = bigEndian ? q[0]->be16(4) : q[0]->le16(4);
        if (belongs(q[1]))
            expect.fwVersion = bigEndian ? q[1]->be16(4) : q[1]->le16(4);
        if (ok) {
            expect.chNum = q[2]->at(4);
            expect.ifVersion = 0x0100;
        }
        FUZZ_CHECK(same(info, expect));
    }

    void directTransfer(bool matchNeeded) {
        const uint32_t length = in_.u8() % 80;
        fuzz::Bytes data(62, kPoison);
        in_.take(data.data(), std::min<size_t>(length, data.size()));
        fuzz::Bytes expect = data;
        const uint32_t r =
            call([&] { return KCAN_DataDirectTransfer(type_, kIndex, data.data(), length); });
        const Reply* e = last(0x12, 0xA7);
        const bool ok = matchNeeded ? belongs(e) : answered(e) && e->bytes.size() >= 2;
        const size_t n = ok ? e->bytes.size() - 2 : 0;
        FUZZ_CHECK(e != nullptr && r == n && n <= expect.size());
        std::copy(e->bytes.end() - static_cast<std::ptrdiff_t>(n), e->bytes.end(), expect.begin());
        FUZZ_CHECK(data == expect);
    }

    fuzzpeer::ReplyPeer& peer_;
    const uint32_t type_;
    const uint8_t prefix_;
    fuzz::InputReader& in_;
    std::vector<std::function<void()>> steps_;
    std::vector<Reply> log_;
};

class FdSession : public Session {
  public:
    explicit FdSession(fuzz::InputReader& in)
        : Session(fuzzpeer::kFd, KCAN_TYPE_DUNLINFD2, 0x55, in) {
        steps_ = {[this] { chainedBoardInfo(true); },
                  [this] { initChannel(); },
                  [this] { startChannel(); },
                  [this] { stopChannel(); },
                  [this] { filter(); },
                  [this] { directTransfer(true); },
                  [this] { transmit(); }};
    }

  private:
    QDeviceDunlinFd2* driver() const {
        return dynamic_cast<QDeviceDunlinFd2*>(kcanDevMgr.deviceFind(type_, kIndex));
    }

    bool openDevice() override {
        const uint32_t r = call([this] { return KCAN_OpenDevice(type_, kIndex); });
        const Reply* hw = cmd(dunlinfd::kCmdHwVersion);
        const Reply* fw = cmd(dunlinfd::kCmdFwVersion);
        FUZZ_CHECK(hw && (belongs(hw) || !fw) && r == result(belongs(hw) && belongs(fw)));
        QDeviceDunlinFd2* dev = driver();
        FUZZ_CHECK(r == 0 || (dev && dev->isOpened() && KCAN_GetLastError() == KCAN_ERR_OK &&
                              dev->hwVersion() == hw->be16(4) && dev->fwVersion() == fw->be16(4)));
        FUZZ_CHECK(r == 1 || (!dev && KCAN_GetLastError() == KCAN_ERR_DEVICE_INFO));
        return r == 1;
    }

    void closeDevice() override {
        uint32_t initialised = 0;
        for (uint32_t ch = 0; ch < std::min(driver()->channelCount(), 8u); ++ch)
            initialised |= driver()->channelInitialised(ch) ? 1u << ch : 0;
        const uint32_t r = call([this] { return KCAN_CloseDevice(type_, kIndex); }, true);
        FUZZ_CHECK(r == 1 && !driver() && channels(dunlinfd::kCmdStop) == initialised);
    }

    void initChannel() {
        static constexpr uint32_t kRates[] = {1000000, 800000,  500000,  250000, 125000, 100000,
                                              50000,   5000000, 2000000, 0,      33333};
        const uint32_t ch = in_.u8() % 10;
        _KCAN_INITFD_CONFIG cfg{};
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
        const bool before = driver()->channelInitialised(ch);
        const uint32_t r = call([&] { return KCAN_InitCANFD(type_, kIndex, ch, &cfg); });
        const Reply* init = cmd(dunlinfd::kCmdBitTiming);
        const Reply* start = cmd(dunlinfd::kCmdStart);
        const bool initOk = belongs(init) && says(init, 5, 3, 0);
        FUZZ_CHECK((ch < 8 || !last()) && (initOk || !start) &&
                   r == result(initOk && belongs(start)));
        FUZZ_CHECK(driver()->channelInitialised(ch) == (before || initOk));
    }

    void startChannel() {
        const uint32_t ch = in_.u8() % 10;
        const uint32_t r = call([&] { return KCAN_Start(type_, kIndex, ch); });
        const Reply* start = cmd(dunlinfd::kCmdStart);
        FUZZ_CHECK((start != nullptr) == (ch < 8) && r == result(belongs(start)));
    }

    void stopChannel() {
        const uint32_t ch = in_.u8() % 10;
        const bool before = driver()->channelInitialised(ch);
        const uint32_t r = call([&] { return KCAN_Stop(type_, kIndex, ch); });
        FUZZ_CHECK(r == result(ch < 8) && !driver()->channelInitialised(ch));
        FUZZ_CHECK(channels(dunlinfd::kCmdStop) == (before ? 1u << ch : 0u));
    }

    void filter() {
        const uint32_t ch = in_.u8() % 10;
        _KCAN_FLITER_CONFIG cfg{};
        cfg.filterOp = in_.u8() % 4;
        cfg.filterMode = in_.u8() % 3;
        cfg.startId = in_.u32();
        cfg.endId = in_.u32();
        const uint32_t r = call([&] { return KCAN_SetFliter(type_, kIndex, ch, &cfg); });
        const Reply* e = last();
        FUZZ_CHECK(!e || (e->request.size() >= 2 && e->request[1] == dunlinfd::kCmdFilter));
        FUZZ_CHECK(r == result(belongs(e) && says(e, 4, 3, 0)));
    }

    void transmit() {
        const uint32_t ch = in_.u8() % 16;
        const uint8_t shape = in_.u8();
        const uint32_t count = 1 + (shape >> 1) % 25;
        std::vector<_KCAN_CANFD_OBJ> fd(count);
        std::vector<_KCAN_CAN_OBJ> classic(count);
        for (uint32_t i = 0; i < count; ++i) {
            fd[i].id = classic[i].id = i;
            fd[i].len = static_cast<uint8_t>(i % 65);
            classic[i].len = static_cast<uint8_t>(i % 9);
        }
        const uint32_t r = call([&] {
            return (shape & 1) ? KCAN_TransmitFD(type_, kIndex, ch, fd.data(), count)
                               : KCAN_Transmit(type_, kIndex, ch, classic.data(), count);
        });
        std::vector<bool> acked;  // per packet: its last acknowledgement belongs
        for (const Reply& t : log_) {
            if (t.endpoint == dunlinfd::kEpFrameOut)
                acked.push_back(false);
            FUZZ_CHECK(t.endpoint != dunlinfd::kEpAckIn || !acked.empty());
            if (t.endpoint == dunlinfd::kEpAckIn)
                acked.back() = t.belongs();
        }
        const size_t n = std::find(acked.begin(), acked.end(), false) - acked.begin();
        FUZZ_CHECK(r == std::min<uint32_t>(count, 10 * n));
        FUZZ_CHECK(acked.size() == std::min<size_t>(n + 1, (count + 9) / 10));
    }
};

class ClassicSession : public Session {
  public:
    explicit ClassicSession(fuzz::InputReader& in)
        : Session(fuzzpeer::kClassic, KCAN_TYPE_DUNLIN2, 0x12, in) {
        steps_ = {[this] { initChannel(); },        [this] { startChannel(); },
                  [this] { resetChannel(); },       [this] { boardInfo(); },
                  [this] { service(0); },           [this] { service(1); },
                  [this] { service(2); },           [this] { service(3); },
                  [this] { directTransfer(false); }};
    }

  private:
    static bool initialised(uint32_t ch) {
        return ch < 2 && dunlin2Record(kIndex)->chInitFlag[ch].load() != 0;
    }

    void closeDevice() override {
        const uint32_t r = call([this] { return KCAN_CloseDevice(type_, kIndex); }, true);
        FUZZ_CHECK(r == 1 && !dunlin2Record(kIndex)->usbDev.load() && !initialised(0) &&
                   !initialised(1) && channels(dunlin2::kCmdChannelReset) == 3);
    }

    void initChannel() {
        const uint32_t ch = in_.u8() % 3;
        _KCAN_INIT_CONFIG cfg{};
        cfg.timing0 = in_.u8();
        cfg.timing1 = in_.u8();
        cfg.mode = in_.u8() % 3;
        const bool before = initialised(ch);
        const uint32_t r = call([&] { return KCAN_InitCAN(type_, kIndex, ch, &cfg); });
        const Reply* init = cmd(dunlin2::kCmdChannelInit);
        const bool initOk = says(init, 3, 2, 0x81) || says(init, 3, 2, 0x82);
        FUZZ_CHECK(((ch < 2 && cfg.mode <= 1) || !init) && r == result(initOk));
        FUZZ_CHECK(initialised(ch) == (before || initOk));
        FUZZ_CHECK(channels(dunlin2::kCmdChannelStart) == (initialised(ch) ? 1u << ch : 0u));
    }

    void startChannel() {
        const uint32_t ch = in_.u8() % 3;
        const bool before = initialised(ch);
        const uint32_t r = call([&] { return KCAN_Start(type_, kIndex, ch); });
        FUZZ_CHECK(r == result(before) &&
                   channels(dunlin2::kCmdChannelStart) == (before ? 1u << ch : 0u));
    }

    void resetChannel() {
        const uint32_t ch = in_.u8() % 3;
        const uint32_t r = call([&] { return KCAN_Stop(type_, kIndex, ch); });
        FUZZ_CHECK(r == result(ch < 2) && !last());
        FUZZ_CHECK(channels(dunlin2::kCmdChannelReset) == (ch < 2 ? 1u << ch : 0u));
    }

    void boardInfo() {
        _KCAN_BOARD_INFO info;
        poison(&info);
        _KCAN_BOARD_INFO expect = info;
        const uint32_t r = call([&] { return KCAN_BoardInfoGet(type_, kIndex, &info); });
        const Reply* q1 = cmd(0x01);
        const bool ok = answered(q1) && q1->bytes.size() == 6;
        FUZZ_CHECK(q1 && r == result(ok));
        if (!ok) {
            FUZZ_CHECK(!cmd(0x12) && same(info, expect));
            return;
        }
        const Reply* q[4] = {cmd(0x12), cmd(0x13), cmd(0x14), cmd(0x15)};
        FUZZ_CHECK(q[0] && q[1] && q[2] && q[3]);
        expect.hwVersion = q1->le16(4);
        expect.fwVersion = q[0]->le16(4);
        expect.chNum = answered(q[1]) ? q[1]->bytes.back() : 0;
        for (int i = 0; i < (q[2]->at(2) & 0x0F) - 1 && i < 20; ++i)
            expect.serialNum[i] = static_cast<char>(q[2]->at(4 + static_cast<size_t>(i)));
        for (int i = 0; i < (q[3]->at(2) & 0x0F) - 1 && i < 40; ++i)
            expect.hwType[i] = static_cast<char>(q[3]->at(4 + static_cast<size_t>(i)));
        FUZZ_CHECK(same(info, expect));
    }

    // Relay set and get, bit-timing parameters, channel state.
    void service(int which) {
        using namespace dunlin2;
        static constexpr struct {
            uint8_t code;
            size_t min, outs, at[3];
        } kServices[] = {{kCmdRelaySet, kRelayReplyMin, 0, {}},
                         {kCmdRelayGet, kRelayReplyMin, 2, {3, 4}},
                         {kCmdBaudParam, kBaudParamReplyMin, 2, {6, 8}},
                         {kCmdChannelState, kChannelStateReplyMin, 3, {5, 10, 9}}};
        const auto& s = kServices[which];
        const uint8_t a = which == 1 ? 0 : in_.u8();  // relay state or channel
        const uint8_t b = which == 0 ? in_.u8() : 0;
        uint8_t o[3] = {kPoison, kPoison, kPoison};
        const uint32_t r = call([&] {
            if (which == 0)
                return KCAN_DevRelayStatusSet(type_, kIndex, a, b);
            if (which == 1)
                return KCAN_DevRelayStatusGet(type_, kIndex, &o[0], &o[1]);
            if (which == 2)
                return KCAN_DevBaudParaGet(type_, kIndex, a, &o[0], &o[1]);
            return KCAN_DevChStateGet(type_, kIndex, a, &o[0], &o[1], &o[2]);
        });
        const Reply* e = cmd(s.code);
        const bool ok = says(e, s.min, 1, s.code);
        FUZZ_CHECK(e && r == result(ok));
        for (size_t i = 0; i < s.outs; ++i)
            FUZZ_CHECK(o[i] == (ok ? e->bytes[s.at[i]] : kPoison));
    }
};

// The byte layouts of settings and filter entries are the codec's tests'.
class RecorderSession : public Session {
  public:
    explicit RecorderSession(fuzz::InputReader& in)
        : Session(fuzzpeer::kRecorder, KCAN_TYPE_RECORD_2601, 0x55, in) {
        steps_ = {[this] { chainedBoardInfo(false); }, [this] { settingsWrite(); },
                  [this] { settingsRead(); }, [this] { filterCommand(); },
                  [this] { directTransfer(true); }};
    }

  private:
    static bool accepted(const Reply* e, size_t min) { return belongs(e) && says(e, min, 3, 0); }

    void closeDevice() override {
        const uint32_t r = call([this] { return KCAN_CloseDevice(type_, kIndex); });
        FUZZ_CHECK(r == 1 && log_.empty() && !kcanDevMgr.deviceFind(type_, kIndex));
    }

    void settingsWrite() {
        const uint32_t ch = in_.u8() % 3;
        _KCAN_RECORD_CONFIG cfg{};
        in_.take(&cfg, sizeof cfg);
        const uint32_t r = call([&] { return KCAN_RecordSettingSet(type_, kIndex, ch, &cfg); });
        const Reply* e = cmd(recorder::kCmdSettingsWrite);
        FUZZ_CHECK((e != nullptr) == (ch < 2) && r == result(accepted(e, 5)));
    }

    void settingsRead() {
        const uint32_t ch = in_.u8() % 3;
        _KCAN_RECORD_CONFIG cfg;
        poison(&cfg);
        const _KCAN_RECORD_CONFIG before = cfg;
        const uint32_t r = call([&] { return KCAN_RecordSettingGet(type_, kIndex, ch, &cfg); });
        const Reply* e = cmd(recorder::kCmdSettingsRead);
        const bool ok = belongs(e) && e->bytes.size() >= 26;
        FUZZ_CHECK((e != nullptr) == (ch < 2) && r == result(ok));
        FUZZ_CHECK(ok ? cfg.reserved == kPoison : same(cfg, before));
    }

    void filterCommand() {
        const uint32_t ch = in_.u8();
        const uint32_t command = in_.u8() % 7;
        _KCAN_FLITER_INFO info;
        poison(&info);
        _KCAN_FLITER_CONFIG cfg;
        poison(&cfg);
        if (command == 1) {
            cfg = _KCAN_FLITER_CONFIG{};
            in_.take(&cfg, sizeof cfg);
        } else {
            cfg.filterIndex = in_.u16();
        }
        const _KCAN_FLITER_INFO infoBefore = info;
        const _KCAN_FLITER_CONFIG cfgBefore = cfg;
        const uint32_t r =
            call([&] { return KCAN_RecordCmdExecute(type_, kIndex, ch, command, &info, &cfg); });
        const Reply* set = cmd(recorder::kCmdFilter);
        const Reply* query = cmd(recorder::kCmdFilterQuery);
        const size_t kind = command <= 3 ? 0 : command - 3;  // 3: none
        const bool ok = kind < 3 && accepted(kind == 0 ? set : query, kind == 0   ? 4
                                                                      : kind == 1 ? 7
                                                                                  : 13);
        FUZZ_CHECK((set != nullptr) == (kind == 0) &&
                   (query != nullptr) == (kind == 1 || kind == 2));
        FUZZ_CHECK(r == result(ok) && (kind < 3 || !last()));
        FUZZ_CHECK(((ok && kind == 1) || same(info, infoBefore)) &&
                   ((ok && kind == 2) || same(cfg, cfgBefore)));
    }
};

}  // namespace

int fuzzOneReplies(const uint8_t* data, size_t size) {
    static const bool attached = fuzz::attachDevices(fuzzpeer::kDeviceList);
    fuzz::Quiet quiet;
    fuzz::InputReader in(data, size);
    const auto family = static_cast<fuzzpeer::Family>(in.u8() % 3);
    fuzzpeer::ReplyPeer* peer = fuzzpeer::peerOf(family);
    FUZZ_CHECK(attached && peer != nullptr);
    peer->beginInput(&in);
    if (family == fuzzpeer::kFd)
        FdSession(in).run();
    else if (family == fuzzpeer::kClassic)
        ClassicSession(in).run();
    else
        RecorderSession(in).run();
    peer->beginInput(nullptr);
    return 0;
}
