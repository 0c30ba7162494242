// QUserLog - the library's file logger.
//
// A process-wide logger: every accepted line goes to standard output and,
// when "QUserLog.ini" in the working directory asks for it, is appended to a
// dated file "<LogPath>/QUserLog_YYYYMMDD.log". Lines look like
// "[2026-12-06 09:30:00] [INFO ] message".
//
// QUserLog.ini (only section [LogConfig] counts; ";" starts a comment):
//   [LogConfig]
//   LogLevel = 2          ; 0 Trace .. 5 Fatal, lowest level emitted
//   LogPath = /var/log/kestrun
//   FileOutput = 1        ; 1 = also write the file
//
// Log() may be called from any number of threads: each line reaches standard
// output in one write, and the pending file buffer and the file stream are
// guarded by a mutex, so lines never interleave.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>

enum class LogLevel : int { Trace = 0, Debug = 1, Info = 2, Warn = 3, Error = 4, Fatal = 5 };

class QUserLog {
  public:
    // The process-wide instance, created and configured from "QUserLog.ini"
    // in the working directory on first use. It is never destroyed, so it
    // stays usable from static destructors that run after main.
    static QUserLog& GetInstance();

    // A logger configured from the given ini file (tests use their own files).
    explicit QUserLog(const std::string& iniPath);
    ~QUserLog();
    QUserLog(const QUserLog&) = delete;
    QUserLog& operator=(const QUserLog&) = delete;

    void Trace(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void Debug(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void Info(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void Warn(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void Error(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void Fatal(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // Emits one line when level is at or above the configured level (and at
    // most Fatal). Messages are cut to 1023 characters. A line of 1024 bytes
    // or more goes to standard output only, never to the file.
    void Log(LogLevel level, const char* fmt, va_list args);

    // Loads the ini file and opens the log file when file output is on.
    // false when the directory or the file cannot be made; file output is
    // then off and logging continues on the console.
    bool Init();
    // Reads the ini file; a missing file turns file output off.
    void LoadConfig();
    // Writes the pending buffer to the file.
    void Flush();
    // "<LogPath>/QUserLog_YYYYMMDD.log" for today's local date.
    std::string GetLogFileName() const;
    // Creates path and its missing parents (mode 0755); true when the
    // directory exists afterwards.
    static bool CreateDirectory(const char* path);
    // Strips leading and trailing white space in place: the result starts at
    // text, which is returned.
    static char* TrimWhitespace(char* text);

    int32_t logLevel() const { return logLevel_.load(std::memory_order_relaxed); }
    const char* logPath() const { return logPath_; }
    bool fileOutput() const { return fileOutput_.load(std::memory_order_relaxed); }

  private:
    // The *Locked functions expect mutex_ to be held.
    void LoadConfigLocked();
    bool InitLocked();
    void FlushLocked();
    std::string LogFileNameLocked() const;

    std::string iniPath_;
    // Read without the lock by Log's level check and the accessors.
    std::atomic<int32_t> logLevel_{1};
    std::atomic<bool> fileOutput_{false};
    char logPath_[256] = {};
    std::ofstream file_;
    char buffer_[1024] = {};
    uint32_t bufferLength_ = 0;
    // Guards the configuration while it is loaded, the pending buffer and
    // the file stream.
    mutable std::mutex mutex_;
};
