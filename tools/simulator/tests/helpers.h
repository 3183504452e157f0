// Small helpers shared by kqsim's own tests.
#pragma once

#include <fstream>
#include <string>
#include <vector>

#include "options.h"

namespace kqsim::test_helpers {

// Parses `words` as kqsim's command line (the program name is put in front).
inline ParseResult parse_words(const std::vector<std::string>& words) {
    std::string program = "kqsim";
    std::vector<std::string> args = words;
    std::vector<char*> argv{program.data()};
    for (auto& w : args) {
        argv.push_back(w.data());
    }
    return parse_options(argv);
}

// The lines of a --record file, without their leading times.
inline std::vector<std::string> record_lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line.substr(line.find(' ') + 1));
    }
    return lines;
}

}  // namespace kqsim::test_helpers
