/* A C99 program built against an installed libkcan through pkg-config or
 * find_package(kcan): it needs kcan.h from the include directory the package
 * names and libkcan.so.1 at run time. */
#include <kcan.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    _KCAN_CAN_OBJ frame;
    memset(&frame, 0, sizeof frame);
    if (sizeof frame != 24) {
        printf("bad record size\n");
        return 1;
    }
    /* No adapter of type 0: the call fails and leaves an error text. */
    if (KCAN_OpenDevice(0u, 0u) != 0) {
        printf("opened a device of type 0\n");
        return 1;
    }
    printf("%d %s\n", (int)KCAN_GetLastError(), KCAN_GetLastErrorStr());
    return 0;
}
