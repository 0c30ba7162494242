// Runs a function with standard output redirected to a temporary file and
// returns what it wrote.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

template <typename Fn>
std::string captureStdout(Fn&& fn) {
    fflush(stdout);
    FILE* tmp = tmpfile();
    if (tmp == nullptr) {
        return "<tmpfile failed>";
    }
    int saved = dup(STDOUT_FILENO);
    dup2(fileno(tmp), STDOUT_FILENO);
    fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string out;
    rewind(tmp);
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), tmp)) > 0) {
        out.append(chunk, n);
    }
    fclose(tmp);
    return out;
}
