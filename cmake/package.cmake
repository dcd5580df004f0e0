# Install rules and packages (scripts/package).
#
# Linux: two Debian packages made by CPack from the install rules of their
# components. "zavik" (component cli): zavik and zavik-headless, the man page,
# the systemd unit template zavik-listen@.service. "zavik-gtk" (component
# gtk, from cmake/gtk_program.cmake): the desktop window, its entry and icons,
# apart so that a machine without a desktop installs no GTK. Each package's
# Depends come from dpkg-shlibdeps.
#
# Windows (the 32-bit build, the one that ships): a zip of zavik.exe and
# README.txt (CRLF).
include(GNUInstallDirs)
set(CPACK_PACKAGE_NAME zavik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Zavik")
set(CPACK_PACKAGE_CONTACT "Zavik developers <zavik@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "joins game consoles' serial link-cable traffic across the internet")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(readme ${CMAKE_BINARY_DIR}/README.txt)
  configure_file(packaging/windows/README.txt ${readme} @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS zavik RUNTIME DESTINATION . COMPONENT windows)
  install(FILES ${readme} DESTINATION . COMPONENT windows)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  set(CPACK_COMPONENTS_ALL windows)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME zavik-${PROJECT_VERSION}-windows-x64) # the test build
  else()
    set(CPACK_PACKAGE_FILE_NAME zavik-${PROJECT_VERSION}-windows-x86)
  endif()
  include(CPack)
  return()
endif()

install(TARGETS zavik zavik-headless RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)
set(man ${CMAKE_BINARY_DIR}/zavik.1)
configure_file(docs/zavik.1 ${man} @ONLY)
add_custom_command(OUTPUT ${man}.gz COMMAND gzip -9n -c ${man} > ${man}.gz DEPENDS ${man}
                   COMMENT "Compressing the man page" VERBATIM)
add_custom_target(zavik_man ALL DEPENDS ${man}.gz)
install(FILES ${man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT cli)
install(FILES packaging/linux/zavik-listen@.service DESTINATION lib/systemd/system COMPONENT cli)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli)
if(TARGET zavik-gtk)
  list(APPEND CPACK_COMPONENTS_ALL gtk)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_CLI_PACKAGE_NAME zavik)
# The synopsis is the package summary above; these are the long descriptions.
set(CPACK_DEBIAN_CLI_DESCRIPTION "Each PC has a game console on its serial port; zavik reads the console's
packets and sends them to a second copy of the program as UDP datagrams, and
writes the peer's packets to its own console. This package has the command
zavik (listen, connect, ports), zavik-headless (driven by commands on
standard input) and a systemd unit template, zavik-listen@.service.")
set(CPACK_DEBIAN_GTK_PACKAGE_NAME zavik-gtk)
set(CPACK_DEBIAN_GTK_PACKAGE_SECTION games)
set(CPACK_DEBIAN_GTK_DESCRIPTION "The window of Zavik for a Linux desktop: the log, the buttons Settings...,
Connect... and Listen, the counters and the two dialogs, with a desktop entry
and icons.")
include(CPack)
