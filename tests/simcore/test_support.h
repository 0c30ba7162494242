// Helpers for the simulator and transport tests: a private temporary
// directory, whole files, and programs run to their end with their output.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

// A fresh directory under $TMPDIR (or /tmp), removed with its files.
class TempDir {
  public:
    TempDir() : path_(std::filesystem::temp_directory_path() / "ksim-XXXXXX") {
        path_.resize(mkdtemp(path_.data()) != nullptr ? path_.size() : 0);
    }
    ~TempDir() { std::filesystem::remove_all(path_, ignored_); }

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
    std::error_code ignored_;
};

inline std::string readFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

inline std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

struct RunResult {
    int status = -1;  // the exit status; -1 after a signal, 124 after a minute
    std::string out;
    std::string err;
};

// Runs a program to its end with standard input empty and the environment
// changed as given (std::nullopt removes a variable).
inline RunResult run(const std::vector<std::string>& argv,
                     const std::map<std::string, std::optional<std::string>>& env = {}) {
    const auto quote = [](std::string text) {
        for (size_t at = text.find('\''); at != std::string::npos; at = text.find('\'', at + 4)) {
            text.replace(at, 1, "'\\''");
        }
        return "'" + text + "'";
    };
    TempDir dir;
    std::string unset;
    std::string set;
    for (const auto& [name, value] : env) {
        (value ? set : unset) += value ? " " + quote(name + "=" + *value) : " -u " + name;
    }
    std::string command = "env" + unset + set + " timeout 60";
    for (const std::string& arg : argv) {
        command += " " + quote(arg);
    }
    command += " </dev/null 2>" + dir.file("err");
    RunResult result;
    FILE* out = popen(command.c_str(), "r");
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, out)) > 0;) {
        result.out.append(buffer, n);
    }
    const int status = pclose(out);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.err = readFile(dir.file("err"));
    return result;
}

}  // namespace testsupport
