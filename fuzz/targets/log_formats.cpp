// Recorded logs read back for replay: candump lines and pcapng files.
#include <cstdio>
#include <string>

#include "app/canlog/candump.h"
#include "app/canlog/log_frame.h"
#include "app/canlog/pcapng.h"
#include "fuzz/targets/fuzz_support.h"

namespace {

bool validFd(uint8_t len) {
    return len <= 8 || len == 12 || len == 16 || len == 20 || len == 24 || len == 32 ||
           len == 48 || len == 64;
}

// What the transmit path may be handed: lengths and identifiers in range.
void checkLogFrame(const LogFrame& f) {
    FUZZ_CHECK(f.id <= (f.ext ? 0x1FFFFFFFu : 0x7FFu));
    FUZZ_CHECK(f.fd ? validFd(f.len) && !f.rtr : f.len <= 8 && !f.brs && !f.esi);
}

}  // namespace

// One line; a line that parses is written again and reads back the same.
int fuzzOneCandumpLine(const uint8_t* data, size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    LogFrame frame;
    std::string ifname, error;
    if (parseCandumpLine(line, &frame, &ifname, &error) != CandumpParse::Frame)
        return 0;
    checkLogFrame(frame);
    char out[kCandumpLineMax];
    const size_t n = formatCandumpLine(frame, out, sizeof out);
    FUZZ_CHECK(n > 0 && n < sizeof out && out[n - 1] == '\n');
    LogFrame again;
    FUZZ_CHECK(parseCandumpLine(std::string(out, n), &again, &ifname, &error) ==
               CandumpParse::Frame);
    FUZZ_CHECK(again.id == frame.id && again.ext == frame.ext && again.rtr == frame.rtr &&
               again.fd == frame.fd && again.brs == frame.brs && again.len == frame.len &&
               again.stampUs == frame.stampUs);
    return 0;
}

// A whole file: every frame read is one the tool could send, and reading ends.
int fuzzOnePcapng(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    std::FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (file == nullptr)
        return 0;
    PcapngReader reader(file);
    LogFrame frame;
    std::string ifname, error;
    // Each frame takes at least a 12-byte block, so reading ends in time.
    for (size_t frames = 0; frames <= size / 12 + 1; ++frames) {
        const PcapngReader::Result r = reader.next(&frame, &ifname, &error);
        if (r != PcapngReader::Result::Frame) {
            FUZZ_CHECK(r == PcapngReader::Result::End || !error.empty());
            std::fclose(file);
            return 0;
        }
        checkLogFrame(frame);
    }
    FUZZ_CHECK(false);  // more frames than the input can hold
    return 0;
}
