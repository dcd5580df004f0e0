# The Windows program, zavik.exe, and the two Windows programs of the Wine
# tests: zavik_wintest.exe (the panel and the dialogs from the real resources)
# and zavik_driver.exe (starts a zavik.exe and works it through its window,
# with zavik-headless's commands).

# The resource script goes straight to windres: the C++ warning options of the
# project are not for it.
set(ZAVIK_RC ${CMAKE_SOURCE_DIR}/src/ui/win32/zavik.rc)
set(ZAVIK_RES ${CMAKE_BINARY_DIR}/zavik_res.o)
add_custom_command(
  OUTPUT ${ZAVIK_RES}
  COMMAND ${CMAKE_RC_COMPILER} --include-dir=${CMAKE_SOURCE_DIR}/src/ui/win32
          --include-dir=${CMAKE_SOURCE_DIR}/src
          -O coff -i ${ZAVIK_RC} -o ${ZAVIK_RES}
  DEPENDS ${ZAVIK_RC} ${CMAKE_SOURCE_DIR}/src/ui/resource.h
          ${CMAKE_SOURCE_DIR}/src/core/button_ids.h ${CMAKE_SOURCE_DIR}/src/core/counter_ids.h
          ${CMAKE_SOURCE_DIR}/src/ui/win32/zavik.ico
  COMMENT "Compiling the resource script"
  VERBATIM)
set_source_files_properties(${ZAVIK_RES} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)

set(ZAVIK_WIN32_LIBS user32 kernel32 wsock32 winmm)

add_executable(zavik WIN32 src/ui/win32/main.cpp ${ZAVIK_RES})
target_link_libraries(zavik zavik_win32_ui ${ZAVIK_LAYERS} ${ZAVIK_SYSTEM} ${ZAVIK_WIN32_LIBS})
target_link_options(zavik PRIVATE $<$<CONFIG:Release,MinSizeRel>:-s>)

add_executable(zavik_wintest tests/wine/panel_test.cpp tests/wine/port_test.cpp ${ZAVIK_RES})
target_include_directories(zavik_wintest PRIVATE tests)
target_link_libraries(zavik_wintest zavik_win32_ui ${ZAVIK_LAYERS} ${ZAVIK_SYSTEM} ${ZAVIK_WIN32_LIBS})

add_executable(zavik_driver tests/wine/driver.cpp)
target_include_directories(zavik_driver PRIVATE src)
target_compile_definitions(zavik_driver PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0501)
target_link_libraries(zavik_driver user32 kernel32)
