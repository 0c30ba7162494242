// Console output of the tool: log lines, frame lines, the send progress bar
// and time stamps.
//
// Every line or block is first built in a buffer by a pure formatter and then
// handed to consoleWrite, which writes it with a single fwrite and flushes, so
// that lines from different threads never interleave and a pipe sees each
// line as soon as it is complete.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "app/user_obj.h"

#define KESTRUN_PRINTF(fmtIndex, argIndex) __attribute__((format(printf, fmtIndex, argIndex)))

// Largest log line (time prefix, tag, message, newline); longer messages are
// cut at a character boundary.
constexpr size_t kLogLineMax = 1024;
// Enough for one frame line with 64 data bytes and a 32-byte time stamp.
constexpr size_t kFrameLineMax = 512;
// Enough for the progress line at any count.
constexpr size_t kProgressLineMax = 160;

// Appends text to a fixed buffer, cutting what does not fit at a UTF-8
// character boundary; the buffer is NUL-terminated whenever size > 0.
class TextBuilder {
  public:
    TextBuilder(char* buf, size_t size);
    void append(const char* text);
    void append(const char* text, size_t n);
    void appendf(const char* fmt, ...) KESTRUN_PRINTF(2, 3);
    void appendv(const char* fmt, va_list ap);
    // Makes the text end with '\n', giving up its last character when full.
    void endLine();
    size_t length() const { return len_; }
    bool truncated() const { return truncated_; }

  private:
    void cutToCapacity();

    char* buf_;
    size_t size_;
    size_t len_ = 0;
    bool truncated_ = false;
};

// Writes length bytes to standard output in one fwrite and flushes.
void consoleWrite(const char* data, size_t length);
// Sends the console's lines to standard error instead (the frame log writes
// to standard output), or back.
void consoleToStderr(bool on);

// "[<time>] " + green "[INFO] " / red "[ERROR] " + message + "\n".
void log_info(const char* fmt, ...) KESTRUN_PRINTF(1, 2);
void log_error(const char* fmt, ...) KESTRUN_PRINTF(1, 2);
// Debug messages are compiled in but print nothing.
void log_debug(const char* fmt, ...) KESTRUN_PRINTF(1, 2);
// Prints only the "[YYYY-MM-DD HH:MM:SS] " prefix.
void log_time();

// Local time "YYYY-MM-DD HH:MM:SS"; nothing for a null buffer or size 0.
void get_time_string(char* buffer, size_t size);
// Local time "HH:MM:SS.mmm"; the buffer is left untouched when it is null or
// size is 15 or less.
void get_time_string_with_ms(char* buffer, size_t size);

// Prints n frame lines sharing one time stamp; nothing for null or n <= 0.
void canUserObjShow(const _KCAN_USER_OBJ* objs, int n);
// Prints library records as received frames (direction 1), one call of
// canUserObjShow per record; nothing for null or n <= 0.
void vormCanObjShow(const _KCAN_CAN_OBJ* objs, int n);
void vormCanfdObjShow(const _KCAN_CANFD_OBJ* objs, int n);

// Prints the send progress line (see formatProgress).
void printProgress(uint32_t sent, uint32_t total);

// Pure formatters. Each fills buf (NUL-terminated when size > 0) and returns
// the number of bytes stored before the NUL, always less than size; output
// that does not fit is cut. They allocate nothing.

// "[<timeStamp>] 接收->CAN ID:0x123 EXT:0 RTR:0 DLC:2 Data:11 22 \n"; FD frames
// show "FD " and "BRS:%d" (frameFlags bit 3) before DLC. Data bytes shown
// are limited to the record's array (8 or 64) whatever len says.
int formatUserObjLine(char* buf, size_t size, const _KCAN_USER_OBJ& obj, const char* timeStamp);
// "[<timeText>] " + coloured tag + message, always ending in "\n".
int formatLogLine(char* buf, size_t size, const char* timeText, bool error, const char* message);
// total 0: "\rSent: %u frames" (no newline). Otherwise
// "\rProgress: [<50-column bar>] %5.1f%% (sent/total)", with "\n" once
// sent >= total.
int formatProgress(char* buf, size_t size, uint32_t sent, uint32_t total);
