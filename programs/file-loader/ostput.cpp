// ostput: loads one file into the controller's RAM disk, flash disk or system flash.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "kvarolib.h"
#include "port_search.h"
#include "upload_status.h"

namespace {

constexpr const char* kVersionLine = "Ostrane file loader for COM ports, version 3.0.12\n";
// The longest source path the program takes (the Windows path limit without the terminator).
constexpr std::size_t kMaxSourcePath = 259;

std::atomic<std::uint32_t> gFinalStatus{0};
std::atomic<std::int32_t> gTarget{0};

void usage(std::FILE* out, const std::string& program) {
    std::fprintf(out, "Usage: %s <file_name> [ramdisk(default) | flash | system] [COMxx]\n", program.c_str());
    ostrane::PrintPortUsage(out);
}

void ShowUploadStatus(std::uint32_t status) {
    std::fputs(ostrane::UploadStatusText(status, gTarget.load()).c_str(), stdout);
    std::fflush(stdout);
    // Statuses outside the table that end an upload (a thread that could not start, an event
    // that could not be made) end the wait too, as a failure.
    if (!ostrane::IsProgressStatus(status)) {
        gFinalStatus.store(status);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (const int exitCode = ostrane::CheckArgumentCount(argc, argv, 3, kVersionLine, usage); exitCode >= 0) {
        return exitCode;
    }

    std::int32_t target = 0;
    std::string port;
    for (int i = 2; i < argc; ++i) {
        std::string upper = argv[i];
        ostrane::UpperCase(upper);
        if (upper.rfind("RAMDISK", 0) == 0) {
            target = 0;
        } else if (upper.rfind("FLASH", 0) == 0) {
            target = 1;
        } else if (upper.rfind("SYSTEM", 0) == 0) {
            target = 2;
        } else if (std::string named = ostrane::PortFromArgument(argv[i]); !named.empty()) {
            port = named;
        } else {
            std::fprintf(stderr, "WARNING: unknown parameter '%s'.\n", upper.c_str());
        }
    }
    if (port.size() >= ostrane::kPortNameBytes) {
        std::fprintf(stderr, "\nERROR: port name too long (at most %zu characters).\n",
                     ostrane::kPortNameBytes - 1);
        return 1;
    }
    gTarget.store(target);

    const std::string fileArgument = argv[1];
    if (fileArgument.size() > kMaxSourcePath) {
        std::fprintf(stderr, "\nERROR: file name too long (at most %zu characters).\n", kMaxSourcePath);
        return 1;
    }
    const std::optional<ostrane::FoundFile> found = ostrane::LocateFile(fileArgument);
    if (!found) {
        std::fprintf(stderr, "\nERROR: cannot open input file '%s'.\n", fileArgument.c_str());
        return 1;
    }
    const std::string& source = found->path;
    const std::uintmax_t size = found->size;

    const std::uint32_t initResult = kvxInitLib();
    if (initResult != 0) {
        std::fprintf(stderr, "\nERROR: kvxInitLib() returned 0x%X.\n", initResult);
        return 1;
    }
    int exitCode = 1;
    std::uint32_t handle = 0;
    ostrane::FindControllerPort(port);
    if (port.empty()) {
        std::fprintf(stderr, "\nERROR: cannot find COM port with the name \"%s\" or with the name \"%s\".\n",
                     ostrane::kInterfaceName, ostrane::kControllerName);
    } else {
        port = port.substr(0, port.find(' '));
        std::printf("Connecting to target on port %s...", port.c_str());
        std::fflush(stdout);
        std::uint32_t result = 0;
        handle = kvxOpenComDevice(port.c_str(), 38400, &result);
        if (result != 0) {
            std::printf("ERROR.\nERROR: No interface available.\n");
            std::fflush(stdout);
            if (result == KVLIB_ERR_ACCESS_DENIED) {
                ostrane::PrintAccessDeniedHint(port);
            }
        } else {
            std::printf("OK.\nRead file \"%s\" (%lu bytes).\nLoading...", source.c_str(),
                        static_cast<unsigned long>(size));
            std::fflush(stdout);
            gFinalStatus.store(0);
            const std::uint32_t started = KvFileUpload(handle, source.c_str(), target, ShowUploadStatus);
            if (started != 0) {
                ShowUploadStatus(started);
            } else {
                ostrane::WaitForFlag(gFinalStatus);
            }
            if (gFinalStatus.load() == KVLIB_ERR_UPLOAD_DONE) {
                exitCode = 0;
            }
        }
    }
    if (handle != 0) {
        kvxCloseDevice(handle);
    }
    kvxCloseLib();
    return exitCode;
}
