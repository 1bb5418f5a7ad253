# Manual pages and the Debian package.
#
# dravel-cli's page is made at build time from its own --help (help2man),
# so it cannot drift from the program; dravel's page is written by hand.
# `cpack` in the build folder (scripts/package) makes
# dravel_<version>_amd64.deb with the dependencies computed from the
# binaries.

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
if(TARGET dravel)
  install(FILES ${PROJECT_SOURCE_DIR}/res/man/dravel.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_PACKAGE_NAME dravel)
set(CPACK_PACKAGE_VENDOR "dravel")
set(CPACK_PACKAGE_CONTACT "dravel developers <dravel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware download to a device over an RS-232 serial line")
set(CPACK_PACKAGE_DESCRIPTION
    "dravel sends a firmware image to an embedded device's loader over a serial line, in CRC-32 protected frames, one frame and one answer at a time. It comes as a desktop program (dravel) and a command line for scripts and production lines (dravel-cli).")
set(CPACK_STRIP_FILES ON)
if(NOT WIN32)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "")
endif()
include(CPack)
