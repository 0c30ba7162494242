// kestrun-simctl against another process that holds an adapter open through
// the USB transport: list, unplug (the holder's read fails and its link drops),
// plug back (its restart succeeds), counters, firmware words, and the exit
// statuses and messages for refused commands and usage problems.
#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using testsupport::run;
using testsupport::RunResult;

RunResult simctl(const std::vector<std::string>& args,
                 const testsupport::EnvChanges& env = {{"KESTRUN_SIM_CONTROL", std::nullopt}}) {
    std::vector<std::string> argv = {KSIM_SIMCTL};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, env);
}

TEST(Simctl, UnplugsAndPlugsBackADeviceHeldOpenByAnotherProcess) {
    testsupport::TempDir dir;
    const std::string socket = dir.file("control.sock");
    testsupport::Child holder({USB_HOLDER, "1"}, {{"KESTRUN_SIM", "ECHO*2"},
                                                  {"KESTRUN_SIM_CONTROL", socket},
                                                  {"KESTRUN_SIM_TRANSCRIPT", std::nullopt}});
    ASSERT_TRUE(holder.started());
    ASSERT_TRUE(holder.waitForLine("ready", 20000)) << holder.output();

    RunResult r = simctl({"-s", socket, "list"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0 ECHO 1209:0001 #0 plugged\n1 ECHO 1209:0001 #1 plugged\n");

    // The socket may also come from the environment.
    r = simctl({"unplug", "1"}, {{"KESTRUN_SIM_CONTROL", socket}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "ok\n");
    ASSERT_TRUE(holder.waitForLine("lost rc=-4 link=0", 20000)) << holder.output();
    r = simctl({"-s", socket, "list"});
    EXPECT_EQ(r.out, "0 ECHO 1209:0001 #0 plugged\n1 ECHO 1209:0001 #1 unplugged\n");

    r = simctl({"-s", socket, "plug", "1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "ok\n");
    ASSERT_TRUE(holder.waitForLine("back echo=ping", 20000)) << holder.output();

    r = simctl({"-s", socket, "counters", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("opens=2 resets=2 ", 0), 0u) << r.out;
    r = simctl({"-s", socket, "dev", "1", "ordinal"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "1\n");

    // Refusals: exit status 1 and the server's error line.
    r = simctl({"-s", socket, "dev", "1", "explode"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "error: echo device does not know \"explode\"\n");
    r = simctl({"-s", socket, "unplug", "7"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "error: no device 7 (devices 0..1)\n");
    r = simctl({"-s", socket, "plug", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "error: device 1 is already plugged in\n");

    holder.closeInput();
    EXPECT_EQ(holder.wait(20000), 0);
    const std::string& out = holder.output();
    EXPECT_EQ(testsupport::countOf(out, "[WARN ] USB Device<1> DisLink..."), 1u) << out;
    EXPECT_EQ(testsupport::countOf(out, "[INFO ] VORM Tip:USB Device<1> Link..."), 2u) << out;
}

TEST(Simctl, UsageAndConnectionProblemsExitWithTwo) {
    testsupport::TempDir dir;
    RunResult r = simctl({});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("usage: kestrun-simctl"), std::string::npos) << r.err;

    r = simctl({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("unplug N | plug N"), std::string::npos) << r.out;

    r = simctl({"list"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              "kestrun-simctl: no control socket: set KESTRUN_SIM_CONTROL or pass -s SOCKET\n");

    r = simctl({"-s", dir.file("absent.sock"), "list"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("cannot connect to " + dir.file("absent.sock")), std::string::npos)
        << r.err;

    r = simctl({"-s", dir.file("x.sock"), "dev", "0", "a\nb"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "kestrun-simctl: arguments must not contain line breaks\n");

    r = simctl({"-x", "list"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown option -x"), std::string::npos) << r.err;

    r = simctl({"-s", dir.path() + "/" + std::string(200, 'p'), "list"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("socket path too long"), std::string::npos) << r.err;
}

}  // namespace
