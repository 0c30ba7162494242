// Child processes for end-to-end tests: kestrun on virtual adapters, with
// its output collected in a file that the test can wait on.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

class Process {
  public:
    // Starts the launcher with `args`; `env` is added to the environment.
    Process(const std::string& program, const std::vector<std::string>& args,
            const std::map<std::string, std::string>& env = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Everything written to standard output and standard error so far.
    std::string output() const;
    // Waits until the output holds `text` `times` times; false on time-out or
    // when the process ended without it.
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout, int times = 1);
    // Waits for the process to end; its exit status, or -1 on time-out or a
    // death by signal (then signalled() tells which).
    int wait(std::chrono::milliseconds timeout);
    void signal(int signo);
    bool running();
    int signalled() const { return termSignal_; }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    std::string outPath_;
    bool reaped_ = false;
    int status_ = -1;
    int termSignal_ = 0;
};

// Runs a command to its end and returns its standard output.
std::string runCommand(const std::vector<std::string>& argv, int* status = nullptr);

// Counts the non-overlapping occurrences of `needle` in `hay`.
int countOf(const std::string& hay, const std::string& needle);
