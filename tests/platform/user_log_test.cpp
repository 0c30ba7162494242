// The file logger: ini parsing, level filter, line format, dated log file,
// buffer limits, failures and the process-wide instance.
#include "platform/QUserLog.h"

#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

std::string readFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// The lines of text, each "[YYYY-MM-DD HH:MM:SS] [LEVEL] message" as
// "LEVEL|message" ("?" and the line when it does not have that shape).
Strings parsed(const std::string& text) {
    static const std::regex shape(
        R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] \[(TRACE|DEBUG|INFO |WARN |ERROR|FATAL)\] (.*))");
    Strings out;
    std::istringstream in(text);
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        out.push_back(std::regex_match(line, m, shape) ? m[1].str() + "|" + m[2].str()
                                                       : "?" + line);
    }
    return out;
}

// The parsed lines of the one log file in dir.
Strings logFile(const std::string& dir) {
    return parsed(readFile(fs::directory_iterator(dir)->path()));
}

// The parsed lines that f prints on standard output.
template <typename F>
Strings console(F f) {
    testing::internal::CaptureStdout();
    f();
    return parsed(testing::internal::GetCapturedStdout());
}

std::string today() {
    const time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    char text[16];
    strftime(text, sizeof(text), "%Y%m%d", &tmv);
    return text;
}

void logAt(QUserLog& log, int level, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    log.Log(static_cast<LogLevel>(level), fmt, args);
    va_end(args);
}

constexpr char kNoFile[] = "(no ini file)";

class LoggerTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kestrun_log_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& rel) const { return dir_ + "/" + rel; }

    // A logger configured from the ini text (kNoFile: no ini file).
    std::unique_ptr<QUserLog> makeLogger(const std::string& ini) {
        fs::remove(path("QUserLog.ini"));
        if (ini != kNoFile)
            std::ofstream(path("QUserLog.ini"), std::ios::binary) << ini;
        return std::make_unique<QUserLog>(path("QUserLog.ini"));
    }
    std::unique_ptr<QUserLog> fileLogger(const std::string& logDir) {
        return makeLogger("[LogConfig]\nLogPath=" + logDir + "\nFileOutput=1\n");
    }

    std::string dir_;
};

