# The Debian packages: `cpack -G DEB` in the build directory writes, for each component,
# NAME_VERSION_ARCH.deb under /usr (the units in /lib/systemd/system):
#   kiv-relay   the "relay" component: both programs, their manual pages, both units, the
#               copyright file
#   libkiv0     the "lib" component: the shared library libkiv.so.0 for C and other languages
#   libkiv-dev  the "dev" component: kiv.h, the C++ headers, libkiv.so, the static libraries,
#               the CMake package, kiv.pc and the manual page kiv(3)
set(CPACK_PACKAGE_NAME kiv-relay)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The kiv-relay developers")
set(CPACK_PACKAGE_CONTACT "kiv-relay developers <kiv-relay@example.org>")
set(KIV_PACKAGE_ABOUT "A host asks the relay for a room and gets a numeric room id; clients send
datagrams to that id, and the relay forwards each one to the host marked with
the client's tag, and each host datagram to the client it names.")
set(CPACK_DEBIAN_RELAY_DESCRIPTION "small, fast UDP rendezvous and relay server
${KIV_PACKAGE_ABOUT} Up to 256
rooms of 8 clients live in one fixed table; silent peers are forgotten after a
minute.

This package holds the relay, the kiv command that hosts, joins and pings
rooms, their manual pages and systemd units for one relay or one per port.")
set(CPACK_DEBIAN_LIB_DESCRIPTION "client library for the kiv UDP relay
${KIV_PACKAGE_ABOUT}

This package holds the shared library with the C interface, for programs in C
and in every language that calls C.")
set(CPACK_DEBIAN_DEV_DESCRIPTION "client library for the kiv UDP relay - development files
${KIV_PACKAGE_ABOUT}

This package holds the C header kiv.h with its manual page, the C++ headers
and static libraries, a CMake package and a pkg-config file.")

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL relay lib dev)
set(CPACK_DEBIAN_RELAY_PACKAGE_NAME kiv-relay)
set(CPACK_DEBIAN_LIB_PACKAGE_NAME libkiv0)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkiv-dev)
set(CPACK_DEBIAN_RELAY_PACKAGE_SECTION net)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libkiv0 (= ${PROJECT_VERSION})")
# The library package says which version of it programs need (shlibs) and has the loader's
# cache rebuilt when it comes or goes.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
# The ldconfig trigger rebuilds the loader's cache. CPack would also write ldconfig calls into
# postinst and postrm, which Debian no longer wants; naming those scripts among the extra
# control files stops that, and as no such files exist, none are packaged (CPack warns
# "Adding file to tar" for each).
configure_file(${CMAKE_CURRENT_LIST_DIR}/libkiv0.triggers ${CMAKE_BINARY_DIR}/packaging/libkiv0/triggers
               COPYONLY)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/libkiv0/triggers
                                           ${CMAKE_BINARY_DIR}/packaging/libkiv0/postinst
                                           ${CMAKE_BINARY_DIR}/packaging/libkiv0/postrm)
# The relay's service is enabled and started on install, restarted on upgrade, stopped on
# removal and forgotten on purge, by maintainer scripts in the form dh_installsystemd writes.
set(CPACK_DEBIAN_RELAY_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/maintainer/postinst
                                             ${CMAKE_CURRENT_LIST_DIR}/maintainer/prerm
                                             ${CMAKE_CURRENT_LIST_DIR}/maintainer/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/")
find_program(KIV_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KIV_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_RELAY_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
  if(SODIUM_FOUND)
    string(APPEND CPACK_DEBIAN_RELAY_PACKAGE_DEPENDS ", libsodium23")
  endif()
  set(CPACK_DEBIAN_LIB_PACKAGE_DEPENDS "libc6")
endif()
# Debian's conventions beyond what CPack does itself: compressed manual pages and
# changelogs, units where systemd on Debian looks for a package's own.
set(KIV_PACKAGE_DATE "Tue, 01 Dec 2026 00:00:00 +0000")
configure_file(${CMAKE_CURRENT_LIST_DIR}/deb_finish.cmake.in
               ${CMAKE_BINARY_DIR}/packaging/deb_finish.cmake @ONLY)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_BINARY_DIR}/packaging/deb_finish.cmake)
include(CPack)
