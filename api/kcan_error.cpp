// The last-error record as seen by callers of the C interface.
#include "QErrMgr.h"
#include "kcan.h"

extern "C" {

KCAN_API int32_t KCAN_GetLastError(void) {
    return QErrInfoMgr::getinstance()->getLastError();
}

KCAN_API const char* KCAN_GetLastErrorStr(void) {
    return QErrInfoMgr::getinstance()->getLastErrorStr();
}

}  // extern "C"
