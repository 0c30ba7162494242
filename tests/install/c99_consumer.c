/* A plain C99 caller of the library: includes the installed header, links
 * -lkcan and reads the last-error text of a fresh process. */
#include <kcan.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    _KCAN_CAN_OBJ frame;
    _KCAN_CANFD_OBJ fdFrame;
    memset(&frame, 0, sizeof frame);
    memset(&fdFrame, 0, sizeof fdFrame);
    if (sizeof frame != 24 || sizeof fdFrame != 80) {
        printf("bad record sizes\n");
        return 1;
    }
    printf("%d %s\n", (int)KCAN_GetLastError(), KCAN_GetLastErrorStr());
    return strcmp(KCAN_GetLastErrorStr(), "OK") == 0 ? 0 : 1;
}
