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

set(CPACK_PACKAGE_NAME "ql5-updater")
set(CPACK_PACKAGE_VENDOR "Tarvik")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater for the Tarvik QL-5 USB-MIDI unit")
set(CPACK_PACKAGE_CONTACT "Tarvik QL-5 updater maintainers <ql5-updater@example.invalid>")
set(CPACK_GENERATOR "DEB")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "sound")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-ipafont-gothic")
set(CPACK_STRIP_FILES ON)
include(CPack)
