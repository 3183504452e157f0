#pragma once

#include <filesystem>
#include <string>

namespace kvtest {

// A fresh directory that is removed with everything in it when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// The whole content of a file ("" when it cannot be read).
std::string readFile(const std::filesystem::path& file);
// The same for a text file such as the library log, read in text mode: on Windows, where the log is
// written in text mode, its line ends "\r\n" come back as "\n".
std::string readText(const std::filesystem::path& file);

}  // namespace kvtest
