/* An application as the Microsoft toolchain builds it: compiled with clang-cl for
 * x86_64-pc-windows-msvc and linked with lld-link against the MSVC-format import library kvAroLib.lib.
 * It needs no Windows SDK and no C runtime: its three system functions come from an import library
 * made the same way. It prints the version the DLL reports and ends with 0 when it is the one this
 * header belongs to. */
#include "kvarolib.h"

__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* bytes, unsigned long count,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(unsigned int code);

#define STD_OUTPUT (0xFFFFFFF5ul) /* (DWORD)-11 */

static void put(const char* text, unsigned long length) {
    unsigned long written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT), text, length, &written, 0);
}

void __cdecl mainCRTStartup(void) {
    static const char digits[] = "0123456789ABCDEF";
    char line[64];
    unsigned long n = 0;
    const uint32_t version = kvxGetLibVersion();
    const char* prefix = "kvAroLib 0x";
    int shift;
    uint32_t length;
    while (prefix[n] != '\0') {
        line[n] = prefix[n];
        ++n;
    }
    for (shift = 28; shift >= 0; shift -= 4) {
        line[n++] = digits[(version >> shift) & 0xFu];
    }
    line[n++] = ' ';
    put(line, n);
    length = kvxGetLibVersionStr(line, (uint32_t)sizeof line);
    put(line, length);
    put("\n", 1);
    ExitProcess(version == 0x00010506u && length == 22u ? 0u : 1u);
}
