// The file logger: ini parsing, level filter, line format, dated log file,
// buffer limits, failures, concurrency and the process-wide instance.
#include "platform/QUserLog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

// ---- Helpers ---------------------------------------------------------------

class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "kestrun_log_XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~TempDir() {
        if (!path_.empty()) {
            std::error_code ec;
            fs::remove_all(path_, ec);
        }
    }
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

  private:
    std::string path_;
};

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));  // unterminated tail
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string dateStamp() {
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    char text[16];
    strftime(text, sizeof(text), "%Y%m%d", &tmv);
    return text;
}

// Splits "[YYYY-MM-DD HH:MM:SS] [LEVEL] message" (without its line end);
// false when the line does not have that shape.
bool parseLine(const std::string& line, std::string* level, std::string* message) {
    static const char kShape[] = "[dddd-dd-dd dd:dd:dd] [";
    constexpr size_t kShapeLength = sizeof(kShape) - 1;
    if (line.size() < kShapeLength + 7) {
        return false;
    }
    for (size_t i = 0; i < kShapeLength; ++i) {
        const bool ok = kShape[i] == 'd' ? isdigit(static_cast<unsigned char>(line[i])) != 0
                                         : line[i] == kShape[i];
        if (!ok) {
            return false;
        }
    }
    if (line.compare(kShapeLength + 5, 2, "] ") != 0) {
        return false;
    }
    *level = line.substr(kShapeLength, 5);
    *message = line.substr(kShapeLength + 7);
    static const std::set<std::string> kLevels = {"TRACE", "DEBUG", "INFO ",
                                                  "WARN ", "ERROR", "FATAL"};
    return kLevels.count(*level) == 1;
}

std::string configReport(int level, const std::string& path, bool fileOutput) {
    return "Config loaded successfully:\nLogLevel: " + std::to_string(level) +
           "\nLogPath: " + path + "\nFileOutput: " + (fileOutput ? "1" : "0") + "\n";
}

void logAt(QUserLog& log, LogLevel level, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    log.Log(level, fmt, args);
    va_end(args);
}

// "[time] [level] " plus the line end.
constexpr size_t kLineOverhead = 31;

class LoggerTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(dir_.path().empty()) << "mkdtemp failed"; }

    // Writes the ini text and builds a logger from it; what the construction
    // printed on standard output lands in *printed.
    std::unique_ptr<QUserLog> makeLogger(const std::string& ini, std::string* printed = nullptr) {
        writeFile(iniPath(), ini);
        return construct(iniPath(), printed);
    }

    static std::unique_ptr<QUserLog> construct(const std::string& path, std::string* printed) {
        testing::internal::CaptureStdout();
        auto log = std::make_unique<QUserLog>(path);
        std::string out = testing::internal::GetCapturedStdout();
        if (printed != nullptr) {
            *printed = out;
        }
        return log;
    }

    std::string iniPath() const { return dir_ / "QUserLog.ini"; }

    // The dated file in dir, accepting a date change during the test.
    std::string logFileIn(const std::string& dir, const std::string& dayBefore) const {
        const std::string before = dir + "/QUserLog_" + dayBefore + ".log";
        const std::string after = dir + "/QUserLog_" + dateStamp() + ".log";
        return fs::exists(before) ? before : after;
    }

    TempDir dir_;
};

// ---- Configuration ---------------------------------------------------------

TEST_F(LoggerTest, WithoutIniLogsDebugAndAboveToConsoleOnly) {
    std::string printed;
    auto log = construct(dir_ / "missing.ini", &printed);
    EXPECT_EQ(printed, "");  // no config report without a file
    EXPECT_EQ(log->logLevel(), 1);
    EXPECT_FALSE(log->fileOutput());
    EXPECT_STREQ(log->logPath(), "");

    testing::internal::CaptureStdout();
    log->Trace("hidden %d", 1);
    log->Debug("shown %d", 2);
    const std::string out = testing::internal::GetCapturedStdout();
    const auto lines = splitLines(out);
    ASSERT_EQ(lines.size(), 1u) << out;
    std::string level, message;
    ASSERT_TRUE(parseLine(lines[0], &level, &message)) << lines[0];
    EXPECT_EQ(level, "DEBUG");
    EXPECT_EQ(message, "shown 2");
    EXPECT_EQ(out.back(), '\n');
    // Only the directory's own files: nothing was created.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator{}), 0);
}

