/* A C99 program built against an installed libkcan through pkg-config or
 * find_package(kcan): it needs kcan.h from the include directory the package
 * names and libkcan.so.1 at run time. It prints the last error of a fresh
 * process, then that of a failed call. */
#include <kcan.h>
#include <stdio.h>

int main(void) {
    if (sizeof(_KCAN_CAN_OBJ) != 24 || sizeof(_KCAN_CANFD_OBJ) != 80) {
        printf("bad record sizes\n");
        return 1;
    }
    printf("%d %s\n", (int)KCAN_GetLastError(), KCAN_GetLastErrorStr());
    /* No adapter of type 0: the call fails and leaves an error text. */
    if (KCAN_OpenDevice(0u, 0u) != 0) {
        printf("opened a device of type 0\n");
        return 1;
    }
    printf("%d %s\n", (int)KCAN_GetLastError(), KCAN_GetLastErrorStr());
    return 0;
}
