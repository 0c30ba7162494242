// The --log file: frames appended as candump lines or pcapng blocks, each
// record in one write, with rotation by size and no frame dropped silently.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/canlog/log_frame.h"

enum class LogFormat { Candump, Pcapng };

// The format a path asks for: "*.pcapng" is pcapng, anything else candump.
LogFormat logFormatForPath(const std::string& path);

// Name of rotation part `part` (0 is the path itself): "drive.log" gives
// "drive.1.log", "drive.2.log", …; "drive" gives "drive.1"; the number goes
// before the last extension.
std::string logPartName(const std::string& path, unsigned part);

class LogWriter {
  public:
    // path "-" writes to standard output. rotateBytes 0: no rotation; only
    // regular files rotate.
    LogWriter(std::string path, LogFormat format, uint64_t rotateBytes);
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // Opens the first part. No existing regular file is ever overwritten:
    // a part name that exists is passed over for the next number (devices,
    // pipes and "-" are written as they are). onPart, when set, is called
    // with each part's name as it opens (under the writer's lock: it must not
    // call the writer). false: *error names the file and the reason.
    // Where "-" writes: standard output unless the caller moved it.
    void setStandardOutput(int fd) { stdoutFd_ = fd; }
    bool open(std::string* error, std::function<void(const std::string&)> onPart = {});
    // Appends one frame (thread-safe). After the first failure the writer
    // stops writing, keeps *firstError and counts every frame not written.
    bool write(const LogFrame& frame);
    void close();

    uint64_t framesWritten() const;
    uint64_t framesLost() const;
    // The first failure as "<file>: <reason>", empty if none.
    std::string firstError() const;

  private:
    // The helpers are called with mutex_ held.
    bool openPart(std::string* error);
    void closePart();
    void buildRecord(const LogFrame& frame, std::string& out);
    bool writeAll(const char* data, size_t length);

    mutable std::mutex mutex_;
    std::string path_;
    std::function<void(const std::string&)> onPart_;
    LogFormat format_;
    uint64_t rotateBytes_;
    int fd_ = -1;
    bool ownsFd_ = false;
    int stdoutFd_ = 1;
    bool rotatable_ = false;  // a regular file of ours: stdout, devices and pipes are not
    std::string partName_;
    unsigned part_ = 0;
    uint64_t partBytes_ = 0;
    std::vector<uint32_t> interfaces_;  // pcapng: the channel of each interface id in this part
    bool failed_ = false;
    std::string error_;
    uint64_t written_ = 0;
    uint64_t lost_ = 0;
};
