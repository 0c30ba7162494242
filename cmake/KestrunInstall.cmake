# Installed integration of kestrun and libkcan, included at the end of the
# top-level CMakeLists.txt once every target exists.
#
#   <libdir>/libkcan.so.1.0.0, libkcan.so.1, libkcan.so   (top level)
#   <libdir>/pkgconfig/kcan.pc                            pkg-config
#   <libdir>/cmake/kcan/kcan{Config,ConfigVersion,Targets}.cmake
#                                                         find_package(kcan)
#   lib/udev/rules.d/60-kestrun.rules                     device access
#   <mandir>/man1/kestrun.1.gz, kestrun-sim.1.gz, kestrun-simctl.1.gz
#   <datadir>/bash-completion/completions/kestrun
#
# Every destination is relative, so `cmake --install --prefix P` and DESTDIR
# staging keep all files below the prefix.
include(CMakePackageConfigHelpers)

set(KESTRUN_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "udev rules directory, relative to the install prefix")
set(KESTRUN_BASH_COMPLETION_DIR "${CMAKE_INSTALL_DATADIR}/bash-completion/completions"
    CACHE STRING "bash completion directory, relative to the install prefix")
set(KCAN_CMAKE_PACKAGE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/kcan")
set(KESTRUN_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)

# --- pkg-config --------------------------------------------------------------
# kcan.pc is written at install time: its prefix must be the one installed
# to (which `cmake --install --prefix` may change), not the configured one.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(KCAN_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
    set(KCAN_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
    set(KCAN_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
    set(KCAN_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_SOURCE_DIR}/cmake/KcanPkgConfigInstall.cmake.in
               ${CMAKE_BINARY_DIR}/KcanPkgConfigInstall.cmake @ONLY)
install(SCRIPT ${CMAKE_BINARY_DIR}/KcanPkgConfigInstall.cmake)

# --- CMake package -----------------------------------------------------------
install(EXPORT kcanTargets NAMESPACE kcan:: FILE kcanTargets.cmake
        DESTINATION ${KCAN_CMAKE_PACKAGE_DIR})
configure_package_config_file(${KESTRUN_PACKAGING_DIR}/kcanConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/kcanConfig.cmake
                              INSTALL_DESTINATION ${KCAN_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/kcanConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/kcanConfig.cmake ${CMAKE_BINARY_DIR}/kcanConfigVersion.cmake
        DESTINATION ${KCAN_CMAKE_PACKAGE_DIR})

# --- udev rules and bash completion -----------------------------------------
install(FILES ${KESTRUN_PACKAGING_DIR}/60-kestrun.rules DESTINATION ${KESTRUN_UDEV_RULES_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/completion/kestrun DESTINATION ${KESTRUN_BASH_COMPLETION_DIR})
if(TARGET kestrun-sim)
    # bash-completion loads completions by command name; kestrun-sim takes
    # kestrun's options.
    install(FILES ${CMAKE_SOURCE_DIR}/completion/kestrun DESTINATION ${KESTRUN_BASH_COMPLETION_DIR}
            RENAME kestrun-sim)
endif()

# --- Man pages -----------------------------------------------------------------
# Compressed with gzip -9n (no name or time stamp, so builds are repeatable),
# as Debian installs man pages.
set(KESTRUN_MAN_PAGES kestrun.1)
if(TARGET kestrun-sim)
    list(APPEND KESTRUN_MAN_PAGES kestrun-sim.1 kestrun-simctl.1)
endif()
find_program(KESTRUN_GZIP gzip)
set(KESTRUN_MAN_OUTPUTS "")
foreach(page IN LISTS KESTRUN_MAN_PAGES)
    set(source ${CMAKE_SOURCE_DIR}/docs/man/${page})
    if(KESTRUN_GZIP)
        set(output ${CMAKE_BINARY_DIR}/man/${page}.gz)
        add_custom_command(OUTPUT ${output}
                           COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
                           COMMAND ${KESTRUN_GZIP} -9nc ${source} > ${output}
                           DEPENDS ${source} VERBATIM)
    else()
        set(output ${source})
    endif()
    list(APPEND KESTRUN_MAN_OUTPUTS ${output})
endforeach()
add_custom_target(kestrun_man_pages ALL DEPENDS ${KESTRUN_MAN_OUTPUTS})
install(FILES ${KESTRUN_MAN_OUTPUTS} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# --- Debian package (cpack -G DEB) ---------------------------------------------
set(CPACK_PACKAGE_NAME kestrun)
set(CPACK_PACKAGE_VENDOR "Kestrun")
set(CPACK_PACKAGE_CONTACT "Kestrun developers <kestrun@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "CAN and CAN FD frames through USB-to-CAN adapters")
set(CPACK_PACKAGE_DESCRIPTION
    "kestrun sends and receives CAN and CAN FD frames through the DUNLIN, DUNLINFD and ZARO
USB-to-CAN adapters: once, periodically, with a sweeping or random identifier,
and prints received frames and per-channel statistics. Several kestrun
processes share one adapter, one per channel.
.
The package also holds libkcan, the C device-access library the tool is built
on, with its header, pkg-config file and CMake package, udev rules that give
the logged-in user and the plugdev group access to the adapters, and the
virtual adapters kestrun-sim and kestrun-simctl.")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Stage with DESTDIR, so that the install prefix seen by the install rules
# (and written into kcan.pc) is /usr and not the staging directory.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX ${CPACK_PACKAGING_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.orvane.com")
# The shlibs file for libkcan.so.1; packaging/deb holds the ldconfig trigger
# and the postinst that loads the udev rules.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${KESTRUN_PACKAGING_DIR}/deb/postinst
    ${KESTRUN_PACKAGING_DIR}/deb/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
find_program(KESTRUN_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KESTRUN_DPKG_SHLIBDEPS)
    # Dependencies as Debian computes them: libusb-1.0-0, libc6, libstdc++6...
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
        ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/sim)
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libusb-1.0-0 (>= 2:1.0.16), libc6, libstdc++6, libgcc-s1")
endif()
include(CPack)