struct ConfigCase {
    const char* name;
    std::string ini;
    int level;
    bool fileOutput;
    std::string path;  // "@" stands for the test's temp directory
};

std::string expand(const std::string& text, const std::string& dir) {
    std::string out;
    for (char c : text) {
        if (c == '@') {
            out += dir;
        } else {
            out += c;
        }
    }
    return out;
}

// Bytes above 0x7f, a key of such bytes and a NUL inside a line.
constexpr char kHostileIni[] =
    "[LogConfig]\n\xff\xfe=\x80\nLogPath=\xc3\xa9t\xc3\xa9\nLogLevel=3\0 9\n";

std::vector<ConfigCase> configCases() {
    const std::string lineOf255 = "; " + std::string(253, 'x');
    const std::string lineOf256 = "; " + std::string(254, 'x');
    const std::string lineOf300 = "Comment=" + std::string(292, 'x');
    return {
        {"empty file", "", 1, false, ""},
        {"level accepted", "[LogConfig]\nLogLevel=3\n", 3, false, ""},
        {"level 0 accepted", "[LogConfig]\nLogLevel=0\n", 0, false, ""},
        {"level 5 accepted", "[LogConfig]\nLogLevel=5\n", 5, false, ""},
        {"level 7 ignored", "[LogConfig]\nLogLevel=7\n", 1, false, ""},
        {"level -1 ignored", "[LogConfig]\nLogLevel=-1\n", 1, false, ""},
        {"level overflow ignored", "[LogConfig]\nLogLevel=99999999999999999999\n", 1, false, ""},
        {"level 6 keeps earlier", "[LogConfig]\nLogLevel=4\nLogLevel=6\n", 4, false, ""},
        {"later key overrides", "[LogConfig]\nLogLevel=2\nLogLevel=3\n", 3, false, ""},
        {"spaces and comment", "[LogConfig]\n  LogLevel  =  2  ; two\n", 2, false, ""},
        {"trailing text as atoi", "[LogConfig]\nLogLevel=4x\n", 4, false, ""},
        {"crlf line ends", "[LogConfig]\r\nLogLevel=2\r\nLogPath=/q\r\n", 2, false, "/q"},
        {"no final newline", "[LogConfig]\nLogLevel=5", 5, false, ""},
        {"file output 2 is off", "[LogConfig]\nFileOutput=2\n", 1, false, ""},
        {"file output 0 is off", "[LogConfig]\nFileOutput=0\n", 1, false, ""},
        {"file output huge is off", "[LogConfig]\nFileOutput=4294967297\n", 1, false, ""},
        {"file output 1 with comment", "[LogConfig]\nFileOutput = 1 ; on\nLogPath=@/logs\n", 1,
         true, "@/logs"},
        {"path value cut at comment", "[LogConfig]\nLogPath = /x/y ; note\n", 1, false, "/x/y"},
        {"path keeps later equals", "[LogConfig]\nLogPath=a=b\n", 1, false, "a=b"},
        {"path may be emptied", "[LogConfig]\nLogPath=/x\nLogPath=\n", 1, false, ""},
        {"keys before any header", "LogLevel=4\nFileOutput=1\n[LogConfig]\n", 1, false, ""},
        {"keys in another section",
         "[Other]\nLogLevel=4\n[LogConfig]\nLogLevel=2\n[Other]\n"
         "LogLevel=5\n",
         2, false, ""},
        {"section names are exact", "[logconfig]\nLogLevel=4\n[LogConfigX]\nLogLevel=5\n", 1, false,
         ""},
        {"header with spaces around", "   [LogConfig]   \nLogLevel=2\n", 2, false, ""},
        {"comment lines skipped", "[LogConfig]\n; LogLevel=4\n;LogLevel=5\n", 1, false, ""},
        {"keys are case sensitive", "[LogConfig]\nloglevel=4\nLOGLEVEL=4\n", 1, false, ""},
        {"line without equals", "[LogConfig]\nLogLevel\nLogLevel 3\nLogLevel=2\n", 2, false, ""},
        {"unknown keys ignored", "[LogConfig]\nColour=red\nLogLevel=2\n", 2, false, ""},
        {"255 characters still read", "[LogConfig]\n" + lineOf255 + "\nLogLevel=4\n", 4, false, ""},
        {"256 characters stop reading", "[LogConfig]\nLogLevel=2\n" + lineOf256 + "\nLogLevel=4\n",
         2, false, ""},
        {"300 characters stop reading", "[LogConfig]\nLogLevel=2\n" + lineOf300 + "\nLogLevel=4\n",
         2, false, ""},
        // Values parse like atoi: "=3" reads as 0.
        {"broken headers and keys", "[\n]\n[]\n[LogConfig\n=\n[LogConfig]\n==\n=3\nLogLevel==3\n",
         0, false, ""},
        {"overlong section name", "[" + std::string(100, 'L') + "]\nLogLevel=4\n", 1, false, ""},
        {"high bytes and nul", std::string(kHostileIni, sizeof(kHostileIni) - 1), 3, false,
         "\xc3\xa9t\xc3\xa9"},
    };
}

