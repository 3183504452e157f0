// Bringing the library up and down.
#pragma once

namespace kv {

// True between a successful kvxInitLib and kvxCloseLib.
bool LibraryInitialised();

}  // namespace kv
