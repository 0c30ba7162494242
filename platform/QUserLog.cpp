#include "QUserLog.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

// Level texts, indexed by LogLevel; all five characters wide.
constexpr char kLevelTexts[][6] = {"TRACE", "DEBUG", "INFO ", "WARN ", "ERROR", "FATAL"};
static_assert(std::size(kLevelTexts) == static_cast<size_t>(LogLevel::Fatal) + 1,
              "one text per log level");

constexpr size_t kMessageSize = 1024;  // formatted message, cut to 1023 characters
constexpr size_t kLineSize = 1280;     // "[time] [level] message\n"
constexpr size_t kIniLineSize = 256;   // ini lines of up to 255 characters

// Writes the text that snprintf left in a buffer of the given capacity (length
// is its result) to a console stream as one piece, so that lines of
// concurrent writers never mix.
void writeWhole(FILE* stream, const char* text, int length, size_t capacity) {
    if (length <= 0 || capacity == 0) {
        return;
    }
    size_t n = static_cast<size_t>(length);
    if (n >= capacity) {
        n = capacity - 1;  // snprintf cut the text
    }
    fwrite(text, 1, n, stream);
    fflush(stream);
}

// atoi without its undefined behaviour on overflow: out-of-range values are
// clamped, which the callers then reject.
int parseInt(const char* text) {
    long value = strtol(text, nullptr, 10);
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

// mkdir that accepts an existing directory.
bool makeDirectory(const char* path) {
    if (mkdir(path, 0755) == 0) {
        return true;
    }
    if (errno != EEXIST) {
        return false;
    }
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

void localNow(struct tm* out) {
    time_t now = time(nullptr);
    if (localtime_r(&now, out) == nullptr) {
        memset(out, 0, sizeof(*out));
    }
}

}  // namespace

QUserLog& QUserLog::GetInstance() {
    // Never deleted: drivers log from static destructors at exit. Every Log
    // flushes the file before it returns, so nothing is pending at exit.
    static QUserLog* const instance = new QUserLog("QUserLog.ini");
    return *instance;
}

QUserLog::QUserLog(const std::string& iniPath) : iniPath_(iniPath) {
    Init();
}

QUserLog::~QUserLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    FlushLocked();
    if (file_.is_open()) {
        file_.close();
    }
}

#define QUSERLOG_LEVEL_FUNCTION(name, level)    \
    void QUserLog::name(const char* fmt, ...) { \
        va_list args;                           \
        va_start(args, fmt);                    \
        Log(level, fmt, args);                  \
        va_end(args);                           \
    }

QUSERLOG_LEVEL_FUNCTION(Trace, LogLevel::Trace)
QUSERLOG_LEVEL_FUNCTION(Debug, LogLevel::Debug)
QUSERLOG_LEVEL_FUNCTION(Info, LogLevel::Info)
QUSERLOG_LEVEL_FUNCTION(Warn, LogLevel::Warn)
QUSERLOG_LEVEL_FUNCTION(Error, LogLevel::Error)
QUSERLOG_LEVEL_FUNCTION(Fatal, LogLevel::Fatal)

#undef QUSERLOG_LEVEL_FUNCTION

void QUserLog::Log(LogLevel level, const char* fmt, va_list args) {
    const int value = static_cast<int>(level);
    if (value < logLevel() || value > static_cast<int>(LogLevel::Fatal)) {
        return;
    }

    struct tm now;
    localNow(&now);
    char timeText[32];
    if (strftime(timeText, sizeof(timeText), "%Y-%m-%d %H:%M:%S", &now) == 0) {
        timeText[0] = '\0';
    }

    char message[kMessageSize];
    if (fmt == nullptr || vsnprintf(message, sizeof(message), fmt, args) < 0) {
        message[0] = '\0';
    }

    char line[kLineSize];
    int length =
        snprintf(line, sizeof(line), "[%s] [%s] %s\n", timeText, kLevelTexts[value], message);
    if (length < 0) {
        return;
    }
    // The sizes above leave room for the longest line; clamp all the same.
    if (static_cast<size_t>(length) >= sizeof(line)) {
        length = static_cast<int>(sizeof(line) - 1);
    }
    writeWhole(stdout, line, length, sizeof(line));

    std::lock_guard<std::mutex> lock(mutex_);
    if (!fileOutput() || !file_.is_open()) {
        return;
    }
    const uint32_t lineLength = static_cast<uint32_t>(length);
    if (bufferLength_ + lineLength > sizeof(buffer_) - 1) {
        FlushLocked();
    }
    // A line that cannot fit into the empty buffer is left out of the file.
    if (bufferLength_ + lineLength < sizeof(buffer_)) {
        memcpy(buffer_ + bufferLength_, line, lineLength);
        bufferLength_ += lineLength;
    }
    FlushLocked();
}

bool QUserLog::Init() {
    std::lock_guard<std::mutex> lock(mutex_);
    return InitLocked();
}

