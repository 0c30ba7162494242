// Runs the built kestrun binary and captures what it prints.
#pragma once

#include <string>
#include <vector>

struct ToolRun {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs in `dir`; the default holds no QUserLog.ini, so no log file is written.
ToolRun runTool(const std::vector<std::string>& args, const std::string& dir = "/");
