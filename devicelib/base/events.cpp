#include "base/events.h"

namespace kv {

LibraryEvents& libraryEvents() {
    static LibraryEvents events;
    return events;
}

}  // namespace kv
