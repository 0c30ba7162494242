// Shared set-up of the end-to-end tests: each test drives its own virtual
// adapter index, so that the lock and socket files in /tmp of tests running
// in parallel never meet.
#pragma once

#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "process.h"

struct E2eAdapter {
    int index;  // device index of this test's adapter
    std::string modelName = "DUNLINFD2";

    std::string model() const { return modelName; }
    std::string lockPath() const {
        return "/tmp/Kestrun_" + modelName + "_" + std::to_string(index) + ".lock";
    }
    std::string socketPath() const {
        return "/tmp/Kestrun_" + modelName + "_" + std::to_string(index) + ".sock";
    }
    std::string controlPath() const {
        return "/tmp/kestrun-e2e-ctl-" + std::to_string(getpid()) + "-" + std::to_string(index);
    }
    std::map<std::string, std::string> env() const {
        return {{"KESTRUN_SIM", modelName + "*" + std::to_string(index + 1)},
                {"KESTRUN_SIM_CONTROL", controlPath()}};
    }
    std::vector<std::string> args(std::vector<std::string> more) const {
        std::vector<std::string> all = {"-D", model(), "-i", std::to_string(index)};
        all.insert(all.end(), more.begin(), more.end());
        return all;
    }
    // Sends a command to the owner's virtual adapters.
    std::string simctl(std::vector<std::string> words, int* status = nullptr) const {
        std::vector<std::string> argv = {KESTRUN_SIMCTL, "-s", controlPath()};
        argv.insert(argv.end(), words.begin(), words.end());
        return runCommand(argv, status);
    }
    // Makes a frame arrive on a channel of this test's adapter.
    std::string inject(int channel, const std::string& idHex, const std::string& dataHex) const {
        return simctl({"dev", std::to_string(index), "inject", std::to_string(channel), "C", "S",
                       "D", idHex, dataHex});
    }
};
