#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace testproc {

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

Process::Process(const std::vector<std::string>& argv, const Env& env, const std::string& dir) {
    char out[] = "/tmp/kestrun-test-out-XXXXXX", err[] = "/tmp/kestrun-test-err-XXXXXX";
    int outFd = mkstemp(out), errFd = mkstemp(err);
    outPath_ = out;
    errPath_ = err;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(outFd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
        for (const auto& [key, value] : env) {
            value ? setenv(key.c_str(), value->c_str(), 1) : unsetenv(key.c_str());
        }
        // A sanitized child would refuse a preloaded library not behind the
        // sanitizer runtime; the simulator's launcher orders them itself.
        setenv("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=1", 0);
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        if (chdir(dir.c_str()) == 0) {
            execv(args[0], args.data());
        }
        _exit(127);
    }
    close(outFd);
    close(errFd);
}

Process::~Process() {
    if (running()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    unlink(outPath_.c_str());
    unlink(errPath_.c_str());
}

std::string Process::out() const {
    return readFile(outPath_);
}

std::string Process::err() const {
    return readFile(errPath_);
}

bool Process::running() {
    int status;
    if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -pid_;  // reaped
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return pid_ > 0;
}

bool Process::waitFor(const std::string& text, int times, std::chrono::milliseconds timeout) {
    for (auto end = std::chrono::steady_clock::now() + timeout;;) {
        bool alive = running();  // before reading: the output of an ended child is complete
        if (countOf(out(), text) >= times) {
            return true;
        }
        if (!alive || std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
}

int Process::wait(std::chrono::milliseconds timeout) {
    for (auto end = std::chrono::steady_clock::now() + timeout; running();) {
        if (std::chrono::steady_clock::now() >= end) {
            return -1;
        }
        std::this_thread::sleep_for(20ms);
    }
    return status_;
}

void Process::signal(int signo) {
    if (running()) {
        kill(pid_, signo);
    }
}

Result run(const std::vector<std::string>& argv, const Env& env, const std::string& dir) {
    Process p(argv, env, dir);
    int status = p.wait(30s);
    return {status, p.out(), p.err()};
}

int countOf(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos;
         at = hay.find(needle, at + needle.size())) {
        ++n;
    }
    return n;
}

}  // namespace testproc