bool QUserLog::InitLocked() {
    if (file_.is_open()) {
        FlushLocked();
        file_.close();
    }
    LoadConfigLocked();
    if (!fileOutput() || logPath_[0] == '\0') {
        return true;  // console only
    }

    char message[kLineSize];
    if (!CreateDirectory(logPath_)) {
        const int n =
            snprintf(message, sizeof(message), "Failed to create log directory: %s\n", logPath_);
        writeWhole(stderr, message, n, sizeof(message));
        fileOutput_.store(false);
        return false;
    }
    const std::string name = LogFileNameLocked();
    file_.open(name, std::ios::out | std::ios::app);
    if (!file_.is_open()) {
        const int n =
            snprintf(message, sizeof(message), "Failed to open log file: %s\n", name.c_str());
        writeWhole(stderr, message, n, sizeof(message));
        fileOutput_.store(false);
        return false;
    }
    return true;
}

void QUserLog::LoadConfig() {
    std::lock_guard<std::mutex> lock(mutex_);
    LoadConfigLocked();
}

void QUserLog::LoadConfigLocked() {
    std::ifstream in(iniPath_);
    if (!in.is_open()) {
        fileOutput_.store(false);
        return;
    }

    bool inLogConfig = false;  // keys count only below a [LogConfig] header
    char line[kIniLineSize];
    // getline fails on end of file and on a line longer than the buffer;
    // either ends the reading.
    while (in.getline(line, sizeof(line))) {
        char* text = TrimWhitespace(line);
        const size_t length = strlen(text);
        if (length == 0 || text[0] == ';') {
            continue;
        }
        if (text[0] == '[' && text[length - 1] == ']') {
            char section[64] = {};
            if (sscanf(text, "[%63[^]]]", section) != 1) {
                section[0] = '\0';
            }
            inLogConfig = strcmp(section, "LogConfig") == 0;
            continue;
        }
        if (!inLogConfig) {
            continue;
        }
        char* equals = strchr(text, '=');
        if (equals == nullptr) {
            continue;
        }
        *equals = '\0';
        const char* key = TrimWhitespace(text);
        char* value = TrimWhitespace(equals + 1);
        if (char* comment = strchr(value, ';')) {
            *comment = '\0';
        }
        value = TrimWhitespace(value);

        if (strcmp(key, "LogLevel") == 0) {
            const int level = parseInt(value);
            if (level >= static_cast<int>(LogLevel::Trace) &&
                level <= static_cast<int>(LogLevel::Fatal)) {
                logLevel_.store(level);
            }
        } else if (strcmp(key, "LogPath") == 0) {
            const size_t n = strnlen(value, sizeof(logPath_) - 1);
            memcpy(logPath_, value, n);
            logPath_[n] = '\0';
        } else if (strcmp(key, "FileOutput") == 0) {
            fileOutput_.store(parseInt(value) == 1);
        }
    }
    in.close();

    char report[512];
    const int n =
        snprintf(report, sizeof(report),
                 "Config loaded successfully:\nLogLevel: %d\nLogPath: %s\nFileOutput: %d\n",
                 logLevel(), logPath_, fileOutput() ? 1 : 0);
    writeWhole(stdout, report, n, sizeof(report));
}

void QUserLog::Flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    FlushLocked();
}

void QUserLog::FlushLocked() {
    if (!fileOutput() || !file_.is_open() || bufferLength_ == 0) {
        return;
    }
    file_.write(buffer_, bufferLength_);
    file_.flush();
    bufferLength_ = 0;
    memset(buffer_, 0, sizeof(buffer_));
}

std::string QUserLog::GetLogFileName() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return LogFileNameLocked();
}

std::string QUserLog::LogFileNameLocked() const {
    struct tm now;
    localNow(&now);
    char name[320];
    snprintf(name, sizeof(name), "%s/QUserLog_%04d%02d%02d.log", logPath_, now.tm_year + 1900,
             now.tm_mon + 1, now.tm_mday);
    return name;
}

bool QUserLog::CreateDirectory(const char* path) {
    if (path == nullptr) {
        return false;
    }
    char copy[256];
    const size_t length = strnlen(path, sizeof(copy) - 1);
    memcpy(copy, path, length);
    copy[length] = '\0';

    // Create each parent in turn; the first character is skipped so that an
    // absolute path makes no attempt on the empty prefix.
    for (size_t i = 1; i < length; ++i) {
        if (copy[i] != '/') {
            continue;
        }
        copy[i] = '\0';
        const bool made = makeDirectory(copy);
        copy[i] = '/';
        if (!made) {
            return false;
        }
    }
    return makeDirectory(copy);
}

char* QUserLog::TrimWhitespace(char* text) {
    if (text == nullptr) {
        return text;
    }
    const char* start = text;
    while (*start != '\0' && isspace(static_cast<unsigned char>(*start))) {
        ++start;
    }
    size_t length = strlen(start);
    while (length > 0 && isspace(static_cast<unsigned char>(start[length - 1]))) {
        --length;
    }
    memmove(text, start, length);
    text[length] = '\0';
    return text;
}
