/* Lists the ports the library discovers, as an application reads them: for each selection given on
 * the command line, GetAvailableComPorts and then EnumComPorts for every index below the count.
 *
 *     list_ports SELECTION...
 *
 * Prints "selection S: N" and then the N entries, one a line. An index that EnumComPorts refuses is
 * printed as "entry I refused: 0x...", and a count it does not keep to (the index N is not refused)
 * as "entry N not refused". The library is initialised first, as the programs do, so that discovery's
 * messages reach its log.
 */
#include <kvarolib.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    int arg;
    if (kvxInitLib() != KVLIB_ERR_SUCCESS) {
        printf("kvxInitLib failed\n");
        return 2;
    }
    for (arg = 1; arg < argc; ++arg) {
        const int32_t selection = (int32_t)strtol(argv[arg], NULL, 10);
        const int32_t count = GetAvailableComPorts(selection);
        /* The largest entry with its terminator. */
        char entry[256];
        int32_t i;
        printf("selection %d: %d\n", (int)selection, (int)count);
        for (i = 0; i < count; ++i) {
            const uint32_t rc = EnumComPorts((uint32_t)i, entry, (int32_t)sizeof entry);
            if (rc == (uint32_t)i) {
                printf("%s\n", entry);
            } else {
                printf("entry %d refused: 0x%08X\n", (int)i, (unsigned)rc);
            }
        }
        if (count >= 0 && EnumComPorts((uint32_t)count, entry, (int32_t)sizeof entry) != KVLIB_ERR_INVALID_PARAM) {
            printf("entry %d not refused\n", (int)count);
        }
    }
    fflush(stdout);
    kvxCloseLib();
    return 0;
}
