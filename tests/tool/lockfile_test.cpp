// The device lock file: probe, take, release, and the files an attacker or a
// crashed owner may leave in /tmp.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "app/lockfile.h"

namespace {

class LockFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // A model name of this test process keeps parallel runs apart.
        name_ = "LockTest" + std::to_string(getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        char buf[256];
        devLockNameGet(name_.c_str(), 5, buf);
        path_ = buf;
        unlink(path_.c_str());
    }
    void TearDown() override {
        devUnlock(name_.c_str(), 5);
        unlink(path_.c_str());
    }
    std::string read(const std::string& path) {
        std::ifstream in(path);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string name_;
    std::string path_;
};

TEST_F(LockFileTest, PathNamesModelAndIndex) {
    char buf[256];
    devLockNameGet("DUNLIN2", 0, buf);
    EXPECT_STREQ(buf, "/tmp/Kestrun_DUNLIN2_0.lock");
}

TEST_F(LockFileTest, ProbeCreatesAFreeLockThenTakeWritesThePid) {
    EXPECT_EQ(devLockIsLock(name_.c_str(), 5), -1);
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);

    EXPECT_EQ(devLock(name_.c_str(), 5, 10), 0);
    EXPECT_EQ(read(path_), std::to_string(getpid()));
    EXPECT_EQ(devLock(name_.c_str(), 5, 10), 0);  // already held

    EXPECT_EQ(devUnlock(name_.c_str(), 5), 0);
    EXPECT_NE(access(path_.c_str(), F_OK), 0);
    EXPECT_EQ(devUnlock(name_.c_str(), 5), 0);  // nothing held: nothing done
    EXPECT_EQ(g_lock_fd, -1);
}

TEST_F(LockFileTest, LockHeldByAnotherProcessIsSeenAsHeld) {
    int ready[2];
    int release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t child = fork();
    if (child == 0) {
        int rc = devLock(name_.c_str(), 5, 10);
        char c = rc == 0 ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        (void)!::read(release[0], &c, 1);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    EXPECT_EQ(devLockIsLock(name_.c_str(), 5), 0);
    EXPECT_EQ(devLock(name_.c_str(), 5, 10), -1);
    EXPECT_EQ(g_lock_fd, -1);
    (void)!write(release[1], "x", 1);
    int status;
    waitpid(child, &status, 0);
    // The holder ended without releasing: the system dropped its lock, and
    // the file it left behind does not stop a new owner.
    EXPECT_EQ(devLockIsLock(name_.c_str(), 5), -1);
    EXPECT_EQ(devLock(name_.c_str(), 5, 10), 0);
    for (int fd : {ready[0], ready[1], release[0], release[1]}) {
        close(fd);
    }
}

TEST_F(LockFileTest, StaleFileWithOldPidIsTruncatedAndRewritten) {
    {
        std::ofstream out(path_);
        out << "999999999999";
    }
    EXPECT_EQ(devLockIsLock(name_.c_str(), 5), -1);
    EXPECT_EQ(devLock(name_.c_str(), 5, 10), 0);
    EXPECT_EQ(read(path_), std::to_string(getpid()));
}

TEST_F(LockFileTest, SymbolicLinkPlantedAsLockFileIsNeverFollowed) {
    char target[] = "/tmp/kestrun-lock-target-XXXXXX";
    int fd = mkstemp(target);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "precious", 8), 8);
    close(fd);
    ASSERT_EQ(symlink(target, path_.c_str()), 0);

    EXPECT_EQ(devLockIsLock(name_.c_str(), 5), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(devLock(name_.c_str(), 5, 10), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("file " + path_ + " creat fail..."), std::string::npos) << out;
    EXPECT_EQ(read(target), "precious");
    unlink(target);
}

TEST_F(LockFileTest, LockDescriptorIsNotInheritedByPrograms) {
    ASSERT_EQ(devLock(name_.c_str(), 5, 10), 0);
    int flags = fcntl(g_lock_fd, F_GETFD);
    EXPECT_TRUE(flags & FD_CLOEXEC);
}

}  // namespace
