/* transfer_monitor: the transfer area from an application's side.
 *
 * Finds the VORI KQ Controller by its device name, opens it, starts the transfer area and prints the
 * inputs of the master and of every extension controller every 100 ms for a few seconds. Meanwhile it
 * sets an output, asks for the reset of counter 0 of the master and reports what the library's
 * callbacks tell: extension controllers that come and go, and confirmed counter resets.
 *
 *   transfer_monitor [--seconds N]
 *
 * Exit code 0 when the controller was found and opened, the transfer ran, the master's inputs moved,
 * the output went out and the counter reset was confirmed; 1 when any of that failed; 2 for a wrong
 * argument. SIGINT or SIGTERM ends the watch early (the checks still apply).
 *
 * Plain C11 against kvarolib.h; build it with CMake (find_package(kvarolib)) or with
 *   cc -std=c11 transfer_monitor.c $(pkg-config --cflags --libs kvarolib)
 */
#include <kvarolib.h>

#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <threads.h>
#include <time.h>

/* The transfer area is shared with the library's threads, which update it every 10 ms. Every field
 * sits at a multiple of its size, so a whole field is read or written in one go; the compiler is told
 * so with relaxed atomic accesses (plain accesses would work on every supported machine, but a
 * thread checker would rightly call them races). */
#if defined(__GNUC__) || defined(__clang__)
#define LOAD(field) __atomic_load_n(&(field), __ATOMIC_RELAXED)
#define STORE(field, value) __atomic_store_n(&(field), (value), __ATOMIC_RELAXED)
#else
#define LOAD(field) (field)
#define STORE(field, value) ((field) = (value))
#endif

static const char* const kDeviceNames[] = {"Kolvex USB VORI KQ Controller", "Kolvex USB VORI Interface 2008"};

/* Written by the callbacks on the library's receive thread, read by the main loop. */
static atomic_int gExtensionReported[IF08_MAX]; /* -1 nothing heard, 0 gone, 1 present */
static atomic_uint gCountersReset[IF08_MAX];    /* bit i: reset of counter i confirmed */

static volatile sig_atomic_t gStop = 0;

static void onSignal(int signum) {
    (void)signum;
    gStop = 1;
}

/* Callbacks run on the library's receive thread and must return quickly: they only take note. */
static void onExtensionState(int32_t shmId, int32_t present) {
    if (shmId > 0 && shmId < IF08_MAX) {
        atomic_store(&gExtensionReported[shmId], present != 0 ? 1 : 0);
    }
}

static void onCounterReset(int32_t shmId, int32_t counter) {
    if (shmId >= 0 && shmId < IF08_MAX && counter >= 0 && counter < 4) {
        atomic_fetch_or(&gCountersReset[shmId], 1u << counter);
    }
}

static void sleepMs(long ms) {
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    while (thrd_sleep(&pause, &pause) == -1 && !gStop) {
        /* interrupted by a signal: sleep the rest unless asked to stop */
    }
}

static double secondsSince(const struct timespec* start) {
    struct timespec now;
    timespec_get(&now, TIME_UTC);
    return (double)(now.tv_sec - start->tv_sec) + (double)(now.tv_nsec - start->tv_nsec) / 1e9;
}

/* The port of the first controller that discovery lists under one of its device names, cut from the
 * display entry "PORT (description)". Returns 0 when there is none. */
static int findController(char* port, size_t size) {
    /* Selection 1: the USB controllers only. */
    const int32_t count = GetAvailableComPorts(1);
    for (int32_t i = 0; i < count; ++i) {
        char entry[256];
        if (EnumComPorts((uint32_t)i, entry, (int32_t)sizeof entry) != (uint32_t)i) {
            continue;
        }
        for (size_t n = 0; n < sizeof kDeviceNames / sizeof kDeviceNames[0]; ++n) {
            if (strstr(entry, kDeviceNames[n]) != NULL) {
                const size_t length = strcspn(entry, " ");
                if (length >= size) {
                    return 0;
                }
                memcpy(port, entry, length);
                port[length] = '\0';
                return 1;
            }
        }
    }
    return 0;
}

static void printInputs(const KOLV_X1_TRANSFER* rec, const char* label) {
    printf(" %s in:", label);
    for (int i = 0; i < 8; ++i) {
        printf(" %5d", LOAD(rec->Input.InputValue[i]));
    }
    printf(" cnt:");
    for (int i = 0; i < 4; ++i) {
        printf(" %5d", LOAD(rec->Input.Counter[i]));
    }
}

/* A fingerprint of the master's inputs, to tell whether they move. */
static unsigned long inputSum(const KOLV_X1_TRANSFER* rec) {
    unsigned long sum = 0;
    for (int i = 0; i < 8; ++i) {
        sum = sum * 31u + (uint16_t)LOAD(rec->Input.InputValue[i]);
    }
    for (int i = 0; i < 4; ++i) {
        sum = sum * 31u + (uint16_t)LOAD(rec->Input.Counter[i]);
    }
    return sum;
}

