# Installing the window program and its desktop integration, and a Debian
# package of everything installed (the command-line companion included).
include(GNUInstallDirs)

install(TARGETS ql5-updater RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES "${PROJECT_SOURCE_DIR}/resources/linux/ql5-updater.desktop"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES "${PROJECT_SOURCE_DIR}/resources/linux/com.tarvik.ql5_updater.metainfo.xml"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
foreach(size 16 32 48 64 128 256)
  install(FILES "${PROJECT_SOURCE_DIR}/resources/icons/ql5-updater-${size}.png"
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME ql5-updater.png)
endforeach()

# What Debian expects of a package beside the programs: the copyright in the
# machine-readable format, the changelog, manual pages (compressed, without
# timestamps, so the package is reproducible), and the command line's
# completion.
set(ql5_linux "${PROJECT_SOURCE_DIR}/resources/linux")
set(ql5_docs "${CMAKE_CURRENT_BINARY_DIR}/docs")
install(FILES "${ql5_linux}/copyright" DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/ql5-updater)
install(FILES "${ql5_linux}/ql5.bash-completion"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ql5)
find_program(GZIP_EXECUTABLE gzip REQUIRED)
add_custom_command(
  OUTPUT "${ql5_docs}/changelog.gz" "${ql5_docs}/ql5-updater.1.gz"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${ql5_docs}"
  COMMAND ${GZIP_EXECUTABLE} -9nc "${ql5_linux}/changelog" > "${ql5_docs}/changelog.gz"
  COMMAND ${GZIP_EXECUTABLE} -9nc "${ql5_linux}/ql5-updater.1" > "${ql5_docs}/ql5-updater.1.gz"
  DEPENDS "${ql5_linux}/changelog" "${ql5_linux}/ql5-updater.1"
  COMMENT "Compressing the changelog and ql5-updater(1)"
  VERBATIM)
set(ql5_doc_outputs "${ql5_docs}/changelog.gz" "${ql5_docs}/ql5-updater.1.gz")
install(FILES "${ql5_docs}/changelog.gz" DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/ql5-updater)
install(FILES "${ql5_docs}/ql5-updater.1.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# ql5(1) is made from the program's own --help and --version, so the two
# never disagree.
find_program(HELP2MAN_EXECUTABLE help2man)
# ql5 is defined later (cli/ comes after app/); targets resolve at generation.
if(HELP2MAN_EXECUTABLE AND NOT CMAKE_CROSSCOMPILING)
  add_custom_command(
    OUTPUT "${ql5_docs}/ql5.1.gz"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${ql5_docs}"
    COMMAND ${HELP2MAN_EXECUTABLE} --no-info --include "${ql5_linux}/ql5.h2m"
            --version-string "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}"
            --output "${ql5_docs}/ql5.1" $<TARGET_FILE:ql5>
    COMMAND ${GZIP_EXECUTABLE} -9nf "${ql5_docs}/ql5.1"
    DEPENDS ql5 "${ql5_linux}/ql5.h2m"
    COMMENT "Writing ql5(1) with help2man"
    VERBATIM)
  list(APPEND ql5_doc_outputs "${ql5_docs}/ql5.1.gz")
  install(FILES "${ql5_docs}/ql5.1.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man not found: the package will have no ql5(1) (scripts/deps.sh installs it)")
endif()
add_custom_target(ql5_package_docs ALL DEPENDS ${ql5_doc_outputs})

set(CPACK_PACKAGE_NAME "ql5-updater")
set(CPACK_PACKAGE_VENDOR "Tarvik")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater for the Tarvik QL-5 USB-MIDI unit")
# The extended description; CPack puts the summary above it and indents it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "ql5-updater finds the MIDI ports of a Tarvik QL-5, identifies the unit,
erases its flash and writes the firmware carried inside the program over
MIDI System Exclusive messages, block by block with checksums, and reads
back the versions the unit holds.

The package holds the window (ql5-updater) and its command-line companion
(ql5) for headless machines, scripts and service benches, with exit codes
and JSON output. Both can be tried without hardware against a built-in
virtual unit.")
set(CPACK_PACKAGE_CONTACT "Tarvik QL-5 updater maintainers <ql5-updater@example.invalid>")
set(CPACK_GENERATOR "DEB")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "sound")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-ipafont-gothic")
set(CPACK_STRIP_FILES ON)
include(CPack)
