# The layers' link checks. Each layer's library is linked whole into a program
# of its own together with nothing but the layers below it, so a function that
# calls a layer above (or beside) it fails to link, here, in every build.
# The core and the layers on it reach the window only through the view
# (core/view.h), which each front end defines; their checks take the view
# from layer_links/view.cpp. The portable user interface is the top layer:
# only its front ends lie above it, and they are the programs themselves.
#
#   zavik_os        the system (clock, events, threads)
#   zavik_sim       the simulated console's model
#   zavik_devices   the serial device            zavik_sockets  the socket library
#   zavik_core      the link core, over the view
#   zavik_net       the UDP endpoint             zavik_serial   the port and its thread
#   zavik_ui        the panel and the dialogs
if(WIN32)
  set(system_libs user32 kernel32 wsock32 winmm)
else()
  set(system_libs "")
endif()
set(main ${CMAKE_SOURCE_DIR}/cmake/layer_links/main.cpp)
set(view ${CMAKE_SOURCE_DIR}/cmake/layer_links/view.cpp)

function(zavik_layer_links layer)
  cmake_parse_arguments(arg "VIEW" "" "BELOW" ${ARGN})
  set(sources ${main})
  if(arg_VIEW)
    list(APPEND sources ${view})
  endif()
  add_executable(${layer}_links ${sources})
  target_link_libraries(${layer}_links
    "$<LINK_LIBRARY:WHOLE_ARCHIVE,${layer}>" ${arg_BELOW} ${system_libs})
endfunction()

zavik_layer_links(zavik_os)
zavik_layer_links(zavik_sim)
zavik_layer_links(zavik_devices BELOW zavik_sim zavik_os)
zavik_layer_links(zavik_sockets BELOW zavik_os)
zavik_layer_links(zavik_core VIEW BELOW ${ZAVIK_SYSTEM})
zavik_layer_links(zavik_net VIEW BELOW zavik_core ${ZAVIK_SYSTEM})
zavik_layer_links(zavik_serial VIEW BELOW zavik_core ${ZAVIK_SYSTEM})
