#include "control_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "sim_control.h"

namespace ksim::core {

namespace {

constexpr size_t kMaxLine = 4096;
constexpr size_t kMaxClients = 8;

bool fillAddress(const std::string& path, sockaddr_un* address, std::string* error) {
    memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address->sun_path)) {
        *error = "socket path must have 1 to " + std::to_string(sizeof(address->sun_path) - 1) +
                 " characters";
        return false;
    }
    memcpy(address->sun_path, path.c_str(), path.size());
    return true;
}

void sendAll(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = send(fd, p, left, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // the client went away or stopped reading; it gets no more
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

// The reply's non-empty lines, then the empty line that ends every reply.
std::string frameReply(const std::string& reply) {
    std::string framed;
    size_t start = 0;
    while (start <= reply.size()) {
        size_t end = reply.find('\n', start);
        if (end == std::string::npos) {
            end = reply.size();
        }
        std::string line = reply.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty()) {
            framed += line;
            framed += '\n';
        }
        start = end + 1;
    }
    if (framed.empty()) {
        framed = "ok\n";
    }
    framed += '\n';
    return framed;
}

class ControlServer {
  public:
    ~ControlServer() { stop(); }

    bool start(const std::string& path, std::string* error) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (thread_.joinable()) {
            *error = "the control socket is served already at \"" + path_ + "\"";
            return false;
        }
        sockaddr_un address;
        if (!fillAddress(path, &address, error) || !claimPath(path, address, error)) {
            return false;
        }
        const int listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listenFd < 0) {
            *error = std::string("socket: ") + strerror(errno);
            return false;
        }
        if (bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            listen(listenFd, 8) != 0) {
            *error = "cannot listen on \"" + path + "\": " + strerror(errno);
            close(listenFd);
            return false;
        }
        const int wakeFd = eventfd(0, EFD_CLOEXEC);
        if (wakeFd < 0) {
            *error = std::string("eventfd: ") + strerror(errno);
            close(listenFd);
            unlink(path.c_str());
            return false;
        }
        listenFd_ = listenFd;
        wakeFd_ = wakeFd;
        path_ = path;
        thread_ = std::thread([this] { run(); });
        return true;
    }

    void stop() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!thread_.joinable()) {
            return;
        }
        const uint64_t one = 1;
        while (write(wakeFd_, &one, sizeof(one)) < 0 && errno == EINTR) {
        }
        thread_.join();
        close(listenFd_);
        close(wakeFd_);
        unlink(path_.c_str());
        listenFd_ = wakeFd_ = -1;
        path_.clear();
    }

  private:
    struct Client {
        int fd;
        std::string pending;
        bool discarding;  // skipping the rest of an overlong line
    };

    // A socket file left by a process that died is replaced; a live server's
    // socket and any file that is not a socket are left alone.
    static bool claimPath(const std::string& path, const sockaddr_un& address, std::string* error) {
        struct stat info;
        if (lstat(path.c_str(), &info) != 0) {
            return true;
        }
        if (!S_ISSOCK(info.st_mode)) {
            *error = "\"" + path + "\" exists and is not a socket";
            return false;
        }
        const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool live = probe >= 0 && connect(probe, reinterpret_cast<const sockaddr*>(&address),
                                                sizeof(address)) == 0;
        if (probe >= 0) {
            close(probe);
        }
        if (live) {
            *error = "\"" + path + "\" is served by another process";
            return false;
        }
        unlink(path.c_str());
        return true;
    }

    void run() {
        std::vector<Client> clients;
        for (;;) {
            std::vector<pollfd> fds;
            fds.push_back({wakeFd_, POLLIN, 0});
            fds.push_back({listenFd_, POLLIN, 0});
            for (const Client& client : clients) {
                fds.push_back({client.fd, POLLIN, 0});
            }
            if (poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                break;
            }
            if (fds[0].revents != 0) {
                break;
            }
            // Serve clients first: accepting may change the vector.
            for (size_t i = clients.size(); i-- > 0;) {
                if (fds[i + 2].revents != 0 && !serve(&clients[i])) {
                    close(clients[i].fd);
                    clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
                }
            }
            if (fds[1].revents & POLLIN) {
                accept(&clients);
            }
        }
        for (const Client& client : clients) {
            close(client.fd);
        }
    }

    void accept(std::vector<Client>* clients) {
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        // A client that stops reading must not stall the server for long.
        timeval timeout{2, 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
        if (clients->size() >= kMaxClients) {
            sendAll(fd, frameReply("error: too many control connections"));
            close(fd);
            return;
        }
        clients->push_back({fd, std::string(), false});
    }

    // Reads what the client sent and answers every complete line. False when
    // the client is gone.
    static bool serve(Client* client) {
        char buffer[1024];
        const ssize_t n = recv(client->fd, buffer, sizeof(buffer), 0);
        if (n < 0 && errno == EINTR) {
            return true;
        }
        if (n <= 0) {
            return false;
        }
        client->pending.append(buffer, static_cast<size_t>(n));
        for (size_t end; (end = client->pending.find('\n')) != std::string::npos;) {
            std::string line = client->pending.substr(0, end);
            client->pending.erase(0, end + 1);
            if (client->discarding) {
                client->discarding = false;
                continue;
            }
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (line.find_first_not_of(" \t") == std::string::npos) {
                continue;
            }
            sendAll(client->fd, frameReply(executeControlCommand(line)));
        }
        if (client->pending.size() > kMaxLine) {
            if (!client->discarding) {
                sendAll(client->fd, frameReply("error: line too long"));
            }
            client->pending.clear();
            client->discarding = true;
        }
        return true;
    }

    std::mutex mutex_;  // start() against stop()
    std::thread thread_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    std::string path_;
};

// Stopped by its destructor at process exit, which also removes the socket.
ControlServer server;

}  // namespace

bool startControlServer(const std::string& path, std::string* error) {
    return server.start(path, error);
}

void stopControlServer() {
    server.stop();
}

void startControlServerFromEnvironment() {
    static std::once_flag once;
    std::call_once(once, [] {
        const char* path = getenv("KESTRUN_SIM_CONTROL");
        if (path == nullptr || *path == '\0') {
            return;
        }
        std::string error;
        if (!startControlServer(path, &error)) {
            fprintf(stderr, "kestrun-usbsim: KESTRUN_SIM_CONTROL: %s; no control socket\n",
                    error.c_str());
        }
    });
}

}  // namespace ksim::core
