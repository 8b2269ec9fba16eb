# Cross-build for 64-bit Windows with Debian's mingw-w64 compiler in its posix
# thread model: the default (win32) model has no std::thread or std::mutex in
# GCC 12. Use: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ...
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KT_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KT_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KT_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KT_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KT_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained executable: the C++ runtime, libgcc and winpthread
# linked in, so nothing but system DLLs has to travel with it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
