# Cross-build for Windows with the mingw-w64 -posix compilers (std::thread and std::mutex need the
# winpthreads variant). PALLATON_WINDOWS_ARCH picks the machine: i686 (the shipped 32-bit
# program) or x86_64. Tests run under Wine through the cross-compiling emulator.
if(NOT PALLATON_WINDOWS_ARCH)
    set(PALLATON_WINDOWS_ARCH x86_64)
endif()
set(PALLATON_WINDOWS_ARCH ${PALLATON_WINDOWS_ARCH} CACHE STRING "i686 or x86_64")
set(triplet ${PALLATON_WINDOWS_ARCH}-w64-mingw32)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${PALLATON_WINDOWS_ARCH})

set(CMAKE_C_COMPILER ${triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${triplet}-windres)

# On 32-bit x86, floating point in SSE2 registers as Microsoft's compiler does by default (and as
# on x64): the x87 unit's 80-bit intermediates would round differently, 0.3 * 100 becoming 29.
if(PALLATON_WINDOWS_ARCH STREQUAL "i686")
    set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
    set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR env WINEDEBUG=-all wine)
