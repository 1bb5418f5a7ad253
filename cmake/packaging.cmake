# Manual pages and the Debian package; for Windows, the installer and a zip.
#
# dravel-cli's page is made at build time from its own --help (help2man),
# so it cannot drift from the program; dravel's page is written by hand.
# `cpack` in the build folder (scripts/package) makes
# dravel_<version>_amd64.deb with the dependencies computed from the
# binaries. In the Windows build (scripts/windows) it makes
# dravel-<version>-win64.exe, an NSIS installer, and dravel-<version>-win64.zip.

include(GNUInstallDirs)

find_program(DRAVEL_HELP2MAN help2man)
set(dravel_man_dir ${CMAKE_BINARY_DIR}/man)
if(DRAVEL_HELP2MAN AND TARGET dravel-cli AND NOT CMAKE_CROSSCOMPILING)
  add_custom_command(
    OUTPUT ${dravel_man_dir}/dravel-cli.1
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dravel_man_dir}
    COMMAND ${DRAVEL_HELP2MAN} --no-info --section=1 --source=dravel
            --name=${CMAKE_PROJECT_DESCRIPTION}
            --include=${PROJECT_SOURCE_DIR}/res/man/dravel-cli.h2m
            --output=${dravel_man_dir}/dravel-cli.1 $<TARGET_FILE:dravel-cli>
    DEPENDS dravel-cli ${PROJECT_SOURCE_DIR}/res/man/dravel-cli.h2m
    COMMENT "Manual page of dravel-cli from its --help"
    VERBATIM)
  add_custom_target(dravel_man ALL DEPENDS ${dravel_man_dir}/dravel-cli.1)
  install(FILES ${dravel_man_dir}/dravel-cli.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
if(TARGET dravel AND NOT WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/res/man/dravel.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_PACKAGE_NAME dravel)
set(CPACK_PACKAGE_VENDOR "dravel")
set(CPACK_PACKAGE_CONTACT "dravel developers <dravel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware download to a device over an RS-232 serial line")
set(CPACK_PACKAGE_DESCRIPTION
    "dravel sends a firmware image to an embedded device's loader over a serial line, in CRC-32 protected frames, one frame and one answer at a time. It comes as a desktop program (dravel) and a command line for scripts and production lines (dravel-cli).")
set(CPACK_STRIP_FILES ON)
# Values reach the generators as written (the installer's script has quotes
# and backslashes of its own).
set(CPACK_VERBATIM_VARIABLES ON)
if(NOT WIN32)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "")
else()
  # Both programs in one folder, a Start-menu shortcut for dravel and the
  # uninstaller; the registry gets only the uninstall entry Windows lists
  # programs by, and the uninstaller removes it with the rest.
  set(CPACK_GENERATOR NSIS ZIP)
  set(CPACK_PACKAGE_FILE_NAME dravel-${PROJECT_VERSION}-win64)
  set(CPACK_PACKAGE_INSTALL_DIRECTORY dravel)
  set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY dravel)
  set(CPACK_PACKAGE_EXECUTABLES dravel dravel)
  set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
  set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
  set(CPACK_NSIS_PACKAGE_NAME dravel)  # also the Start-menu folder
  set(CPACK_NSIS_DISPLAY_NAME "dravel ${PROJECT_VERSION}")
  set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/res/dravel.ico)
  set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/res/dravel.ico)
  set(CPACK_NSIS_INSTALLED_ICON_NAME dravel.exe)
  set(CPACK_NSIS_MODIFY_PATH OFF)
  set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
  set(CPACK_NSIS_MANIFEST_DPI_AWARE ON)
  set(CPACK_NSIS_COMPRESSOR lzma)
  # A 64-bit installer for the 64-bit programs: it runs where they run
  # (a Windows, or a Wine, without 32-bit support) and sees the real
  # Program Files. The uninstaller also takes away the vendor key that the
  # installer's registry key lies in, once nothing else is in it.
  set(CPACK_NSIS_DEFINES "Target amd64-unicode
Function un.onUninstSuccess
  DeleteRegKey /ifempty SHCTX \"Software\\${CPACK_PACKAGE_VENDOR}\"
FunctionEnd")
endif()
include(CPack)
