// The command line end to end: the built tool is run with argument vectors
// and judged by what it prints and its exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/help_text.h"
#include "run_tool.h"

ToolRun runTool(const std::vector<std::string>& args, const std::string& dir) {
    ToolRun run;
    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
        return run;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        close(outPipe[0]);
        close(errPipe[0]);
        if (chdir(dir.c_str()) != 0) {
            _exit(126);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(KESTRUN_BINARY));
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(KESTRUN_BINARY, argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, 30000) <= 0) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    return run;
}

namespace {

const char* kErrorTag = "\033[0;31m[ERROR] \033[0m";
const char* kInfoTag = "\033[0;32m[INFO] \033[0m";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Every console log line is "[YYYY-MM-DD HH:MM:SS] " + coloured tag + text.
bool hasLogLine(const std::string& out, const char* tag, const std::string& text) {
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.size() > 22 && line[0] == '[' && line[20] == ']' &&
            line.compare(22, std::string::npos, std::string(tag) + text) == 0) {
            return true;
        }
    }
    return false;
}

bool hasError(const ToolRun& run, const std::string& text) {
    return hasLogLine(run.out, kErrorTag, text);
}

// A working directory holding a logger configuration, which the library reads
// only once it logs: -h and -v never do.
class IniDirectory {
  public:
    IniDirectory() {
        char pattern[] = "/tmp/kestrun_cli_XXXXXX";
        if (mkdtemp(pattern) != nullptr) {
            path_ = pattern;
            std::ofstream(path_ + "/QUserLog.ini") << "[LogConfig]\nLogLevel=2\n";
        }
    }
    ~IniDirectory() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

TEST(CommandLineHelp, HelpPrintsBannerThenHelpAndExitsZero) {
    IniDirectory dir;
    ToolRun run = runTool({"-h"}, dir.path());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, versionBannerText() + helpText());
}

TEST(CommandLineHelp, HelpTextMatchesTheReferenceByteForByte) {
    EXPECT_EQ(helpText(), readFile(CLI_GOLDEN_DIR "/help.txt"));
    EXPECT_EQ(versionBannerText(), readFile(CLI_GOLDEN_DIR "/banner.txt"));
}

TEST(CommandLineHelp, HelpAfterOtherOptionsSkipsValidation) {
    ToolRun run = runTool({"-D", "NOPE", "-c", "99", "--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, versionBannerText() + helpText());
}

TEST(CommandLineHelp, VersionPrintsBannerTwice) {
    IniDirectory dir;
    ToolRun run = runTool({"-D", "DUNLIN2", "-v", "-h"}, dir.path());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, versionBannerText() + versionBannerText());
}

TEST(CommandLineValidation, MissingOrUnknownModelNamesTheModels) {
    for (const char* model : {"", "dunlin2", "DUNLIN2 ", "ZARO", "Unknown"}) {
        std::vector<std::string> args = {"-a", "500000", "-r"};
        if (*model != '\0') {
            args.insert(args.begin(), {"-D", model});
        }
        ToolRun run = runTool(args);
        EXPECT_EQ(run.status, 1) << model;
        EXPECT_TRUE(
            hasError(run, "需要指定设备型号 -D 参数。例如:-D DUNLIN1,或使用 --help 查看帮助"))
            << run.out;
        EXPECT_TRUE(hasLogLine(run.out, kInfoTag,
                               "设备支持型号: DUNLIN1, DUNLIN2, ZARO2014, ZARO2018, "
                               "DUNLINFD-Mini, DUNLINFD1, DUNLINFD2, ZARO3014, ZARO3018"));
    }
}

TEST(CommandLineValidation, FailuresEndWithStatusOneInTheirOrder) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"-D", "DUNLIN2", "-a", "500000"},
         "需要指定工作模式 -s(发送模式)/-r(接收模式)/--status(状态查看) 参数"},
        // The mode is checked before the bit rate.
        {{"-D", "DUNLIN2"}, "需要指定工作模式 -s(发送模式)/-r(接收模式)/--status(状态查看) 参数"},
        {{"-D", "DUNLIN2", "-r"}, "需要 -a 参数指定波特率 单位:Hz，例如:-a 500000"},
        {{"-D", "DUNLIN2", "-a", "500000", "-d", "2000000", "-r"},
         "错误:设备DUNLIN2不支持FD功能!!"},
        {{"-D", "ZARO2014", "-a", "500000", "-d", "2000000", "--status"},
         "错误:设备ZARO2014不支持FD功能!!"},
        {{"-D", "DUNLINFD2", "-a", "500000", "-s"},
         "发送模式需要 -m 参数指定发送内容,例如:-m C#S#D#123#1122334455667788"},
        {{"-D", "DUNLIN2", "-a", "500000", "-s", "-m", "X#S#D#1#00"}, "报文格式错误"},
        {{"-D", "DUNLIN2", "-a", "500000", "-s", "-m", "C#S#D#123"}, "报文格式错误"},
        {{"-D", "DUNLIN2", "-a", "500000", "-s", "-m", "C-S#D#1#00"}, "报文格式错误"},
    };
    for (const Case& c : cases) {
        ToolRun run = runTool(c.args);
        EXPECT_EQ(run.status, 1) << c.message;
        EXPECT_TRUE(hasError(run, c.message)) << c.message << "\n" << run.out;
    }
}

