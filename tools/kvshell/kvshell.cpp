// kvshell PORT COMMAND: opens the controller's port, sends COMMAND to its shell and prints the answer.
#include <cstdio>

#include "base/log.h"
#include "core/connection.h"
#include "kvarolib.h"

namespace {

void printReply(const char* text, std::uint32_t length) {
    if (text != nullptr) {
        std::fwrite(text, 1, length, stdout);
        std::fputc('\n', stdout);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: kvshell PORT COMMAND\n");
        return 1;
    }
    kv::InitLog();
    std::uint32_t rc = 0;
    const std::uint32_t handle = kv::OpenComDevice(argv[1], &rc);
    if (rc != 0) {
        std::fprintf(stderr, "kvshell: cannot open %s (error 0x%08X)\n", argv[1], rc);
        return 1;
    }
    rc = KvRemoteCmd(handle, argv[2], printReply);
    kv::CloseComDevice();
    if (rc != 0) {
        std::fprintf(stderr, "kvshell: command failed (error 0x%08X)\n", rc);
        return 1;
    }
    return 0;
}
