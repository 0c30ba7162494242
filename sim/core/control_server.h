// The control socket: a Unix stream socket on which a running program's
// virtual adapters take commands (kestrun-simctl is its client).
//
// Protocol: the client writes command lines (see executeControlCommand in
// sim_control.h); for each the server writes the reply's lines followed by
// an empty line. Blank command lines are ignored; a line longer than 4096
// bytes gets "error: line too long". Several clients may stay connected.
#pragma once

#include <string>

namespace ksim::core {

// Starts the server once per process when KESTRUN_SIM_CONTROL names a socket
// path; problems are reported on standard error. Called by libusb_init.
void startControlServerFromEnvironment();

// Starts serving on path (a stale socket file there is replaced). False with
// a reason when the path is unusable, already served by a live process, or a
// server runs already.
bool startControlServer(const std::string& path, std::string* error);
// Stops the server and removes its socket file; also done at process exit.
void stopControlServer();

}  // namespace ksim::core
