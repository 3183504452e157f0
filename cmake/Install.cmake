# What `cmake --install` puts where (GNUInstallDirs paths): the two programs, the shared library with
# its soname, the public header, and for CMake and pkg-config clients a package description. On Linux
# also the static library, the simulated controller, the manual pages, the udev rule and the examples.
include(CMakePackageConfigHelpers)

set(KVLIB_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/kvarolib"
    CACHE STRING "Where the CMake package configuration of kvarolib is installed")

install(TARGETS ostput ostsend RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)

# On Windows: kvAroLib.dll beside the programs, its import library under lib.
install(TARGETS kvarolib_shared EXPORT kvarolibTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/devicelib/include/kvarolib.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
if(WIN32 AND KVLIB_LLVM_DLLTOOL)
    # Beside the MinGW import library: the .def of the DLL's exports and the MSVC-format kvAroLib.lib.
    install(FILES ${PROJECT_BINARY_DIR}/devicelib/kvAroLib.def ${PROJECT_BINARY_DIR}/devicelib/kvAroLib.lib
            DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
endif()

if(NOT WIN32)
    install(TARGETS kvarolib_static EXPORT kvarolibTargets
            ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
    install(TARGETS kqsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
    install(FILES ${PROJECT_SOURCE_DIR}/man/ostput.1 ${PROJECT_SOURCE_DIR}/man/ostsend.1
                  ${PROJECT_SOURCE_DIR}/man/kqsim.1
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)
    # Under the prefix /usr this is /usr/lib/udev/rules.d, where udev reads the rules of packages
    # (udev is not multiarch, hence no CMAKE_INSTALL_LIBDIR). Any other prefix needs the rule
    # copied to /etc/udev/rules.d to take effect.
    set(KVLIB_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING "Where the udev rule is installed")
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/udev/60-kvarolib.rules
            DESTINATION ${KVLIB_UDEV_RULES_DIR} COMPONENT programs)
    install(FILES ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt ${PROJECT_SOURCE_DIR}/examples/README.md
                  ${PROJECT_SOURCE_DIR}/examples/transfer_monitor.c
                  ${PROJECT_SOURCE_DIR}/examples/transfer_monitor.py
            DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT development)
endif()

# find_package(kvarolib CONFIG) -> kvarolib::kvarolib (the shared library) and, on Linux,
# kvarolib::kvarolib_static.
install(EXPORT kvarolibTargets NAMESPACE kvarolib:: DESTINATION ${KVLIB_CMAKE_DIR} COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kvarolibConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/kvarolibConfig.cmake
                              INSTALL_DESTINATION ${KVLIB_CMAKE_DIR})
# The interface and the transfer-area layout stay compatible within a major version.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kvarolibConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kvarolibConfig.cmake ${PROJECT_BINARY_DIR}/kvarolibConfigVersion.cmake
        DESTINATION ${KVLIB_CMAKE_DIR} COMPONENT development)

# pkg-config: the prefix is found from where the file itself lies (${pcfiledir}), so that an install
# to another prefix than the configured one (cmake --install --prefix, the Windows zip unpacked
# anywhere) points the compiler at the files beside it. pkgconf does not put PKG_CONFIG_SYSROOT_DIR in
# front of such paths a second time, so a staged root works too. A directory given as an absolute
# path is not under the prefix and stays as it is.
file(RELATIVE_PATH KVLIB_PC_UP "/kvprefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/kvprefix")
string(REGEX REPLACE "/$" "" KVLIB_PC_UP "${KVLIB_PC_UP}")
set(KVLIB_PC_PREFIX "\${pcfiledir}/${KVLIB_PC_UP}")
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(KVLIB_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
    set(KVLIB_PC_LIBDIR "\${exec_prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
    set(KVLIB_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
    set(KVLIB_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/kvarolib.pc.in ${PROJECT_BINARY_DIR}/kvarolib.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kvarolib.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)
