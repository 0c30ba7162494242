#include "fuzz/targets/fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

namespace fuzz {

const char* g_currentInput = nullptr;

void failCheck(const char* file, int line, const char* expr) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s (input: %s)\n", file, line, expr,
                 g_currentInput != nullptr ? g_currentInput : "fuzzer");
    std::fflush(stderr);
    std::abort();
}

Quiet::Quiet(int fd) : fd_(fd) {
    std::fflush(stdout);
    std::fflush(stderr);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0)
        return;
    saved_ = dup(fd_);
    if (saved_ >= 0)
        dup2(null, fd_);
    close(null);
}

Quiet::~Quiet() {
    std::fflush(stdout);
    std::fflush(stderr);
    if (saved_ >= 0) {
        dup2(saved_, fd_);
        close(saved_);
    }
}

}  // namespace fuzz
