# The Debian package: `cpack -G DEB` in the build directory writes
# kiv-relay_VERSION_ARCH.deb with the "relay" component alone (both programs, their manual
# pages, both units and the copyright file), installed under /usr with the units in
# /lib/systemd/system.
set(CPACK_PACKAGE_NAME kiv-relay)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The kiv-relay developers")
set(CPACK_PACKAGE_CONTACT "kiv-relay developers <kiv-relay@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small, fast UDP rendezvous and relay server")
set(CPACK_PACKAGE_DESCRIPTION "A host asks the relay for a room and gets a numeric room id; clients send
datagrams to that id, and the relay forwards each one to the host marked with
the client's tag, and each host datagram to the client it names. Up to 256
rooms of 8 clients live in one fixed table; silent peers are forgotten after a
minute.

This package holds the relay, the kiv command that hosts, joins and pings
rooms, their manual pages and systemd units for one relay or one per port.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};relay;/")
find_program(KIV_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KIV_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
  if(SODIUM_FOUND)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libsodium23")
  endif()
endif()
# Debian's conventions beyond what CPack does itself: compressed manual pages and
# changelog, units where systemd on Debian looks for a package's own.
set(KIV_PACKAGE_DATE "Tue, 01 Dec 2026 00:00:00 +0000")
configure_file(${CMAKE_CURRENT_LIST_DIR}/deb_finish.cmake.in
               ${CMAKE_BINARY_DIR}/packaging/deb_finish.cmake @ONLY)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_BINARY_DIR}/packaging/deb_finish.cmake)
include(CPack)
