# Cross build for 64-bit Windows with MinGW-w64 (the posix-threads variant, so that std::thread
# and std::mutex work). The C and C++ runtimes and winpthread are linked statically: the programs
# need nothing but Windows' own DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KELP_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KELP_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELP_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KELP_MINGW_TRIPLE}-windres)

# Only the cross sysroot is searched for libraries and headers; programs come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KELP_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine (see cmake/wine-run.sh).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
