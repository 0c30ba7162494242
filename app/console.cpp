#include "app/console.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "app/frame_text.h"

namespace {

constexpr const char kInfoTag[] = "\033[0;32m[INFO] \033[0m";
constexpr const char kErrorTag[] = "\033[0;31m[ERROR] \033[0m";
constexpr const char kRecvText[] = "接收->";
constexpr const char kSendText[] = "发送->";
constexpr int kProgressWidth = 50;
// Frame lines gathered before one write in canUserObjShow.
constexpr size_t kFrameBlockMax = 8192;

// Length of a UTF-8 sequence judged by its lead byte; 0 for a continuation
// byte.
size_t utf8SequenceLength(unsigned char lead) {
    if (lead < 0x80) {
        return 1;
    }
    if ((lead & 0xC0) == 0x80) {
        return 0;
    }
    if ((lead & 0xE0) == 0xC0) {
        return 2;
    }
    if ((lead & 0xF0) == 0xE0) {
        return 3;
    }
    return 4;
}

// Drops a multi-byte character that was cut at the end of buf[0, len).
size_t trimUtf8Tail(const char* buf, size_t len) {
    size_t back = 0;
    while (back < 4 && back < len) {
        unsigned char c = static_cast<unsigned char>(buf[len - 1 - back]);
        size_t seq = utf8SequenceLength(c);
        if (seq != 0) {
            return seq > back + 1 ? len - 1 - back : len;
        }
        ++back;
    }
    return len;
}

void vlogLine(bool error, const char* fmt, va_list ap) {
    char message[kLogLineMax];
    int n = vsnprintf(message, sizeof(message), fmt ? fmt : "", ap);
    if (n < 0) {
        message[0] = '\0';
    } else if (static_cast<size_t>(n) >= sizeof(message)) {
        message[trimUtf8Tail(message, sizeof(message) - 1)] = '\0';
    }
    char timeText[32];
    get_time_string(timeText, sizeof(timeText));
    char line[kLogLineMax];
    int len = formatLogLine(line, sizeof(line), timeText, error, message);
    consoleWrite(line, static_cast<size_t>(len));
}

}  // namespace

TextBuilder::TextBuilder(char* buf, size_t size) : buf_(buf), size_(buf ? size : 0) {
    if (size_ > 0) {
        buf_[0] = '\0';
    }
}

void TextBuilder::append(const char* text) {
    if (text != nullptr) {
        append(text, strlen(text));
    }
}

void TextBuilder::append(const char* text, size_t n) {
    if (size_ == 0 || text == nullptr) {
        truncated_ = truncated_ || n > 0;
        return;
    }
    size_t room = size_ - 1 - len_;
    if (n > room) {
        memcpy(buf_ + len_, text, room);
        len_ += room;
        cutToCapacity();
        return;
    }
    memcpy(buf_ + len_, text, n);
    len_ += n;
    buf_[len_] = '\0';
}

void TextBuilder::appendf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    appendv(fmt, ap);
    va_end(ap);
}

void TextBuilder::appendv(const char* fmt, va_list ap) {
    if (size_ == 0) {
        truncated_ = true;
        return;
    }
    size_t room = size_ - len_;
    int n = vsnprintf(buf_ + len_, room, fmt, ap);
    if (n < 0) {
        buf_[len_] = '\0';
        return;
    }
    if (static_cast<size_t>(n) >= room) {
        len_ = size_ - 1;
        cutToCapacity();
        return;
    }
    len_ += static_cast<size_t>(n);
}

void TextBuilder::cutToCapacity() {
    truncated_ = true;
    len_ = trimUtf8Tail(buf_, len_);
    buf_[len_] = '\0';
}

void TextBuilder::endLine() {
    if (size_ < 2) {
        truncated_ = truncated_ || size_ == 0;
        return;
    }
    if (len_ > 0 && buf_[len_ - 1] == '\n') {
        return;
    }
    if (len_ + 1 >= size_) {
        // Full: give up the last character (all of it) to make room.
        len_ = trimUtf8Tail(buf_, len_ - 1);
        truncated_ = true;
    }
    buf_[len_++] = '\n';
    buf_[len_] = '\0';
}

namespace {
// Standard output, or standard error while the log owns standard output.
std::atomic<FILE*> g_consoleStream{nullptr};
}  // namespace

void consoleToStderr(bool on) {
    g_consoleStream.store(on ? stderr : nullptr);
}

void consoleWrite(const char* data, size_t length) {
    FILE* stream = g_consoleStream.load();
    if (stream == nullptr) {
        stream = stdout;
    }
    if (data != nullptr && length > 0) {
        fwrite(data, 1, length, stream);
    }
    fflush(stream);
}

void log_info(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vlogLine(false, fmt, ap);
    va_end(ap);
}

void log_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vlogLine(true, fmt, ap);
    va_end(ap);
}

void log_debug(const char* /*fmt*/, ...) {}

void log_time() {
    char timeText[32];
    get_time_string(timeText, sizeof(timeText));
    char line[48];
    TextBuilder b(line, sizeof(line));
    b.appendf("[%s] ", timeText);
    consoleWrite(line, b.length());
}

void get_time_string(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) {
        return;
    }
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) == nullptr ||
        strftime(buffer, size, "%Y-%m-%d %H:%M:%S", &local) == 0) {
        buffer[0] = '\0';
    }
}

