// Shared set-up of the end-to-end tests: each test drives its own virtual
// adapter index (sharing tests 1..19, lifecycle tests 20..40; classic
// adapters end at 31), so that the lock and socket files in /tmp of tests
// running in parallel never meet.
#pragma once

#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "process.h"

using namespace std::chrono_literals;
using testproc::countOf;
using testproc::Process;

inline const char* kStarted = "启动完成...";
inline const char* kInited = "设备初始化成功...";

struct E2eAdapter {
    int index;
    std::string model = "DUNLINFD2";

    std::string path(const char* suffix) const {
        return "/tmp/Kestrun_" + model + "_" + std::to_string(index) + suffix;
    }
    std::string control() const {
        return "/tmp/kestrun-e2e-ctl-" + std::to_string(getpid()) + "-" + std::to_string(index);
    }
    // A kestrun process on this test's adapters (index + 1 of the model),
    // started through the command `as` when given.
    std::unique_ptr<Process> start(std::vector<std::string> args,
                                   std::vector<std::string> as = {}) const {
        args.insert(args.begin(), {KESTRUN_SIM_LAUNCHER, "-D", model, "-i", std::to_string(index)});
        args.insert(args.begin(), as.begin(), as.end());
        return std::make_unique<Process>(
            args, testproc::Env{{"KESTRUN_SIM", model + "*" + std::to_string(index + 1)},
                                {"KESTRUN_SIM_CONTROL", control()}});
    }
    // A command to the virtual adapters of this test's processes.
    testproc::Result simctl(std::vector<std::string> words) const {
        words.insert(words.begin(), {KESTRUN_SIMCTL, "-s", control()});
        return testproc::run(words);
    }
    // Makes a classic frame arrive on a channel of this test's adapter.
    testproc::Result inject(int channel, const std::string& id, const std::string& data) const {
        return simctl({"dev", std::to_string(index), "inject", std::to_string(channel), "C", "S",
                       "D", id, data});
    }
};
