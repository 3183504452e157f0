# Packages made with CPack from the install rules: a Debian package on Linux, a zip on Windows.
#   cmake --preset package && cmake --build --preset package && (cd build/package && cpack -G DEB)
# scripts/package-check.sh builds it that way and checks it.
set(CPACK_PACKAGE_NAME kvarolib)
set(CPACK_PACKAGE_VENDOR "kvAroLib")
set(CPACK_PACKAGE_CONTACT "kvAroLib maintainers <kvarolib@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "device library and console programs for the VORI KQ Controller")
# The Debian description: the summary above, then this text (lines kept short for dpkg's display).
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "kvAroLib drives the VORI KQ Controller, a controller with motor outputs,\n"
    "sensor and counter inputs, a display and Bluetooth, reached over a USB or\n"
    "Bluetooth serial port, with up to eight extension controllers behind it.\n"
    "\n"
    "The package holds the shared and static library libkvarolib with its C\n"
    "header and its CMake and pkg-config files, the programs ostput (loads a\n"
    "file into the controller) and ostsend (sends one shell command), kqsim (a\n"
    "simulated controller on a pseudo terminal, for trying everything without\n"
    "hardware), a udev rule that gives the controller's USB port to the group\n"
    "dialout and keeps ModemManager away from it, manual pages, and examples\n"
    "in C and Python.")
# One package for everything: the programs carry the library inside them and the library has few
# clients, so a split into runtime, development and tool packages would buy nothing yet.
set(CPACK_DEB_COMPONENT_INSTALL OFF)
set(CPACK_STRIP_FILES ON)

# Debian: dependencies from the binaries (dpkg-shlibdeps), a shlibs file for libkvarolib.so.1 so that
# packages built against it depend on this one, and the standard file name.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

if(WIN32)
    set(CPACK_GENERATOR ZIP)
else()
    set(CPACK_GENERATOR DEB)
endif()

include(CPack)
