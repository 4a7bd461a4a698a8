# cmake/mingw-w64.cmake: cross-builds the Windows tarnLoader.exe on Linux with mingw-w64, and
# runs its tests under Wine. Use with -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The -posix compilers: the -win32 thread model lacks std::thread, which GoogleTest needs.
set(TARNLOADER_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARNLOADER_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARNLOADER_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TARNLOADER_MINGW_TRIPLET}-windres)

# Look for headers, libraries and packages only among those built for Windows, never in the
# host's /usr, where a Linux GoogleTest may also be installed. Prefixes given in
# CMAKE_PREFIX_PATH or GTEST_ROOT (GoogleTest from scripts/build-googletest-mingw.sh) count
# as Windows ones.
set(CMAKE_FIND_ROOT_PATH /usr/${TARNLOADER_MINGW_TRIPLET} ${CMAKE_PREFIX_PATH} ${GTEST_ROOT}
                         $ENV{GTEST_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A standalone program: the C++ runtime, libgcc and winpthreads are linked in, so the .exe
# imports only system DLLs (KERNEL32, ADVAPI32, msvcrt, WS2_32, Secur32, CRYPT32, ncrypt, ole32,
# OLEAUT32) and runs from any folder.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest and GoogleTest's test discovery run the .exe files through Wine. Without Wine the
# .exe still builds; only running the tests needs it.
find_program(TARNLOADER_WINE NAMES wine wine64)
if(TARNLOADER_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${TARNLOADER_WINE})
endif()
