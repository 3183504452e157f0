// The prompt searches and the choice of silence time-out, which need no port.
#include <gtest/gtest.h>

#include "shell/remote_cmd.h"

namespace {

TEST(ShellText, LastPromptEnd) {
    EXPECT_EQ(kv::LastPromptEnd("aUSB>bUSB>c"), 10u);
    EXPECT_EQ(kv::LastPromptEnd("USB>"), 4u);
    // With both prompts only "USB>" counts.
    EXPECT_EQ(kv::LastPromptEnd("xUSB>yyBluetooth>zz"), 5u);
    EXPECT_EQ(kv::LastPromptEnd("Bluetooth>abcBluetooth>"), 23u);
    EXPECT_EQ(kv::LastPromptEnd("no prompt here"), 0u);
    EXPECT_EQ(kv::LastPromptEnd(""), 0u);
    EXPECT_EQ(kv::LastPromptEnd(nullptr), 0u);
}

TEST(ShellText, PromptMustFollowTheEcho) {
    EXPECT_TRUE(kv::PromptAfterEcho("\r\nUSB>get_ser_num\r\nKQ1\r\nUSB>", "get_ser_num"));
    EXPECT_TRUE(kv::PromptAfterEcho("ls\r\nBluetooth>", "ls"));
    // A prompt before the echo, an echo with nothing after it, no echo at all.
    EXPECT_FALSE(kv::PromptAfterEcho("USB>get_ser_num\r\nKQ1\r\n", "get_ser_num"));
    EXPECT_FALSE(kv::PromptAfterEcho("USB>get_ser_num", "get_ser_num"));
    EXPECT_FALSE(kv::PromptAfterEcho("USB>something else USB>", "get_ser_num"));
    EXPECT_FALSE(kv::PromptAfterEcho(nullptr, "get_ser_num"));
    // Half a prompt is no prompt.
    EXPECT_FALSE(kv::PromptAfterEcho("get_ser_num\r\nKQ1\r\nUS", "get_ser_num"));
}

TEST(ShellText, FlashAndSystemCommandsWaitLonger) {
    EXPECT_EQ(kv::SilenceTimeoutFor("clean_disk flash"), 45000u);
    EXPECT_EQ(kv::SilenceTimeoutFor("copy_to_system x"), 45000u);
    EXPECT_EQ(kv::SilenceTimeoutFor("get_ser_num"), 10000u);
    EXPECT_EQ(kv::SilenceTimeoutFor("clean_disk ramdisk"), 10000u);
    // The test is case-sensitive, as the controller's command words are lower case.
    EXPECT_EQ(kv::SilenceTimeoutFor("FLASH"), 10000u);
}

}  // namespace

namespace {

TEST(ShellText, SerialNumberWordAfterTheEcho) {
    EXPECT_EQ(kv::ParseSerialNumber("\r\nUSB>get_ser_num\r\nKQ10042317\r\nUSB>"), "KQ10042317");
    EXPECT_EQ(kv::ParseSerialNumber("get_ser_num\r\nABCDEFGHIJKL\r\nUSB>"), "ABCDEFGHIJ");
    EXPECT_EQ(kv::ParseSerialNumber("get_ser_num\r\n  S1\r\nUSB>"), "S1");
    // An error text instead of a number gives its first word; no plausibility test is made.
    EXPECT_EQ(kv::ParseSerialNumber("get_ser_num\r\nERROR: busy\r\n"), "ERROR:");
    EXPECT_EQ(kv::ParseSerialNumber("USB>something else\r\nUSB>"), "0000000000");
    EXPECT_EQ(kv::ParseSerialNumber("get_ser_num"), "0000000000");
    EXPECT_EQ(kv::ParseSerialNumber(nullptr), "0000000000");
}

}  // namespace
