#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "platform/profile_parser.h"
#include "support/temp_dir.h"

namespace {

using kv::platform::findProfileValue;

std::optional<std::string> lookup(const std::string& content, const char* section, const char* key) {
    return findProfileValue(content, section, key);
}

TEST(ProfileParser, SectionAndKeyNamesIgnoreCaseAndSurroundingBlanks) {
    const std::string ini = "[  Logging ]\n   LogLevel   = 2\nLOGRX=1\n";
    EXPECT_EQ(lookup(ini, "LOGGING", "loglevel"), "2");
    EXPECT_EQ(lookup(ini, "logging", "LogRx"), "1");
    EXPECT_EQ(lookup(ini, " Logging ", " LogLevel "), "2");
    // Case folding is letters only: the name must still match character for character.
    EXPECT_EQ(lookup(ini, "Logging_", "LogLevel"), std::nullopt);
    EXPECT_EQ(lookup(ini, "Logging", "LogLeve"), std::nullopt);
}

TEST(ProfileParser, ValueIsTrimmedAndLosesOnePairOfMatchingQuotes) {
    const std::string ini =
        "[s]\n"
        "plain=\t  some text  \t\n"
        "double=\"  quoted  \"\n"
        "single=' x '\n"
        "twice=\"\"inner\"\"\n"
        "mixed=\"abc'\n"
        "lone=\"\n"
        "empty=\n"
        "inner=a = b\n";
    EXPECT_EQ(lookup(ini, "s", "plain"), "some text");
    EXPECT_EQ(lookup(ini, "s", "double"), "  quoted  ");
    EXPECT_EQ(lookup(ini, "s", "single"), " x ");
    EXPECT_EQ(lookup(ini, "s", "twice"), "\"inner\"");
    EXPECT_EQ(lookup(ini, "s", "mixed"), "\"abc'");
    EXPECT_EQ(lookup(ini, "s", "lone"), "\"");
    EXPECT_EQ(lookup(ini, "s", "empty"), "");
    EXPECT_EQ(lookup(ini, "s", "inner"), "a = b");
}

TEST(ProfileParser, CommentsAndKeysOutsideTheSectionAreNotSeen) {
    const std::string ini =
        "LogLevel=7\n"
        "; [LOGGING]\n"
        "[LOGGING]\n"
        ";LogLevel=5\n"
        "   ; LogRx=4\n"
        "LogRx=1\n"
        "[OTHER]\n"
        "LogLevel=9\n";
    EXPECT_EQ(lookup(ini, "LOGGING", "LogLevel"), std::nullopt);
    EXPECT_EQ(lookup(ini, "LOGGING", "LogRx"), "1");
    EXPECT_EQ(lookup(ini, "OTHER", "LogLevel"), "9");
    // A comment is no key, not even for a name that begins with ';'.
    EXPECT_EQ(lookup(ini, "LOGGING", ";LogLevel"), std::nullopt);
    // Lines above the first header belong to the section without a name.
    EXPECT_EQ(lookup(ini, "", "LogLevel"), "7");
}

TEST(ProfileParser, FirstSectionAndFirstKeyOfANameWin) {
    const std::string ini =
        "[LOGGING]\n"
        "LogLevel=1\n"
        "loglevel=2\n"
        "[logging]\n"
        "LogLevel=3\n"
        "LogRx=1\n";
    EXPECT_EQ(lookup(ini, "LOGGING", "LogLevel"), "1");
    // The second section of the same name is never searched.
    EXPECT_EQ(lookup(ini, "LOGGING", "LogRx"), std::nullopt);
}

TEST(ProfileParser, LineEndsAndOddLines) {
    EXPECT_EQ(lookup("[a]\r\nk=v \r\nx=y\r\n", "a", "k"), "v");
    EXPECT_EQ(lookup("[a]\r\nk=v\r\nx=y", "a", "x"), "y");
    // A byte order mark before the first header.
    EXPECT_EQ(lookup("\xEF\xBB\xBF[a]\nk=v\n", "a", "k"), "v");
    // A key without '=' hides later lines of the same key, as the Windows profile API does.
    EXPECT_EQ(lookup("[a]\nk\nk=v\n", "a", "k"), std::nullopt);
    // A header without its closing bracket starts no section.
    EXPECT_EQ(lookup("[a]\n[b\nk=v\n", "a", "k"), "v");
    EXPECT_EQ(lookup("[a]\n[b\nk=v\n", "b", "k"), std::nullopt);
    EXPECT_EQ(lookup("", "a", "k"), std::nullopt);
    EXPECT_EQ(lookup("[a]\nk=v\n", "a", ""), std::nullopt);
    // Text with embedded zero bytes is still only text.
    EXPECT_EQ(findProfileValue(std::string("[a]\nk=v\0w\n", 10), "a", "k"), std::string("v\0w", 3));
}

// The file-backed lookup on top of the parser.
TEST(ProfileFile, ReadsValuesAndFallsBackWhenAnythingIsMissing) {
    kvtest::TempDir dir;
    const std::filesystem::path file = std::filesystem::path(dir.path()) / "kvLib.ini";
    {
        std::ofstream out(file, std::ios::binary);
        out << "[LOGGING]\r\nLogLevel= \"3\" \r\n";
    }
    EXPECT_EQ(kv::platform::profileString(file.string(), "logging", "LOGLEVEL", "dflt"), "3");
    EXPECT_EQ(kv::platform::profileString(file.string(), "logging", "LogRx", "dflt"), "dflt");
    EXPECT_EQ(kv::platform::profileString(file.string(), "other", "LogLevel", "dflt"), "dflt");
    const std::string missing = (std::filesystem::path(dir.path()) / "absent.ini").string();
    EXPECT_EQ(kv::platform::profileString(missing, "LOGGING", "LogLevel", "dflt"), "dflt");
    // A directory where the file should be is no file.
    EXPECT_EQ(
        kv::platform::profileString(std::filesystem::path(dir.path()).string(), "LOGGING", "LogLevel", "x"),
        "x");
}

TEST(PlatformFiles, FirstDirectoryEntryMatchesWildcardsInTheLastComponent) {
    kvtest::TempDir dir;
    const std::filesystem::path root(dir.path());
    std::filesystem::create_directories(root / "fw");
    std::ofstream(root / "fw" / "kq_master_1.bin").put('x');
    std::ofstream(root / "fw" / "notes.txt").put('x');

    EXPECT_EQ(kv::platform::firstDirectoryEntry((root / "fw" / "kq_*.bin").string()), "kq_master_1.bin");
    EXPECT_EQ(kv::platform::firstDirectoryEntry((root / "fw" / "note?.txt").string()), "notes.txt");
    EXPECT_EQ(kv::platform::firstDirectoryEntry((root / "fw" / "*.hex").string()), std::nullopt);
    EXPECT_EQ(kv::platform::firstDirectoryEntry((root / "nodir" / "*").string()), std::nullopt);
    // "." and ".." are never entries, even for a pattern that matches them.
    EXPECT_EQ(kv::platform::firstDirectoryEntry((root / "fw" / ".*").string()), std::nullopt);
}

TEST(PlatformFiles, ProgramDirectoryIsTheAbsoluteDirectoryOfTheRunningProgram) {
    const std::string dir = kv::platform::programDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_TRUE(std::filesystem::path(dir).is_absolute()) << dir;
    // No trailing separator, except where it is the root itself ("/", "C:\").
    const std::filesystem::path p(dir);
    EXPECT_TRUE(p == p.root_path() || (dir.back() != '/' && dir.back() != '\\')) << dir;
    EXPECT_TRUE(std::filesystem::is_directory(dir)) << dir;
}

}  // namespace
