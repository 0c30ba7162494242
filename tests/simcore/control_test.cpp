// The control protocol: every command and its refusals, and the socket that
// carries it (framing, several commands per write, split and overlong lines,
// connection limit, stale and foreign socket files).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "control_server.h"
#include "sim_control.h"
#include "test_support.h"

namespace {

using ksim::executeControlCommand;

TEST(ControlCommands, ListUnplugPlugCountersAndFirmwareWords) {
    ASSERT_TRUE(ksim::configureDevices("ECHO*2"));
    EXPECT_NE(executeControlCommand("help").find("unplug N"), std::string::npos);
    EXPECT_EQ(executeControlCommand("list"),
              "0 ECHO 1209:0001 #0 plugged\n1 ECHO 1209:0001 #1 plugged");
    EXPECT_EQ(executeControlCommand("  unplug   1 "), "ok");
    EXPECT_EQ(executeControlCommand("list"),
              "0 ECHO 1209:0001 #0 plugged\n1 ECHO 1209:0001 #1 unplugged");
    EXPECT_EQ(executeControlCommand("unplug 1"), "error: device 1 is already unplugged");
    EXPECT_EQ(executeControlCommand("plug 1"), "ok");
    EXPECT_EQ(executeControlCommand("plug 1"), "error: device 1 is already plugged in");
    EXPECT_EQ(executeControlCommand("counters 0"),
              "opens=0 resets=0 clear_halts=0 out=0 in=0 bytes_out=0 bytes_in=0 timeouts=0 "
              "failures=0");
    EXPECT_EQ(executeControlCommand("dev 1 ordinal"), "1");
    EXPECT_EQ(executeControlCommand("dev 0 push 83 0a0b"), "ok");
    EXPECT_EQ(executeControlCommand("dev 0 pending 83"), "1");
    EXPECT_EQ(executeControlCommand("cut 0 83 1 0 rc=-9"), "ok");
    EXPECT_EQ(executeControlCommand("cut 0 off"), "ok");
    EXPECT_EQ(executeControlCommand("dev 0 launch"), "error: echo device does not know \"launch\"");
}

TEST(ControlCommands, MalformedCommandsGetAnErrorLine) {
    ASSERT_TRUE(ksim::configureDevices("ECHO*2"));
    const struct {
        const char* line;
        const char* reply;
    } cases[] = {
        {"", "error: empty command (try help)"},
        {"frobnicate 1", "error: unknown command \"frobnicate\" (try help)"},
        {"UNPLUG 1", "error: unknown command \"UNPLUG\" (try help)"},
        {"unplug", "error: usage: unplug N (N: a device position from list)"},
        {"unplug x", "error: usage: unplug N (N: a device position from list)"},
        {"unplug -1", "error: usage: unplug N (N: a device position from list)"},
        {"unplug 99999999999999", "error: usage: unplug N (N: a device position from list)"},
        {"unplug 2", "error: no device 2 (devices 0..1)"},
        {"plug 0 1", "error: plug takes one device position"},
        {"counters 5", "error: no device 5 (devices 0..1)"},
        {"dev", "error: usage: dev N WORDS... (N: a device position from list)"},
        {"dev 0", "error: no command for device 0"},
        {"dev 9 ordinal", "error: no device 9 (devices 0..1)"},
        {"list all", "error: list takes no arguments"},
        {"transcript", "error: usage: transcript PATH|off"},
        {"cut", "error: usage: cut N EP BYTES... (N: a device position from list)"},
        {"cut 0 83", "error: usage: cut N EP BYTES [TIMES] [rc=CODE] | cut N off"},
        {"cut 0 183 4", "error: usage: cut N EP BYTES [TIMES] [rc=CODE] | cut N off"},
        {"cut 0 83 -4", "error: usage: cut N EP BYTES [TIMES] [rc=CODE] | cut N off"},
        {"cut 0 83 4 1 2", "error: usage: cut N EP BYTES [TIMES] [rc=CODE] | cut N off"},
        {"cut 0 83 4 rc=7",
         "error: a cut needs BYTES and TIMES of 0 or more and a negative result code"},
        {"cut 2 off", "error: no device 2 (devices 0..1)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(executeControlCommand(c.line), c.reply) << "\"" << c.line << "\"";
    }
    EXPECT_EQ(executeControlCommand("list"),
              "0 ECHO 1209:0001 #0 plugged\n1 ECHO 1209:0001 #1 plugged");
}

// A connected client of the control socket.
class ControlClient {
  public:
    explicit ControlClient(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
        if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~ControlClient() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    bool connected() const { return fd_ >= 0; }
    void send(const std::string& text) {
        ASSERT_EQ(::send(fd_, text.data(), text.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(text.size()));
    }
    // The next reply with its closing empty line, or "" after 10 s.
    std::string reply() {
        for (;;) {
            const size_t end = buffer_.find("\n\n");
            if (end != std::string::npos) {
                std::string text = buffer_.substr(0, end + 2);
                buffer_.erase(0, end + 2);
                return text;
            }
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) {
                return "";
            }
            char chunk[4096];
            const ssize_t n = recv(fd_, chunk, sizeof(chunk), 0);
            if (n <= 0) {
                return "";
            }
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

  private:
    int fd_ = -1;
    std::string buffer_;
};

class ControlSocket : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(ksim::configureDevices("ECHO*2"));
        path_ = dir_.file("control.sock");
    }
    void TearDown() override { ksim::core::stopControlServer(); }

    testsupport::TempDir dir_;
    std::string path_;
};

TEST_F(ControlSocket, RepliesEndWithAnEmptyLineInCommandOrder) {
    std::string error;
    ASSERT_TRUE(ksim::core::startControlServer(path_, &error)) << error;
    ControlClient client(path_);
    ASSERT_TRUE(client.connected());
    client.send("list\n");
    EXPECT_EQ(client.reply(), "0 ECHO 1209:0001 #0 plugged\n1 ECHO 1209:0001 #1 plugged\n\n");
    // Two commands in one write, a blank line between, CRLF line ends.
    client.send("unplug 0\r\n\n   \nlist\n");
    EXPECT_EQ(client.reply(), "ok\n\n");
    EXPECT_EQ(client.reply(), "0 ECHO 1209:0001 #0 unplugged\n1 ECHO 1209:0001 #1 plugged\n\n");
    // A command split over writes is answered once it is complete.
    client.send("pl");
    client.send("ug 0\n");
    EXPECT_EQ(client.reply(), "ok\n\n");
    client.send("dev 1 frob\n");
    EXPECT_EQ(client.reply(), "error: echo device does not know \"frob\"\n\n");
}

TEST_F(ControlSocket, AnOverlongLineIsRefusedAndTheConnectionGoesOn) {
    std::string error;
    ASSERT_TRUE(ksim::core::startControlServer(path_, &error)) << error;
    ControlClient client(path_);
    ASSERT_TRUE(client.connected());
    client.send(std::string(5000, 'x'));
    EXPECT_EQ(client.reply(), "error: line too long\n\n");
    client.send(std::string(3000, 'y') + "\ndev 1 ordinal\n");
    EXPECT_EQ(client.reply(), "1\n\n");
}

TEST_F(ControlSocket, ClientsBeyondTheLimitAreTurnedAway) {
    std::string error;
    ASSERT_TRUE(ksim::core::startControlServer(path_, &error)) << error;
    std::vector<std::unique_ptr<ControlClient>> clients;
    for (int i = 0; i < 8; ++i) {
        clients.push_back(std::make_unique<ControlClient>(path_));
        ASSERT_TRUE(clients.back()->connected());
        clients.back()->send("dev 0 ordinal\n");
        ASSERT_EQ(clients.back()->reply(), "0\n\n");  // served, so it counts
    }
    ControlClient extra(path_);
    ASSERT_TRUE(extra.connected());
    EXPECT_EQ(extra.reply(), "error: too many control connections\n\n");
    // A closed client frees its place: the server handles the end of a
    // connection before it accepts the next one.
    clients.pop_back();
    ControlClient again(path_);
    ASSERT_TRUE(again.connected());
    again.send("dev 1 ordinal\n");
    EXPECT_EQ(again.reply(), "1\n\n");
}

TEST_F(ControlSocket, SocketFileIsRemovedOnStopAndStaleOnesAreReplaced) {
    // A socket file without a server, as a killed process leaves it.
    const int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof(address.sun_path), "%s", path_.c_str());
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    close(stale);

    std::string error;
    ASSERT_TRUE(ksim::core::startControlServer(path_, &error)) << error;
    EXPECT_FALSE(ksim::core::startControlServer(dir_.file("other.sock"), &error));
    EXPECT_NE(error.find("served already"), std::string::npos) << error;
    ksim::core::stopControlServer();
    EXPECT_NE(access(path_.c_str(), F_OK), 0);
}

TEST_F(ControlSocket, ForeignFilesLiveServersAndLongPathsAreRefused) {
    std::string error;
    const std::string plain = dir_.file("plain");
    { std::ofstream(plain) << "keep me"; }
    EXPECT_FALSE(ksim::core::startControlServer(plain, &error));
    EXPECT_NE(error.find("is not a socket"), std::string::npos) << error;
    EXPECT_EQ(testsupport::readFile(plain), "keep me");

    const int live = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof(address.sun_path), "%s", path_.c_str());
    ASSERT_EQ(bind(live, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(live, 1), 0);
    EXPECT_FALSE(ksim::core::startControlServer(path_, &error));
    EXPECT_NE(error.find("served by another process"), std::string::npos) << error;
    close(live);

    EXPECT_FALSE(ksim::core::startControlServer(dir_.path() + "/" + std::string(120, 'n'), &error));
    EXPECT_NE(error.find("socket path must have"), std::string::npos) << error;
    EXPECT_FALSE(ksim::core::startControlServer("", &error));
}

}  // namespace
