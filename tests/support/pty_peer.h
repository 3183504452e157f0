// The far side of a pseudo terminal whose near side the library opens as its port, for tests that
// read what the library writes, telegram by telegram, without a simulated controller in between.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kvtest {

class PtyPeer {
  public:
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    // False when no pseudo terminal could be made.
    bool valid() const { return master_ >= 0; }
    // The path the library opens.
    const std::string& slavePath() const { return slave_; }

    // The next whole telegram (start mark to end mark) the library wrote; empty, with a test
    // failure, when none comes within `deadline`.
    std::vector<std::uint8_t> nextTelegram(std::chrono::milliseconds deadline = std::chrono::seconds(10));
    // True when no byte arrives within `quiet` beyond what was already taken.
    bool silentFor(std::chrono::milliseconds quiet);

  private:
    bool readSome(int timeoutMs);

    int master_ = -1;
    std::string slave_;
    std::vector<std::uint8_t> received_;
};

}  // namespace kvtest
