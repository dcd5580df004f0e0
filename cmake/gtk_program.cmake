# zavik-gtk, the Linux desktop window, with its icon and desktop entry and
# their install rules. ZAVIK_GTK: AUTO builds it when GTK 3 is there, ON
# requires GTK 3 (a configure without it fails; scripts/test sets it), OFF
# leaves it out. The front end is an object library, so that the test program
# links the very same code.
set(ZAVIK_GTK AUTO CACHE STRING "Build zavik-gtk: AUTO (when GTK 3 is found), ON (required) or OFF")
if(ZAVIK_GTK STREQUAL "AUTO")
  set(required FALSE)
elseif(ZAVIK_GTK)
  set(required TRUE)
else()
  return()
endif()
find_package(PkgConfig)
if(PkgConfig_FOUND)
  pkg_check_modules(GTK3 IMPORTED_TARGET gtk+-3.0)
endif()
find_program(GLIB_COMPILE_RESOURCES glib-compile-resources)
if(NOT GTK3_FOUND OR NOT GLIB_COMPILE_RESOURCES)
  if(required)
    message(FATAL_ERROR "zavik-gtk needs GTK 3 (Debian: libgtk-3-dev; scripts/install-deps installs it)")
  endif()
  message(STATUS "GTK 3 not found: zavik-gtk is not built")
  return()
endif()

# The window icon, built into the program.
set(icons ${CMAKE_SOURCE_DIR}/src/ui/gtk/icons)
set(resources ${CMAKE_BINARY_DIR}/zavik_gtk_resources.c)
add_custom_command(
  OUTPUT ${resources}
  COMMAND ${GLIB_COMPILE_RESOURCES} --sourcedir=${icons} --generate-source --target=${resources}
          ${icons}/zavik.gresource.xml
  DEPENDS ${icons}/zavik.gresource.xml ${icons}/zavik-32.png ${icons}/zavik-64.png
          ${icons}/zavik-256.png
  COMMENT "Compiling the window icon into a resource"
  VERBATIM)
enable_language(C)

add_library(zavik_gtk_ui OBJECT
  src/ui/gtk/dialogs_gtk.cpp
  src/ui/gtk/loop_gtk.cpp
  src/ui/gtk/panel_gtk.cpp
  src/ui/posix/process_ends.cpp
  ${resources})
target_include_directories(zavik_gtk_ui PUBLIC src)
target_link_libraries(zavik_gtk_ui PUBLIC PkgConfig::GTK3)

add_executable(zavik-gtk src/ui/gtk/main.cpp)
target_link_libraries(zavik-gtk zavik_gtk_ui ${ZAVIK_LAYERS} ${ZAVIK_SYSTEM})

include(GNUInstallDirs)
install(TARGETS zavik-gtk RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT gtk)
install(FILES src/ui/gtk/zavik-gtk.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
        COMPONENT gtk)
foreach(size 32 64 256)
  install(FILES ${icons}/zavik-${size}.png RENAME zavik.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps COMPONENT gtk)
endforeach()
install(FILES ${icons}/zavik.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        COMPONENT gtk)
