/* A program that ends without closing the library, run as a child by the tests of process exit.
 *
 *     unclosed_library PORT MODE EXIT_CODE
 *
 * It writes 200 numbered lines to standard output (buffered: a pipe is fully buffered, so they reach
 * the test only if the process ends normally), then:
 *   init      initialises the library and returns EXIT_CODE from main;
 *   transfer  also opens the controller on PORT, starts the transfer area and returns EXIT_CODE
 *             while the transfer runs;
 *   callback  as transfer, then asks for a counter reset and ends the process with exit(EXIT_CODE)
 *             from the library's callback that confirms it (on the library's receive thread).
 * Exit code 90 and up: the library refused a step (the line "failed: ..." says which).
 */
#include <kvarolib.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#if defined(_WIN32)
#include <windows.h>
#else
#include <time.h>
#endif

#if defined(__GNUC__) || defined(__clang__)
#define LOAD(field) __atomic_load_n(&(field), __ATOMIC_RELAXED)
#define STORE(field, value) __atomic_store_n(&(field), (value), __ATOMIC_RELAXED)
#else
#define LOAD(field) (field)
#define STORE(field, value) ((field) = (value))
#endif

static int gExitCode = 0;

static void onCounterReset(int32_t shmId, int32_t counter) {
    printf("counter %d of controller %d reset, leaving\n", (int)counter, (int)shmId);
    exit(gExitCode);
}

static void pause100ms(void) {
#if defined(_WIN32)
    Sleep(100);
#else
    struct timespec t = {0, 100 * 1000 * 1000};
    nanosleep(&t, NULL);
#endif
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: unclosed_library PORT init|transfer|callback EXIT_CODE\n");
        return 2;
    }
    const char* port = argv[1];
    const char* mode = argv[2];
    gExitCode = atoi(argv[3]);
    for (int i = 0; i < 200; ++i) {
        printf("line %d of the output\n", i);
    }
    if (kvxInitLib() != 0) {
        printf("failed: kvxInitLib\n");
        return 90;
    }
    if (strcmp(mode, "init") == 0) {
        printf("leaving with the library initialised\n");
        return gExitCode;
    }
    uint32_t rc = 0;
    const uint32_t handle = kvxOpenComDevice(port, 38400, &rc);
    if (rc != 0) {
        printf("failed: kvxOpenComDevice %08X\n", (unsigned)rc);
        return 91;
    }
    if (strcmp(mode, "callback") == 0) {
        SetCBCounterResetted(onCounterReset);
    }
    rc = kvxStartTransferArea(handle);
    if (rc != 0) {
        printf("failed: kvxStartTransferArea %08X\n", (unsigned)rc);
        return 92;
    }
    if (strcmp(mode, "transfer") == 0) {
        printf("leaving with the transfer running\n");
        return gExitCode;
    }
    KOLV_X1_TRANSFER* master = &GetIF08TransferAddress(handle)->Record[0];
    const uint16_t resetId = (uint16_t)(LOAD(master->Output.CounterResetCmdId[0]) + 1u);
    STORE(master->Output.CounterResetCmdId[0], resetId);
    STORE(master->Input.CounterResetted[0], (uint16_t)0);
    for (int waited = 0; waited < 300; ++waited) {
        pause100ms();
    }
    printf("failed: no counter reset confirmed\n");
    return 93;
}
