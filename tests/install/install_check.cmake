# Installs the build into a scratch DESTDIR and checks that every installed file is where a
# packager expects it, and that the unit starts the installed relay.
# Run with -DBUILD_DIR=... -DSCRATCH=... -DEXPECTED_VERSION=...
file(REMOVE_RECURSE "${SCRATCH}")
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${SCRATCH}
          ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /usr
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${status}):\n${output}")
endif()

set(expected
    usr/bin/kiv-relay
    usr/bin/kiv
    usr/share/man/man1/kiv-relay.1
    usr/share/man/man1/kiv.1
    usr/share/man/man3/kiv.3
    usr/lib/systemd/system/kiv-relay.service
    usr/lib/systemd/system/kiv-relay@.service
    usr/share/doc/kiv-relay/copyright
    usr/include/kiv/client/kiv_client.hpp
    usr/include/kiv/wire/protocol.hpp
    usr/include/kiv/wire/room_code.hpp
    usr/include/kiv/wire/addr_text.hpp
    usr/include/kiv/client/resolve.hpp
    usr/include/kiv/client/roster.hpp
    usr/include/kiv/wire/peer.hpp
    usr/include/kiv/wire/values.hpp
    usr/include/kiv/net/segments.hpp
    usr/include/kiv/client/errors.hpp
    usr/include/kiv/client/events.hpp
    usr/include/kiv/client/retry.hpp
    usr/include/kiv/client/transport.hpp
    usr/include/kiv/client/link.hpp
    usr/include/kiv/client/host_session.hpp
    usr/include/kiv/client/client_session.hpp
    usr/include/kiv/client/pinger_session.hpp
    usr/include/kiv/client/host_check.hpp
    usr/include/kiv/client/direct_routes.hpp
    usr/include/kiv/client/direct_path.hpp
    usr/include/kiv/kiv_client.hpp
    usr/include/kiv.h)
file(GLOB_RECURSE libraries RELATIVE "${SCRATCH}" "${SCRATCH}/usr/lib/*.a"
     "${SCRATCH}/usr/lib/*.so*" "${SCRATCH}/usr/lib/*/kiv.pc" "${SCRATCH}/usr/lib/*/kivConfig.cmake")
list(LENGTH libraries found)
if(NOT found EQUAL 8)
  message(FATAL_ERROR "expected three static libraries, libkiv.so with its two links, kiv.pc and "
                      "kivConfig.cmake, got: ${libraries}")
endif()
foreach(path IN LISTS expected)
  if(NOT EXISTS "${SCRATCH}/${path}")
    message(FATAL_ERROR "not installed: /${path}\n${output}")
  endif()
endforeach()

file(READ "${SCRATCH}/usr/lib/systemd/system/kiv-relay.service" unit)
foreach(line "ExecStart=/usr/bin/kiv-relay --hand-over \${KIV_RELAY_PORT}" "DynamicUser=yes"
             "NoNewPrivileges=yes" "ProtectSystem=strict" "PrivateTmp=yes"
             "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX" "Restart=on-failure"
             "StandardOutput=journal" "ExecReload=/bin/kill -HUP $MAINPID"
             "FileDescriptorStoreMax=2" "NotifyAccess=main")
  string(FIND "${unit}" "${line}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the unit lacks '${line}':\n${unit}")
  endif()
endforeach()

foreach(program kiv kiv-relay)
  execute_process(COMMAND "${SCRATCH}/usr/bin/${program}" --version
                  RESULT_VARIABLE status OUTPUT_VARIABLE version)
  if(NOT status EQUAL 0 OR NOT version STREQUAL "${program} ${EXPECTED_VERSION}\n")
    message(FATAL_ERROR "installed ${program} --version gave (${status}) '${version}'")
  endif()
endforeach()

# Where systemd's own checker is at hand, the unit must pass it without a word: it warns
# about unknown keys and missing programs but still exits 0, so its output is what counts.
# It needs the relay at the path ExecStart names, hence an install under a real prefix.
find_program(SYSTEMD_ANALYZE systemd-analyze)
if(SYSTEMD_ANALYZE)
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${SCRATCH}/prefix
                  RESULT_VARIABLE status OUTPUT_QUIET)
  # --man=no: whether man(1) finds the pages depends on the machine; they are checked above.
  foreach(unit kiv-relay.service kiv-relay@.service)
    execute_process(
      COMMAND ${SYSTEMD_ANALYZE} verify --man=no ${SCRATCH}/prefix/lib/systemd/system/${unit}
      RESULT_VARIABLE status OUTPUT_VARIABLE said ERROR_VARIABLE said)
    if(NOT status EQUAL 0 OR NOT said STREQUAL "")
      message(FATAL_ERROR "systemd-analyze verify ${unit} (${status}):\n${said}")
    endif()
  endforeach()
else()
  message(STATUS "systemd-analyze not found: the unit was not verified")
endif()
file(REMOVE_RECURSE "${SCRATCH}")
