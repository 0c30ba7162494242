// Device lock file: one process per adapter (model and device index) owns it.
//
// Ownership is an exclusive flock on "/tmp/Kestrun_<model>_<index>.lock",
// which holds the owner's process id while it runs. The file is opened
// without following a symbolic link, so a link planted in /tmp cannot make
// an owner (possibly root) truncate another file.
#pragma once

#include <cstdint>

// Descriptor of the lock this process holds; -1 when it holds none.
extern int g_lock_fd;

// Writes the lock file path into buffer (256 bytes). Returns 0.
int devLockNameGet(const char* name, uint32_t index, char* buffer);
// -1 when the lock is free (this process could take it); 0 when another
// process holds it or the file cannot be opened. Holds no lock afterwards.
int devLockIsLock(const char* name, uint32_t index);
// 0 with the user id owning the lock file in `uid`; -1 when there is none.
int devLockFileOwner(const char* name, uint32_t index, uint32_t* uid);
// 0 when this process holds the lock (also when it already did), -1 otherwise.
int devLock(const char* name, uint32_t index, int retries);
// Releases the lock and removes the file; does nothing without a lock. Returns 0.
int devUnlock(const char* name, uint32_t index);
