/* A stand-in for the system's setup library, SETUPAPI.DLL, for the tests of port discovery under
 * Wine (whose own setup library knows no devices of the class "Ports"). It offers the six functions
 * the device library takes by name and answers them from a description of fake devices, as the real
 * one answers from the system's device tree. The test places it beside the program and makes Wine
 * prefer it over its own with WINEDLLOVERRIDES=setupapi=n.
 *
 * The description is the text file named by KVTEST_SETUPAPI_DEVICES, read when the library is
 * loaded. One statement a line; blank lines and lines beginning with '#' are ignored:
 *
 *   device  KEY | DESCRIPTION   a present device of the class "Ports", in set order
 *   absent  KEY | DESCRIPTION   a device that was attached once: in the set only when the caller does
 *                               not ask for present devices alone
 *   classes N                   the number of class identifiers the name "Ports" has (default 1; the
 *                               first is the ports class, any further ones belong to other classes)
 *   set fails                   the device set cannot be had
 *
 * KEY is the device's hardware key, a path below HKEY_LOCAL_MACHINE that the test fills with
 * `reg add` ("-" for a device without one). DESCRIPTION is its device description; "-" for a device
 * whose description cannot be read, "binary:TEXT" for one stored as binary data instead of a string.
 *
 * What the caller did is appended to the file named by KVTEST_SETUPAPI_RECORD, one line each:
 * "load", "set present" or "set all" (a device set handed out), "destroy" (a set given back), and
 * "release" when the library is freed (or "unloaded at exit" when the process ends with it loaded).
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(LEAVE_OUT_OPEN_DEV_REG_KEY)
#define EXPORT_OPEN_DEV_REG_KEY 0
#else
#define EXPORT_OPEN_DEV_REG_KEY 1
#endif
#if defined(LEAVE_OUT_ENUM_DEVICE_INFO)
#define EXPORT_ENUM_DEVICE_INFO 0
#else
#define EXPORT_ENUM_DEVICE_INFO 1
#endif

/* The few declarations of the setup library's own header that these functions need. */
typedef void* DeviceInfoSet;
typedef struct {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} DeviceInfoData;
#define SCOPE_GLOBAL 1u          /* DICS_FLAG_GLOBAL */
#define KEY_OF_DEVICE 1u         /* DIREG_DEV: the hardware key, not the driver's key */
#define ONLY_PRESENT 2u          /* DIGCF_PRESENT */
#define PROPERTY_DEVICE_DESC 0u  /* SPDRP_DEVICEDESC */

#define MAX_DEVICES 64
#define TEXT_BYTES 512

typedef struct {
    char key[TEXT_BYTES];
    char description[TEXT_BYTES];
    int hasKey;
    int hasDescription;
    int binaryDescription;
    int present;
} Device;

typedef struct {
    unsigned magic;
    DWORD count;
    int members[MAX_DEVICES];
} Set;

#define SET_MAGIC 0x5E75E7u

static const GUID portsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
static const GUID otherClass = {0x4d36e96d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

static Device devices[MAX_DEVICES];
static int deviceCount;
static DWORD classCount = 1;
static int setFails;

static void record(const char* line) {
    const char* path = getenv("KVTEST_SETUPAPI_RECORD");
    FILE* out = path != NULL ? fopen(path, "a") : NULL;
    if (out != NULL) {
        fprintf(out, "%s\n", line);
        fclose(out);
    }
}

static char* trim(char* text) {
    size_t length;
    while (*text == ' ' || *text == '\t') {
        ++text;
    }
    length = strlen(text);
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t' || text[length - 1] == '\r' ||
                          text[length - 1] == '\n')) {
        text[--length] = '\0';
    }
    return text;
}

static void copyText(char* to, const char* from) {
    strncpy(to, from, TEXT_BYTES - 1);
    to[TEXT_BYTES - 1] = '\0';
}

static void addDevice(char* rest, int present) {
    Device* device;
    char* bar = strchr(rest, '|');
    const char* key;
    const char* description;
    if (bar == NULL || deviceCount == MAX_DEVICES) {
        return;
    }
    *bar = '\0';
    key = trim(rest);
    description = trim(bar + 1);
    device = &devices[deviceCount++];
    device->present = present;
    device->hasKey = strcmp(key, "-") != 0;
    copyText(device->key, key);
    device->hasDescription = strcmp(description, "-") != 0;
    device->binaryDescription = strncmp(description, "binary:", 7) == 0;
    copyText(device->description, device->binaryDescription ? description + 7 : description);
}

static void readDescription(void) {
    const char* path = getenv("KVTEST_SETUPAPI_DEVICES");
    FILE* in = path != NULL ? fopen(path, "r") : NULL;
    char line[2 * TEXT_BYTES];
    if (in == NULL) {
        return;
    }
    while (fgets(line, sizeof line, in) != NULL) {
        char* text = trim(line);
        if (strncmp(text, "device ", 7) == 0) {
            addDevice(text + 7, 1);
        } else if (strncmp(text, "absent ", 7) == 0) {
            addDevice(text + 7, 0);
        } else if (strncmp(text, "classes ", 8) == 0) {
            classCount = (DWORD)strtoul(text + 8, NULL, 10);
        } else if (strcmp(text, "set fails") == 0) {
            setFails = 1;
        }
    }
    fclose(in);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    if (reason == DLL_PROCESS_ATTACH) {
        readDescription();
        record("load");
    } else if (reason == DLL_PROCESS_DETACH) {
        /* No `reserved` pointer: FreeLibrary let go of the library; else the process is ending. */
        record(reserved == NULL ? "release" : "unloaded at exit");
    }
    return TRUE;
}

