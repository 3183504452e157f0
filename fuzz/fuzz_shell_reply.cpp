// Whatever the controller sends in answer to a shell command is searched for the echo, the prompts
// and the serial-number word; none of it may read past the text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "shell/remote_cmd.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string reply(reinterpret_cast<const char*>(data), size);
    (void)kv::PromptAfterEcho(reply.c_str(), "get_ser_num");
    (void)kv::PromptAfterEcho(reply.c_str(), "clean_disk flash");
    (void)kv::LastPromptEnd(reply.c_str());
    const std::string serial = kv::ParseSerialNumber(reply.c_str());
    if (serial.size() > 10) {
        __builtin_trap();
    }
    return 0;
}
