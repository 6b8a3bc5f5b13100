# Installation on Linux and the Debian package (cpack -G DEB).
#
# Tarvex finds libserchan.so and kbflash beside its own executable, so all
# three go into one private folder, lib/tarvex, with a launcher script on PATH;
# so does tarvexctl, the console program, which has a launcher and a manual
# page of its own.
# Every rule belongs to the component "tarvex" and the package takes only that
# component, so install rules added elsewhere (tests, simulator) never leak
# into it.
if(WIN32 OR APPLE)
  return()
endif()

set(TARVEX_PRIVATE_DIR lib/tarvex)
set(_pkg ${CMAKE_CURRENT_LIST_DIR}/../packaging)
cmake_path(NORMAL_PATH _pkg)

foreach(tgt IN ITEMS Tarvex tarvexctl serchan kbflash)
  if(TARGET ${tgt})
    # Nothing is found by RPATH: Qt, libudev and the X libraries live in the
    # system folders, and libserchan is opened by its full path.
    set_target_properties(${tgt} PROPERTIES INSTALL_RPATH "")
  endif()
endforeach()

if(TARGET Tarvex)
  install(TARGETS Tarvex RUNTIME DESTINATION ${TARVEX_PRIVATE_DIR} COMPONENT tarvex)
endif()
# Debian's manual pages are gzipped with -9n (no name or time stamp, so
# that the package builds the same every time).
function(tarvex_man_page name)
  set(_man ${CMAKE_BINARY_DIR}/man/${name}.1.gz)
  add_custom_command(OUTPUT ${_man}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${PROJECT_SOURCE_DIR}/docs/${name}.1 ${_man}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/${name}.1 VERBATIM)
  add_custom_target(${name}_man ALL DEPENDS ${_man})
  install(FILES ${_man} DESTINATION share/man/man1 COMPONENT tarvex)
endfunction()

if(TARGET tarvexctl)
  install(TARGETS tarvexctl RUNTIME DESTINATION ${TARVEX_PRIVATE_DIR} COMPONENT tarvex)
  install(PROGRAMS ${_pkg}/tarvexctl.sh DESTINATION bin RENAME tarvexctl COMPONENT tarvex)
  tarvex_man_page(tarvexctl)
endif()
if(TARGET Tarvex)
  tarvex_man_page(tarvex)
endif()
if(TARGET kbflash)
  install(TARGETS kbflash RUNTIME DESTINATION ${TARVEX_PRIVATE_DIR} COMPONENT tarvex)
endif()
if(TARGET serchan)
  # A plugin-like private library: plain 0644 as Debian expects of shared objects.
  install(TARGETS serchan LIBRARY DESTINATION ${TARVEX_PRIVATE_DIR} COMPONENT tarvex
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()

install(PROGRAMS ${_pkg}/tarvex.sh DESTINATION bin RENAME tarvex COMPONENT tarvex)
install(FILES ${_pkg}/tarvex.desktop DESTINATION share/applications COMPONENT tarvex)
install(FILES ${_pkg}/icons/tarvex.svg
  DESTINATION share/icons/hicolor/scalable/apps COMPONENT tarvex)
foreach(size IN ITEMS 48 256)
  install(FILES ${_pkg}/icons/tarvex-${size}.png
    DESTINATION share/icons/hicolor/${size}x${size}/apps RENAME tarvex.png COMPONENT tarvex)
endforeach()
# udev reads /usr/lib/udev/rules.d (and /usr/local/lib/udev/rules.d).
install(FILES ${_pkg}/70-zn480.rules DESTINATION lib/udev/rules.d COMPONENT tarvex)
install(FILES ${_pkg}/copyright DESTINATION share/doc/tarvex COMPONENT tarvex)
# Debian's package changelog, with the package's own version, gzipped as the
# manual pages are.
set(TARVEX_DEB_RELEASE 1)
set(TARVEX_DEB_VERSION ${PROJECT_VERSION}-${TARVEX_DEB_RELEASE})
configure_file(${_pkg}/changelog.Debian.in ${CMAKE_BINARY_DIR}/packaging/changelog.Debian @ONLY)
set(_changelog ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(OUTPUT ${_changelog}
  COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${CMAKE_BINARY_DIR}/packaging/changelog.Debian ${_changelog}
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.Debian VERBATIM)
add_custom_target(tarvex_deb_changelog ALL DEPENDS ${_changelog})
install(FILES ${_changelog} DESTINATION share/doc/tarvex COMPONENT tarvex)
# lintian's overrides, each with the reason it does not apply.
install(FILES ${_pkg}/lintian-overrides DESTINATION share/lintian/overrides RENAME tarvex COMPONENT tarvex)

# ---- Debian package -------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tarvex developers")
set(CPACK_PACKAGE_CONTACT "Tarvex developers <tarvex-dev@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "mode switch for ZN480 contactless card readers")
set(CPACK_PACKAGE_DESCRIPTION
  "Tarvex lists the ZN480 contactless card readers attached to the computer in
any of their USB personalities (PC/SC reader, CDC serial port, HID keyboard,
mass-storage drive) and switches a reader to another personality.
.
The package also holds tarvexctl, the same list and switches on the command
line, libserchan, the serial channel library that carries commands to a
reader in CDC personality, kbflash, the keyboard-LED tool that makes a
reader leave its HID personality, and udev rules that give the logged-in
user access to the reader and keep ModemManager away from it.")
# Only what the rules above install, into /usr.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};tarvex;/")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TARVEX_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps finds the linked libraries (Qt 6 Widgets, libudev1, libx11-6,
# libxtst6, libstdc++...). What is not linked must be named by hand: the PC/SC
# client library libpcsclite1 (opened at run time) and
# Qt's platform plugins, which libqt6gui6 only recommends but without which no
# window opens.
# pcscd and libccid are only recommended: three of the four personalities
# (CDC, HID, MSD) need neither, and a machine may use another PC/SC service;
# without the daemon the CCID readers are just not listed.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libpcsclite1, qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pcscd, libccid")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_pkg}/postinst ${_pkg}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

if(TARVEX_TEST_HOOKS)
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/refuse_test_hooks_package.cmake)
endif()

include(CPack)