TEST_F(LoggerTest, ConfigurationRules) {
    for (const ConfigCase& c : configCases()) {
        SCOPED_TRACE(c.name);
        std::string printed;
        auto log = makeLogger(expand(c.ini, dir_.path()), &printed);
        const std::string path = expand(c.path, dir_.path());
        EXPECT_EQ(log->logLevel(), c.level);
        EXPECT_EQ(log->fileOutput(), c.fileOutput);
        EXPECT_EQ(std::string(log->logPath()), path);
        EXPECT_EQ(printed, configReport(c.level, path, c.fileOutput));
    }
}

TEST_F(LoggerTest, ArbitraryIniBytesNeverBreakTheParser) {
    // Fragments that stress the parser; "FileOutput" is left out so that no
    // directory is ever created from random text.
    const std::vector<std::string> pieces = {"[LogConfig]",
                                             "[Other]",
                                             "[",
                                             "]",
                                             "LogLevel",
                                             "LogPath",
                                             "=",
                                             ";",
                                             " ",
                                             "\t",
                                             "\r",
                                             "\n",
                                             "\n",
                                             "\n",
                                             "0",
                                             "5",
                                             "9",
                                             "-",
                                             "x",
                                             "\xff",
                                             std::string(1, '\0'),
                                             std::string(200, 'y')};
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        std::uniform_int_distribution<size_t> pick(0, pieces.size() - 1);
        std::string ini;
        for (int i = 0; i < 200; ++i) {
            ini += pieces[pick(rng)];
        }
        auto log = makeLogger(ini);
        EXPECT_GE(log->logLevel(), 0);
        EXPECT_LE(log->logLevel(), 5);
        EXPECT_LT(strlen(log->logPath()), 256u);
        EXPECT_FALSE(log->fileOutput());
    }
}

// ---- Levels and line format --------------------------------------------------

TEST_F(LoggerTest, EachLevelCarriesItsFiveCharacterText) {
    auto log = makeLogger("[LogConfig]\nLogLevel=0\n");
    testing::internal::CaptureStdout();
    log->Trace("t");
    log->Debug("d");
    log->Info("i");
    log->Warn("w");
    log->Error("e");
    log->Fatal("f%s", "!");
    const auto lines = splitLines(testing::internal::GetCapturedStdout());
    const std::pair<const char*, const char*> expect[] = {{"TRACE", "t"}, {"DEBUG", "d"},
                                                          {"INFO ", "i"}, {"WARN ", "w"},
                                                          {"ERROR", "e"}, {"FATAL", "f!"}};
    ASSERT_EQ(lines.size(), std::size(expect));
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string level, message;
        ASSERT_TRUE(parseLine(lines[i], &level, &message)) << lines[i];
        EXPECT_EQ(level, expect[i].first);
        EXPECT_EQ(message, expect[i].second);
    }
}

