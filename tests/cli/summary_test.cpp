// Option parsing and the settings summary, called directly.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/options.h"

namespace {

struct Parsed {
    CanAst ast{};
    TaskTxConfig tx = defaultTaskTxConfig();
    char message[kMessageTextSize] = {};
    ParsedOptions result;
};

Parsed parse(std::vector<std::string> args) {
    Parsed p;
    std::vector<char*> argv;
    static char program[] = "kestrun";
    argv.push_back(program);
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    p.result = parseOptions(static_cast<int>(argv.size() - 1), argv.data(), p.ast, p.tx, p.message);
    return p;
}

std::pair<std::string, std::string> summary(const Parsed& p) {
    char line1[512];
    char line2[512];
    formatSettingSummary(p.ast, p.tx, line1, line2, sizeof line1);
    return {line1, line2};
}

TEST(OptionParsing, EveryOptionLandsInItsField) {
    Parsed p =
        parse({"-D",        "ZARO3018", "-c",          "7",          "-i",       "2",
               "-a",        "500000",   "-d",          "2000000",    "-m",       "F#E#D#1ABCDE#11",
               "-p",        "0",        "-n",          "4294967295", "-s",       "-r",
               "-e",        "-b",       "--id-start",  "0x100",      "--id-end", "1FF",
               "--id-step", "3",        "--id-random", "--status",   "--iso",    "1"});
    EXPECT_TRUE(p.result.valueError.empty()) << p.result.valueError;
    EXPECT_EQ(p.result.action, ParseAction::Continue);
    EXPECT_EQ(p.ast.devType, 67u);
    EXPECT_EQ(p.ast.channel, 7u);
    EXPECT_EQ(p.ast.devIndex, 2u);
    EXPECT_EQ(p.ast.arbRate, 500000u);
    EXPECT_EQ(p.ast.dataRate, 2000000u);
    EXPECT_STREQ(p.message, "F#E#D#1ABCDE#11");
    EXPECT_EQ(p.tx.period, 0u);
    EXPECT_EQ(p.tx.count, 4294967295u);
    EXPECT_EQ(p.ast.sendMode, 1);
    EXPECT_EQ(p.ast.recvMode, 1);
    EXPECT_EQ(p.ast.statusMode, 1);
    EXPECT_EQ(p.ast.echo, 1);
    EXPECT_EQ(p.tx.echo, 1);
    EXPECT_EQ(p.tx.brs, 1u);
    EXPECT_EQ(p.tx.idStart, 0x100u);
    EXPECT_EQ(p.tx.idEnd, 0x1FFu);
    EXPECT_EQ(p.tx.idStep, 3u);
    EXPECT_EQ(p.tx.idRandom, 1u);
    EXPECT_EQ(p.tx.idSweep, 1u);
    EXPECT_EQ(p.ast.iso, 1);
}

TEST(OptionParsing, OneSweepBoundSwitchesTheSweepOnAndLeavesTheOtherZero) {
    Parsed p = parse({"--id-end", "7ff"});
    EXPECT_EQ(p.tx.idSweep, 1u);
    EXPECT_EQ(p.tx.idStart, 0u);
    EXPECT_EQ(p.tx.idEnd, 0x7FFu);
}

TEST(OptionParsing, MessageTextIsCutAt1023Characters) {
    std::string longText(2000, 'A');
    Parsed p = parse({"-m", longText});
    EXPECT_EQ(std::strlen(p.message), 1023u);
}

TEST(OptionParsing, HelpAndVersionStopWhereTheyStand) {
    Parsed help = parse({"-c", "3", "-h", "-c", "5"});
    EXPECT_EQ(help.result.action, ParseAction::ShowHelp);
    EXPECT_EQ(help.ast.channel, 3u);
    Parsed version = parse({"-v", "-h"});
    EXPECT_EQ(version.result.action, ParseAction::ShowVersion);
}

TEST(OptionParsing, FirstRefusedOptionIsReported) {
    Parsed p = parse({"-a", "fast", "-c", "99"});
    EXPECT_NE(p.result.valueError.find("-a/--arb-rate"), std::string::npos);
    EXPECT_EQ(p.ast.arbRate, 0u);
    EXPECT_EQ(p.ast.channel, 0u);
}

TEST(OptionParsing, ChannelFifteenIsTheLastAccepted) {
    EXPECT_TRUE(parse({"-c", "15"}).result.valueError.empty());
    EXPECT_FALSE(parse({"-c", "16"}).result.valueError.empty());
}

TEST(SettingsSummary, ClassicReceiveAndSendForms) {
    Parsed p = parse({"-D", "DUNLIN2", "-a", "500000", "-s", "-m", "C#S#D#1#00"});
    auto [line1, line2] = summary(p);
    EXPECT_EQ(line1, "DUNLIN2 设备索引->0 通道->0 模式->发送 波特率->500000bps");
    EXPECT_EQ(line2, "发送间隔->1000 毫秒 发送次数->1 回显->关闭 BRS->0");

    Parsed both = parse({"-D", "DUNLIN1", "-i", "1", "-c", "1", "-a", "125000", "-s", "-r", "-e"});
    auto [bothLine1, bothLine2] = summary(both);
    EXPECT_EQ(bothLine1, "DUNLIN1 设备索引->1 通道->1 模式->接收 波特率->125000bps");
    EXPECT_EQ(bothLine2, "发送间隔->1000 毫秒 发送次数->1 回显->开启 BRS->0");

    Parsed status = parse({"-D", "DUNLIN1", "-a", "125000", "--status"});
    EXPECT_EQ(summary(status).second, "");
}

TEST(SettingsSummary, FdFormShowsBothRatesAndIso) {
    Parsed p = parse({"-D", "DUNLINFD2", "-a", "500000", "-d", "4000000", "--iso", "1", "-r"});
    p.ast.fdMode = 1;  // set by validation
    EXPECT_EQ(summary(p).first,
              "DUNLINFD2 设备索引->0 通道->0 模式->接收 FD开关->开启 仲裁域->500000bps "
              "数据域->4000000bps ISO->1");
}

TEST(SettingsSummary, SweepShowsRangeAndStepOrRandom) {
    Parsed step = parse({"-D", "DUNLIN2", "-a", "500000", "-s", "-b", "-p", "100", "-n", "10",
                         "--id-start", "100", "--id-end", "1AF", "--id-step", "2"});
    EXPECT_EQ(summary(step).second,
              "发送间隔->100 毫秒 发送次数->10 回显->关闭 BRS->1 开始ID->0x100 结束ID->0x1af "
              "步长->2");
    Parsed random = parse({"-D", "DUNLIN2", "-a", "500000", "-s", "--id-start", "10", "--id-end",
                           "1F", "--id-random"});
    EXPECT_EQ(
        summary(random).second,
        "发送间隔->1000 毫秒 发送次数->1 回显->关闭 BRS->0 开始ID->0x10 结束ID->0x1f 步长->随机");
}

TEST(SettingsSummary, UnknownModelAndNoModeStillFormat) {
    Parsed p = parse({});
    EXPECT_EQ(summary(p).first, "Unknown 设备索引->0 通道->0 模式->错误 波特率->0bps");
}

TEST(Validation, DataRateSwitchesFdModeOnCapableModelsOnly) {
    Parsed fd = parse({"-D", "ZARO3014", "-a", "500000", "-d", "2000000", "-r"});
    EXPECT_EQ(validateSettings(fd.result, fd.ast, fd.tx, fd.message), -1);
    EXPECT_EQ(fd.ast.fdMode, 1);
    Parsed classic = parse({"-D", "DUNLINFD2", "-a", "500000", "-r"});
    EXPECT_EQ(validateSettings(classic.result, classic.ast, classic.tx, classic.message), -1);
    EXPECT_EQ(classic.ast.fdMode, 0);
}

}  // namespace
