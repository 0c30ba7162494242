// kestrun-simctl: sends one command to the control socket of a program that
// runs on the virtual adapters, and prints the reply.
//
//   kestrun-simctl [-s SOCKET] COMMAND [ARGS...]
//
// SOCKET defaults to $KESTRUN_SIM_CONTROL. Exit status: 0 for a reply, 1 for a
// reply starting with "error:", 2 for a usage or connection problem.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Firmware commands answer at once; this only bounds a wedged server.
constexpr int kReplyTimeoutMs = 30000;

const char kUsage[] =
    "usage: kestrun-simctl [-s SOCKET] COMMAND [ARGS...]\n"
    "  SOCKET   control socket of the running program (default: $KESTRUN_SIM_CONTROL)\n"
    "commands:\n"
    "  list                   devices: position, model, USB ids, #index, plugged|unplugged\n"
    "  counters N             simulator counts of device N\n"
    "  unplug N | plug N      unplug device N, plug it back in\n"
    "  dev N WORDS...         send WORDS to the firmware of device N\n"
    "  cut N EP BYTES [TIMES] [rc=CODE] | cut N off\n"
    "                         end transfers on endpoint EP after BYTES with a time-out\n"
    "  transcript PATH|off    append the transfer transcript to PATH, or stop it\n"
    "  help                   the server's command list\n"
    "exit status: 0 done, 1 the reply is an error, 2 usage or connection problem\n";

int fail(const std::string& message) {
    fprintf(stderr, "kestrun-simctl: %s\n", message.c_str());
    return 2;
}

bool sendAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads until the empty line that ends a reply; the reply without it.
bool readReply(int fd, std::string* reply, std::string* error) {
    std::string text;
    for (;;) {
        if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\n\n") == 0) {
            *reply = text.substr(0, text.size() - 1);
            return true;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, kReplyTimeoutMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            *error = "no reply from the control socket";
            return false;
        }
        char buffer[4096];
        const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            *error = "the control socket closed before the reply ended";
            return false;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* socketPath = getenv("KESTRUN_SIM_CONTROL");
    int first = 1;
    while (first < argc && argv[first][0] == '-') {
        const std::string option = argv[first];
        if (option == "-h" || option == "--help") {
            fputs(kUsage, stdout);
            return 0;
        }
        if (option == "-s" && first + 1 < argc) {
            socketPath = argv[first + 1];
            first += 2;
            continue;
        }
        fputs(kUsage, stderr);
        return fail("unknown option " + option);
    }
    if (first >= argc) {
        fputs(kUsage, stderr);
        return 2;
    }
    if (socketPath == nullptr || *socketPath == '\0') {
        return fail("no control socket: set KESTRUN_SIM_CONTROL or pass -s SOCKET");
    }

    std::string line;
    for (int i = first; i < argc; ++i) {
        if (strchr(argv[i], '\n') != nullptr || strchr(argv[i], '\r') != nullptr) {
            return fail("arguments must not contain line breaks");
        }
        line += (i > first ? " " : "") + std::string(argv[i]);
    }
    line += '\n';

    sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    if (strlen(socketPath) >= sizeof(address.sun_path)) {
        return fail(std::string("socket path too long: ") + socketPath);
    }
    strcpy(address.sun_path, socketPath);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return fail(std::string("socket: ") + strerror(errno));
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        const std::string reason = strerror(errno);
        close(fd);
        return fail(std::string("cannot connect to ") + socketPath + ": " + reason);
    }
    std::string reply;
    std::string error;
    const bool ok = sendAll(fd, line) && readReply(fd, &reply, &error);
    close(fd);
    if (!ok) {
        return fail(error.empty() ? "cannot send the command" : error);
    }
    fputs(reply.c_str(), stdout);
    return reply.rfind("error:", 0) == 0 ? 1 : 0;
}