TEST_F(LoggerTest, LevelsBelowTheConfiguredOneAndOutOfRangeAreDropped) {
    auto log = makeLogger("[LogConfig]\nLogLevel=3\n");
    testing::internal::CaptureStdout();
    log->Trace("no");
    log->Debug("no");
    log->Info("no");
    log->Warn("warn");
    logAt(*log, static_cast<LogLevel>(6), "beyond fatal");
    logAt(*log, static_cast<LogLevel>(-1), "below trace");
    logAt(*log, static_cast<LogLevel>(1000), "far beyond");
    log->Error("error");
    const auto lines = splitLines(testing::internal::GetCapturedStdout());
    ASSERT_EQ(lines.size(), 2u);
    std::string level, message;
    ASSERT_TRUE(parseLine(lines[0], &level, &message));
    EXPECT_EQ(message, "warn");
    ASSERT_TRUE(parseLine(lines[1], &level, &message));
    EXPECT_EQ(message, "error");
}

// ---- Log file ----------------------------------------------------------------

TEST_F(LoggerTest, CreatesNestedDirectoriesAndWritesTheDatedFile) {
    const std::string day = dateStamp();
    const std::string logDir = dir_ / "a/b/c";
    auto log = makeLogger("[LogConfig]\nLogPath=" + logDir + "\nFileOutput=1\n");
    ASSERT_TRUE(fs::is_directory(logDir));
    const std::string file = logFileIn(logDir, day);
    ASSERT_TRUE(fs::exists(file)) << file;
    EXPECT_EQ(log->GetLogFileName(), logDir + "/QUserLog_" + dateStamp() + ".log");

    testing::internal::CaptureStdout();
    log->Trace("not emitted");
    log->Info("first %d", 1);
    // Each accepted line is in the file as soon as Log returns.
    auto lines = splitLines(readFile(file));
    ASSERT_EQ(lines.size(), 1u);
    log->Error("second");
    lines = splitLines(readFile(file));
    testing::internal::GetCapturedStdout();

    ASSERT_EQ(lines.size(), 2u);
    std::string level, message;
    ASSERT_TRUE(parseLine(lines[0], &level, &message)) << lines[0];
    EXPECT_EQ(level, "INFO ");
    EXPECT_EQ(message, "first 1");
    ASSERT_TRUE(parseLine(lines[1], &level, &message)) << lines[1];
    EXPECT_EQ(level, "ERROR");
    EXPECT_EQ(message, "second");
}

TEST_F(LoggerTest, AppendsToAnExistingFile) {
    const std::string day = dateStamp();
    const std::string logDir = dir_ / "logs";
    fs::create_directory(logDir);
    const std::string file = logDir + "/QUserLog_" + day + ".log";
    writeFile(file, "earlier line\n");
    auto log = makeLogger("[LogConfig]\nLogPath=" + logDir + "\nFileOutput=1\n");
    testing::internal::CaptureStdout();
    log->Warn("later line");
    testing::internal::GetCapturedStdout();
    const auto lines = splitLines(readFile(logFileIn(logDir, day)));
    if (lines.size() == 1) {
        GTEST_SKIP() << "the date changed during the test";
    }
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "earlier line");
    std::string level, message;
    ASSERT_TRUE(parseLine(lines[1], &level, &message));
    EXPECT_EQ(message, "later line");
}

TEST_F(LoggerTest, LinesOf1024BytesOrMoreReachOnlyTheConsole) {
    struct LengthCase {
        size_t messageLength;
        bool inFile;
    };
    // The line adds 31 bytes to the message; messages are cut to 1023.
    const LengthCase cases[] = {
        {1, true}, {500, true}, {992, true}, {993, false}, {1100, false}, {5000, false},
    };
    const std::string day = dateStamp();
    const std::string logDir = dir_ / "logs";
    auto log = makeLogger("[LogConfig]\nLogPath=" + logDir + "\nFileOutput=1\n");
    for (const LengthCase& c : cases) {
        SCOPED_TRACE(c.messageLength);
        const std::string message(c.messageLength, 'm');
        const std::string file = logFileIn(logDir, day);
        const size_t linesBefore = splitLines(readFile(file)).size();

        testing::internal::CaptureStdout();
        log->Info("%s", message.c_str());
        log->Info("marker");  // the buffer keeps working after a dropped line
        const auto console = splitLines(testing::internal::GetCapturedStdout());

        const size_t shown = std::min<size_t>(c.messageLength, 1023);
        ASSERT_EQ(console.size(), 2u);
        EXPECT_EQ(console[0].size() + 1, kLineOverhead + shown);
        std::string level, text;
        ASSERT_TRUE(parseLine(console[0], &level, &text));
        EXPECT_EQ(text, message.substr(0, shown));

        const auto lines = splitLines(readFile(file));
        ASSERT_EQ(lines.size(), linesBefore + (c.inFile ? 2u : 1u));
        ASSERT_TRUE(parseLine(lines.back(), &level, &text));
        EXPECT_EQ(text, "marker");
        if (c.inFile) {
            ASSERT_TRUE(parseLine(lines[lines.size() - 2], &level, &text));
            EXPECT_EQ(text, message);
        }
    }
}

