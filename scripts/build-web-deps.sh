#!/usr/bin/env bash
# Builds the codec libraries the web page's module links, for WebAssembly
# with Debian's emscripten, from Debian's source packages into a local prefix
# (static archives only; no emscripten ports, which would download).
# Usage: scripts/build-web-deps.sh [build-web folder]
# Idempotent: a library whose stamp file exists in the prefix is skipped, so a
# second run costs seconds. Remove build-web/prefix/stamps/<lib> to rebuild one.
# cairo (WMF/EMF) is not built: the web module is configured without the
# metafile player and refuses those files with its message.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-"$root/build-web"}
mkdir -p "$work"
work=$(cd "$work" && pwd)
prefix="$work/prefix"
src="$work/src"
jobs=2
toolchain="$root/cmake/emscripten-web.cmake"
mkdir -p "$prefix/stamps" "$src"

# This emscripten's optimiser looks for Debian's acorn module.
export NODE_PATH=/usr/share/nodejs
# Debian's emscripten runs on Debian's Python (not a python3 earlier in PATH).
export EMSDK_PYTHON=/usr/bin/python3
export PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig"
export EM_PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
export PKG_CONFIG_PATH=""
export CC=emcc CXX=em++ AR=emar RANLIB=emranlib

deps_tag=web-deps
setup_script=setup-web.sh
prefix_define=ZENT_WEB_PREFIX
# shellcheck source=scripts/deps-common.sh
source "$root/scripts/deps-common.sh"

# Keeps the Debian copyright file of a package for the page's licence list.
# (An upstream tarball has no debian/ folder: its own licence file instead.)
licence() {
    local name=$1 dir=$2 f
    mkdir -p "$prefix/share/licenses/$name"
    for f in debian/copyright LICENSE COPYING LICENSE.md README; do
        if [ -f "$dir/$f" ]; then
            cp "$dir/$f" "$prefix/share/licenses/$name/copyright"
            return
        fi
    done
}

start=$(date +%s)

# stb's resizer is header-only: Debian's copy (libstb-dev) goes into the
# prefix, since emscripten does not search the Linux include folders.
if ! built stb; then
    log "stb (from libstb-dev)"
    mkdir -p "$prefix/include/stb" "$prefix/share/licenses/stb"
    cp /usr/include/stb/stb_image_resize.h "$prefix/include/stb/"
    cp /usr/share/doc/libstb-dev/copyright "$prefix/share/licenses/stb/copyright"
    stamp stb
fi

if ! built zlib; then
    log "zlib"
    d=$(fetch zlib)
    # zlib's own configure script (Debian's source lacks the files its CMake
    # build names), run in a copy since it builds in its source folder.
    rm -rf "$work/obj/zlib"
    mkdir -p "$work/obj"
    cp -r "$d" "$work/obj/zlib"
    (cd "$work/obj/zlib" && CFLAGS="-O2 -sSUPPORT_LONGJMP=wasm" quiet zlib emconfigure ./configure --static --prefix="$prefix")
    quiet zlib emmake make -C "$work/obj/zlib" -j"$jobs" libz.a
    quiet zlib emmake make -C "$work/obj/zlib" install
    licence zlib "$d"
    stamp zlib
fi

if ! built libpng; then
    log "libpng"
    d=$(fetch libpng1.6)
    cmake_lib libpng "$d" -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF \
        -DPNG_EXECUTABLES=OFF -DPNG_BUILD_ZLIB=OFF -DPNG_HARDWARE_OPTIMIZATIONS=OFF \
        -DZLIB_ROOT="$prefix"
    licence libpng "$d"
    stamp libpng
fi

if ! built libjpeg-turbo; then
    log "libjpeg-turbo"
    d=$(fetch libjpeg-turbo)
    # The portable C code: no SIMD for WebAssembly here. Its integer inverse
    # DCT, upsampling and colour conversion give the SIMD code's pixels.
    cmake_lib libjpeg-turbo "$d" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
        -DWITH_SIMD=OFF -DWITH_TURBOJPEG=OFF -DWITH_JAVA=OFF
    licence libjpeg-turbo "$d"
    stamp libjpeg-turbo
fi

