# Installing chain-tuner, yellow-fixer and tune-session to /usr/sbin with their manual pages
# and the init script example, and the packages CPack makes of them: a .deb for the
# target's architecture, and for the static builds also a .tar.gz. The .tar.gz is for
# boards without dpkg and carries only the component "board": the programs, the init
# script example and the copyright notice.
include(GNUInstallDirs)
set(_package miner-autotune)
set(_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_package})

install(TARGETS chain-tuner yellow-fixer tune-session RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR}
        COMPONENT board)
install(FILES "${CMAKE_SOURCE_DIR}/examples/S95tune-session" DESTINATION ${_docdir}/examples
        COMPONENT board)
install(FILES "${CMAKE_SOURCE_DIR}/packaging/copyright" DESTINATION ${_docdir} COMPONENT board)

if(NOT TUNE_PROGRAMS_ONLY)
  # What an operator copies: the collection script, the alert rules with their tests, the
  # dashboard, the Alertmanager routes.
  install(FILES "${CMAKE_SOURCE_DIR}/examples/collect-boards" DESTINATION ${_docdir}/examples
          COMPONENT package)
  install(DIRECTORY "${CMAKE_SOURCE_DIR}/examples/prometheus" "${CMAKE_SOURCE_DIR}/examples/grafana"
                    "${CMAKE_SOURCE_DIR}/examples/alertmanager"
          DESTINATION ${_docdir}/examples COMPONENT package)
endif()

set(_compressed "")
set(_pages chain-tuner.8 yellow-fixer.8 tune-session.8)
if(NOT TUNE_PROGRAMS_ONLY)
  list(APPEND _pages tune-rehearse.1)  # the operators' tool goes with the full build only
endif()
foreach(page ${_pages})
  set(_out "${CMAKE_BINARY_DIR}/man/${page}.gz")
  add_custom_command(OUTPUT "${_out}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_BINARY_DIR}/man"
    COMMAND gzip -9n -c "${CMAKE_SOURCE_DIR}/man/${page}" > "${_out}"
    DEPENDS "${CMAKE_SOURCE_DIR}/man/${page}" VERBATIM)
  list(APPEND _compressed "${_out}")
endforeach()
set(_changelog "${CMAKE_BINARY_DIR}/packaging/changelog.gz")
add_custom_command(OUTPUT "${_changelog}"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_BINARY_DIR}/packaging"
  COMMAND gzip -9n -c "${CMAKE_SOURCE_DIR}/packaging/changelog" > "${_changelog}"
  DEPENDS "${CMAKE_SOURCE_DIR}/packaging/changelog" VERBATIM)
add_custom_target(package-docs ALL DEPENDS ${_compressed} "${_changelog}")
foreach(page ${_compressed})
  string(REGEX MATCH "[0-9]\\.gz$" _section "${page}")
  string(SUBSTRING "${_section}" 0 1 _section)
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${_section} COMPONENT package)
endforeach()
install(FILES "${_changelog}" DESTINATION ${_docdir} COMPONENT package)
if(TUNE_STATIC)
  install(FILES "${CMAKE_SOURCE_DIR}/packaging/lintian-overrides"
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${_package}
          COMPONENT package)
endif()

set(CPACK_PACKAGE_NAME ${_package})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "miner-autotune developers")
set(CPACK_PACKAGE_CONTACT "miner-autotune developers <tuning@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "chain and chip tuning programs for a mining machine")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The synopsis comes from the summary; this is the extended description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "chain-tuner tunes the miner's per-chain voltages and \
frequencies\nover miner restarts, then yellow-fixer lowers weak chips one by one.\nBoth run \
unattended on the machine's controller board and steer the miner\nonly through its files, \
its restart trigger and its statistics command.\ntune-session runs one tuning from start to \
end, one at a time, going on\nafter any interruption, with the miner's files saved before it \
and an undo.")
if(NOT TUNE_PROGRAMS_ONLY)
  string(APPEND CPACK_DEBIAN_PACKAGE_DESCRIPTION "\nThis build also carries tune-rehearse, which \
rehearses a tuning on a\nsimulated machine and reports on boards' files, one board or a farm.")
endif()
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_SOURCE_DIR}/cmake/cpack_per_generator.cmake")
if(TUNE_STATIC)
  set(CPACK_GENERATOR "DEB;TGZ")
  if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
  set(CPACK_PACKAGE_FILE_NAME
      "${_package}-${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}-static")
else()
  set(CPACK_GENERATOR "DEB")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