TEST_F(LoggerTest, FileOutputWithoutPathStaysOnTheConsole) {
    testing::internal::CaptureStderr();
    auto log = makeLogger("[LogConfig]\nFileOutput=1\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(log->Init());
    log->Info("console");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("] [INFO ] console\n"), std::string::npos);
}

// ---- Failures ------------------------------------------------------------------

TEST_F(LoggerTest, UncreatableDirectoryTurnsFileOutputOff) {
    writeFile(dir_ / "blocker", "a regular file\n");
    const std::string logDir = dir_ / "blocker/sub";
    testing::internal::CaptureStderr();
    auto log = makeLogger("[LogConfig]\nLogPath=" + logDir + "\nFileOutput=1\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Failed to create log directory: " + logDir + "\n");
    EXPECT_FALSE(log->fileOutput());

    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(log->Init());
    log->Error("still on the console");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Failed to create log directory: " + logDir + "\n");
    EXPECT_NE(out.find("] [ERROR] still on the console\n"), std::string::npos);
}

TEST_F(LoggerTest, UnopenableFileTurnsFileOutputOff) {
    const std::string day = dateStamp();
    const std::string logDir = dir_ / "logs";
    const std::string file = logDir + "/QUserLog_" + day + ".log";
    fs::create_directories(file);  // a directory where the file should be
    testing::internal::CaptureStderr();
    auto log = makeLogger("[LogConfig]\nLogPath=" + logDir + "\nFileOutput=1\n");
    const std::string err = testing::internal::GetCapturedStderr();
    if (dateStamp() != day) {
        GTEST_SKIP() << "the date changed during the test";
    }
    EXPECT_EQ(err, "Failed to open log file: " + file + "\n");
    EXPECT_FALSE(log->fileOutput());
}

// ---- Helpers of the logger -----------------------------------------------------

TEST_F(LoggerTest, CreateDirectoryMakesEveryMissingParent) {
    writeFile(dir_ / "file", "x");
    fs::create_directory(dir_ / "existing");
    struct DirCase {
        std::string rel;
        bool ok;
    };
    const DirCase cases[] = {
        {"one", true},   {"x/y/z", true},     {"t/u/", true},
        {"p//q", true},  {"existing", true},  {"existing/new/deeper", true},
        {"file", false}, {"file/sub", false}, {"file/sub/deeper", false},
    };
    for (const DirCase& c : cases) {
        SCOPED_TRACE(c.rel);
        const std::string path = dir_ / c.rel;
        EXPECT_EQ(QUserLog::CreateDirectory(path.c_str()), c.ok);
        if (c.ok) {
            EXPECT_TRUE(fs::is_directory(path));
            // A second call finds it in place.
            EXPECT_TRUE(QUserLog::CreateDirectory(path.c_str()));
        }
    }
    EXPECT_FALSE(QUserLog::CreateDirectory(""));
    EXPECT_FALSE(QUserLog::CreateDirectory(nullptr));
}

TEST_F(LoggerTest, CreateDirectoryCutsOverlongPathsAt255Characters) {
    std::string path = dir_.path();
    while (path.size() < 300) {
        path += "/abcdefgh";
    }
    EXPECT_TRUE(QUserLog::CreateDirectory(path.c_str()));
    EXPECT_TRUE(fs::is_directory(path.substr(0, 255)));
    EXPECT_FALSE(fs::exists(path.substr(0, 256)));
}

