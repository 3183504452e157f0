/* Makes a registry key that is a link to another key, which `reg add` cannot do. A link to a key that
 * does not exist is listed among its parent's subkeys but cannot be opened: the tests use it for a
 * Bluetooth service entry that cannot be read.
 *
 *     make_registry_link LINK TARGET
 *
 * Both are paths below HKEY_LOCAL_MACHINE. A link that is already there is left as it is. Exit code 0
 * on success, 1 with a message otherwise.
 */
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

int main(int argc, char** argv) {
    HKEY key;
    DWORD disposition = 0;
    WCHAR target[600];
    LONG rc;
    int length;
    if (argc != 3) {
        fprintf(stderr, "usage: make_registry_link LINK TARGET\n");
        return 1;
    }
    length = swprintf(target, sizeof target / sizeof target[0], L"\\Registry\\Machine\\%hs", argv[2]);
    if (length < 0) {
        fprintf(stderr, "make_registry_link: target too long\n");
        return 1;
    }
    rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, argv[1], 0, NULL, REG_OPTION_CREATE_LINK,
                         KEY_WRITE | KEY_CREATE_LINK, NULL, &key, &disposition);
    if (rc == ERROR_ALREADY_EXISTS) {
        return 0;
    }
    if (rc != ERROR_SUCCESS) {
        fprintf(stderr, "make_registry_link: creating %s failed with %ld\n", argv[1], rc);
        return 1;
    }
    if (disposition == REG_CREATED_NEW_KEY) {
        /* The link's target: a native path, UTF-16, without terminator. */
        rc = RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK, (const BYTE*)target,
                            (DWORD)((size_t)length * sizeof target[0]));
    }
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        fprintf(stderr, "make_registry_link: linking %s failed with %ld\n", argv[1], rc);
        return 1;
    }
    return 0;
}