# Runs an autotools build out of tree through emconfigure.
autotools_lib() {
    local name=$1 dir=$2
    shift 2
    rm -rf "$work/obj/$name"
    mkdir -p "$work/obj/$name"
    # A 32-bit host config.sub knows: configure then runs no test program.
    (cd "$work/obj/$name" && quiet "$name" emconfigure "$dir/configure" --host=i686-pc-linux-gnu \
        --prefix="$prefix" --disable-shared --enable-static \
        CPPFLAGS="-I$prefix/include" LDFLAGS="-L$prefix/lib" CFLAGS="-O2 -sSUPPORT_LONGJMP=wasm" "$@")
    quiet "$name" emmake make -C "$work/obj/$name" -j"$jobs"
    quiet "$name" emmake make -C "$work/obj/$name" install
}

# Little CMS, for the colour profiles of JPEG 2000 and MNG pictures.
if ! built lcms2; then
    log "lcms2"
    d=$(fetch lcms2)
    autotools_lib lcms2 "$d" --without-jpeg --without-tiff --without-zlib
    licence lcms2 "$d"
    stamp lcms2
fi

# No threads in the browser module: OpenJPEG decodes on the caller's thread.
if ! built openjpeg; then
    log "openjpeg"
    d=$(fetch openjpeg2)
    cmake_lib openjpeg "$d" -DBUILD_STATIC_LIBS=ON -DBUILD_CODEC=OFF -DBUILD_TESTING=OFF \
        -DBUILD_DOC=OFF -DOPJ_USE_THREAD=OFF
    licence openjpeg "$d"
    stamp openjpeg
fi

# libwebp for WebP-compressed TIFF, the library only, portable C, no threads.
if ! built libwebp; then
    log "libwebp"
    d=$(fetch libwebp)
    cmake_lib libwebp "$d" -DWEBP_BUILD_ANIM_UTILS=OFF -DWEBP_BUILD_CWEBP=OFF -DWEBP_BUILD_DWEBP=OFF \
        -DWEBP_BUILD_GIF2WEBP=OFF -DWEBP_BUILD_IMG2WEBP=OFF -DWEBP_BUILD_VWEBP=OFF \
        -DWEBP_BUILD_WEBPINFO=OFF -DWEBP_BUILD_WEBPMUX=OFF -DWEBP_BUILD_EXTRAS=OFF \
        -DWEBP_ENABLE_SIMD=OFF -DWEBP_USE_THREAD=OFF
    licence libwebp "$d"
    stamp libwebp
fi

# libtiff with the codecs the Windows build has (zlib, JPEG, old JPEG, WebP,
# the built-in ones).
if ! built libtiff; then
    log "libtiff"
    d=$(fetch tiff)
    cmake_lib libtiff "$d" -Dtiff-tools=OFF -Dtiff-tests=OFF -Dtiff-contrib=OFF -Dtiff-docs=OFF \
        -Dcxx=OFF -Dzlib=ON -Djpeg=ON -Dold-jpeg=ON -Djbig=OFF -Dlerc=OFF -Dlzma=OFF \
        -Dzstd=OFF -Dwebp=ON -Dlibdeflate=OFF -Dpixarlog=ON
    licence libtiff "$d"
    stamp libtiff
fi

# libmng's sources are one flat folder of C files, compiled directly into the
# archive with the options Debian's Linux library is built with (see
# scripts/build-windows-deps.sh).
if ! built libmng; then
    log "libmng"
    d=$(fetch libmng)
    obj="$work/obj/libmng"
    rm -rf "$obj"
    mkdir -p "$obj" "$prefix/include" "$prefix/lib"
    for c in "$d"/libmng_*.c; do
        quiet libmng $CC -O2 -sSUPPORT_LONGJMP=wasm -DMNG_BUILD_SO -DMNG_FULL_CMS -include stdio.h -I"$prefix/include" -c "$c" -o "$obj/$(basename "${c%.c}").o"
    done
    quiet libmng $AR rcs "$prefix/lib/libmng.a" "$obj"/*.o
    cp "$d/libmng.h" "$d/libmng_conf.h" "$d/libmng_types.h" "$prefix/include/"
    licence libmng "$d"
    stamp libmng
fi

log "done in $(( $(date +%s) - start )) s; prefix $prefix"
