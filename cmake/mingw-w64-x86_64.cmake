# Cross-building for 64-bit Windows with Debian's mingw-w64, and running the
# results under Wine:
#
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# The posix thread model is the one in which <thread>, <mutex> and <future>
# exist; the win32 one (the plain x86_64-w64-mingw32-g++) has none of them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(DRAVEL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${DRAVEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DRAVEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${DRAVEL_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${DRAVEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One .exe without the compiler's DLLs beside it (libstdc++, libgcc,
# libwinpthread), so it runs wherever it is copied.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Tests (and the listing of GoogleTest cases) run under Wine in a prefix of
# the build's own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
