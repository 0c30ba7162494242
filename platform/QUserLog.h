// QUserLog - the library's file logger.
//
// A process-wide logger: every accepted line goes to standard output and,
// when "QUserLog.ini" in the working directory asks for it, is appended to a
// dated file "<LogPath>/QUserLog_YYYYMMDD.log". Lines look like
// "[2026-12-06 09:30:00] [INFO ] message".
#pragma once

#include <cstdarg>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>

enum class LogLevel : int { Trace = 0, Debug = 1, Info = 2, Warn = 3, Error = 4, Fatal = 5 };

class QUserLog {
public:
    // The process-wide instance, configured from "QUserLog.ini" in the
    // working directory on first use. It stays usable until the process
    // ends, also from static destructors.
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
    void Log(LogLevel level, const char* fmt, va_list args);

    bool Init();
    void LoadConfig();
    void Flush();
    std::string GetLogFileName() const;
    static bool CreateDirectory(const char* path);
    static char* TrimWhitespace(char* text);

    int32_t logLevel() const { return logLevel_; }
    const char* logPath() const { return logPath_; }
    bool fileOutput() const { return fileOutput_; }

private:
    void FlushLocked();

    std::string iniPath_;
    int32_t logLevel_ = 1;
    char logPath_[256] = {};
    bool fileOutput_ = false;
    std::ofstream file_;
    char buffer_[1024] = {};
    uint32_t bufferLength_ = 0;
    std::mutex fileMutex_;  // guards the pending buffer and the file stream
};