TEST_F(LoggerTest, ConfigurationRules) {
    const std::string logs = path("logs");
    const std::tuple<const char*, std::string, int, std::string, bool> cases[] = {
        {"no ini file: console only, no report", kNoFile, 1, "", false},
        {"empty file", "", 1, "", false},
        {"lowest level", "[LogConfig]\nLogLevel=0\n", 0, "", false},
        {"highest level, no final newline", "[LogConfig]\nLogLevel=5", 5, "", false},
        {"6 keeps the earlier level", "[LogConfig]\nLogLevel=4\nLogLevel=6\n", 4, "", false},
        {"-1 and overflow ignored", "[LogConfig]\nLogLevel=-1\nLogLevel=99999999999999999999\n", 1,
         "", false},
        {"blank line, spaces, comment, trailing text", "[LogConfig]\n\n  LogLevel  =  2x  ; two\n",
         2, "", false},
        {"crlf line ends", "[LogConfig]\r\nLogLevel=2\r\nLogPath=/q\r\n", 2, "/q", false},
        {"file output on", "[LogConfig]\nFileOutput = 1 ; on\nLogPath=" + logs + "\n", 1, logs,
         true},
        {"file output 2 and 2^32+1 are off", "[LogConfig]\nFileOutput=2\nFileOutput=4294967297\n",
         1, "", false},
        {"file output without a path", "[LogConfig]\nFileOutput=1\n", 1, "", true},
        {"path keeps later equals, cut at comment", "[LogConfig]\nLogPath = a=b ; note\n", 1, "a=b",
         false},
        {"path may be emptied", "[LogConfig]\nLogPath=/x\nLogPath=\n", 1, "", false},
        {"keys outside [LogConfig] or misspelt",
         "LogLevel=4\nFileOutput=1\n[Other]\nLogLevel=4\n[logconfig]\nLogLevel=4\n[LogConfigX]\n"
         "LogLevel=4\n   [LogConfig]   \nLogLevel=2\n; LogLevel=4\nloglevel=4\nLogLevel 4\n"
         "Colour=4\n[" +
             std::string(100, 'L') + "]\nLogLevel=4\n",
         2, "", false},
        {"255 characters still read", "[LogConfig]\n; " + std::string(253, 'x') + "\nLogLevel=4\n",
         4, "", false},
        {"256 characters stop reading",
         "[LogConfig]\nLogLevel=2\n; " + std::string(254, 'x') + "\nLogLevel=4\n", 2, "", false},
        // Values parse like atoi: "=3" reads as 0.
        {"broken headers and keys", "[\n]\n[]\n[LogConfig\n=\n[LogConfig]\n==\n=3\nLogLevel==3\n",
         0, "", false},
        {"high bytes, a key of them, a nul in a line",
         std::string("[LogConfig]\n\xff\xfe=\x80\nLogPath=\xc3\xa9t\xc3\xa9\nLogLevel=3\0 9\n", 45),
         3, "\xc3\xa9t\xc3\xa9", false},
    };
    for (const auto& [name, ini, level, logPath, fileOutput] : cases) {
        SCOPED_TRACE(name);
        testing::internal::CaptureStdout();
        auto log = makeLogger(ini);
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(log->logLevel(), level);
        EXPECT_EQ(log->fileOutput(), fileOutput);
        EXPECT_EQ(std::string(log->logPath()), logPath);
        EXPECT_EQ(console([&] { log->Fatal("shown"); }), Strings{"FATAL|shown"});
        EXPECT_EQ(printed, ini == kNoFile ? ""
                                          : "Config loaded successfully:\nLogLevel: " +
                                                std::to_string(level) + "\nLogPath: " + logPath +
                                                "\nFileOutput: " + (fileOutput ? "1" : "0") + "\n");
    }
}

TEST_F(LoggerTest, EachLevelCarriesItsTextAndOutOfRangeLevelsAreDropped) {
    auto log = makeLogger("[LogConfig]\nLogLevel=0\n");
    EXPECT_EQ(console([&] {
                  log->Trace("t");
                  log->Debug("d");
                  log->Info("i");
                  log->Warn("w");
                  log->Error("e");
                  log->Fatal("f%s", "!");
                  for (int beyond : {6, -1, 1000})
                      logAt(*log, beyond, "dropped");
              }),
              (Strings{"TRACE|t", "DEBUG|d", "INFO |i", "WARN |w", "ERROR|e", "FATAL|f!"}));
    log = makeLogger("[LogConfig]\nLogLevel=1\n");
    EXPECT_EQ(console([&] { log->Trace("t"); }), Strings{}) << "below the configured level";
}

TEST_F(LoggerTest, FileOutputCreatesDirectoriesAndAppendsToTheDatedFile) {
    const std::string logDir = path("a/b/c");
    auto log = fileLogger(logDir);
    EXPECT_EQ(log->GetLogFileName(), logDir + "/QUserLog_" + today() + ".log");
    console([&] { log->Info("first %d", 1); });
    EXPECT_EQ(logFile(logDir), Strings{"INFO |first 1"}) << "in the file as soon as Log returns";
    log = fileLogger(logDir);  // a new logger appends
    console([&] { log->Error("second"); });
    EXPECT_EQ(logFile(logDir), (Strings{"INFO |first 1", "ERROR|second"}));
}