/* Watches the running transfer for `seconds`; returns the number of failed checks. */
static int watch(uint32_t handle, IF08_TRANSFER* area, double seconds) {
    KOLV_X1_TRANSFER* master = &area->Record[0];

    /* An output: byte 0 of the output values goes out with the next I/O exchange. OutputsSent tells
     * when it has; we clear it now and wait for the library to set it again. */
    STORE(master->Output.OutputData[0], (uint8_t)0x01);
    STORE(master->ChangeState.OutputsSent, (uint16_t)0);

    /* A counter reset: a new command id first, then clear the flag, so that the confirmation of the
     * new id cannot be mistaken for that of an old one. */
    const uint16_t resetId = (uint16_t)(LOAD(master->Output.CounterResetCmdId[0]) + 1u);
    STORE(master->Output.CounterResetCmdId[0], resetId);
    STORE(master->Input.CounterResetted[0], (uint16_t)0);

    int heard[IF08_MAX];
    for (int k = 0; k < IF08_MAX; ++k) {
        heard[k] = -1;
    }
    int failures = 0;
    int outputSent = 0;
    int resetSeen = 0;
    int inputsMoved = 0;
    unsigned long firstSum = inputSum(master);
    struct timespec start;
    timespec_get(&start, TIME_UTC);

    while (!gStop && secondsSince(&start) < seconds) {
        sleepMs(100);
        if (LOAD(master->TransferStatus.TransferState) != 1 || kvxIsTransferActiv(handle) != KVLIB_ERR_THREAD_IS_RUNNING) {
            printf("The transfer stopped (port error %u).\n", (unsigned)LOAD(master->TransferStatus.ComError));
            ++failures;
            break;
        }
        printf("%5.1f s", secondsSince(&start));
        printInputs(master, "M");
        for (int k = 1; k < IF08_MAX; ++k) {
            if (LOAD(master->State.ExtState[k - 1]) == 1) {
                char label[4] = {'E', (char)('0' + k), '\0', '\0'};
                printf(" |");
                printInputs(&area->Record[k], label);
            }
        }
        printf("\n");

        inputsMoved = inputsMoved || inputSum(master) != firstSum;
        if (!outputSent && LOAD(master->ChangeState.OutputsSent) != 0) {
            outputSent = 1;
            printf("Output byte 0 of the master sent.\n");
        }
        if (!resetSeen && (atomic_load(&gCountersReset[0]) & 1u) != 0) {
            resetSeen = 1;
            printf("Counter 0 of the master reset (id %u), now %d.\n", (unsigned)resetId,
                   LOAD(master->Input.Counter[0]));
        }
        for (int k = 1; k < IF08_MAX; ++k) {
            const int reported = atomic_load(&gExtensionReported[k]);
            if (reported != heard[k]) {
                heard[k] = reported;
                printf("Extension %d: %s.\n", k, reported == 1 ? "present" : "gone");
            }
        }
        fflush(stdout);
    }

    if (failures == 0 && !inputsMoved) {
        printf("No inputs arrived: the master's inputs never changed.\n");
        ++failures;
    }
    if (!outputSent) {
        printf("The output was never sent.\n");
        ++failures;
    }
    if (!resetSeen) {
        printf("The reset of counter 0 was not confirmed.\n");
        ++failures;
    }
    return failures;
}

int main(int argc, char** argv) {
    double seconds = 5.0;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            char* end = NULL;
            seconds = strtod(argv[++i], &end);
            if (*end != '\0' || !(seconds > 0.0)) {
                fprintf(stderr, "%s: --seconds needs a positive number\n", argv[0]);
                return 2;
            }
        } else {
            fprintf(stderr, "usage: %s [--seconds N]\n", argv[0]);
            return 2;
        }
    }
    for (int k = 0; k < IF08_MAX; ++k) {
        atomic_init(&gExtensionReported[k], -1);
        atomic_init(&gCountersReset[k], 0u);
    }
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);

    uint32_t rc = kvxInitLib();
    if (rc != KVLIB_ERR_SUCCESS) {
        fprintf(stderr, "kvxInitLib failed: 0x%08X\n", (unsigned)rc);
        return 1;
    }
    char port[256];
    if (!findController(port, sizeof port)) {
        fprintf(stderr, "No controller found: no serial port is named \"%s\" or \"%s\".\n", kDeviceNames[0],
                kDeviceNames[1]);
        kvxCloseLib();
        return 1;
    }
    printf("Controller on %s\n", port);

    /* Registered before the open, so that no report is missed. */
    SetCBVoriExtState(onExtensionState);
    SetCBCounterResetted(onCounterReset);

    const uint32_t handle = kvxOpenComDevice(port, 38400, &rc);
    if (rc != KVLIB_ERR_SUCCESS) {
        fprintf(stderr, "Cannot open %s: 0x%08X\n", port, (unsigned)rc);
        kvxCloseLib();
        return 1;
    }
    char name[32] = "";
    char firmware[16] = "";
    char serial[16] = "";
    GetVoriKqDevName(handle, 0, name, sizeof name);
    GetVoriKqFwStr(handle, 0, firmware, sizeof firmware);
    kvxGetSerialNrStrg(handle, serial, sizeof serial);
    printf("Master %s, firmware %s, serial number %s\n", name, firmware, serial);

    int failures = 0;
    IF08_TRANSFER* area = GetIF08TransferAddress(handle);
    rc = kvxStartTransferArea(handle);
    if (area == NULL || rc != KVLIB_ERR_SUCCESS) {
        fprintf(stderr, "The transfer did not start: 0x%08X\n", (unsigned)rc);
        failures = 1;
    } else {
        printf("Transfer running.\n");
        fflush(stdout);
        failures = watch(handle, area, seconds);
        kvxStopTransferArea();
    }

    SetCBVoriExtState(NULL);
    SetCBCounterResetted(NULL);
    kvxCloseDevice(handle);
    kvxCloseLib();
    printf("%s\n", failures == 0 ? "OK." : "FAILED.");
    return failures == 0 ? 0 : 1;
}
