// ostsend: sends one command line to the controller's shell and prints the answer.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "kvarolib.h"
#include "port_search.h"

namespace {

constexpr const char* kVersionLine = "Ostrane commands sender via COM ports, version 3.0.9\n";

std::atomic<std::uint32_t> gDone{0};

void ShowReply(const char* text, std::uint32_t length) {
    if (text != nullptr) {
        for (std::uint32_t i = 0; i < length; ++i) {
            std::printf("%c", text[i]);
        }
    }
    std::printf("\n");
    std::fflush(stdout);
    gDone.store(1);
}

void usage(std::FILE* out, const std::string& program) {
    std::fprintf(out, "Usage: %s <command> [COMxx]\n", program.c_str());
    ostrane::PrintPortUsage(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (const int exitCode = ostrane::CheckArgumentCount(argc, argv, 2, kVersionLine, usage); exitCode >= 0) {
        return exitCode;
    }
    const char* command = argv[1];
    std::string port;
    if (argc == 3) {
        port = ostrane::PortFromArgument(argv[2]);
        if (port.empty()) {
            std::string upper = argv[2];
            ostrane::UpperCase(upper);
            std::fprintf(stderr, "WARNING: unknown parameter '%s'.\n", upper.c_str());
        } else if (port.size() >= ostrane::kPortNameBytes) {
            std::fprintf(stderr, "\nERROR: port name too long (at most %zu characters).\n",
                         ostrane::kPortNameBytes - 1);
            return 1;
        }
    }

    const std::uint32_t initResult = kvxInitLib();
    if (initResult != 0) {
        std::fprintf(stderr, "\nERROR: kvxInitLib() returned 0x%X.\n", initResult);
        return 1;
    }
    ostrane::FindControllerPort(port);
    if (port.empty()) {
        std::fprintf(stderr, "\nERROR: cannot find COM port with the name \"%s\" or with the name \"%s\".\n",
                     ostrane::kInterfaceName, ostrane::kControllerName);
        kvxCloseLib();
        return 1;
    }
    port = port.substr(0, port.find(' '));
    std::printf("Connecting to target on port %s...", port.c_str());
    std::fflush(stdout);
    std::uint32_t result = 0;
    const std::uint32_t handle = kvxOpenComDevice(port.c_str(), 38400, &result);
    if (result != 0) {
        std::printf("ERROR.\nERROR: No interface available.\n");
        std::fflush(stdout);
        if (result == KVLIB_ERR_ACCESS_DENIED) {
            ostrane::PrintAccessDeniedHint(port);
        }
        kvxCloseLib();
        return 1;
    }
    std::printf("OK.\nSending command \"%s\"...", command);
    std::fflush(stdout);
    gDone.store(0);
    const std::uint32_t sent = KvRemoteCmd(handle, command, ShowReply);
    ostrane::WaitForFlag(gDone);
    kvxCloseDevice(handle);
    kvxCloseLib();
    if (sent == KVLIB_ERR_DEVICE_NOT_OPEN) {
        // The controller went away under the command: its answer, if any, is not whole.
        std::fprintf(stderr, "\nERROR: the connection to the controller was lost.\n");
        return 1;
    }
    return 0;
}
