# Cross build for 64-bit Windows with Debian's mingw-w64 (the posix thread model, so that
# std::thread and std::mutex work). scripts/cross-windows passes this file; wine64 runs what
# the build produces (tests and discovery of their cases).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 7 is the oldest system the tool is meant for.
# _POSIX_THREAD_SAFE_FUNCTIONS: the C runtime's localtime_r and gmtime_r;
# __USE_MINGW_ANSI_STDIO: mingw's printf family, which formats %zu, %lld and %hhu as on Linux.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX
                        _POSIX_THREAD_SAFE_FUNCTIONS=200112L __USE_MINGW_ANSI_STDIO=1)
# GCC 12's -Wrestrict misfires inside libstdc++'s string concatenation when inlined for this
# target (GCC bug 105329); the Linux build keeps the warning.
add_compile_options(-Wno-restrict)

if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(DRAVLIN_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
  find_program(DRAVLIN_WINE64 NAMES wine64)
  if(DRAVLIN_WINE64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${DRAVLIN_WINE64})
  endif()
endif()

# Libraries built for the target (TinyXML from Debian's source package) are found through
# their pkg-config files under DRAVLIN_WINDOWS_DEPS, never the build machine's own.
if(NOT DRAVLIN_WINDOWS_DEPS)
  set(DRAVLIN_WINDOWS_DEPS /usr/${_mingw})
endif()
# try_compile reads this file again in the same process: it must see the same folder.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DRAVLIN_WINDOWS_DEPS)
set(ENV{PKG_CONFIG_LIBDIR} ${DRAVLIN_WINDOWS_DEPS}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
list(APPEND CMAKE_FIND_ROOT_PATH ${DRAVLIN_WINDOWS_DEPS})
