// Text from users: the frame text of -m, the "ID#DATA" form, the whole
// command line, and the file logger's ini file.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/frame_text.h"
#include "app/options.h"
#include "app/settings.h"
#include "fuzz/targets/fuzz_support.h"
#include "platform/QUserLog.h"

namespace {

// The input as a C string of exactly its length (plus the terminator), cut at
// the first NUL as a C caller would see it.
std::unique_ptr<char[]> cString(const uint8_t* data, size_t size) {
    auto text = std::make_unique<char[]>(size + 1);
    if (size > 0) {
        std::memcpy(text.get(), data, size);
    }
    text[size] = '\0';
    return text;
}

template <typename Obj>
void checkData(const Obj& f, size_t slot) {
    FUZZ_CHECK(f.len <= slot);
    for (size_t i = f.len; i < slot; ++i)
        FUZZ_CHECK(f.data[i] == 0);
}

}  // namespace

// Frame text. Byte 0 is the byte limit for parse_hex_data; the rest is the
// text given to all three parsers.
// Invariants: cmdLineStrMsgParse returns 0 or -1 and, on success, a frame of
// its kind with len <= 8 / 64, zero data beyond len, flags of 0 or 1, and the
// other kind's record left clear; it is deterministic. parse_hex_data stores
// 0..max bytes and never writes past max. parse_can_frame returns 0 or -1,
// and on success ext says whether the id is above 0x7FF and len <= 8.
int fuzzOneFrameText(const uint8_t* data, size_t size) {
    fuzz::Quiet quiet;
    fuzz::InputReader in(data, size);
    const int max = in.u8() % 80;
    auto text = cString(in.rest(), in.remaining());

    _KCAN_USER_OBJ obj;
    std::memset(&obj, 0xEE, sizeof obj);
    const int rc = cmdLineStrMsgParse(text.get(), &obj);
    FUZZ_CHECK(rc == 0 || rc == -1);
    if (rc == 0) {
        FUZZ_CHECK(obj.isFd <= 1);
        _KCAN_USER_OBJ again;
        FUZZ_CHECK(cmdLineStrMsgParse(text.get(), &again) == 0);
        FUZZ_CHECK(std::memcmp(&obj, &again, sizeof obj) == 0);
        if (obj.isFd) {
            checkData(obj.canfdObj, sizeof obj.canfdObj.data);
            FUZZ_CHECK(obj.canfdObj.rtr <= 1 && obj.canfdObj.ext <= 1);
            FUZZ_CHECK(obj.canObj.len == 0 && obj.canObj.id == 0);
        } else {
            checkData(obj.canObj, sizeof obj.canObj.data);
            FUZZ_CHECK(obj.canObj.rtr <= 1 && obj.canObj.ext <= 1);
            FUZZ_CHECK(obj.canfdObj.len == 0 && obj.canfdObj.id == 0);
        }
    }

    // An output of exactly max bytes, then a guard.
    auto out = std::make_unique<uint8_t[]>(static_cast<size_t>(max) + 1);
    out[max] = 0xA5;
    const int n = parse_hex_data(text.get(), out.get(), max);
    FUZZ_CHECK(n >= 0 && n <= max);
    FUZZ_CHECK(out[max] == 0xA5);

    _KCAN_CAN_OBJ frame;
    std::memset(&frame, 0, sizeof frame);
    const int fr = parse_can_frame(text.get(), &frame);
    FUZZ_CHECK(fr == 0 || fr == -1);
    if (fr == 0) {
        FUZZ_CHECK(frame.len <= 8);
        FUZZ_CHECK(frame.ext == (frame.id > 0x7FF ? 1 : 0));
        FUZZ_CHECK(frame.txOption == 0);
    }
    return 0;
}

