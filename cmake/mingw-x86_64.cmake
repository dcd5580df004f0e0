# 64-bit Windows with MinGW-w64 (Debian's g++-mingw-w64-x86-64-posix): the same
# sources as a test vehicle, for hosts that run no 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
