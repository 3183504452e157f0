// What both programs print alike, written out once for their tests.
#pragma once

#include <string>

namespace kvtest {

// Lines 2 to 4 of both usage texts: the COMxx explanation and the two device names.
inline const std::string kUsagePortLines =
    "       [COMxx]: xx - COM port number (default is the number of the port with\n"
    "                the name \"Kolvex USB VORI Interface 2008\" or with\n"
    "                the name \"Kolvex USB VORI KQ Controller\")\n";

// Standard output of a run whose open failed.
inline std::string noInterface(const std::string& port) {
    return "Connecting to target on port " + port + "...ERROR.\nERROR: No interface available.\n";
}

// The error stream's extra line when the port may not be opened.
inline std::string accessDeniedHint(const std::string& port) {
    return "The port " + port +
           " is held by another program or not accessible to this user: close the other program, "
           "or join the group that owns the device (usually 'dialout') and log in again.\n";
}

}  // namespace kvtest
