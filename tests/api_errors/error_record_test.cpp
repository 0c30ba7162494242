// The process-wide last-error record and its C accessors.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "QErrMgr.h"
#include "kcan.h"

namespace {

// Static destructors run after main; drivers still record errors there.
struct SetsErrorAtExit {
    ~SetsErrorAtExit() {
        QErrMgr::getInstance()->setLastError(KCAN_ERR_USB_COMMAND);
        if (strcmp(KCAN_GetLastErrorStr(), "USB Command Failed!") != 0)
            std::_Exit(3);
    }
};

// In a freshly started copy of the test program: the record reads OK before
// anything is set, both accessors reach the same instance, and it stays usable
// from static destructors at exit.
TEST(ErrorRecordDeathTest, FirstUseAndExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            static SetsErrorAtExit guard;  // destroyed after anything the record registers
            if (KCAN_GetLastError() != KCAN_ERR_OK || strcmp(KCAN_GetLastErrorStr(), "OK") != 0 ||
                QErrMgr::getInstance() != QErrInfoMgr::getinstance()) {
                std::_Exit(1);
            }
            QErrMgr::getInstance()->setLastError(KCAN_ERR_PARAMETER);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(ErrorRecord, EveryCodeReadsBackWithItsTextAndOtherCodesAreIgnored) {
    const std::pair<int, const char*> texts[] = {
        {0, "OK"},
        {1, "Device Not Exist!"},
        {2, nullptr},  // reserved: a text of its own
        {3, "USB Transport Error!"},
        {4, nullptr},
        {5, "Device Info Get Failed!"},
        {6, "Device Type Not Supported!"},
        {7, "Device Not Opened!"},
        {8, "Parameter Error!"},
        {9, "Memory Malloc Failed!"},
        {10, "Parameter Not Supported!"},
        {11, "Baud Rate Parameter Not Supported!"},
        {12, "USB Command Failed!"},
        {13, "CAN Not Initialized!"},
        {14, "CAN Format Error!"},
    };
    QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_OK);
    const char* earlier = KCAN_GetLastErrorStr();
    for (const auto& [code, text] : texts) {
        SCOPED_TRACE(code);
        QErrInfoMgr::getinstance()->setLastError(code);
        EXPECT_EQ(KCAN_GetLastError(), code);
        EXPECT_STREQ(KCAN_GetLastErrorStr(), text != nullptr ? text : QErrMgr::errorText(code));
        EXPECT_STRNE(KCAN_GetLastErrorStr(), "Unknown Error!");
    }
    EXPECT_STREQ(earlier, "OK") << "texts are static, not per-call copies";
    QErrMgr::getInstance()->setLastError(KCAN_ERR_CAN_FORMAT);
    for (int bad : {KCAN_ERR_COUNT, -1, 100, 2147483647, -2147483647 - 1}) {
        QErrMgr::getInstance()->setLastError(bad);
        EXPECT_EQ(KCAN_GetLastError(), KCAN_ERR_CAN_FORMAT) << bad << " is ignored";
        EXPECT_STREQ(QErrMgr::errorText(bad), "Unknown Error!");
    }
}

}  // namespace
