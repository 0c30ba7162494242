// Signal handling of the tool: SIGINT, SIGTERM and SIGTSTP end the run in
// order (they only clear g_running); SIGPIPE is ignored so that a write to a
// vanished socket peer returns an error instead of ending the process.
#pragma once

void setup_signals();
void signal_handler(int signo);
