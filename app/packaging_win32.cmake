# The Windows installer: both programs, the icon and the README, packed on
# the build machine by CPack's NSIS generator (makensis from Debian's nsis).
# cd build/windows && cpack  ->  build/windows/ql5-updater-<version>-win64.exe
install(TARGETS ql5-updater RUNTIME DESTINATION bin)
install(FILES "${PROJECT_SOURCE_DIR}/resources/icons/ql5-updater.ico" DESTINATION .)
install(FILES "${PROJECT_SOURCE_DIR}/README.md" DESTINATION . RENAME README.txt)

set(CPACK_PACKAGE_NAME "ql5-updater")
set(CPACK_PACKAGE_VENDOR "Tarvik")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater for the Tarvik QL-5 USB-MIDI unit")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "Tarvik QL-5 Updater")
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "Tarvik QL-5 Updater")
set(CPACK_SYSTEM_NAME "win64")
set(CPACK_GENERATOR "NSIS")
# Start-menu entry for the window; ql5.exe is for a command prompt.
set(CPACK_PACKAGE_EXECUTABLES "ql5-updater" "Tarvik QL-5 Updater")
set(CPACK_NSIS_DISPLAY_NAME "Tarvik QL-5 Updater ${PROJECT_VERSION}")
set(CPACK_NSIS_PACKAGE_NAME "Tarvik QL-5 Updater")
set(CPACK_NSIS_INSTALLED_ICON_NAME "bin\\\\ql5-updater.exe")
set(CPACK_NSIS_MUI_ICON "${PROJECT_SOURCE_DIR}/resources/icons/ql5-updater.ico")
set(CPACK_NSIS_MUI_UNIICON "${PROJECT_SOURCE_DIR}/resources/icons/ql5-updater.ico")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
# A 64-bit installer for 64-bit programs (and one that Wine's 64-bit loader
# runs); Debian's nsis ships the amd64 stubs.
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_NSIS_MODIFY_PATH OFF)
set(CPACK_STRIP_FILES ON)
include(CPack)
