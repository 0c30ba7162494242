#include "app/options.h"

#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "app/console.h"
#include "app/models.h"

namespace {

enum LongOnlyCode {
    kOptIdStart = 256,
    kOptIdEnd = 257,
    kOptIdStep = 258,
    kOptIdRandom = 259,
    kOptStatus = 260,
    kOptIso = 261,
    kOptLog = 262,
    kOptLogFormat = 263,
    kOptLogSize = 264,
    kOptReplay = 265,
    kOptReplayIf = 266,
    kOptServe = 267,
};

// A log part is at least this big, so rotation cannot produce a file a frame.
constexpr uint32_t kMaxLogSizeMb = 1u << 20;

const option kLongOptions[] = {
    {"device", required_argument, nullptr, 'D'},
    {"channel", required_argument, nullptr, 'c'},
    {"index", required_argument, nullptr, 'i'},
    {"arb-rate", required_argument, nullptr, 'a'},
    {"data-rate", required_argument, nullptr, 'd'},
    {"message", required_argument, nullptr, 'm'},
    {"period", required_argument, nullptr, 'p'},
    {"count", required_argument, nullptr, 'n'},
    {"send", no_argument, nullptr, 's'},
    {"receive", no_argument, nullptr, 'r'},
    {"echo", no_argument, nullptr, 'e'},
    {"brs", no_argument, nullptr, 'b'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'v'},
    {"id-start", required_argument, nullptr, kOptIdStart},
    {"id-end", required_argument, nullptr, kOptIdEnd},
    {"id-step", required_argument, nullptr, kOptIdStep},
    {"id-random", no_argument, nullptr, kOptIdRandom},
    {"status", no_argument, nullptr, kOptStatus},
    {"iso", required_argument, nullptr, kOptIso},
    {"log", required_argument, nullptr, kOptLog},
    {"log-format", required_argument, nullptr, kOptLogFormat},
    {"log-size", required_argument, nullptr, kOptLogSize},
    {"replay", required_argument, nullptr, kOptReplay},
    {"replay-if", required_argument, nullptr, kOptReplayIf},
    {"serve", no_argument, nullptr, kOptServe},
    {nullptr, 0, nullptr, 0},
};

const char* optionLabel(int code) {
    switch (code) {
        case 'c':
            return "-c/--channel";
        case 'i':
            return "-i/--index";
        case 'a':
            return "-a/--arb-rate";
        case 'd':
            return "-d/--data-rate";
        case 'p':
            return "-p/--period";
        case 'n':
            return "-n/--count";
        case kOptIdStart:
            return "--id-start";
        case kOptIdEnd:
            return "--id-end";
        case kOptIdStep:
            return "--id-step";
        case kOptIso:
            return "--iso";
        case kOptLogSize:
            return "--log-size";
        default:
            return "?";
    }
}

// Accepts only a whole unsigned number in the given base (hexadecimal may
// carry a 0x prefix) that does not exceed max. Signs, blanks and trailing
// characters are refused, so "-1", "abc" and "12k" never become a value.
bool parseUnsigned(const char* text, int base, uint64_t max, uint32_t* out) {
    if (text == nullptr) {
        return false;
    }
    const char* digits = text;
    if (base == 16 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits += 2;
    }
    if (*digits == '\0') {
        return false;
    }
    for (const char* p = digits; *p != '\0'; ++p) {
        bool ok = base == 16 ? std::isxdigit(static_cast<unsigned char>(*p)) != 0
                             : (*p >= '0' && *p <= '9');
        if (!ok) {
            return false;
        }
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long value = std::strtoull(digits, &end, base);
    if (errno == ERANGE || value > max) {
        return false;
    }
    *out = static_cast<uint32_t>(value);
    return true;
}

struct NumericRule {
    int base;
    uint64_t max;
    const char* expectation;
};

NumericRule ruleFor(int code) {
    switch (code) {
        case 'c':
            return {10, kMaxChannels - 1, "需要 0~15 的十进制整数"};
        case kOptIso:
            return {10, 1, "只能为 0 或 1"};
        case kOptLogSize:
            return {10, kMaxLogSizeMb, "需要 1~1048576 的十进制整数 (MB)"};
        case kOptIdStart:
        case kOptIdEnd:
            return {16, UINT32_MAX, "需要 32 位以内的十六进制数"};
        default:
            return {10, UINT32_MAX, "需要 32 位以内的非负十进制整数"};
    }
}

}  // namespace

ParsedOptions parseOptions(int argc, char* argv[], CanAst& ast, TaskTxConfig& tx,
                           char* messageText) {
    ParsedOptions parsed;
    // The refusal of each option's latest occurrence, in the order first met.
    std::map<int, std::string> refused;
    std::vector<int> refusedOrder;

    optind = 0;  // full re-initialisation of getopt's state
    int code;
    while ((code = getopt_long(argc, argv, "D:c:i:a:d:m:p:n:srebhv", kLongOptions, nullptr)) !=
           -1) {
        uint32_t value = 0;
        switch (code) {
            case 'D':
                ast.devType = deviceTypeGetByName(optarg);
                continue;
            case 'm':
                std::snprintf(messageText, kMessageTextSize, "%s", optarg);
                continue;
            case 's':
                ast.sendMode = 1;
                continue;
            case 'r':
                ast.recvMode = 1;
                continue;
            case 'e':
                ast.echo = 1;
                tx.echo = 1;
                continue;
            case 'b':
                tx.brs = 1;
                continue;
            case 'h':
                parsed.action = ParseAction::ShowHelp;
                return parsed;
            case 'v':
                parsed.action = ParseAction::ShowVersion;
                return parsed;
            case kOptIdRandom:
                tx.idRandom = 1;
                continue;
            case kOptStatus:
                ast.statusMode = 1;
                continue;
            case kOptLog:
                parsed.logPath = optarg;
                continue;
            case kOptLogFormat:
                parsed.logFormat = optarg;
                continue;
            case kOptReplay:
                parsed.replayPath = optarg;
                continue;
            case kOptReplayIf:
                parsed.replayIf = optarg;
                continue;
            case kOptServe:
                ast.serveMode = 1;
                continue;
            case 'c':
            case 'i':
            case 'a':
            case 'd':
            case 'p':
            case 'n':
            case kOptIdStart:
            case kOptIdEnd:
            case kOptIdStep:
            case kOptIso:
            case kOptLogSize:
                break;
            default:
                // getopt_long has printed its own diagnostic; parsing goes on.
                continue;
        }

        NumericRule rule = ruleFor(code);
        if (!parseUnsigned(optarg, rule.base, rule.max, &value)) {
            if (refused.find(code) == refused.end()) {
                refusedOrder.push_back(code);
            }
            // At most 64 bytes of the value, never ending inside a character.
            char shown[65];
            TextBuilder(shown, sizeof shown).append(optarg);
            char message[256];
            std::snprintf(message, sizeof message, "参数 %s 的值无效: \"%s\" (%s)",
                          optionLabel(code), shown, rule.expectation);
            refused[code] = message;
            continue;
        }
        refused.erase(code);
        switch (code) {
            case 'c':
                ast.channel = value;
                break;
            case 'i':
                ast.devIndex = value;
                break;
            case 'a':
                ast.arbRate = value;
                break;
            case 'd':
                ast.dataRate = value;
                break;
            case 'p':
                tx.period = value;
                parsed.periodGiven = true;
                break;
            case 'n':
                tx.count = value;
                break;
            case kOptIdStart:
                tx.idStart = value;
                tx.idSweep = 1;
                break;
            case kOptIdEnd:
                tx.idEnd = value;
                tx.idSweep = 1;
                break;
            case kOptIdStep:
                tx.idStep = value;
                break;
            case kOptIso:
                ast.iso = static_cast<uint8_t>(value);
                break;
            case kOptLogSize:
                parsed.logSizeMb = value;
                break;
            default:
                break;
        }
    }
    for (int refusedCode : refusedOrder) {
        auto it = refused.find(refusedCode);
        if (it != refused.end()) {
            parsed.valueError = it->second;
            break;
        }
    }
    return parsed;
}

int validateSettings(const ParsedOptions& parsed, CanAst& ast, const TaskTxConfig& tx,
                     const char* messageText) {
    if (!parsed.valueError.empty()) {
        log_error("%s", parsed.valueError.c_str());
        return 1;
    }
    if (!parsed.logFormat.empty() && parsed.logFormat != "candump" &&
        parsed.logFormat != "pcapng") {
        char shown[65];
        TextBuilder(shown, sizeof shown).append(parsed.logFormat.c_str());
        log_error("参数 --log-format 的值无效: \"%s\" (只能为 candump 或 pcapng)", shown);
        return 1;
    }
    if (parsed.logSizeMb != 0 && parsed.logPath.empty()) {
        log_error("--log-size 需要 --log 参数");
        return 1;
    }
    if (!parsed.replayIf.empty() && parsed.replayPath.empty()) {
        log_error("--replay-if 需要 --replay 参数");
        return 1;
    }
    if (parsed.logSizeMb != 0 && parsed.logPath == "-") {
        log_error("--log-size 不能用于标准输出 (--log -)");
        return 1;
    }
    // A replay is a send mode of its own: the frames come from the file.
    if (!parsed.replayPath.empty()) {
        ast.sendMode = 1;
    }
    if (ast.devType == 0) {
        log_error("需要指定设备型号 -D 参数。例如:-D DUNLIN1,或使用 --help 查看帮助");
        log_info(
            "设备支持型号: DUNLIN1, DUNLIN2, ZARO2014, ZARO2018, DUNLINFD-Mini, DUNLINFD1, "
            "DUNLINFD2, ZARO3014, ZARO3018");
        return 1;
    }
    // --serve is a mode of its own: it shows nothing and sends nothing.
    if (ast.serveMode && (ast.sendMode || ast.recvMode || ast.statusMode)) {
        log_error("--serve 不能与 -s/-r/--status/--replay 同时使用");
        return 1;
    }
    if (!ast.sendMode && !ast.recvMode && !ast.statusMode && !ast.serveMode) {
        log_error("需要指定工作模式 -s(发送模式)/-r(接收模式)/--status(状态查看) 参数");
        return 1;
    }
    if (ast.arbRate == 0) {
        log_error("需要 -a 参数指定波特率 单位:Hz，例如:-a 500000");
        return 1;
    }
    if (ast.dataRate != 0) {
        if (deviceFdIsSupport(ast.devType) < 0) {
            log_error("错误:设备%s不支持FD功能!!", deviceNameGetByType(ast.devType));
            return 1;
        }
        ast.fdMode = 1;
    }
    if (ast.sendMode && parsed.replayPath.empty() && messageText[0] == '\0') {
        log_error("发送模式需要 -m 参数指定发送内容,例如:-m C#S#D#123#1122334455667788");
        return 1;
    }
    // A random identifier is drawn from idStart..idEnd; a reversed range would
    // wrap around and draw from almost the whole 32-bit space.
    if (ast.sendMode && tx.idSweep && tx.idRandom && tx.idStart > tx.idEnd) {
        log_error("--id-random 需要 --id-start(0x%x) 不大于 --id-end(0x%x)", tx.idStart, tx.idEnd);
        return 1;
    }
    return -1;
}

void formatSettingSummary(const CanAst& ast, const TaskTxConfig& tx, char* line1, char* line2,
                          size_t size) {
    const char* mode = ast.recvMode     ? "接收"
                       : ast.sendMode   ? "发送"
                       : ast.statusMode ? "状态查看"
                       : ast.serveMode  ? "服务"
                                        : "错误";
    int n = std::snprintf(line1, size, "%s 设备索引->%u 通道->%u 模式->%s",
                          deviceNameGetByType(ast.devType), ast.devIndex, ast.channel, mode);
    size_t used = n > 0 ? static_cast<size_t>(n) : 0;
    if (used < size) {
        if (ast.fdMode) {
            std::snprintf(line1 + used, size - used,
                          " FD开关->开启 仲裁域->%ubps 数据域->%ubps ISO->%d", ast.arbRate,
                          ast.dataRate, ast.iso);
        } else {
            std::snprintf(line1 + used, size - used, " 波特率->%ubps", ast.arbRate);
        }
    }

    line2[0] = '\0';
    if (!ast.sendMode) {
        return;
    }
    n = std::snprintf(line2, size, "发送间隔->%u 毫秒 发送次数->%u 回显->%s BRS->%s", tx.period,
                      tx.count, ast.echo ? "开启" : "关闭", tx.brs ? "1" : "0");
    used = n > 0 ? static_cast<size_t>(n) : 0;
    if (tx.idSweep && used < size) {
        char step[32];
        if (tx.idRandom == 1) {
            std::snprintf(step, sizeof step, "随机");
        } else {
            std::snprintf(step, sizeof step, "%u", tx.idStep);
        }
        std::snprintf(line2 + used, size - used, " 开始ID->0x%0x 结束ID->0x%0x 步长->%s",
                      tx.idStart, tx.idEnd, step);
    }
}

void formatReplaySummary(const ParsedOptions& parsed, const TaskTxConfig& tx, char* line,
                         size_t size) {
    TextBuilder text(line, size);
    text.append("回放->");
    text.append(parsed.replayPath.c_str());
    if (!parsed.periodGiven) {
        text.append(" 节奏->按记录");
    } else if (tx.period == 0) {
        text.append(" 节奏->总线全速");
    } else {
        text.appendf(" 发送间隔->%u 毫秒", tx.period);
    }
    if (tx.count == 0) {
        text.append(" 次数->循环直到中断");
    } else {
        text.appendf(" 次数->%u", tx.count);
    }
    if (!parsed.replayIf.empty()) {
        text.append(" 接口->");
        text.append(parsed.replayIf.c_str());
    }
}

void devSettingPrint() {
    char line1[512];
    char line2[512];
    formatSettingSummary(canAst, taskTxConfig, line1, line2, sizeof line1);
    log_info("%s", line1);
    if (line2[0] != '\0') {
        log_info("%s", line2);
    }
}
