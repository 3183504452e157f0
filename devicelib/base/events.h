// The library's events. They exist for the whole process; kvxInitLib resets them ("creates" them)
// and kvxCloseLib wakes every waiter with a failure ("closes" them).
#pragma once

#include "platform/platform.h"

namespace kv {

struct LibraryEvents {
    platform::ManualResetEvent mmTimer;        // the 1 ms tick
    platform::ManualResetEvent mmWait;         // a port failure for the beat thread to act on
    platform::ManualResetEvent request;        // wakes the request thread
    platform::ManualResetEvent reply;          // a reply to a single exchange arrived
    platform::ManualResetEvent transferReply;  // a reply of the transfer cycle arrived
};

LibraryEvents& libraryEvents();

}  // namespace kv
