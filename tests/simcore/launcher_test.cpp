// kestrun-sim: finds the simulator library in the install layout and in the
// build tree relative to itself, preloads it for the kestrun next to it, passes
// every argument through unchanged, and explains what is missing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <fstream>

#include "test_support.h"

namespace {

using testsupport::run;
using testsupport::RunResult;

// Stands in for kestrun: shows what it was started with.
const char kFakeTool[] =
    "#!/bin/sh\n"
    "echo \"LD_PRELOAD=$LD_PRELOAD\"\n"
    "for a in \"$@\"; do echo \"arg=$a\"; done\n";

bool copyFile(const std::string& from, const std::string& to, mode_t mode) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
    out.close();
    return in.good() && out.good() && chmod(to.c_str(), mode) == 0;
}

bool writeFile(const std::string& path, const std::string& text, mode_t mode) {
    std::ofstream out(path);
    out << text;
    out.close();
    return out.good() && chmod(path.c_str(), mode) == 0;
}

bool makeDirs(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0755);
    }
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

std::string realPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? resolved : "";
}

std::string expectedPreload(const std::string& library) {
    const std::string asan = KSIM_ASAN_RUNTIME;
    return asan.empty() ? library : asan + " " + library;
}

// The sanitizer runtime, preloaded into /bin/sh, must not judge the shell.
const testsupport::EnvChanges kEnv = {{"LD_PRELOAD", std::nullopt},
                                      {"ASAN_OPTIONS", "detect_leaks=0"}};

TEST(Launcher, InstallLayoutPreloadsTheLibraryAndPassesArgumentsThrough) {
    testsupport::TempDir prefix;
    const std::string bin = prefix.file("bin");
    const std::string lib = bin + "/" + KSIM_LIBDIR_FROM_BINDIR;
    ASSERT_TRUE(makeDirs(bin));
    ASSERT_TRUE(makeDirs(lib));
    ASSERT_TRUE(copyFile(KSIM_LAUNCHER, bin + "/kestrun-sim", 0755));
    ASSERT_TRUE(writeFile(bin + "/kestrun", kFakeTool, 0755));
    ASSERT_TRUE(copyFile(KSIM_LIBRARY, lib + "/libkestrun-usbsim.so", 0644));

    const RunResult r = run(
        {bin + "/kestrun-sim", "-D", "DUNLINFD2", "-a", "500000", "-m", "0#0#0#123#11 22 33", ""},
        kEnv);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string library = realPath(lib + "/libkestrun-usbsim.so");
    EXPECT_EQ(r.out, "LD_PRELOAD=" + expectedPreload(library) +
                         "\narg=-D\narg=DUNLINFD2\narg=-a\narg=500000\narg=-m\n"
                         "arg=0#0#0#123#11 22 33\narg=\n");
}

TEST(Launcher, BuildTreeLayoutAndAnEarlierPreloadIsKept) {
    testsupport::TempDir build;
    ASSERT_TRUE(makeDirs(build.file("sim")));
    ASSERT_TRUE(copyFile(KSIM_LAUNCHER, build.file("kestrun-sim"), 0755));
    ASSERT_TRUE(writeFile(build.file("kestrun"), kFakeTool, 0755));
    ASSERT_TRUE(copyFile(KSIM_LIBRARY, build.file("sim/libkestrun-usbsim.so"), 0644));
    const std::string library = realPath(build.file("sim/libkestrun-usbsim.so"));

    // The launcher itself runs with it (in a sanitizer build behind the
    // sanitizer runtime); each library is loaded once even when named twice.
    const std::string earlier = expectedPreload(library);
    testsupport::EnvChanges env = kEnv;
    env["LD_PRELOAD"] = earlier;
    const RunResult r = run({build.file("kestrun-sim"), "-r"}, env);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "LD_PRELOAD=" + expectedPreload(library) + " " + earlier + "\narg=-r\n");
}

TEST(Launcher, MissingToolOrLibraryIsExplained) {
    testsupport::TempDir dir;
    ASSERT_TRUE(copyFile(KSIM_LAUNCHER, dir.file("kestrun-sim"), 0755));
    RunResult r = run({dir.file("kestrun-sim"), "-r"}, kEnv);
    EXPECT_EQ(r.status, 127);
    EXPECT_NE(r.err.find("kestrun-sim: no kestrun next to kestrun-sim"), std::string::npos)
        << r.err;

    ASSERT_TRUE(writeFile(dir.file("kestrun"), kFakeTool, 0755));
    r = run({dir.file("kestrun-sim"), "-r"}, kEnv);
    EXPECT_EQ(r.status, 127);
    EXPECT_NE(r.err.find("kestrun-sim: cannot find libkestrun-usbsim.so"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.out, "");
}

}  // namespace