TEST(LoggerTrim, StripsWhiteSpaceOnBothEndsInPlace) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"   ", ""},
        {"abc", "abc"},
        {"  a b  ", "a b"},
        {"\t\r\n x \r\n", "x"},
        {"\v\fkey = value\f", "key = value"},
        {"\xff \xfe", "\xff \xfe"},  // bytes above 0x7f are not white space
    };
    for (const auto& [in, out] : cases) {
        std::vector<char> buffer(in.begin(), in.end());
        buffer.push_back('\0');
        char* result = QUserLog::TrimWhitespace(buffer.data());
        EXPECT_EQ(result, buffer.data());
        EXPECT_EQ(std::string(result), out) << "input '" << in << "'";
    }
    EXPECT_EQ(QUserLog::TrimWhitespace(nullptr), nullptr);
}

// ---- Concurrency -----------------------------------------------------------------

TEST_F(LoggerTest, ConcurrentLinesNeverInterleave) {
    constexpr int kThreads = 8;
    constexpr int kLines = 250;
    const std::string day = dateStamp();
    const std::string logDir = dir_ / "logs";
    auto log = makeLogger("[LogConfig]\nLogPath=" + logDir + "\nFileOutput=1\n");
    ASSERT_TRUE(log->fileOutput());

    testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&log, t] {
            for (int i = 0; i < kLines; ++i) {
                // Varying lengths move the buffer's flush point around.
                const std::string pad(static_cast<size_t>((t * 37 + i * 11) % 200), '.');
                log->Info("thread %d line %d %s", t, i, pad.c_str());
                if (i % 50 == 0) {
                    log->Flush();
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    const std::string console = testing::internal::GetCapturedStdout();

    std::set<std::string> expected;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kLines; ++i) {
            const std::string pad(static_cast<size_t>((t * 37 + i * 11) % 200), '.');
            expected.insert("thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
                            pad);
        }
    }
    const std::pair<const char*, std::string> outputs[] = {
        {"file", readFile(logFileIn(logDir, day))}, {"console", console}};
    for (const auto& [what, text] : outputs) {
        SCOPED_TRACE(what);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.back(), '\n');
        const auto lines = splitLines(text);
        ASSERT_EQ(lines.size(), expected.size());
        std::set<std::string> seen;
        for (const std::string& line : lines) {
            std::string level, message;
            ASSERT_TRUE(parseLine(line, &level, &message)) << line;
            EXPECT_EQ(level, "INFO ");
            seen.insert(message);
        }
        EXPECT_EQ(seen, expected);
    }
}

// ---- The process-wide instance ------------------------------------------------------

// Logs from a static destructor, after main has returned, as the device
// registry and the classic driver's table do while they close devices.
struct LogsAtExit {
    ~LogsAtExit() { QUserLog::GetInstance().Error("from a static destructor"); }
};

TEST_F(LoggerTest, InstanceReadsIniInWorkingDirectoryAndOutlivesStaticObjects) {
    const std::string day = dateStamp();
    writeFile(iniPath(), "[LogConfig]\nLogLevel=3\nLogPath=logs\nFileOutput=1\n");
    GTEST_FLAG_SET(death_test_style, "fast");  // the child shares this test's temp directory
    EXPECT_EXIT(
        {
            if (chdir(dir_.path().c_str()) != 0) {
                std::_Exit(2);
            }
            // Constructed before the logger, so destroyed after anything the
            // logger might have registered for exit.
            static LogsAtExit guard;
            QUserLog& log = QUserLog::GetInstance();
            if (&log != &QUserLog::GetInstance()) {
                std::_Exit(3);
            }
            log.Info("below the level");
            log.Warn("kept");
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
    const auto lines = splitLines(readFile(logFileIn(dir_ / "logs", day)));
    ASSERT_EQ(lines.size(), 2u);
    std::string level, message;
    ASSERT_TRUE(parseLine(lines[0], &level, &message));
    EXPECT_EQ(level, "WARN ");
    EXPECT_EQ(message, "kept");
    ASSERT_TRUE(parseLine(lines[1], &level, &message));
    EXPECT_EQ(level, "ERROR");
    EXPECT_EQ(message, "from a static destructor");
}

}  // namespace
