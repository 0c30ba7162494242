// The simulator's environment variables as a program meets them at
// libusb_init: KESTRUN_SIM (default, good and bad lists), KESTRUN_SIM_TRANSCRIPT
// and KESTRUN_SIM_CONTROL, with clear messages for bad values and no crash.
#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using testsupport::run;
using testsupport::RunResult;

RunResult probe(const testsupport::EnvChanges& env, std::vector<std::string> args) {
    args.insert(args.begin(), KSIM_PROBE);
    testsupport::EnvChanges all = {{"KESTRUN_SIM", std::nullopt},
                                   {"KESTRUN_SIM_TRANSCRIPT", std::nullopt},
                                   {"KESTRUN_SIM_CONTROL", std::nullopt}};
    for (const auto& [name, value] : env) {
        all[name] = value;
    }
    return run(args, all);
}

TEST(SimEnvironment, UnsetMeansOneDeviceOfEachIdentity) {
    const RunResult r = probe({}, {"list"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0 ECHO 1209:0001 #0 plugged\n1 ECHO2 1209:0002 #0 plugged\n");
    EXPECT_EQ(r.err, "");
}

TEST(SimEnvironment, AListAttachesThoseDevicesInOrder) {
    const RunResult r =
        probe({{"KESTRUN_SIM", "echo2, 1209:0001*2"}}, {"list", "echo:2", "echo:3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "0 ECHO2 1209:0002 #0 plugged\n1 ECHO 1209:0001 #0 plugged\n"
              "2 ECHO 1209:0001 #1 plugged\necho 2 ok\necho 3 failed\n");
    EXPECT_EQ(r.err, "");
}

TEST(SimEnvironment, BadListsAreReportedAndAttachNothing) {
    const struct {
        const char* value;
        const char* message;
    } cases[] = {
        {"ECHO*0",
         "kestrun-usbsim: KESTRUN_SIM=\"ECHO*0\": bad count \"0\" in \"ECHO*0\" (1..256); "
         "no adapters attached\n"},
        {"ZARO3018",
         "kestrun-usbsim: KESTRUN_SIM=\"ZARO3018\": unknown adapter \"ZARO3018\" "
         "(known: ECHO, ECHO2; or vvvv:pppp of one of them); no adapters attached\n"},
        {"ECHO,",
         "kestrun-usbsim: KESTRUN_SIM=\"ECHO,\": entry 2 is empty; no adapters attached\n"},
    };
    for (const auto& c : cases) {
        const RunResult r = probe({{"KESTRUN_SIM", c.value}}, {"list", "echo:0"});
        EXPECT_EQ(r.status, 0) << c.value;
        EXPECT_EQ(r.out, "no devices\necho 0 failed\n") << c.value;
        EXPECT_EQ(r.err, c.message) << c.value;
    }
    const RunResult empty = probe({{"KESTRUN_SIM", ""}}, {"list"});
    EXPECT_EQ(empty.out, "no devices\n");
    EXPECT_EQ(empty.err, "");
}

TEST(SimEnvironment, TranscriptVariableNamesTheFile) {
    testsupport::TempDir dir;
    const std::string path = dir.file("t.txt");
    const RunResult r =
        probe({{"KESTRUN_SIM", "ECHO"}, {"KESTRUN_SIM_TRANSCRIPT", path}}, {"echo:0"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(testsupport::readFile(path),
              "dev=0 1209:0001#0 open rc=0\n"
              "dev=0 1209:0001#0 interrupt out ep=01 len=4 rc=0 xfer=4 data=70696e67\n"
              "dev=0 1209:0001#0 interrupt in ep=81 len=4 rc=0 xfer=4 data=70696e67\n"
              "dev=0 1209:0001#0 close\n");

    const RunResult bad =
        probe({{"KESTRUN_SIM", "ECHO"}, {"KESTRUN_SIM_TRANSCRIPT", dir.file("no/such/dir/t")}},
              {"echo:0"});
    EXPECT_EQ(bad.status, 0);
    EXPECT_EQ(bad.out, "echo 0 ok\n");
    EXPECT_NE(bad.err.find("kestrun-usbsim: KESTRUN_SIM_TRANSCRIPT: cannot open transcript"),
              std::string::npos)
        << bad.err;
}

TEST(SimEnvironment, ControlVariableStartsTheSocketAtLibusbInit) {
    testsupport::TempDir dir;
    const std::string path = dir.file("ctl.sock");
    testsupport::Child child({KSIM_PROBE, "wait"},
                             {{"KESTRUN_SIM", "ECHO*3"}, {"KESTRUN_SIM_CONTROL", path}});
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(child.waitForLine("ready", 20000));
    const RunResult list = run({KSIM_SIMCTL, "-s", path, "list"}, {});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out,
              "0 ECHO 1209:0001 #0 plugged\n1 ECHO 1209:0001 #1 plugged\n"
              "2 ECHO 1209:0001 #2 plugged\n");
    child.closeInput();
    EXPECT_EQ(child.wait(20000), 0);
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "socket file left behind";

    // A path that cannot be served is reported; the program runs on.
    const RunResult longPath =
        probe({{"KESTRUN_SIM", "ECHO"},
               {"KESTRUN_SIM_CONTROL", dir.path() + "/" + std::string(200, 's')}},
              {"echo:0"});
    EXPECT_EQ(longPath.status, 0);
    EXPECT_EQ(longPath.out, "echo 0 ok\n");
    EXPECT_NE(longPath.err.find("kestrun-usbsim: KESTRUN_SIM_CONTROL: socket path must have"),
              std::string::npos)
        << longPath.err;
}

}  // namespace
