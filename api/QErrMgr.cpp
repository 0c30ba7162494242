#include "QErrMgr.h"

#include <atomic>
#include <iterator>

#include "kcan.h"
#include "platform/QUserMutex.h"

namespace {

// One text per code, indexed by the code. The first dimension is left open and
// checked against the code count, so adding a code without its text fails to
// compile instead of yielding an empty string.
constexpr char kErrorTexts[][128] = {
    "OK",                                  // 0
    "Device Not Exist!",                   // 1
    "Reserved Error!",                     // 2: never set
    "USB Transport Error!",                // 3
    "Reserved Error!",                     // 4: never set
    "Device Info Get Failed!",             // 5
    "Device Type Not Supported!",          // 6
    "Device Not Opened!",                  // 7
    "Parameter Error!",                    // 8
    "Memory Malloc Failed!",               // 9
    "Parameter Not Supported!",            // 10
    "Baud Rate Parameter Not Supported!",  // 11
    "USB Command Failed!",                 // 12
    "CAN Not Initialized!",                // 13
    "CAN Format Error!",                   // 14
};
static_assert(std::size(kErrorTexts) == KCAN_ERR_COUNT, "one error text per error code");

constexpr char kUnknownError[] = "Unknown Error!";

// Both are trivially destructible, so they stay valid during static
// destruction at exit.
std::atomic<QErrMgr*> g_instance{nullptr};
pthread_mutex_t g_creationLock = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

QErrMgr::QErrMgr() {
    if (initRecursivePiMutex(&mutex_) != 0) {
        // Priority inheritance is a scheduling refinement; a plain recursive
        // mutex keeps the record correct where the kernel refuses it.
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(&mutex_, &attr);
        pthread_mutexattr_destroy(&attr);
    }
}

QErrMgr* QErrMgr::getInstance() {
    QErrMgr* instance = g_instance.load(std::memory_order_acquire);
    if (instance == nullptr) {
        QUserMutex lock(g_creationLock);
        instance = g_instance.load(std::memory_order_relaxed);
        if (instance == nullptr) {
            instance = new QErrMgr();
            g_instance.store(instance, std::memory_order_release);
        }
    }
    return instance;
}

void QErrMgr::setLastError(int code) {
    if (code < 0 || code >= KCAN_ERR_COUNT) {
        return;
    }
    QUserMutex lock(mutex_);
    lastError_ = code;
}

int QErrMgr::getLastError() {
    QUserMutex lock(mutex_);
    return lastError_;
}

const char* QErrMgr::getLastErrorStr() {
    int code;
    {
        QUserMutex lock(mutex_);
        code = lastError_;
    }
    return errorText(code);
}

const char* QErrMgr::errorText(int code) {
    if (code < 0 || code >= KCAN_ERR_COUNT) {
        return kUnknownError;
    }
    return kErrorTexts[code];
}

QErrMgr* QErrInfoMgr::getinstance() {
    return QErrMgr::getInstance();
}