TEST(CommandLineValidation, RefusedValuesNameTheOptionAndTheValue) {
    struct Case {
        std::vector<std::string> args;
        const char* option;
        std::string value;
    } cases[] = {
        {{"-c", "16"}, "-c/--channel", "16"},
        {{"-c", "-1"}, "-c/--channel", "-1"},
        {{"--channel", "abc"}, "-c/--channel", "abc"},
        {{"-i", "-2"}, "-i/--index", "-2"},
        {{"-i", "1x"}, "-i/--index", "1x"},
        {{"-a", "500k"}, "-a/--arb-rate", "500k"},
        {{"-a", "4294967296"}, "-a/--arb-rate", "4294967296"},
        {{"-d", ""}, "-d/--data-rate", ""},
        {{"-p", "-5"}, "-p/--period", "-5"},
        {{"-n", "4294967296"}, "-n/--count", "4294967296"},
        {{"--count", "+3"}, "-n/--count", "+3"},
        {{"--id-start", "xyz"}, "--id-start", "xyz"},
        {{"--id-end", "-1"}, "--id-end", "-1"},
        {{"--id-end", "0x100000000"}, "--id-end", "0x100000000"},
        {{"--id-step", "1.5"}, "--id-step", "1.5"},
        {{"--iso", "2"}, "--iso", "2"},
        {{"--iso", "yes"}, "--iso", "yes"},
        // Shown up to 64 bytes, cut before a character that does not fit whole.
        {{"-p", std::string(59, '9') + "毫秒"}, "-p/--period", std::string(59, '9') + "毫"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"-D", "DUNLINFD2", "-a", "500000", "-r"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ToolRun run = runTool(args);
        EXPECT_EQ(run.status, 1) << c.option << " " << c.value;
        std::string expected = std::string("参数 ") + c.option + " 的值无效: \"" + c.value + "\"";
        EXPECT_NE(run.out.find(expected), std::string::npos) << expected << "\n" << run.out;
        // Refused before anything else happens: no summary line.
        EXPECT_EQ(run.out.find("设备索引->"), std::string::npos);
    }
}

TEST(CommandLineValidation, RefusedValueIsReportedEvenWithoutAModel) {
    ToolRun run = runTool({"-c", "abc"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("参数 -c/--channel 的值无效"), std::string::npos);
}

TEST(CommandLineValidation, LaterValidOccurrenceOverridesARefusedOne) {
    ToolRun run =
        runTool({"-D", "DUNLINFD2", "-i", "71", "-a", "500000", "-r", "-c", "abc", "-c", "1"});
    EXPECT_EQ(run.out.find("的值无效"), std::string::npos) << run.out;
    EXPECT_TRUE(hasLogLine(run.out, kInfoTag,
                           "DUNLINFD2 设备索引->71 通道->1 模式->接收 波特率->500000bps"));
}

TEST(CommandLineValidation, RandomSweepWithReversedRangeIsRefused) {
    ToolRun run = runTool({"-D", "DUNLIN2", "-a", "500000", "-s", "-m", "C#S#D#1#00", "--id-start",
                           "20", "--id-end", "10", "--id-random"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(hasError(run, "--id-random 需要 --id-start(0x20) 不大于 --id-end(0x10)"))
        << run.out;
}

TEST(CommandLineValidation, UnknownOptionIsReportedAndSkipped) {
    ToolRun run = runTool({"-D", "DUNLIN2", "-i", "72", "--bogus", "-a", "500000", "-r"});
    EXPECT_NE(run.err.find("bogus"), std::string::npos) << run.err;
    EXPECT_TRUE(
        hasLogLine(run.out, kInfoTag, "DUNLIN2 设备索引->72 通道->0 模式->接收 波特率->500000bps"));
}

TEST(CommandLineRun, ValidRunWithoutAnAdapterReportsTheOpenFailure) {
    // No adapter is attached here (the virtual ones are not preloaded).
    ToolRun run =
        runTool({"-D", "DUNLIN2", "-i", "77", "-a", "500000", "-s", "-m", "C#S#D#123#1122"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(hasLogLine(run.out, kInfoTag, "msg->fd:0 id:0x123 ext:0 rtr:0 len:2")) << run.out;
    EXPECT_TRUE(
        hasLogLine(run.out, kInfoTag, "DUNLIN2 设备索引->77 通道->0 模式->发送 波特率->500000bps"));
    EXPECT_TRUE(hasLogLine(run.out, kInfoTag, "发送间隔->1000 毫秒 发送次数->1 回显->关闭 BRS->0"));
    EXPECT_TRUE(hasError(run, "VORM Device Open Fail...")) << run.out;
    // The owner that could not open its adapter gave its lock back.
    EXPECT_NE(access("/tmp/Kestrun_DUNLIN2_77.lock", F_OK), 0);
}

TEST(CommandLineRun, OutputArrivesWholeLinesThroughAPipe) {
    ToolRun run =
        runTool({"-D", "ZARO3018", "-a", "1000000", "-d", "5000000", "--status", "-i", "78"});
    ASSERT_FALSE(run.out.empty());
    EXPECT_EQ(run.out.back(), '\n');
    EXPECT_TRUE(hasLogLine(run.out, kInfoTag,
                           "ZARO3018 设备索引->78 通道->0 模式->状态查看 FD开关->开启 "
                           "仲裁域->1000000bps 数据域->5000000bps ISO->0"));
}

}  // namespace
