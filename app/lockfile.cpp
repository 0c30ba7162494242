#include "app/lockfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "app/console.h"

int g_lock_fd = -1;

namespace {

constexpr size_t kPathSize = 256;

int openLockFile(const char* path) {
    return open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
}

// A lock taken on a file that an ending owner has just removed protects
// nothing: the next process creates a new file under the same name. The lock
// counts only while the path still names the locked file.
bool stillNamesLockedFile(int fd, const char* path) {
    struct stat held;
    struct stat named;
    return fstat(fd, &held) == 0 && lstat(path, &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

}  // namespace

int devLockNameGet(const char* name, uint32_t index, char* buffer) {
    std::snprintf(buffer, kPathSize, "/tmp/Kestrun_%s_%u.lock", name, index);
    return 0;
}

int devLockIsLock(const char* name, uint32_t index) {
    char path[kPathSize];
    devLockNameGet(name, index, path);
    int fd = openLockFile(path);
    if (fd < 0) {
        return 0;
    }
    bool free = flock(fd, LOCK_EX | LOCK_NB) == 0 && stillNamesLockedFile(fd, path);
    close(fd);  // also releases the lock just taken
    return free ? -1 : 0;
}

int devLockFileOwner(const char* name, uint32_t index, uint32_t* uid) {
    char path[kPathSize];
    devLockNameGet(name, index, path);
    struct stat st;
    if (lstat(path, &st) != 0) {
        return -1;
    }
    *uid = st.st_uid;
    return 0;
}

int devLock(const char* name, uint32_t index, int /*retries*/) {
    if (g_lock_fd != -1) {
        return 0;
    }
    char path[kPathSize];
    devLockNameGet(name, index, path);
    int fd = openLockFile(path);
    if (fd < 0) {
        log_error("file %s creat fail...", path);
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !stillNamesLockedFile(fd, path)) {
        close(fd);
        return -1;
    }
    char pid[32];
    int n = std::snprintf(pid, sizeof pid, "%d", static_cast<int>(getpid()));
    if (ftruncate(fd, 0) != 0) {
        log_error("file %s fileSize modify fail...", path);
    }
    lseek(fd, 0, SEEK_SET);
    if (write(fd, pid, static_cast<size_t>(n)) < 1) {
        log_error("file %s write fail...", path);
    }
    g_lock_fd = fd;
    return 0;
}

int devUnlock(const char* name, uint32_t index) {
    if (g_lock_fd == -1) {
        return 0;
    }
    // Remove the name while the lock is still held, so no newcomer can lock
    // the old file after the release and believe it owns the adapter.
    char path[kPathSize];
    devLockNameGet(name, index, path);
    unlink(path);
    flock(g_lock_fd, LOCK_UN);
    close(g_lock_fd);
    g_lock_fd = -1;
    return 0;
}
