# Cross-compiling Zent for 64-bit Windows with Debian's mingw-w64 toolchain.
# The codec libraries come from the prefix scripts/build-windows-deps.sh
# fills (ZENT_WIN_PREFIX, default build-win/prefix), linked statically so
# zent.exe needs no DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZENT_MINGW_TRIPLE x86_64-w64-mingw32)
# The posix thread model: GoogleTest and std::thread need it.
set(CMAKE_C_COMPILER ${ZENT_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZENT_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZENT_MINGW_TRIPLE}-windres)

if(NOT ZENT_WIN_PREFIX)
  if(DEFINED ENV{ZENT_WIN_PREFIX})
    set(ZENT_WIN_PREFIX $ENV{ZENT_WIN_PREFIX})
  else()
    get_filename_component(ZENT_WIN_PREFIX ${CMAKE_CURRENT_LIST_DIR}/../build-win/prefix ABSOLUTE)
  endif()
endif()
# try_compile projects read the toolchain file again and need the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZENT_WIN_PREFIX)

set(CMAKE_FIND_ROOT_PATH ${ZENT_WIN_PREFIX} /usr/${ZENT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static archives only: a DLL import library must never win.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)

# pkg-config looks only inside the Windows prefix.
set(ENV{PKG_CONFIG_LIBDIR} ${ZENT_WIN_PREFIX}/lib/pkgconfig:/usr/${ZENT_MINGW_TRIPLE}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(PKG_CONFIG_USE_STATIC_LIBS ON)

# -O2 like the Linux build: gcc 12's -O3 inlining raises false -Warray-bounds
# reports on vector inserts in the test fixtures.
set(CMAKE_C_FLAGS_RELEASE_INIT "-O2 -DNDEBUG")
set(CMAKE_CXX_FLAGS_RELEASE_INIT "-O2 -DNDEBUG")

# One self-contained executable: the C and C++ runtimes linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test executables run under Wine.
find_program(ZENT_WINE NAMES wine64 wine)
if(ZENT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZENT_WINE})
endif()