void get_time_string_with_ms(char* buffer, size_t size) {
    if (buffer == nullptr || size <= 15) {
        return;
    }
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm local;
    char hms[16] = "";
    if (localtime_r(&ts.tv_sec, &local) == nullptr ||
        strftime(hms, sizeof(hms), "%H:%M:%S", &local) == 0) {
        hms[0] = '\0';
    }
    snprintf(buffer, size, "%s.%03d", hms, static_cast<int>(ts.tv_nsec / 1000000));
}

int formatUserObjLine(char* buf, size_t size, const _KCAN_USER_OBJ& obj, const char* timeStamp) {
    TextBuilder b(buf, size);
    b.appendf("[%s] ", timeStamp ? timeStamp : "");
    b.append(obj.direction == 1 ? kRecvText : kSendText);
    const uint8_t* data;
    size_t shown;
    if (obj.isFd) {
        const _KCAN_CANFD_OBJ& f = obj.canfdObj;
        b.appendf("FD ID:0x%0X EXT:%d RTR:%d BRS:%d DLC:%d", f.id, f.ext, f.rtr,
                  (f.frameFlags & KCAN_FRAME_FLAG_BRS) ? 1 : 0, f.len);
        data = f.data;
        shown = f.len < sizeof(f.data) ? f.len : sizeof(f.data);
    } else {
        const _KCAN_CAN_OBJ& c = obj.canObj;
        b.appendf("CAN ID:0x%0X EXT:%d RTR:%d DLC:%d", c.id, c.ext, c.rtr, c.len);
        data = c.data;
        shown = c.len < sizeof(c.data) ? c.len : sizeof(c.data);
    }
    if (shown > 0) {
        static constexpr char kHex[] = "0123456789ABCDEF";
        char bytes[64 * 3];
        for (size_t i = 0; i < shown; ++i) {
            bytes[3 * i] = kHex[data[i] >> 4];
            bytes[3 * i + 1] = kHex[data[i] & 0x0F];
            bytes[3 * i + 2] = ' ';
        }
        b.append(" Data:");
        b.append(bytes, 3 * shown);
    }
    b.endLine();
    return static_cast<int>(b.length());
}

int formatLogLine(char* buf, size_t size, const char* timeText, bool error, const char* message) {
    TextBuilder b(buf, size);
    b.appendf("[%s] ", timeText ? timeText : "");
    b.append(error ? kErrorTag : kInfoTag);
    b.append(message);
    b.endLine();
    return static_cast<int>(b.length());
}

int formatProgress(char* buf, size_t size, uint32_t sent, uint32_t total) {
    TextBuilder b(buf, size);
    if (total == 0) {
        b.appendf("\rSent: %u frames", sent);
        return static_cast<int>(b.length());
    }
    float percent = static_cast<float>(sent) / static_cast<float>(total) * 100.0f;
    // Compare as float first: far beyond total the product would not fit an int.
    float filledF = percent / 100.0f * kProgressWidth;
    int filled = filledF > kProgressWidth ? kProgressWidth + 1 : static_cast<int>(filledF);

    char bar[kProgressWidth + 1];
    int used = filled > kProgressWidth ? kProgressWidth : filled;
    memset(bar, '=', static_cast<size_t>(used));
    if (filled < kProgressWidth) {
        bar[used++] = '>';
    }
    memset(bar + used, ' ', static_cast<size_t>(kProgressWidth - used));
    bar[kProgressWidth] = '\0';

    b.appendf("\rProgress: [%s] %5.1f%% (%u/%u)", bar, static_cast<double>(percent), sent, total);
    if (sent >= total) {
        b.endLine();
    }
    return static_cast<int>(b.length());
}

void canUserObjShow(const _KCAN_USER_OBJ* objs, int n) {
    if (objs == nullptr || n <= 0) {
        return;
    }
    char timeStamp[32];
    get_time_string_with_ms(timeStamp, sizeof(timeStamp));
    char block[kFrameBlockMax];
    size_t used = 0;
    for (int i = 0; i < n; ++i) {
        char line[kFrameLineMax];
        size_t len = static_cast<size_t>(formatUserObjLine(line, sizeof(line), objs[i], timeStamp));
        if (used + len > sizeof(block)) {
            consoleWrite(block, used);
            used = 0;
        }
        memcpy(block + used, line, len);
        used += len;
    }
    consoleWrite(block, used);
}

void vormCanObjShow(const _KCAN_CAN_OBJ* objs, int n) {
    if (objs == nullptr) {
        return;
    }
    for (int i = 0; i < n; ++i) {
        _KCAN_USER_OBJ obj{};
        obj.direction = 1;
        canObj2UserObj(&objs[i], &obj);
        canUserObjShow(&obj, 1);
    }
}

void vormCanfdObjShow(const _KCAN_CANFD_OBJ* objs, int n) {
    if (objs == nullptr) {
        return;
    }
    for (int i = 0; i < n; ++i) {
        _KCAN_USER_OBJ obj{};
        obj.direction = 1;
        canfdObj2UserObj(&objs[i], &obj);
        canUserObjShow(&obj, 1);
    }
}

void printProgress(uint32_t sent, uint32_t total) {
    char line[kProgressLineMax];
    int len = formatProgress(line, sizeof(line), sent, total);
    consoleWrite(line, static_cast<size_t>(len));
}
