// The process-wide last-error record and its C accessors.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <latch>
#include <thread>
#include <vector>

#include "QErrMgr.h"
#include "kcan.h"

namespace {

// The record is process-wide; each test sets the code it starts from.
QErrMgr& record() {
    return *QErrInfoMgr::getinstance();
}

// Statements of these tests run in a freshly started copy of the test
// program, so the record has not been touched before them.
class ErrorRecordDeathTest : public testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ErrorRecordDeathTest, FreshProcessReadsOk) {
    EXPECT_EXIT(
        {
            const bool ok = KCAN_GetLastError() == KCAN_ERR_OK &&
                            strcmp(KCAN_GetLastErrorStr(), "OK") == 0 &&
                            QErrMgr::getInstance()->getLastError() == 0;
            std::_Exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(ErrorRecordDeathTest, ThreadsRacingFirstUseShareOneInstance) {
    EXPECT_EXIT(
        {
            constexpr int kThreads = 16;
            std::vector<QErrMgr*> seen(kThreads, nullptr);
            std::latch start(kThreads);
            std::vector<std::thread> threads;
            for (int i = 0; i < kThreads; ++i) {
                threads.emplace_back([&, i] {
                    start.arrive_and_wait();
                    seen[i] = (i % 2) ? QErrMgr::getInstance() : QErrInfoMgr::getinstance();
                    seen[i]->setLastError(KCAN_ERR_PARAMETER);
                });
            }
            for (auto& t : threads) {
                t.join();
            }
            bool same = seen[0] != nullptr;
            for (QErrMgr* p : seen) {
                same = same && p == seen[0];
            }
            same = same && QErrMgr::getInstance() == seen[0] &&
                   seen[0]->getLastError() == KCAN_ERR_PARAMETER;
            std::_Exit(same ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// Static destructors run after main; drivers still record errors there.
struct SetsErrorAtExit {
    ~SetsErrorAtExit() {
        QErrMgr::getInstance()->setLastError(KCAN_ERR_USB_COMMAND);
        if (strcmp(KCAN_GetLastErrorStr(), "USB Command Failed!") != 0) {
            std::_Exit(3);
        }
    }
};

TEST_F(ErrorRecordDeathTest, UsableFromStaticDestructorsAtExit) {
    EXPECT_EXIT(
        {
            // Constructed before the record, so destroyed after anything the
            // record might have registered for exit.
            static SetsErrorAtExit guard;
            QErrMgr::getInstance()->setLastError(KCAN_ERR_PARAMETER);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

struct CodeText {
    int code;
    const char* text;
};

constexpr CodeText kTexts[] = {
    {0, "OK"},
    {1, "Device Not Exist!"},
    {3, "USB Transport Error!"},
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

TEST(ErrorRecord, EveryCodeReadsBackWithItsText) {
    for (const CodeText& c : kTexts) {
        SCOPED_TRACE(c.code);
        record().setLastError(c.code);
        EXPECT_EQ(record().getLastError(), c.code);
        EXPECT_STREQ(record().getLastErrorStr(), c.text);
        EXPECT_EQ(KCAN_GetLastError(), c.code);
        EXPECT_STREQ(KCAN_GetLastErrorStr(), c.text);
    }
}

TEST(ErrorRecord, ReservedCodesHaveTextsOfTheirOwn) {
    for (int code : {KCAN_ERR_RESERVED_2, KCAN_ERR_RESERVED_4}) {
        SCOPED_TRACE(code);
        record().setLastError(code);
        EXPECT_EQ(record().getLastError(), code);
        const char* text = record().getLastErrorStr();
        ASSERT_NE(text, nullptr);
        EXPECT_GT(strlen(text), 0u);
        EXPECT_STRNE(text, "Unknown Error!");
        EXPECT_STRNE(text, "OK");
    }
}

TEST(ErrorRecord, OutOfRangeCodesAreIgnored) {
    for (int bad : {KCAN_ERR_COUNT, -1, 100, -1000000, 2147483647, -2147483647 - 1}) {
        SCOPED_TRACE(bad);
        record().setLastError(KCAN_ERR_CAN_FORMAT);
        record().setLastError(bad);
        EXPECT_EQ(record().getLastError(), KCAN_ERR_CAN_FORMAT);
        EXPECT_STREQ(KCAN_GetLastErrorStr(), "CAN Format Error!");
    }
}

TEST(ErrorRecord, UnknownTextOutsideTheRange) {
    for (int bad : {KCAN_ERR_COUNT, -1, 255, -2147483647 - 1}) {
        EXPECT_STREQ(QErrMgr::errorText(bad), "Unknown Error!") << bad;
    }
}

TEST(ErrorRecord, LaterSetOverwritesAndTextPointerStaysValid) {
    record().setLastError(KCAN_ERR_DEVICE_NOT_OPENED);
    const char* first = KCAN_GetLastErrorStr();
    record().setLastError(KCAN_ERR_OK);
    // The earlier pointer refers to static text, not a per-call copy.
    EXPECT_STREQ(first, "Device Not Opened!");
    EXPECT_STREQ(KCAN_GetLastErrorStr(), "OK");
}

TEST(ErrorRecord, ConcurrentUseAlwaysLeavesOneOfTheWrittenCodes) {
    // Setters, ignored values and readers race; every read must see a code
    // some thread wrote, with its matching text.
    constexpr int kThreads = 8;
    constexpr int kRounds = 2000;
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            const int mine = (t % 2) ? KCAN_ERR_USB_COMMAND : KCAN_ERR_CAN_NOT_INIT;
            for (int i = 0; i < kRounds; ++i) {
                record().setLastError(mine);
                record().setLastError(-1);
                const int seen = record().getLastError();
                if (seen != KCAN_ERR_USB_COMMAND && seen != KCAN_ERR_CAN_NOT_INIT) {
                    ADD_FAILURE() << "unexpected code " << seen;
                    return;
                }
                const char* text = record().getLastErrorStr();
                if (strcmp(text, "USB Command Failed!") != 0 &&
                    strcmp(text, "CAN Not Initialized!") != 0) {
                    ADD_FAILURE() << "unexpected text " << text;
                    return;
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
}

}  // namespace
