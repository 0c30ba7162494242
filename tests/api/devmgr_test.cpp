// The device registry: lookups, adding, removing and closing at the end.
#include <gtest/gtest.h>

#include "QErrMgr.h"
#include "QKCANDevMgr.h"
#include "fake_device.h"

namespace {

TEST(DevMgrRegistry, LookupsOfAbsentKeysReturnNull) {
    FakeDevice a;  // outlives the registry, which closes it at the end
    QKCANDevMgr mgr;
    EXPECT_EQ(mgr.deviceFind(41, 0), nullptr) << "type never opened";
    EXPECT_EQ(mgr.devFind(41, 0), nullptr);
    EXPECT_EQ(mgr.deviceAdd(41, 0, &a), 1);
    EXPECT_EQ(mgr.deviceFind(41, 1), nullptr) << "index not opened under an opened type";
    EXPECT_EQ(mgr.deviceFind(42, 0), nullptr);
    EXPECT_EQ(mgr.deviceFind(41, 0), &a);
    ASSERT_NE(mgr.devFind(41, 0), nullptr);
    EXPECT_EQ(mgr.devFind(41, 0)->device, &a);
}

TEST(DevMgrRegistry, SecondAddOfAKeyKeepsTheFirstDevice) {
    FakeDevice a, b;
    QKCANDevMgr mgr;
    EXPECT_EQ(mgr.deviceAdd(66, 2, &a), 1);
    EXPECT_EQ(mgr.deviceAdd(66, 2, &b), 1);
    EXPECT_EQ(mgr.deviceFind(66, 2), &a);
}

TEST(DevMgrRegistry, DelClosesAndForgetsOnlyThatKey) {
    FakeDevice a, b;
    QKCANDevMgr mgr;
    mgr.deviceAdd(67, 0, &a);
    mgr.deviceAdd(67, 1, &b);
    EXPECT_EQ(mgr.deviceDel(67, 0), 1);
    EXPECT_EQ(a.closes, 1);
    EXPECT_EQ(mgr.deviceFind(67, 0), nullptr);
    EXPECT_EQ(mgr.deviceFind(67, 1), &b);
    EXPECT_EQ(b.closes, 0);
    EXPECT_EQ(mgr.deviceDel(67, 0), 1) << "deleting an absent key";
    EXPECT_EQ(mgr.deviceDel(99, 0), 1) << "deleting under an absent type";
    EXPECT_EQ(a.closes, 1);
}

TEST(DevMgrRegistry, DestructorClosesEveryDeviceWithoutDeletingIt) {
    FakeDevice a, b, c;
    int destroyedBefore = FakeDevice::destroyed;
    {
        QKCANDevMgr mgr;
        mgr.deviceAdd(41, 0, &a);
        mgr.deviceAdd(41, 3, &b);
        mgr.deviceAdd(64, 0, &c);
        mgr.deviceDel(64, 0);
    }
    EXPECT_EQ(a.closes, 1);
    EXPECT_EQ(b.closes, 1);
    EXPECT_EQ(c.closes, 1) << "closed once by the delete, not again";
    EXPECT_EQ(FakeDevice::destroyed, destroyedBefore);
}

TEST(DevMgrRegistry, RecordOperationsDefaultToFailureWithoutAnError) {
    FakeDevice a;
    QErrInfoMgr::getinstance()->setLastError(KCAN_ERR_USB_COMMAND);
    _KCAN_RECORD_CONFIG cfg{};
    _KCAN_FLITER_INFO info{};
    _KCAN_FLITER_CONFIG fcfg{};
    QDevice& dev = a;
    EXPECT_EQ(dev.RecordSettingGet(0, &cfg), 0);
    EXPECT_EQ(dev.RecordSettingSet(0, &cfg), 0);
    EXPECT_EQ(dev.RecordCmdExecute(0, 4, &info, &fcfg), 0);
    EXPECT_EQ(QErrInfoMgr::getinstance()->getLastError(), KCAN_ERR_USB_COMMAND);
}

}  // namespace
