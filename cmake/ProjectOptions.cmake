# One interface target that carries the project's warnings and sanitizer flags; every
# first-party target links it so the settings cannot drift between folders.
add_library(kv_project_options INTERFACE)
target_compile_options(kv_project_options INTERFACE
    -Wall -Wextra -Wshadow -Wpedantic -Wconversion -Wsign-conversion -Wnull-dereference
    -Wformat=2 -Wimplicit-fallthrough -Wcast-qual -Wundef
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual>)
if(KVLIB_WARNINGS_AS_ERRORS)
    target_compile_options(kv_project_options INTERFACE -Werror)
endif()

if(KVLIB_SANITIZE)
    list(JOIN KVLIB_SANITIZE "," _kv_san)
    target_compile_options(kv_project_options INTERFACE
        -fsanitize=${_kv_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(kv_project_options INTERFACE -fsanitize=${_kv_san})
endif()

find_package(Threads REQUIRED)
