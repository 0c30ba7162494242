// The frames of a recorded log, read one at a time for --replay: a candump
// log or a pcapng file, told apart by the file's first bytes. Nothing but
// the current line or block is held, so any size of file streams.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "app/canlog/log_frame.h"
#include "app/canlog/pcapng.h"

class ReplaySource {
  public:
    enum class Result { Frame, End, Invalid };
    ReplaySource() = default;
    ~ReplaySource();
    ReplaySource(const ReplaySource&) = delete;
    ReplaySource& operator=(const ReplaySource&) = delete;

    // false: *error is "<path>: <reason>".
    bool open(const std::string& path, std::string* error);
    // Next sendable frame and its interface name. Invalid: *error is
    // "<path>:<line>: <reason>" (candump) or "<path>: block <n>: <reason>"
    // (pcapng). Blank lines and error frames are passed over.
    Result next(LogFrame* frame, std::string* ifname, std::string* error);
    // Back to the first frame (for playing a file more than once).
    bool rewind(std::string* error);
    bool isPcapng() const { return pcapng_ != nullptr; }
    // Where the last frame returned was read: "<path>:<line>" or
    // "<path>: block <n>", for messages about a frame that parsed but cannot
    // be sent.
    std::string where() const;

  private:
    std::string path_;
    std::FILE* file_ = nullptr;
    std::unique_ptr<PcapngReader> pcapng_;
    uint64_t line_ = 0;
    std::string text_;  // the current candump line
};
