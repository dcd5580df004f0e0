# What both MinGW-w64 toolchains share (Debian's g++-mingw-w64-*-posix);
# mingw-i686.cmake and mingw-x86_64.cmake set the processor first.
set(CMAKE_SYSTEM_NAME Windows)
set(ZAVIK_MINGW ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${ZAVIK_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZAVIK_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${ZAVIK_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZAVIK_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
