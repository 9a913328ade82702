# Building Zent's libraries for the browser (WebAssembly) with Debian's
# emscripten. The codec libraries come from the prefix
# scripts/build-web-deps.sh fills (ZENT_WEB_PREFIX, default build-web/prefix),
# linked statically into the one module; the emscripten ports are not used.
# Configure checks that run a test program (a type's size, say) run it under
# Node.js; this emscripten's loader must not take Node's fetch for a browser's.
find_program(ZENT_NODE NAMES node nodejs REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${ZENT_NODE};--no-experimental-fetch")
include(/usr/share/emscripten/cmake/Modules/Platform/Emscripten.cmake)

if(NOT ZENT_WEB_PREFIX)
  if(DEFINED ENV{ZENT_WEB_PREFIX})
    set(ZENT_WEB_PREFIX $ENV{ZENT_WEB_PREFIX})
  else()
    get_filename_component(ZENT_WEB_PREFIX ${CMAKE_CURRENT_LIST_DIR}/../build-web/prefix ABSOLUTE)
  endif()
endif()
# try_compile projects read the toolchain file again and need the prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZENT_WEB_PREFIX)
list(APPEND CMAKE_FIND_ROOT_PATH ${ZENT_WEB_PREFIX})
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)

# pkg-config looks only inside the prefix.
set(ENV{PKG_CONFIG_LIBDIR} ${ZENT_WEB_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(PKG_CONFIG_USE_STATIC_LIBS ON)

# setjmp and longjmp as WebAssembly exception handling, the way the module is
# linked: libpng, libtiff's JPEG codecs and libmng leave errors by longjmp.
set(CMAKE_C_FLAGS_INIT "-sSUPPORT_LONGJMP=wasm")
set(CMAKE_CXX_FLAGS_INIT "-sSUPPORT_LONGJMP=wasm")

# -O2 like the Linux build.
set(CMAKE_C_FLAGS_RELEASE_INIT "-O2 -DNDEBUG")
set(CMAKE_CXX_FLAGS_RELEASE_INIT "-O2 -DNDEBUG")