// The whole command line: the input split at NUL and newline bytes into an
// argument vector after "kestrun".
// Invariants: parsing never leaves a channel above 15, an ISO flag above 1 or
// an unterminated message; validation returns -1 (go on) or an exit status
// >= 0, and -1 only with a model, a mode, an arbitration rate, the FD switch
// set exactly when a data rate was given, and a message in send mode.
int fuzzOneCommandLine(const uint8_t* data, size_t size) {
    std::vector<std::string> words{"kestrun"};
    std::string word;
    for (size_t i = 0; i < std::min<size_t>(size, 4096); ++i) {
        if (data[i] == '\0' || data[i] == '\n') {
            words.push_back(word);
            word.clear();
        } else {
            word.push_back(static_cast<char>(data[i]));
        }
        if (words.size() > 64)
            break;
    }
    if (!word.empty())
        words.push_back(word);
    // getopt may permute argv; each word has its own buffer.
    std::vector<std::unique_ptr<char[]>> storage;
    std::vector<char*> argv;
    for (const std::string& w : words) {
        storage.push_back(std::make_unique<char[]>(w.size() + 1));
        std::memcpy(storage.back().get(), w.c_str(), w.size() + 1);
        argv.push_back(storage.back().get());
    }
    argv.push_back(nullptr);

    CanAst ast;
    std::memset(&ast, 0, sizeof ast);
    TaskTxConfig tx;
    std::memset(&tx, 0, sizeof tx);
    auto message = std::make_unique<char[]>(kMessageTextSize);
    std::memset(message.get(), 0, kMessageTextSize);
    ParsedOptions parsed;
    int status = 0;
    {
        fuzz::Quiet quietOut(1);
        fuzz::Quiet quietErr(2);
        parsed = parseOptions(static_cast<int>(words.size()), argv.data(), ast, tx, message.get());
        if (parsed.action == ParseAction::Continue)
            status = validateSettings(parsed, ast, tx, message.get());
    }
    FUZZ_CHECK(ast.channel < static_cast<uint32_t>(kMaxChannels));
    FUZZ_CHECK(ast.iso <= 1);
    FUZZ_CHECK(std::memchr(message.get(), '\0', kMessageTextSize) != nullptr);
    if (parsed.action != ParseAction::Continue)
        return 0;
    FUZZ_CHECK(status == -1 || status >= 0);
    if (status == -1) {
        FUZZ_CHECK(parsed.valueError.empty());
        FUZZ_CHECK(ast.devType != 0 && ast.arbRate != 0);
        FUZZ_CHECK(ast.sendMode || ast.recvMode || ast.statusMode);
        FUZZ_CHECK(ast.fdMode == (ast.dataRate != 0 ? 1 : 0));
        FUZZ_CHECK(!ast.sendMode || message[0] != '\0');
        char line1[512];
        char line2[512];
        formatSettingSummary(ast, tx, line1, line2, sizeof line1);
        FUZZ_CHECK(std::memchr(line1, '\0', sizeof line1) != nullptr);
        FUZZ_CHECK(std::memchr(line2, '\0', sizeof line2) != nullptr);
    }
    return 0;
}

// The file logger's ini file, written from the input to a temporary file.
// "FileOutput" is renamed in the text so that no input makes the logger
// create directories or files; every other key is parsed as written.
// Invariants: the level stays within Trace..Fatal, file output stays off, and
// TrimWhitespace of any line returns a pointer inside it with no whitespace at
// either end.
int fuzzOneLogIni(const uint8_t* data, size_t size) {
    std::string ini(reinterpret_cast<const char*>(data), std::min<size_t>(size, 16384));
    for (size_t at = 0; (at = ini.find("FileOutput", at)) != std::string::npos;)
        ini[at + 9] = 'X';

    char path[] = "/tmp/kestrun-fuzz-ini-XXXXXX";
    const int fd = mkstemp(path);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(write(fd, ini.data(), ini.size()) == static_cast<ssize_t>(ini.size()));
    close(fd);
    {
        fuzz::Quiet quietOut(1);
        fuzz::Quiet quietErr(2);
        QUserLog log(path);
        const int32_t level = log.logLevel();
        const bool fileOut = log.fileOutput();
        log.LoadConfig();  // a second reading gives the same settings
        FUZZ_CHECK(log.logLevel() == level);
        FUZZ_CHECK(level >= static_cast<int32_t>(LogLevel::Trace) &&
                   level <= static_cast<int32_t>(LogLevel::Fatal));
        FUZZ_CHECK(!fileOut && !log.fileOutput());
    }
    unlink(path);

    // Trimming, line by line, in buffers of exactly the line's length.
    size_t start = 0;
    while (start <= ini.size()) {
        size_t end = ini.find('\n', start);
        if (end == std::string::npos)
            end = ini.size();
        std::string line = ini.substr(start, end - start);
        auto buf = std::make_unique<char[]>(line.size() + 1);
        std::memcpy(buf.get(), line.data(), line.size());
        buf[line.size()] = '\0';
        const size_t cLength = std::strlen(buf.get());
        char* t = QUserLog::TrimWhitespace(buf.get());
        FUZZ_CHECK(t == buf.get());
        FUZZ_CHECK(t >= buf.get() && t <= buf.get() + cLength);
        const size_t tl = std::strlen(t);
        if (tl > 0) {
            FUZZ_CHECK(!std::isspace(static_cast<unsigned char>(t[0])));
            FUZZ_CHECK(!std::isspace(static_cast<unsigned char>(t[tl - 1])));
        }
        start = end + 1;
    }
    return 0;
}
