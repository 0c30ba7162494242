// The built tool run with argument vectors and judged by what it prints and
// its exit status: help and version, refused settings, a run without adapter.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "process.h"

namespace {

std::string golden(const char* name) {
    std::ifstream in(std::string(CLI_GOLDEN_DIR "/") + name, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

testproc::Result kestrun(std::vector<std::string> args, const std::string& dir = "/") {
    args.insert(args.begin(), KESTRUN_BINARY);
    return testproc::run(args, {}, dir);
}

const std::string kError = "\033[0;31m[ERROR] \033[0m";
const std::string kInfo = "\033[0;32m[INFO] \033[0m";

TEST(CommandLine, HelpAndVersionPrintTheReferenceTextsOnly) {
    // The library reports a logger configuration once it logs, which -h and
    // -v never make it do.
    char dir[] = "/tmp/kestrun_cli_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::ofstream(std::string(dir) + "/QUserLog.ini") << "[LogConfig]\nLogLevel=2\n";
    const std::string banner = golden("banner.txt"), help = golden("help.txt");
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{"-h"}, banner + help},
        {{"-D", "NOPE", "-c", "99", "--help"}, banner + help},  // no validation
        {{"-D", "DUNLIN2", "-v", "-h"}, banner + banner},       // -v stops the parsing
    };
    for (const auto& [args, expect] : rows) {
        testproc::Result r = kestrun(args, dir);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, expect);
    }
    std::filesystem::remove_all(dir);
}

TEST(CommandLine, RefusedSettingsEndWithStatusOneBeforeTheSummary) {
    const std::string noModel = "需要指定设备型号 -D 参数。例如:-D DUNLIN1,或使用 --help 查看帮助";
    const std::string noMode = "需要指定工作模式 -s(发送模式)/-r(接收模式)/--status(状态查看) 参数";
    std::vector<std::pair<std::vector<std::string>, std::string>> rows = {
        {{"-a", "500000", "-r"}, noModel},
        {{"-D", "dunlin2", "-a", "500000", "-r"}, noModel},
        {{"-D", "DUNLIN2 ", "-a", "500000", "-r"}, noModel},
        {{"-D", "DUNLIN2", "-a", "500000"}, noMode},
        {{"-D", "DUNLIN2"}, noMode},  // the mode is checked before the bit rate
        {{"-D", "DUNLIN2", "-r"}, "需要 -a 参数指定波特率 单位:Hz，例如:-a 500000"},
        {{"-D", "DUNLIN2", "-a", "500000", "-d", "2000000", "-r"},
         "错误:设备DUNLIN2不支持FD功能!!"},
        {{"-D", "ZARO2014", "-a", "500000", "-d", "2000000", "--status"},
         "错误:设备ZARO2014不支持FD功能!!"},
        {{"-D", "DUNLINFD2", "-a", "500000", "-s"},
         "发送模式需要 -m 参数指定发送内容,例如:-m C#S#D#123#1122334455667788"},
        {{"-D", "DUNLIN2", "-a", "500000", "-s", "-m", "C#S#D#123"}, "报文格式错误"},
        {{"-D", "DUNLIN2", "-a", "500000", "-s", "-m", "C#S#D#1#00", "--id-start", "20", "--id-end",
          "10", "--id-random"},
         "--id-random 需要 --id-start(0x20) 不大于 --id-end(0x10)"},
        {{"-c", "abc"}, "参数 -c/--channel 的值无效: \"abc\""},  // even without a model
        {{"-D", "DUNLINFD2", "-a", "500000", "--serve", "-r"},
         "--serve 不能与 -s/-r/--status/--replay 同时使用"},
    };
    // Refused option values name the option and the value (shown up to 64
    // bytes, cut before a character that does not fit whole): each option
    // once, each way of refusing a number once.
    const std::tuple<std::vector<std::string>, const char*, std::string> values[] = {
        {{"-c", "16"}, "-c/--channel", "16"},
        {{"--channel", "abc"}, "-c/--channel", "abc"},
        {{"-i", "1x"}, "-i/--index", "1x"},
        {{"-a", "4294967296"}, "-a/--arb-rate", "4294967296"},
        {{"-d", ""}, "-d/--data-rate", ""},
        {{"-p", "-5"}, "-p/--period", "-5"},
        {{"--count", "+3"}, "-n/--count", "+3"},
        {{"--id-start", "xyz"}, "--id-start", "xyz"},
        {{"--id-end", "0x100000000"}, "--id-end", "0x100000000"},
        {{"--id-step", "1.5"}, "--id-step", "1.5"},
        {{"--iso", "2"}, "--iso", "2"},
        {{"-a", "fast", "-c", "99"}, "-a/--arb-rate", "fast"},  // the first refused one
        {{"-p", std::string(59, '9') + "毫秒"}, "-p/--period", std::string(59, '9') + "毫"},
    };
    for (const auto& [extra, option, value] : values) {
        std::vector<std::string> args = {"-D", "DUNLINFD2", "-a", "500000", "-r"};
        args.insert(args.end(), extra.begin(), extra.end());
        rows.push_back({args, std::string("参数 ") + option + " 的值无效: \"" + value + "\""});
    }
    for (const auto& [args, message] : rows) {
        testproc::Result r = kestrun(args);
        EXPECT_EQ(r.status, 1) << message;
        EXPECT_NE(r.out.find(kError + message), std::string::npos) << message << "\n" << r.out;
        EXPECT_EQ(r.out.find("设备索引->"), std::string::npos) << r.out;
    }
    EXPECT_NE(
        kestrun({}).out.find(kInfo + "设备支持型号: DUNLIN1, DUNLIN2, ZARO2014, ZARO2018, "
                                     "DUNLINFD-Mini, DUNLINFD1, DUNLINFD2, ZARO3014, ZARO3018\n"),
        std::string::npos);
}

TEST(CommandLine, RunWithoutAnAdapterReportsTheOpenFailureAndGivesTheLockBack) {
    // No adapter is attached here (the virtual ones are not preloaded). An
    // unknown option is reported and skipped; a later valid -c overrides a
    // refused one.
    testproc::Result r = kestrun({"-D", "DUNLIN2", "-i", "77", "--bogus", "-c", "abc", "-c", "1",
                                  "-a", "500000", "-s", "-m", "C#S#D#123#1122"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("bogus"), std::string::npos) << r.err;
    for (const std::string& line :
         {kInfo + "msg->fd:0 id:0x123 ext:0 rtr:0 len:2\n",
          kInfo + "DUNLIN2 设备索引->77 通道->1 模式->发送 波特率->500000bps\n",
          kInfo + "发送间隔->1000 毫秒 发送次数->1 回显->关闭 BRS->0\n",
          kError + "VORM Device Open Fail...\n"}) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    }
    EXPECT_EQ(r.out.find("的值无效"), std::string::npos);
    EXPECT_NE(access("/tmp/Kestrun_DUNLIN2_77.lock", F_OK), 0);
}

}  // namespace
