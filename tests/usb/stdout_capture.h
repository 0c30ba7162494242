// Captures what the process writes to standard output (the logger's console
// lines) while the object lives; text() returns everything so far.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>

class StdoutCapture {
  public:
    StdoutCapture() : file_(tmpfile()), saved_((flush(), dup(1))) { dup2(fileno(file_), 1); }
    ~StdoutCapture() {
        flush();
        dup2(saved_, 1);
        close(saved_);
        fclose(file_);
    }

    std::string text() const {
        flush();
        std::string all(static_cast<size_t>(lseek(fileno(file_), 0, SEEK_END)), '\0');
        all.resize(static_cast<size_t>(
            std::max<ssize_t>(0, pread(fileno(file_), all.data(), all.size(), 0))));
        return all;
    }

  private:
    static void flush() {
        std::cout.flush();
        fflush(stdout);
    }
    FILE* file_;
    int saved_;
};
