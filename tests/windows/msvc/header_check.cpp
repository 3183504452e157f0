// The public header as a C++ application built with the Microsoft toolchain includes it.
#include "kvarolib.h"

extern "C" int kvHeaderCheck() {
    return static_cast<int>(sizeof(IF08_TRANSFER));
}