static Set* setOf(DeviceInfoSet handle) {
    Set* set = (Set*)handle;
    if (set == NULL || handle == INVALID_HANDLE_VALUE || set->magic != SET_MAGIC) {
        SetLastError(ERROR_INVALID_HANDLE);
        return NULL;
    }
    return set;
}

/* The device a caller's info record stands for, as handed out by SetupDiEnumDeviceInfo. */
static Device* deviceOf(DeviceInfoSet handle, const DeviceInfoData* data) {
    Set* set = setOf(handle);
    if (set == NULL) {
        return NULL;
    }
    if (data == NULL || data->cbSize != sizeof *data || data->Reserved != (ULONG_PTR)set || data->DevInst == 0 ||
        data->DevInst > (DWORD)deviceCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    return &devices[data->DevInst - 1];
}

__declspec(dllexport) BOOL WINAPI SetupDiClassGuidsFromNameA(const char* name, GUID* list, DWORD size,
                                                             DWORD* required) {
    DWORD count = (name != NULL && lstrcmpiA(name, "Ports") == 0) ? classCount : 0;
    DWORD i;
    if (required != NULL) {
        *required = count;
    }
    if (count > size || (count > 0 && list == NULL)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    for (i = 0; i < count; ++i) {
        list[i] = i == 0 ? portsClass : otherClass;
    }
    return TRUE;
}

__declspec(dllexport) DeviceInfoSet WINAPI SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator,
                                                                 HWND parent, DWORD flags) {
    Set* set;
    int i;
    (void)enumerator;
    (void)parent;
    if (setFails) {
        SetLastError(ERROR_INVALID_DATA);
        return INVALID_HANDLE_VALUE;
    }
    set = (Set*)calloc(1, sizeof *set);
    if (set == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    set->magic = SET_MAGIC;
    /* Only the ports class has devices here; a set of any other class is empty. */
    if (classGuid != NULL && memcmp(classGuid, &portsClass, sizeof portsClass) == 0) {
        for (i = 0; i < deviceCount; ++i) {
            if (devices[i].present || (flags & ONLY_PRESENT) == 0) {
                set->members[set->count++] = i;
            }
        }
    }
    record((flags & ONLY_PRESENT) != 0 ? "set present" : "set all");
    return set;
}

#if EXPORT_ENUM_DEVICE_INFO
__declspec(dllexport) BOOL WINAPI SetupDiEnumDeviceInfo(DeviceInfoSet handle, DWORD index, DeviceInfoData* data) {
    Set* set = setOf(handle);
    if (set == NULL) {
        return FALSE;
    }
    if (data == NULL || data->cbSize != sizeof *data) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (index >= set->count) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->ClassGuid = portsClass;
    data->DevInst = (DWORD)set->members[index] + 1;
    data->Reserved = (ULONG_PTR)set;
    return TRUE;
}
#endif

#if EXPORT_OPEN_DEV_REG_KEY
__declspec(dllexport) HKEY WINAPI SetupDiOpenDevRegKey(DeviceInfoSet handle, DeviceInfoData* data, DWORD scope,
                                                       DWORD profile, DWORD keyType, REGSAM access) {
    const Device* device = deviceOf(handle, data);
    HKEY key = NULL;
    LONG rc;
    (void)profile;
    if (device == NULL) {
        return (HKEY)INVALID_HANDLE_VALUE;
    }
    /* The fake devices have their hardware key in the global profile and no driver key. */
    if (scope != SCOPE_GLOBAL || keyType != KEY_OF_DEVICE || !device->hasKey) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return (HKEY)INVALID_HANDLE_VALUE;
    }
    /* A hardware key is the system's: a user who is no administrator may only read it. */
    if ((access & ~(REGSAM)(KEY_READ | KEY_WOW64_64KEY | KEY_WOW64_32KEY)) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return (HKEY)INVALID_HANDLE_VALUE;
    }
    rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, device->key, 0, access, &key);
    if (rc != ERROR_SUCCESS) {
        SetLastError((DWORD)rc);
        return (HKEY)INVALID_HANDLE_VALUE;
    }
    return key;
}
#endif

__declspec(dllexport) BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(DeviceInfoSet handle, DeviceInfoData* data,
                                                                    DWORD property, DWORD* type, BYTE* buffer,
                                                                    DWORD size, DWORD* required) {
    const Device* device = deviceOf(handle, data);
    DWORD need;
    if (device == NULL) {
        return FALSE;
    }
    /* The fake devices have a description and no other property. */
    if (property != PROPERTY_DEVICE_DESC || !device->hasDescription) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    need = (DWORD)strlen(device->description) + 1;
    if (required != NULL) {
        *required = need;
    }
    if (type != NULL) {
        *type = device->binaryDescription ? REG_BINARY : REG_SZ;
    }
    if (buffer == NULL || size < need) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(buffer, device->description, need);
    return TRUE;
}

__declspec(dllexport) BOOL WINAPI SetupDiDestroyDeviceInfoList(DeviceInfoSet handle) {
    Set* set = setOf(handle);
    if (set == NULL) {
        return FALSE;
    }
    set->magic = 0;
    free(set);
    record("destroy");
    return TRUE;
}
