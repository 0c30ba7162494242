// libkestrun-usbsim.so loaded with LD_PRELOAD takes the place of the system
// libusb in a program that was linked against it.
#include <gtest/gtest.h>

#include "test_support.h"

namespace {

TEST(Preload, ALibusbProgramTalksToTheSimulator) {
    // In a sanitizer build the sanitizer runtime has to come first.
    const std::string asan = KSIM_ASAN_RUNTIME;
    const std::string preload = (asan.empty() ? "" : asan + " ") + KSIM_LIBRARY;
    const testsupport::RunResult r =
        testsupport::run({KSIM_PRELOAD_PROBE}, {{"LD_PRELOAD", preload},
                                                {"KESTRUN_SIM", ""},
                                                {"KESTRUN_SIM_CONTROL", std::nullopt},
                                                {"KESTRUN_SIM_TRANSCRIPT", std::nullopt}});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "init=0 describe=kestrun-usbsim virtual adapters\ndevices=0\n");
    EXPECT_EQ(r.err, "");
}

}  // namespace
