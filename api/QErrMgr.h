// QErrMgr - the process-wide last-error record of the device-access library.
//
// Every driver and exported function leaves the cause of a failure here with
// setLastError(code), code 0..14 (KCAN_ERR_* in kcan.h). The record keeps the
// last code written, not the outcome of the last call: successful calls do not
// clear it. One shared value for the whole process, so a failure on one thread
// may overwrite another thread's code.
//
// The instance is created on first use and never destroyed, so code running
// in static destructors at process exit may still record errors.
#pragma once

#include <pthread.h>

#include <cstdint>

class QErrMgr {
  public:
    // The single instance; created exactly once even when several threads
    // make the first call together.
    static QErrMgr* getInstance();

    // Stores code when it is 0..14; any other value is ignored and the
    // stored code stays.
    void setLastError(int code);
    // The stored code, 0 (KCAN_ERR_OK) before anything was set.
    int getLastError();
    // The text of the stored code, e.g. "OK" or "CAN Format Error!". Static
    // storage: the pointer stays valid for the life of the process.
    const char* getLastErrorStr();

    // The text for any code; "Unknown Error!" outside 0..14.
    static const char* errorText(int code);

    QErrMgr(const QErrMgr&) = delete;
    QErrMgr& operator=(const QErrMgr&) = delete;

  private:
    QErrMgr();
    ~QErrMgr() = default;  // never called: the instance lives until exit

    pthread_mutex_t mutex_;  // recursive, priority inheritance
    int32_t lastError_ = 0;
};

// Second accessor to the same record, used by the drivers and the exported
// functions.
class QErrInfoMgr {
  public:
    static QErrMgr* getinstance();
};
