// Command replies of the three adapter families (FD, classic, recorder): short,
// foreign and oversized replies into the reply decoders.
//
// Input: byte 0 picks the decoder, byte 1 an offset or a destination size,
// the rest is the reply, held in a buffer of exactly its length so that any
// read past it is caught by AddressSanitizer.
// Invariants: a decoder accepts only replies long enough for the fields it
// reads and returns exactly those bytes; a refused reply leaves the output
// untouched; copies never exceed their destination or the reply.
#include <algorithm>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "drivers/classic/dunlin2_protocol.h"
#include "drivers/fd/fd_protocol.h"
#include "drivers/record/record_protocol.h"
#include "fuzz/targets/fuzz_support.h"

namespace {

template <typename T>
bool untouched(const T& value, uint8_t fill) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&value);
    for (size_t i = 0; i < sizeof value; ++i)
        if (p[i] != fill)
            return false;
    return true;
}

void fdReplies(uint8_t param, std::span<const uint8_t> reply) {
    // A request of every command the driver sends, against the reply.
    const uint8_t codes[] = {dunlinfd::kCmdHwVersion,   dunlinfd::kCmdBitTiming,
                             dunlinfd::kCmdFilter,      dunlinfd::kCmdStart,
                             dunlinfd::kCmdStop,        dunlinfd::kCmdFwVersion,
                             dunlinfd::kCmdChannelCount};
    for (uint8_t code : codes) {
        uint8_t request[dunlinfd::kQueryCmdSize];
        FUZZ_CHECK(dunlinfd::buildQueryCommand(code, request) == dunlinfd::kQueryCmdSize);
        bool match = dunlinfd::replyMatches(request, reply);
        FUZZ_CHECK(match == (reply.size() >= dunlinfd::kMinReplyLength && reply[0] == request[0] &&
                             reply[1] == request[1]));
    }
    uint8_t direct[dunlinfd::kDirectCmdSize];
    FUZZ_CHECK(dunlinfd::buildDirectTransfer(reply.data(), reply.size(), direct) ==
               dunlinfd::kDirectCmdSize);
    const size_t copied = std::min(reply.size(), dunlinfd::kDirectPayloadMax);
    FUZZ_CHECK(std::memcmp(direct + 2, reply.data(), copied) == 0);
    for (size_t i = 2 + copied; i < dunlinfd::kDirectCmdSize; ++i)
        FUZZ_CHECK(direct[i] == 0);

    uint8_t byte = 0xEE;
    bool got = dunlinfd::replyByte(reply, param, &byte);
    FUZZ_CHECK(got == (param < reply.size()));
    FUZZ_CHECK(got ? byte == reply[param] : byte == 0xEE);

    uint16_t version = 0xEEEE;
    got = dunlinfd::replyVersionWord(reply, &version);
    FUZZ_CHECK(got == (reply.size() >= 6));
    FUZZ_CHECK(got ? version == (reply[4] << 8 | reply[5]) : version == 0xEEEE);
}

void classicReplies(uint8_t param, std::span<const uint8_t> reply) {
    const bool accepted = dunlin2::initAccepted(reply.data(), reply.size());
    FUZZ_CHECK(accepted == (reply.size() > 2 && (reply[2] == dunlin2::kInitAccepted1 ||
                                                 reply[2] == dunlin2::kInitAccepted2)));
    // The info text lands in a destination of exactly the size given.
    const size_t destSize = param % 80;
    auto dest = std::make_unique<char[]>(destSize + 1);
    dest[destSize] = '\x7E';
    const size_t n = dunlin2::copyInfoText(reply.data(), reply.size(), dest.get(), destSize);
    FUZZ_CHECK(n <= destSize);
    FUZZ_CHECK(dest[destSize] == '\x7E');
    if (n > 0) {
        FUZZ_CHECK(reply.size() > 4 && n <= reply.size() - 4);
        FUZZ_CHECK(n <= static_cast<size_t>((reply[2] & 0x0F) - 1));
        FUZZ_CHECK(std::memcmp(dest.get(), reply.data() + 4, n) == 0);
    }
    uint8_t cmd[dunlin2::kCmdBufferSize];
    const int32_t len = static_cast<int32_t>(reply.size()) - static_cast<int32_t>(param);
    const size_t built = dunlin2::buildDataTransferCommand(reply.data(), len, cmd);
    FUZZ_CHECK(built >= 2 && built <= dunlin2::kCmdBufferSize);
}

void recorderReplies(uint8_t param, std::span<const uint8_t> reply) {
    uint8_t cmd[recorder::kCmdBufferSize] = {};
    const size_t cmdLength = recorder::buildBoardQuery(param, cmd);
    FUZZ_CHECK(cmdLength == recorder::kBoardQueryLength);
    // replyMatches reads the command's bytes too, so it only sees a reply of
    // at most the command buffer's length.
    const size_t matchLength = std::min(reply.size(), recorder::kCmdBufferSize);
    const bool match = recorder::replyMatches(cmd, reply.data(), matchLength);
    if (match)
        FUZZ_CHECK(matchLength >= recorder::kReplyMatchMin && reply[0] == cmd[0] &&
                   reply[1] == cmd[1]);
    const bool accepted = recorder::replyAccepted(reply.data(), reply.size(), param % 32);
    if (accepted)
        FUZZ_CHECK(reply.size() >= param % 32 && reply.size() > recorder::kStatusByte &&
                   reply[recorder::kStatusByte] == recorder::kStatusAccepted);

    // The settings reply is read into a buffer of at least 28 bytes.
    std::vector<uint8_t> buffer(std::max<size_t>(reply.size(), recorder::kSettingsWriteLength));
    if (!reply.empty())
        std::memcpy(buffer.data(), reply.data(), reply.size());
    _KCAN_RECORD_CONFIG settings;
    std::memset(&settings, 0xEE, sizeof settings);
    if (!recorder::parseSettings(buffer.data(), buffer.size(), reply.size(), &settings))
        FUZZ_CHECK(untouched(settings, 0xEE));
    else
        FUZZ_CHECK(reply.size() >= recorder::kSettingsReadReplyMin);

    _KCAN_FLITER_INFO info;
    std::memset(&info, 0xEE, sizeof info);
    if (!recorder::parseFilterSummary(reply.data(), reply.size(), &info))
        FUZZ_CHECK(untouched(info, 0xEE));
    else
        FUZZ_CHECK(reply.size() >= recorder::kFilterSummaryReplyMin);

    _KCAN_FLITER_CONFIG filter;
    std::memset(&filter, 0xEE, sizeof filter);
    if (!recorder::parseFilterEntry(reply.data(), reply.size(), &filter))
        FUZZ_CHECK(untouched(filter, 0xEE));
    else
        FUZZ_CHECK(reply.size() >= recorder::kFilterEntryReplyMin);
}

}  // namespace

int fuzzOneReplies(const uint8_t* data, size_t size) {
    fuzz::InputReader in(data, size);
    const uint8_t family = in.u8();
    const uint8_t param = in.u8();
    // Exactly the reply's bytes on the heap: no slack to hide an overread.
    const size_t length = std::min<size_t>(in.remaining(), 4096);
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[length == 0 ? 1 : length]);
    in.take(bytes.get(), length);
    std::span<const uint8_t> reply(bytes.get(), length);
    switch (family % 3) {
        case 0:
            fdReplies(param, reply);
            break;
        case 1:
            classicReplies(param, reply);
            break;
        default:
            recorderReplies(param, reply);
            break;
    }
    return 0;
}
