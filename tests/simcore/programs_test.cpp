// Programs on the simulator: a libusb program with libkestrun-usbsim.so
// preloaded meets KESTRUN_SIM, KESTRUN_SIM_TRANSCRIPT and KESTRUN_SIM_CONTROL
// at libusb_init; kestrun-sim finds the library in the install layout or the
// build tree and starts the kestrun next to it.
#include <gtest/gtest.h>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;

// In a sanitizer build the sanitizer runtime has to come first.
std::string preloadOf(const std::string& library) {
    return std::string(KSIM_ASAN_RUNTIME).empty() ? library : KSIM_ASAN_RUNTIME " " + library;
}

// Runs the probe with the simulator preloaded and its variables set as given
// (the others unset): the lines after its preload line, and its standard error.
void expectProbe(std::map<std::string, std::optional<std::string>> env,
                 std::vector<std::string> args, const std::string& out,
                 const std::string& err = "") {
    for (const char* name : {"KESTRUN_SIM", "KESTRUN_SIM_TRANSCRIPT", "KESTRUN_SIM_CONTROL"}) {
        env.emplace(name, std::nullopt);
    }
    env["LD_PRELOAD"] = preloadOf(KSIM_LIBRARY);
    args.insert(args.begin(), KSIM_PROBE);
    const testsupport::RunResult r = testsupport::run(args, env);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "describe=kestrun-usbsim virtual adapters\nLD_PRELOAD=" + *env["LD_PRELOAD"] +
                         "\n" + out);
    EXPECT_EQ(r.err, err);
}

TEST(SimEnvironment, VariablesReadAtLibusbInit) {
    // No list: one adapter of each USB identity of the adapter models. The
    // transcript and the control socket last until the program ends;
    // kestrun-simctl finds the socket in the environment or is given it.
    testsupport::TempDir dir;
    const std::string transcript = dir.file("t.txt");
    const std::string socket = dir.file("ctl.sock");
    const std::string simctl = std::string("sh:") + KSIM_SIMCTL;
    expectProbe({{"KESTRUN_SIM_TRANSCRIPT", transcript}, {"KESTRUN_SIM_CONTROL", socket}},
                {simctl + " unplug 1", simctl + " -s " + socket + " plug 1", simctl + " plug 1"},
                "devices=3068:0009 0471:3014 0471:2014 0471:2018 0471:3018 0471:1200 0471:2601 "
                "0471:2602\nok\nstatus=0\nok\nstatus=0\n"
                "error: device 1 is already plugged in\nstatus=1\n");
    EXPECT_EQ(testsupport::readFile(transcript),
              "dev=1 0471:3014#0 unplug\ndev=1 0471:3014#0 plug\n");
    EXPECT_FALSE(fs::exists(socket)) << "socket file left behind";

    expectProbe({{"KESTRUN_SIM", "zaro3018, 471:1200 * 2,ZARO3018"}}, {},
                "devices=0471:3018 0471:1200 0471:1200 0471:3018\n");
    expectProbe({{"KESTRUN_SIM", "ZARO3018*0"}}, {}, "devices=\n",
                "kestrun-usbsim: KESTRUN_SIM=\"ZARO3018*0\": bad count \"0\" in \"ZARO3018*0\" "
                "(1..256); no adapters attached\n");
}

// kestrun-sim in a copy of each layout, the probe standing in for kestrun.
TEST(Launcher, FindsTheLibraryStartsKestrunAndExplainsWhatIsMissing) {
    const struct {
        const char* libraryDir;  // below the launcher's directory; nullptr: none
        bool tool;               // a kestrun next to the launcher
        bool earlierPreload;     // kept behind the library's
        std::string err;         // the start of standard error, and exit status 127
    } cases[] = {
        {KSIM_LIBDIR_FROM_BINDIR, true, false, ""},  // the install layout
        {"sim", true, true, ""},                     // the build tree
        {"sim", false, false, "kestrun-sim: no kestrun next to kestrun-sim"},
        {nullptr, true, false, "kestrun-sim: cannot find libkestrun-usbsim.so"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.libraryDir ? c.libraryDir : "no library");
        testsupport::TempDir dir;
        const fs::path bin = fs::path(dir.path()) / "bin";
        fs::create_directories(bin);
        fs::copy_file(KSIM_LAUNCHER, bin / "kestrun-sim");
        if (c.tool) {
            fs::copy_file(KSIM_PROBE, bin / "kestrun");
        }
        std::string library;
        if (c.libraryDir != nullptr) {
            fs::create_directories(bin / c.libraryDir);
            fs::copy_file(KSIM_LIBRARY, bin / c.libraryDir / "libkestrun-usbsim.so");
            library = fs::canonical(bin / c.libraryDir / "libkestrun-usbsim.so");
        }
        const std::string earlier = c.earlierPreload ? preloadOf(library) : "";
        const auto r = testsupport::run({bin / "kestrun-sim", "-D", "DUNLINFD2", "-m", "1#2 3", ""},
                                        {{"LD_PRELOAD", earlier}, {"KESTRUN_SIM", ""}});
        EXPECT_EQ(r.status, c.err.empty() ? 0 : 127);
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
        EXPECT_EQ(r.out, !c.err.empty()
                             ? ""
                             : "describe=kestrun-usbsim virtual adapters\nLD_PRELOAD=" +
                                   preloadOf(library) + (c.earlierPreload ? " " : "") + earlier +
                                   "\ndevices=\narg=-D\narg=DUNLINFD2\narg=-m\n"
                                   "arg=1#2 3\narg=\n");
    }
}

}  // namespace
