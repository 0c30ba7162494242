// The --log file (names, formats, rotation, failures) and the --replay source.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "app/canlog/log_writer.h"
#include "app/canlog/replay_source.h"
#include "canlog_test.h"

namespace {

using canlogtest::bytes;
using canlogtest::describe;
using canlogtest::frame;

class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/canlog_test.XXXXXX";
        path_ = mkdtemp(name) != nullptr ? name : "";
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

void put(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::string contentOf(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

// "<ifname> <describe>" of every frame of a log, then "end" or the error.
std::string replayed(const std::string& path) {
    ReplaySource source;
    std::string error;
    if (!source.open(path, &error)) {
        return error;
    }
    std::string out;
    LogFrame f;
    std::string ifname;
    for (;;) {
        ReplaySource::Result r = source.next(&f, &ifname, &error);
        if (r != ReplaySource::Result::Frame) {
            return out + (r == ReplaySource::Result::End ? "end" : error);
        }
        out += ifname + " " + describe(f) + "\n";
    }
}

TEST(LogFile, NamesAndFormats) {
    const struct {
        const char* path;
        unsigned part;
        const char* expect;
    } names[] = {
        {"drive.log", 0, "drive.log"},
        {"drive.log", 2, "drive.2.log"},
        {"drive", 1, "drive.1"},
        {"a.tar.gz", 1, "a.tar.1.gz"},
        {".log", 1, ".log.1"},
        {"dir.d/drive", 3, "dir.d/drive.3"},
        {"dir.d/.hidden", 1, "dir.d/.hidden.1"},
        {"/tmp/x.pcapng", 1, "/tmp/x.1.pcapng"},
    };
    for (const auto& n : names) {
        EXPECT_EQ(logPartName(n.path, n.part), n.expect);
    }
    EXPECT_EQ(logFormatForPath("x.pcapng"), LogFormat::Pcapng);
    EXPECT_EQ(logFormatForPath("X.PcapNG"), LogFormat::Pcapng);
    EXPECT_EQ(logFormatForPath("x.pcapng.log"), LogFormat::Candump);
    EXPECT_EQ(logFormatForPath("-"), LogFormat::Candump);
}

// Each line is over the 20-byte limit: a part takes one and none is empty.
TEST(LogFile, CandumpRotatesAndNeverOverwritesAFile) {
    TempDir dir;
    put(dir / "drive.log", "keep\n");
    LogWriter writer(dir / "drive.log", LogFormat::Candump, 20);
    std::vector<std::string> parts;
    std::string error;
    ASSERT_TRUE(writer.open(&error, [&](const std::string& name) { parts.push_back(name); }));
    LogFrame fd = frame(1700000000000001, 1, 0x12345678, "\x0A\x0B");
    fd.ext = fd.fd = fd.outbound = true;
    EXPECT_TRUE(writer.write(frame(1700000000000000, 0, 0x123, "\x01")));
    EXPECT_TRUE(writer.write(fd));
    writer.close();
    EXPECT_EQ(parts, (std::vector<std::string>{dir / "drive.1.log", dir / "drive.2.log"}));
    EXPECT_EQ(contentOf(dir / "drive.log"), "keep\n");
    EXPECT_EQ(contentOf(dir / "drive.1.log"), "(1700000000.000000) can0 123#01\n");
    EXPECT_EQ(contentOf(dir / "drive.2.log"), "(1700000000.000001) can1 12345678##00A0B\n");
    EXPECT_EQ(writer.framesWritten(), 2u);

    LogWriter nowhere(dir / "missing/x.log", LogFormat::Candump, 0);
    EXPECT_FALSE(nowhere.open(&error));
    EXPECT_EQ(error, dir / "missing/x.log: No such file or directory");
}

// 200 bytes a part: SHB 28 + IDB 32 + EPB 60 open a part, an EPB adds 60 and
// a new channel's IDB 32 more.
TEST(LogFile, PcapngPartsEachStartASection) {
    TempDir dir;
    put(dir / "cap.1.pcapng", "old");
    LogWriter writer(dir / "cap.pcapng", LogFormat::Pcapng, 200);
    std::vector<std::string> parts;
    std::string error;
    ASSERT_TRUE(writer.open(&error, [&](const std::string& name) { parts.push_back(name); }));
    const uint32_t channels[] = {0, 0, 1, 1, 0};
    for (uint32_t i = 0; i < 5; ++i) {
        EXPECT_TRUE(writer.write(frame(i, channels[i], 0x100 + i, "")));
    }
    writer.close();
    EXPECT_EQ(parts, (std::vector<std::string>{dir / "cap.pcapng", dir / "cap.2.pcapng",
                                               dir / "cap.3.pcapng"}));
    EXPECT_EQ(contentOf(dir / "cap.1.pcapng"), "old");
    EXPECT_EQ(std::filesystem::file_size(dir / "cap.pcapng"), 180u);
    EXPECT_EQ(std::filesystem::file_size(dir / "cap.2.pcapng"), 180u);
    EXPECT_EQ(replayed(dir / "cap.pcapng"),
              "can0 t=0 ch0 in 100 len=0 \ncan0 t=1 ch0 in 101 len=0 \nend");
    EXPECT_EQ(replayed(dir / "cap.2.pcapng"),
              "can1 t=2 ch1 in 102 len=0 \ncan1 t=3 ch1 in 103 len=0 \nend");
    EXPECT_EQ(replayed(dir / "cap.3.pcapng"), "can0 t=4 ch0 in 104 len=0 \nend");
}

TEST(LogFile, FullDiskLosesEveryLaterFrame) {
    LogWriter writer("/dev/full", LogFormat::Candump, 0);
    std::string error;
    ASSERT_TRUE(writer.open(&error)) << error;
    EXPECT_FALSE(writer.write(frame(0, 0, 1, "")));
    EXPECT_FALSE(writer.write(frame(0, 0, 2, "")));
    EXPECT_EQ(writer.firstError(), "/dev/full: No space left on device");
    EXPECT_EQ(writer.framesWritten(), 0u);
    EXPECT_EQ(writer.framesLost(), 2u);
}

// "-" is a live pcapng stream on standard output, which is not ours to close.
TEST(LogFile, StandardOutputStreamAndItsReaderLeaving) {
    signal(SIGPIPE, SIG_IGN);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    fflush(stdout);
    int savedStdout = dup(STDOUT_FILENO);
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[1]);
    std::string stream(200, '\0');
    ssize_t got = 0;
    {
        LogWriter writer("-", LogFormat::Pcapng, 100);
        std::string error;
        EXPECT_TRUE(writer.open(&error));
        EXPECT_TRUE(writer.write(frame(0, 0, 1, "")));
        EXPECT_TRUE(writer.write(frame(0, 0, 2, "")));  // no rotation on a stream
        got = read(pipeFds[0], stream.data(), stream.size());
        close(pipeFds[0]);
        EXPECT_FALSE(writer.write(frame(0, 0, 3, "")));
        EXPECT_EQ(writer.firstError(), "standard output: Broken pipe");
        EXPECT_EQ(writer.framesLost(), 1u);
        EXPECT_EQ(writer.framesWritten(), 2u);
    }
    EXPECT_NE(fcntl(STDOUT_FILENO, F_GETFD), -1);
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);
    EXPECT_EQ(got, 180);
    EXPECT_EQ(stream.substr(0, 12), bytes("0A0D0D0A 1C000000 4D3C2B1A"));
}

TEST(LogFile, ConcurrentWritersKeepRecordsWhole) {
    TempDir dir;
    LogWriter writer(dir / "many.log", LogFormat::Candump, 0);
    std::string error;
    ASSERT_TRUE(writer.open(&error));
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 4; ++t) {
        threads.emplace_back([&writer, t] {
            for (uint32_t i = 0; i < 500; ++i) {
                writer.write(frame(i, t, 0x7FF, "\x01\x02\x03\x04\x05\x06\x07\x08"));
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    writer.close();
    std::string all = replayed(dir / "many.log");
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 2000);
    EXPECT_EQ(all.substr(all.size() - 3), "end");
}

TEST(Replay, CandumpLinesAndRewind) {
    TempDir dir;
    put(dir / "in.log",
        "(1.000000) can0 123#11\r\n\n(2.000000) can1 20000080#0000000000000000\n"
        "(3.5) can1 456#R2 T");
    ReplaySource source;
    std::string error, ifname;
    ASSERT_TRUE(source.open(dir / "in.log", &error));
    EXPECT_FALSE(source.isPcapng());
    LogFrame f;
    std::string seen;
    for (int pass = 0; pass < 2; ++pass) {
        while (source.next(&f, &ifname, &error) == ReplaySource::Result::Frame) {
            seen += ifname + " " + describe(f) + "\n";
        }
        EXPECT_TRUE(source.rewind(&error));
    }
    const std::string once =
        "can0 t=1000000 ch0 in 123 len=1 11\ncan1 t=3500000 ch1 out 456 rtr len=2 0000\n";
    EXPECT_EQ(seen, once + once);
}

TEST(Replay, Errors) {
    TempDir dir;
    const std::pair<std::string, std::string> cases[] = {
        {"\n" + std::string(5000, 'x') + "\n", ":2: line too long"},
        {"\n\n(1.0) can0 123#1\n", ":3: odd number of data digits"},
        {bytes("0A0D0D0A 1C000000 4D3C2B1A 01000000 FFFFFFFF FFFFFFFF 1C000000 0100"),
         ": block 2: truncated"},
    };
    for (const auto& [content, expect] : cases) {
        put(dir / "bad", content);
        EXPECT_EQ(replayed(dir / "bad"), dir / "bad" + expect);
    }
    EXPECT_EQ(replayed(dir / "none"), dir / "none: No such file or directory");
}

}  // namespace
