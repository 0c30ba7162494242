// Captures what the process writes to standard output (the logger's console
// lines) while the object lives; text() returns everything so far.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

class StdoutCapture {
  public:
    StdoutCapture() {
        const char* base = getenv("TMPDIR");
        path_ = std::string(base && *base ? base : "/tmp") + "/ksim-stdout-XXXXXX";
        const int fd = mkstemp(path_.data());
        fflush(stdout);
        std::cout.flush();
        saved_ = dup(1);
        dup2(fd, 1);
        close(fd);
    }
    ~StdoutCapture() {
        fflush(stdout);
        std::cout.flush();
        dup2(saved_, 1);
        close(saved_);
        unlink(path_.c_str());
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    std::string text() const {
        fflush(stdout);
        std::cout.flush();
        std::ifstream in(path_);
        std::ostringstream all;
        all << in.rdbuf();
        return all.str();
    }

  private:
    std::string path_;
    int saved_ = -1;
};
