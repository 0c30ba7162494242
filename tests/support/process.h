// Programs started by tests: their own arguments, environment changes and
// working directory, standard output and error collected in files (a child
// never blocks on a reader). Also output captured from code run in the test.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testproc {

using namespace std::chrono_literals;
// Variables to set, or to remove (nullopt), in the child's environment.
using Env = std::map<std::string, std::optional<std::string>>;

class Process {
  public:
    Process(const std::vector<std::string>& argv, const Env& env = {},
            const std::string& dir = "/");
    ~Process();  // kills and reaps a child still running
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    std::string out() const;  // standard output so far
    std::string err() const;  // standard error so far
    // Waits until standard output holds `text` `times` times; false on
    // time-out or when the child ended without it.
    bool waitFor(const std::string& text, int times = 1, std::chrono::milliseconds timeout = 20s);
    // The exit status, or -1 on time-out or death by a signal.
    int wait(std::chrono::milliseconds timeout = 20s);
    bool running();
    void signal(int signo);

  private:
    pid_t pid_ = -1;
    std::string outPath_, errPath_;
    int status_ = -1;
};

struct Result {
    int status;
    std::string out, err;
};
// Runs a program to its end (killed after 30 s).
Result run(const std::vector<std::string>& argv, const Env& env = {}, const std::string& dir = "/");

int countOf(const std::string& hay, const std::string& needle);

template <typename Fn>
std::string stdoutOf(Fn&& fn) {
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

}  // namespace testproc
