#include "app/signals.h"

#include <csignal>

#include "app/settings.h"

static_assert(std::atomic<bool>::is_always_lock_free, "g_running must be safe in a handler");

void signal_handler(int /*signo*/) {
    g_running.store(false);
}

void setup_signals() {
    struct sigaction action = {};
    action.sa_handler = signal_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: blocking calls return EINTR
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGTSTP, &action, nullptr);

    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}
