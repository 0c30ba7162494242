#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

Process::Process(const std::string& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env) {
    char tmpl[] = "/tmp/kestrun-e2e-out-XXXXXX";
    int fd = mkstemp(tmpl);
    outPath_ = tmpl;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        for (const auto& [key, value] : env) {
            setenv(key.c_str(), value.c_str(), 1);
        }
        // A sanitized tool would refuse a preloaded library that is not
        // behind the sanitizer runtime; the launcher orders them, and this
        // keeps the check quiet when the harness itself is sanitized.
        setenv("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=1", 0);
        if (chdir("/tmp") != 0) {
            _exit(126);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(fd);
}

Process::~Process() {
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    unlink(outPath_.c_str());
}

std::string Process::output() const {
    std::ifstream in(outPath_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool Process::running() {
    if (reaped_) {
        return false;
    }
    int status;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        termSignal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        return false;
    }
    return true;
}

bool Process::waitFor(const std::string& text, std::chrono::milliseconds timeout, int times) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (countOf(output(), text) >= times) {
            return true;
        }
        bool alive = running();
        if (!alive) {
            return countOf(output(), text) >= times;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int Process::wait(std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() >= end) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status_;
}

void Process::signal(int signo) {
    if (!reaped_) {
        kill(pid_, signo);
    }
}

std::string runCommand(const std::vector<std::string>& args, int* status) {
    std::vector<std::string> empty;
    Process p(args[0], std::vector<std::string>(args.begin() + 1, args.end()));
    int rc = p.wait(std::chrono::seconds(30));
    if (status != nullptr) {
        *status = rc;
    }
    return p.output();
}

int countOf(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t pos = hay.find(needle); pos != std::string::npos;
         pos = hay.find(needle, pos + needle.size())) {
        ++n;
    }
    return n;
}
