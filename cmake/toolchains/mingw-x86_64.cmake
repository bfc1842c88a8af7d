# Cross build for 64-bit Windows with Debian's mingw-w64 compilers. The posix thread
# model is the one whose C++ runtime has std::thread and std::mutex.
#   cmake -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-x86_64.cmake -S . -B build-win64
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MOX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MOX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MOX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MOX_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${MOX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages also outside the compiler's root: a host finds an installed
# Windows build of ours wherever CMAKE_PREFIX_PATH says it lies.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# Tests run the Windows programs under wine, in the prefix WINEPREFIX names.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../../scripts/wine-run.sh)
