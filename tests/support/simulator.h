// The simulated controller for tests: a launcher that fails the test's setup when kqsim cannot start.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "simulator/launcher.h"

namespace kvtest {

class Simulator : public kqsim::Launcher {
  public:
    explicit Simulator(std::vector<std::string> options = {}) : kqsim::Launcher(std::move(options)) {
        if (!started()) {
            throw std::runtime_error("the simulated controller did not start");
        }
    }
};

}  // namespace kvtest
