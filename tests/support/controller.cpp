#include "support/controller.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace kvtest {

std::uint32_t ReceivedTelegram::recordCount() const {
    if (bytes.size() < 24) {
        return 0;
    }
    return static_cast<std::uint32_t>(bytes[20]) | static_cast<std::uint32_t>(bytes[21]) << 8;
}

Controller::Controller(std::vector<std::string> options)
    : fifo_(dir_.path() / "control"), record_(dir_.path() / "record") {
    options.insert(options.end(), {"--control", fifo_.string(), "--record", record_.string()});
    sim_ = std::make_unique<Simulator>(options);
}

void Controller::control(const std::string& command) {
    const int fd = ::open(fifo_.c_str(), O_WRONLY);
    if (fd < 0) {
        throw std::runtime_error("cannot open the simulator's control FIFO");
    }
    const std::string line = command + "\n";
    const ssize_t n = ::write(fd, line.data(), line.size());
    ::close(fd);
    if (n != static_cast<ssize_t>(line.size())) {
        throw std::runtime_error("cannot write to the simulator's control FIFO");
    }
}

std::vector<ReceivedTelegram> Controller::received() const {
    std::vector<ReceivedTelegram> out;
    std::ifstream in(record_);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        ReceivedTelegram t;
        std::string code;
        std::string hex;
        if (!(fields >> t.ms >> code)) {
            continue;
        }
        // Lines of other kinds ("bad", "shell", "control") have a word where the code stands.
        if (code.empty() || code.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        t.code = static_cast<std::uint32_t>(std::stoul(code));
        if (!(fields >> t.counter >> hex)) {
            continue;
        }
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
            t.bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
        }
        out.push_back(std::move(t));
    }
    return out;
}

std::vector<ReceivedTelegram> Controller::received(std::uint32_t code) const {
    std::vector<ReceivedTelegram> all = received();
    std::vector<ReceivedTelegram> out;
    for (auto& t : all) {
        if (t.code == code) {
            out.push_back(std::move(t));
        }
    }
    return out;
}

}  // namespace kvtest
