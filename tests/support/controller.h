// A simulated controller with its control FIFO and its record of received telegrams, for tests
// that drive the library's transfer against it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/simulator.h"
#include "support/temp_dir.h"

namespace kvtest {

// One telegram as the simulator received it.
struct ReceivedTelegram {
    double ms = 0;
    std::uint32_t code = 0;
    std::uint32_t counter = 0;
    std::vector<std::uint8_t> bytes;
    std::uint32_t recordCount() const;
};

class Controller {
  public:
    explicit Controller(std::vector<std::string> options = {});
    const std::string& port() const { return sim_->port(); }
    Simulator& sim() { return *sim_; }
    // Sends one control command (for example "ext add 2" or "fault no-reply always").
    void control(const std::string& command);
    // Every telegram received so far, in order.
    std::vector<ReceivedTelegram> received() const;
    std::vector<ReceivedTelegram> received(std::uint32_t code) const;
    // The record file itself, for tests that read lines of other kinds (faults, reports).
    const std::filesystem::path& recordPath() const { return record_; }

  private:
    TempDir dir_;
    std::filesystem::path fifo_;
    std::filesystem::path record_;
    std::unique_ptr<Simulator> sim_;
};

}  // namespace kvtest