TEST_F(LoggerTest, LinesOf1024BytesOrMoreReachOnlyTheConsole) {
    // The line adds 31 bytes to the message; messages are cut to 1023.
    auto log = fileLogger(path("logs"));
    Strings inFile;
    for (size_t length : {992, 993, 5000}) {
        const std::string message(length, 'm');
        EXPECT_EQ(console([&] {
                      log->Info("%s", message.c_str());
                      log->Info("marker");  // the buffer keeps working after a dropped line
                  }),
                  (Strings{"INFO |" + message.substr(0, 1023), "INFO |marker"}));
        if (length == 992)
            inFile.push_back("INFO |" + message);
        inFile.push_back("INFO |marker");
    }
    EXPECT_EQ(logFile(path("logs")), inFile);
}

// A directory that cannot be made, or a directory where the file should be:
// file output goes off with a message, and logging goes on on the console.
TEST_F(LoggerTest, UnusableLogFileTurnsFileOutputOff) {
    std::ofstream(path("blocker")) << "a regular file\n";
    const std::string day = today();
    fs::create_directories(path("logs/QUserLog_" + day + ".log"));
    const std::pair<std::string, std::string> cases[] = {
        {path("blocker/sub"), "Failed to create log directory: " + path("blocker/sub") + "\n"},
        {path("logs"), "Failed to open log file: " + path("logs/QUserLog_" + day + ".log") + "\n"},
    };
    for (const auto& [logDir, message] : cases) {
        testing::internal::CaptureStderr();
        auto log = fileLogger(logDir);
        const std::string err = testing::internal::GetCapturedStderr();
        if (today() != day) {
            GTEST_SKIP() << "the date changed during the test";
        }
        EXPECT_EQ(err, message);
        EXPECT_FALSE(log->fileOutput());
        testing::internal::CaptureStderr();
        EXPECT_EQ(console([&] {
                      EXPECT_FALSE(log->Init());
                      log->Error("still on the console");
                  }).back(),
                  "ERROR|still on the console");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), message);
    }
}

TEST_F(LoggerTest, CreateDirectoryMakesEveryMissingParent) {
    std::ofstream(path("file")) << "x";
    for (const auto& [rel, ok] : {std::pair("t//u/", true), {"file/sub", false}}) {
        EXPECT_EQ(QUserLog::CreateDirectory(path(rel).c_str()), ok) << rel;
        EXPECT_EQ(fs::is_directory(path(rel)), ok) << rel;
    }
    EXPECT_FALSE(QUserLog::CreateDirectory(""));
    EXPECT_FALSE(QUserLog::CreateDirectory(nullptr));
    EXPECT_EQ(QUserLog::TrimWhitespace(nullptr), nullptr);
    std::string overlong = dir_;
    while (overlong.size() < 300)
        overlong += "/abcdefgh";
    EXPECT_TRUE(QUserLog::CreateDirectory(overlong.c_str())) << "cut at 255 characters";
    EXPECT_TRUE(fs::is_directory(overlong.substr(0, 255)));
    EXPECT_FALSE(fs::exists(overlong.substr(0, 256)));
}

// Logs from a static destructor, after main has returned, as the device
// registry and the classic driver's table do while they close devices.
struct LogsAtExit {
    ~LogsAtExit() { QUserLog::GetInstance().Error("from a static destructor"); }
};

TEST_F(LoggerTest, InstanceReadsIniInWorkingDirectoryAndOutlivesStaticObjects) {
    std::ofstream(path("QUserLog.ini")) << "[LogConfig]\nLogLevel=3\nLogPath=logs\nFileOutput=1\n";
    GTEST_FLAG_SET(death_test_style, "fast");  // the child shares this test's temp directory
    EXPECT_EXIT(
        {
            if (chdir(dir_.c_str()) != 0)
                std::_Exit(2);
            // Constructed before the logger, so destroyed after anything the
            // logger might have registered for exit.
            static LogsAtExit guard;
            QUserLog& log = QUserLog::GetInstance();
            if (&log != &QUserLog::GetInstance())
                std::_Exit(3);
            log.Info("below the level");
            log.Warn("kept");
            log.Flush();  // nothing pending: every line is written when it is logged
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(logFile(path("logs")), (Strings{"WARN |kept", "ERROR|from a static destructor"}));
}

}  // namespace
