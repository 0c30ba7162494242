// The run's frame log (--log): which frames go into it, with which stamps,
// and what the user is told when it cannot be written.
#pragma once

#include <cstdint>
#include <string>

#include "app/user_obj.h"

struct FrameLogRequest {
    std::string path;        // empty: no log
    std::string formatName;  // "", "candump" or "pcapng"
    uint64_t rotateBytes = 0;
};

// For "--log -": keeps the real standard output for the log alone and
// points descriptor 1 (the console, the library's messages) at standard
// error. Called before anything is printed.
void frameLogTakeStandardOutput();

// Opens the log; on failure prints a log_error line naming the file and the
// reason and returns false. "-" moves the console to standard error.
bool frameLogOpen(const FrameLogRequest& request);
bool frameLogActive();

// Wall clock now, microseconds since the epoch.
uint64_t frameLogNowUs();

// Owner: the wall-clock stamp of a frame received on `channel`, following
// the adapter's own time stamps (one clock per channel).
uint64_t frameLogStampReceived(uint32_t devType, uint32_t channel, const _KCAN_USER_OBJ& obj);

// Appends frames of `channel` with their stamps (stamps null: now). A write
// failure is reported once, and ends the run.
void frameLogAppend(uint32_t channel, const _KCAN_USER_OBJ* objs, const uint64_t* stampsUs, int n,
                    bool outbound);

// Closes the log at the end of the run; reports frames not written. Returns
// false when anything failed (the run then ends with status 1).
bool frameLogClose();
