// pcapng blocks as written, and the reader over files of every shape.
#include <gtest/gtest.h>

#include <cstring>

#include "app/canlog/pcapng.h"
#include "canlog_test.h"

namespace {

using canlogtest::bytes;
using canlogtest::describe;
using canlogtest::frame;

const char kShbLe[] = "0A0D0D0A 1C000000 4D3C2B1A 01000000 FFFFFFFF FFFFFFFF 1C000000";
const char kIdbCan0[] = "01000000 20000000 E3000000 00000000 02000400 63616E30 00000000 20000000";

// Every frame of `file` as "<ifname> <describe>" lines, then "end" or the error.
std::string readAll(const std::string& file) {
    std::FILE* f = fmemopen(const_cast<char*>(file.data()), file.size(), "rb");
    if (f == nullptr) {  // fmemopen refuses a size of 0
        f = tmpfile();
    }
    PcapngReader reader(f);
    std::string out;
    LogFrame frame;
    std::string ifname, error;
    for (int i = 0; i < 100; ++i) {
        PcapngReader::Result r = reader.next(&frame, &ifname, &error);
        if (r != PcapngReader::Result::Frame) {
            out += r == PcapngReader::Result::End ? "end" : error;
            break;
        }
        out += ifname + " " + describe(frame) + "\n";
    }
    fclose(f);
    return out;
}

TEST(Pcapng, BlocksAsWritten) {
    std::string out;
    pcapngSectionHeader(out);
    pcapngInterfaceBlock(out, 2);
    pcapngPacketBlock(out, 0, frame(1700000000123456, 2, 0x123, "\x11\x22\x33"));
    LogFrame fd =
        frame(1700000000123706, 2, 0x12345678, "\xA0\xA1\xA2\xA3\xA4\xA5\xA6\xA7\xA8\xA9\xAA\xAB");
    fd.ext = fd.fd = fd.brs = fd.outbound = true;
    pcapngPacketBlock(out, 0, fd);
    EXPECT_EQ(out, bytes(std::string(kShbLe) +
                         "01000000 20000000 E3000000 00000000 02000400 63616E32 00000000 20000000"
                         // classic: id 123, 3 bytes, inbound
                         "06000000 3C000000 00000000 240A0600 40222018 10000000 10000000"
                         "00000123 03000000 11223300 00000000 02000400 01000000 00000000 3C000000"
                         // FD: extended, BRS and FDF, 12 bytes, outbound
                         "06000000 74000000 00000000 240A0600 3A232018 48000000 48000000"
                         "92345678 0C050000 A0A1A2A3 A4A5A6A7 A8A9AAAB" +
                         std::string(13 * 8, '0') + "02000400 02000000 00000000 74000000"));
}

TEST(Pcapng, ReadsBackWhatItWrites) {
    LogFrame frames[5] = {frame(1, 0, 0x123, "\x01\x02"),
                          frame(2, 5, 0x1FFFFFFF, "\x01\x02\x03\x04\x05\x06\x07\x08"),
                          frame(3, 0, 0x7FF, ""), frame(4, 5, 0x456, std::string(64, '\x5A')),
                          frame(0xFFFFFFFFFFFF, 0, 0x0, "")};
    frames[1].ext = frames[1].outbound = true;
    frames[2].rtr = true;
    frames[2].len = 4;
    frames[3].fd = frames[3].esi = true;
    frames[4].fd = true;
    std::string file;
    pcapngSectionHeader(file);
    pcapngInterfaceBlock(file, 0);
    pcapngInterfaceBlock(file, 5);
    std::string expect;
    for (const LogFrame& f : frames) {
        pcapngPacketBlock(file, f.channel == 5 ? 1 : 0, f);
        expect += "can" + std::to_string(f.channel) + " " + describe(f) + "\n";
    }
    EXPECT_EQ(readAll(file), expect + "end");
}

// A big-endian section with nanosecond stamps, then a little-endian one with
// 1/1024 s units, an interface of another link type, a simple packet block
// and a block of unknown type.
TEST(Pcapng, ReadsBothByteOrdersAndResolutions) {
    std::string file = bytes(
        "0A0D0D0A 0000001C 1A2B3C4D 00010000 FFFFFFFF FFFFFFFF 0000001C"
        "00000001 00000028 00E30000 00000000 00020004 63616E31 00090001 09000000 00000000 00000028"
        "00000006 00000030 00000000 17979CFE 3D85CD15 00000010 00000010"
        "80ABCDEF 02000000 CAFE0000 00000000 00000030" +
        std::string(kShbLe) +
        "01000000 20000000 01000000 00000000 02000400 65746830 00000000 20000000"
        "01000000 1C000000 E3000000 00000000 09000100 8A000000 1C000000"
        "06000000 30000000 00000000 00000000 00160000 10000000 10000000"
        "00000100 02000000 00000000 00000000 30000000"
        "03000000 14000000 04000000 DEADBEEF 14000000"
        "AD0B0000 0C000000 0C000000"
        "06000000 3C000000 01000000 00000000 00160000 10000000 10000000"
        "40000100 02000000 00000000 00000000 02000400 02000000 00000000 3C000000");
    EXPECT_EQ(readAll(file),
              "can1 t=1700000000123456 ch1 in ABCDEF ext len=2 CAFE\n"
              " t=5500000 ch0 out 100 rtr len=2 0000\nend");
}

TEST(Pcapng, RefusesBrokenFiles) {
    const std::string shb = kShbLe;
    const std::string idb = kIdbCan0;
    const std::string epbHead = "06000000 3C000000 00000000 00000000 00000000 10000000 10000000";
    const std::string epbTail = "02000400 01000000 00000000 3C000000";
    const std::pair<std::string, std::string> cases[] = {
        {"", "block 1: empty file"},
        {"01000000 0C000000 0C000000", "block 1: not a pcapng section header"},
        {"0A0D0D0A 1C000000 4D3C2B1A 01000000 FFFF", "block 1: truncated"},
        {"0A0D0D0A 1C000000 4D3C2B1B", "block 1: bad byte-order magic"},
        {"0A0D0D0A 1C000000 4D3C2B1A 02000000 FFFFFFFF FFFFFFFF 1C000000",
         "block 1: pcapng version 2 not supported"},
        {shb + "0100", "block 2: truncated"},
        {shb + "BAD00000 0D000000", "block 2: bad length 13"},
        {shb + "BAD00000 08000000", "block 2: bad length 8"},
        {shb + "BAD00000 00002000", "block 2: bad length 2097152"},
        {shb + "BAD00000 10000000 00000000 14000000", "block 2: lengths at the two ends differ"},
        {shb + epbHead + "00000123 03000000 11223300 00000000" + epbTail,
         "block 2: packet on undeclared interface 0"},
        {shb + "01000000 18000000 E3000000 00000000 02000800 18000000",
         "block 2: option runs past the block"},
        {shb + "01000000 1C000000 E3000000 00000000 09000100 14000000 1C000000",
         "block 2: time stamp resolution not supported"},
        {shb + idb + "06000000 3C000000 00000000 00000000 00000000 20000000 10000000",
         "block 3: truncated"},
        {shb + idb + "06000000 30000000 00000000 00000000 00000000 14000000 14000000" +
             "00000123 03000000 11223300 00000000 30000000",
         "block 3: captured length 20 past the block"},
        {shb + idb + "06000000 24000000 00000000 00000000 00000000 04000000 04000000" +
             "00000123 24000000",
         "block 3: CAN packet of 4 bytes"},
        {shb + idb + epbHead + "00000800 00000000 00000000 00000000" + epbTail,
         "block 3: standard identifier over 7FF"},
        {shb + idb + epbHead + "00000123 09000000 00000000 00000000" + epbTail,
         "block 3: data length 9 not valid for a classic frame"},
        {shb + idb + epbHead + "00000123 0D040000 00000000 00000000" + epbTail,
         "block 3: data length 13 not valid for a CAN FD frame"},
        {shb + idb + epbHead + "00000123 0C040000 00000000 00000000" + epbTail,
         "block 3: frame longer than its packet"},
    };
    for (const auto& [hex, expect] : cases) {
        EXPECT_EQ(readAll(bytes(hex)), expect) << hex;
    }
}

// Error frames are not replayed; kernels before FDF marked FD frames by
// their 72-byte size alone.
TEST(Pcapng, ReadsKernelQuirks) {
    EXPECT_EQ(readAll(bytes(std::string(kShbLe) + kIdbCan0 +
                            "06000000 3C000000 00000000 00000000 00000000 10000000 10000000"
                            "20000004 08000000 00000000 00000000"
                            "02000400 01000000 00000000 3C000000"
                            "06000000 74000000 00000000 00000000 07000000 48000000 48000000"
                            "00000321 0C010000 01020304 05060708 090A0B0C" +
                            std::string(13 * 8, '0') + "02000400 01000000 00000000 74000000")),
              "can0 t=7 ch0 in 321 fd brs len=12 0102030405060708090A0B0C\nend");
}

}  // namespace
