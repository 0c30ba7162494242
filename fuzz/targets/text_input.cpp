// Text from users: frame text, the command line, the logger's ini file.
#include <cctype>
#include <memory>
#include <string>

#include "app/frame_text.h"
#include "app/options.h"
#include "app/settings.h"
#include "fuzz/targets/fuzz_support.h"
#include "platform/QUserLog.h"

namespace {

// Exactly the text and its terminator, cut at the first NUL as C sees it.
std::unique_ptr<char[]> cString(const fuzz::Bytes& bytes) {
    auto text = std::make_unique<char[]>(bytes.size() + 1);
    std::copy(bytes.begin(), bytes.end(), text.get());  // the terminator: value-initialised
    return text;
}

}  // namespace

// Byte 0 is the byte limit for parse_hex_data, the rest the text.
int fuzzOneFrameText(const uint8_t* data, size_t size) {
    fuzz::Quiet quiet;
    fuzz::InputReader in(data, size);
    const int max = in.u8() % 80;
    const auto text = cString(in.rest(size));

    _KCAN_USER_OBJ obj, again;
    fuzz::poison(&obj);
    const int rc = cmdLineStrMsgParse(text.get(), &obj);
    FUZZ_CHECK(rc == -1 || (rc == 0 && obj.isFd <= 1 &&
                            cmdLineStrMsgParse(text.get(), &again) == 0 && fuzz::same(obj, again)));
    if (rc == 0 && obj.isFd)
        fuzz::checkFrame(obj.canfdObj);
    else if (rc == 0)
        fuzz::checkFrame(obj.canObj);
    FUZZ_CHECK(rc != 0 || (obj.isFd ? obj.canObj.len == 0 && obj.canObj.id == 0
                                    : obj.canfdObj.len == 0 && obj.canfdObj.id == 0));
    // An output of exactly max bytes and a guard.
    auto out = std::make_unique<uint8_t[]>(static_cast<size_t>(max) + 1);
    out[max] = 0xA5;
    const int n = parse_hex_data(text.get(), out.get(), max);
    FUZZ_CHECK(n >= 0 && n <= max && out[max] == 0xA5);

    _KCAN_CAN_OBJ frame{};
    const int fr = parse_can_frame(text.get(), &frame);
    FUZZ_CHECK(fr == -1 || (fr == 0 && frame.len <= 8 && frame.ext == (frame.id > 0x7FF ? 1 : 0) &&
                            frame.txOption == 0));
    return 0;
}

// The input split at NUL and newline bytes into arguments after "kestrun".
int fuzzOneCommandLine(const uint8_t* data, size_t size) {
    std::vector<std::string> words{"kestrun", ""};
    for (size_t i = 0; i < std::min<size_t>(size, 4096) && words.size() <= 65; ++i) {
        if (data[i] == '\0' || data[i] == '\n')
            words.emplace_back();
        else
            words.back().push_back(static_cast<char>(data[i]));
    }
    if (words.back().empty())
        words.pop_back();
    std::vector<std::unique_ptr<char[]>> storage;  // getopt may permute argv
    std::vector<char*> argv;
    for (const std::string& w : words)
        argv.push_back(storage.emplace_back(cString(fuzz::Bytes(w.begin(), w.end()))).get());
    argv.push_back(nullptr);

    CanAst ast{};
    TaskTxConfig tx{};
    auto message = std::make_unique<char[]>(kMessageTextSize);
    ParsedOptions parsed;
    int status = 0;
    {
        fuzz::Quiet quietOut(1);
        fuzz::Quiet quietErr(2);
        parsed = parseOptions(static_cast<int>(words.size()), argv.data(), ast, tx, message.get());
        if (parsed.action == ParseAction::Continue)
            status = validateSettings(parsed, ast, tx, message.get());
    }
    FUZZ_CHECK(ast.channel < static_cast<uint32_t>(kMaxChannels) && ast.iso <= 1);
    FUZZ_CHECK(std::memchr(message.get(), '\0', kMessageTextSize) != nullptr);
    if (parsed.action != ParseAction::Continue)
        return 0;
    // -1: go on.
    FUZZ_CHECK(status >= -1);
    if (status == -1) {
        FUZZ_CHECK(parsed.valueError.empty() && ast.devType != 0 && ast.arbRate != 0);
        FUZZ_CHECK(ast.sendMode || ast.recvMode || ast.statusMode);
        FUZZ_CHECK(ast.fdMode == (ast.dataRate != 0 ? 1 : 0));
        FUZZ_CHECK(!ast.sendMode || message[0] != '\0');
        char line1[512];
        char line2[512];
        formatSettingSummary(ast, tx, line1, line2, sizeof line1);
        FUZZ_CHECK(std::memchr(line1, '\0', sizeof line1) &&
                   std::memchr(line2, '\0', sizeof line2));
    }
    return 0;
}

// "FileOutput" is renamed so that no input makes the logger create files.
int fuzzOneLogIni(const uint8_t* data, size_t size) {
    std::string ini(reinterpret_cast<const char*>(data), std::min<size_t>(size, 16384));
    for (size_t at = 0; (at = ini.find("FileOutput", at)) != std::string::npos;)
        ini[at + 9] = 'X';
    char path[] = "/tmp/kestrun-fuzz-ini-XXXXXX";
    const int fd = mkstemp(path);
    FUZZ_CHECK(fd >= 0 && write(fd, ini.data(), ini.size()) == static_cast<ssize_t>(ini.size()));
    close(fd);
    {
        fuzz::Quiet quietOut(1);
        fuzz::Quiet quietErr(2);
        QUserLog log(path);
        const int32_t level = log.logLevel();
        const bool fileOut = log.fileOutput();
        log.LoadConfig();  // a second reading gives the same settings
        FUZZ_CHECK(log.logLevel() == level && !fileOut && !log.fileOutput());
        FUZZ_CHECK(level >= static_cast<int32_t>(LogLevel::Trace) &&
                   level <= static_cast<int32_t>(LogLevel::Fatal));
    }
    unlink(path);
    // Each line trimmed in a buffer of exactly its length.
    for (size_t start = 0, end; start <= ini.size(); start = end + 1) {
        end = std::min(ini.find('\n', start), ini.size());
        const auto line = cString(fuzz::Bytes(ini.begin() + start, ini.begin() + end));
        const char* t = QUserLog::TrimWhitespace(line.get());
        const size_t n = std::strlen(t);
        FUZZ_CHECK(t == line.get());
        FUZZ_CHECK(n == 0 || (!std::isspace(static_cast<unsigned char>(t[0])) &&
                              !std::isspace(static_cast<unsigned char>(t[n - 1]))));
    }
    return 0;
}
