#pragma once

#include <string_view>

#include "shell.h"

namespace kqsim {

// Every byte the client sends passes through here before any protocol sees it. The same line
// also carries binary request frames (they begin 0x02 0x55) and XMODEM uploads; those are to be
// told apart at this point and routed to their own handlers, so the shell never sees them.
// Until the controller speaks them, the whole stream belongs to the text shell.
class Dispatcher {
  public:
    explicit Dispatcher(Shell& shell) : shell_(shell) {}

    void feed(std::string_view bytes) { shell_.feed(bytes); }

  private:
    Shell& shell_;
};

}  // namespace kqsim
