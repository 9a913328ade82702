#!/usr/bin/env bash
# Builds the codec libraries zent.exe links, for 64-bit Windows, from Debian's
# source packages into a local prefix (static archives only).
# Usage: scripts/build-windows-deps.sh [build-win folder]
# Idempotent: a library whose stamp file exists in the prefix is skipped, so a
# second run costs seconds. Remove build-win/prefix/stamps/<lib> to rebuild one.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-"$root/build-win"}
mkdir -p "$work"
work=$(cd "$work" && pwd)
prefix="$work/prefix"
src="$work/src"
host=x86_64-w64-mingw32
jobs=2
toolchain="$root/cmake/mingw-w64-x86_64.cmake"
mkdir -p "$prefix/stamps" "$src"

export PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig"
export PKG_CONFIG_PATH=""
export CC=$host-gcc-posix CXX=$host-g++-posix AR=$host-ar RANLIB=$host-ranlib

deps_tag=windows-deps
setup_script=setup-windows.sh
prefix_define=ZENT_WIN_PREFIX
# shellcheck source=scripts/deps-common.sh
source "$root/scripts/deps-common.sh"

start=$(date +%s)

# zlib: Debian's mingw-w64 package already holds the static archive.
if ! built zlib; then
    log "zlib (from libz-mingw-w64-dev)"
    mkdir -p "$prefix/include" "$prefix/lib/pkgconfig"
    cp /usr/$host/include/zlib.h /usr/$host/include/zconf.h "$prefix/include/"
    cp /usr/$host/lib/libz.a "$prefix/lib/"
    sed "s|^prefix=.*|prefix=$prefix|" /usr/$host/lib/pkgconfig/zlib.pc >"$prefix/lib/pkgconfig/zlib.pc"
    mkdir -p "$prefix/share/licenses/zlib"
    cp /usr/share/doc/libz-mingw-w64-dev/copyright "$prefix/share/licenses/zlib/copyright"
    stamp zlib
fi

# stb's resizer is header-only: Debian's copy (libstb-dev) goes into the
# prefix, since the cross compiler does not search the Linux include folders.
if ! built stb; then
    log "stb (from libstb-dev)"
    mkdir -p "$prefix/include/stb" "$prefix/share/licenses/stb"
    cp /usr/include/stb/stb_image_resize.h "$prefix/include/stb/"
    cp /usr/share/doc/libstb-dev/copyright "$prefix/share/licenses/stb/copyright"
    stamp stb
fi

# Keeps the Debian copyright file of a package for the release zip.
licence() {
    local name=$1 dir=$2
    mkdir -p "$prefix/share/licenses/$name"
    cp "$dir/debian/copyright" "$prefix/share/licenses/$name/copyright"
}

if ! built libpng; then
    log "libpng"
    d=$(fetch libpng1.6)
    cmake_lib libpng "$d" -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF \
        -DPNG_EXECUTABLES=OFF -DPNG_BUILD_ZLIB=OFF -DZLIB_ROOT="$prefix"
    licence libpng "$d"
    stamp libpng
fi

if ! built libjpeg-turbo; then
    log "libjpeg-turbo"
    d=$(fetch libjpeg-turbo)
    # With SIMD (nasm), as Debian builds it: on damaged data the SIMD and
    # the portable inverse DCT saturate differently, and the Windows pixels
    # must be the Linux ones.
    cmake_lib libjpeg-turbo "$d" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
        -DWITH_SIMD=ON -DREQUIRE_SIMD=ON -DWITH_TURBOJPEG=OFF -DWITH_JAVA=OFF
    licence libjpeg-turbo "$d"
    stamp libjpeg-turbo
fi

# Runs an autotools build out of tree for the Windows host.
autotools_lib() {
    local name=$1 dir=$2
    shift 2
    rm -rf "$work/obj/$name"
    mkdir -p "$work/obj/$name"
    (cd "$work/obj/$name" && quiet "$name" "$dir/configure" --host=$host --prefix="$prefix" \
        --disable-shared --enable-static CPPFLAGS="-I$prefix/include" LDFLAGS="-L$prefix/lib" "$@")
    quiet "$name" make -C "$work/obj/$name" -j"$jobs"
    quiet "$name" make -C "$work/obj/$name" install
}

# Little CMS, for the colour profiles of JPEG 2000 and MNG pictures.
if ! built lcms2; then
    log "lcms2"
    d=$(fetch lcms2)
    autotools_lib lcms2 "$d" --without-jpeg --without-tiff
    licence lcms2 "$d"
    stamp lcms2
fi

if ! built openjpeg; then
    log "openjpeg"
    d=$(fetch openjpeg2)
    cmake_lib openjpeg "$d" -DBUILD_STATIC_LIBS=ON -DBUILD_CODEC=OFF -DBUILD_TESTING=OFF \
        -DBUILD_DOC=OFF
    licence openjpeg "$d"
    stamp openjpeg
fi

# libwebp for WebP-compressed TIFF, the library only.
if ! built libwebp; then
    log "libwebp"
    d=$(fetch libwebp)
    cmake_lib libwebp "$d" -DWEBP_BUILD_ANIM_UTILS=OFF -DWEBP_BUILD_CWEBP=OFF -DWEBP_BUILD_DWEBP=OFF \
        -DWEBP_BUILD_GIF2WEBP=OFF -DWEBP_BUILD_IMG2WEBP=OFF -DWEBP_BUILD_VWEBP=OFF \
        -DWEBP_BUILD_WEBPINFO=OFF -DWEBP_BUILD_WEBPMUX=OFF -DWEBP_BUILD_EXTRAS=OFF
    licence libwebp "$d"
    stamp libwebp
fi

# libtiff with the codecs of the libraries above (zlib, JPEG, old JPEG, WebP,
# the built-in ones). Debian's Linux library also has ZSTD, LZMA, JBIG and
# LERC, which no picture at hand uses; each would add a library to build.
if ! built libtiff; then
    log "libtiff"
    d=$(fetch tiff)
    cmake_lib libtiff "$d" -Dtiff-tools=OFF -Dtiff-tests=OFF -Dtiff-contrib=OFF -Dtiff-docs=OFF \
        -Dcxx=OFF -Dzlib=ON -Djpeg=ON -Dold-jpeg=ON -Djbig=OFF -Dlerc=OFF -Dlzma=OFF \
        -Dzstd=OFF -Dwebp=ON -Dlibdeflate=OFF -Dpixarlog=ON
    licence libtiff "$d"
    stamp libtiff
fi

# libmng's sources are one flat folder of C files (its autotools files sit in
# makefiles/ and are moved into place by Debian's own rules), so they are
# compiled directly into the archive (jpeglib.h needs stdio.h before it),
# with the options Debian's Linux library is built with: the full library
# (JNG through libjpeg, error texts) and colour management through lcms2.
if ! built libmng; then
    log "libmng"
    d=$(fetch libmng)
    obj="$work/obj/libmng"
    rm -rf "$obj"
    mkdir -p "$obj" "$prefix/include" "$prefix/lib"
    for c in "$d"/libmng_*.c; do
        quiet libmng $CC -O2 -DMNG_BUILD_SO -DMNG_FULL_CMS -include stdio.h -I"$prefix/include" -c "$c" -o "$obj/$(basename "${c%.c}").o"
    done
    quiet libmng $AR rcs "$prefix/lib/libmng.a" "$obj"/*.o
    cp "$d/libmng.h" "$d/libmng_conf.h" "$d/libmng_types.h" "$prefix/include/"
    licence libmng "$d"
    stamp libmng
fi

# cairo, for the WMF/EMF player, over pixman; text through cairo's Windows
# font backend (the system's own fonts), so neither FreeType nor fontconfig
# is needed. Only the image surface and the Windows fonts are built.
if ! built pixman; then
    log "pixman"
    d=$(fetch pixman)
    # The library folder and the pkg-config file only: no demos, no tests.
    rm -rf "$work/obj/pixman"
    mkdir -p "$work/obj/pixman"
    (cd "$work/obj/pixman" && quiet pixman "$d/configure" --host=$host --prefix="$prefix" \
        --disable-shared --enable-static --disable-gtk --disable-libpng --disable-openmp)
    quiet pixman make -C "$work/obj/pixman/pixman" -j"$jobs" install
    quiet pixman make -C "$work/obj/pixman" install-pkgconfigDATA
    mkdir -p "$prefix/share/licenses/pixman"
    cp "$d/COPYING" "$prefix/share/licenses/pixman/copyright"
    stamp pixman
fi

if ! built cairo; then
    log "cairo"
    d=$(fetch cairo)
    # Debian's patches touch the automake inputs; the generated files that
    # ship with the release are used as they are.
    regen=(ACLOCAL=true AUTOMAKE=true AUTOCONF=true AUTOHEADER=true)
    rm -rf "$work/obj/cairo"
    mkdir -p "$work/obj/cairo"
    (cd "$work/obj/cairo" && quiet cairo "$d/configure" --host=$host --prefix="$prefix" \
        --disable-shared --enable-static --enable-win32 --enable-win32-font \
        --disable-xlib --disable-xcb --disable-xlib-xrender --disable-ft --disable-fc \
        --disable-png --disable-ps --disable-pdf --disable-svg --disable-script \
        --disable-gobject --disable-trace --disable-interpreter --disable-full-testing \
        --disable-gtk-doc --disable-valgrind --disable-symbol-lookup \
        CPPFLAGS="-I$prefix/include" LDFLAGS="-L$prefix/lib")
    quiet cairo make -C "$work/obj/cairo/src" -j"$jobs" "${regen[@]}"
    quiet cairo make -C "$work/obj/cairo/src" install "${regen[@]}"
    licence cairo "$d"
    stamp cairo
fi

# GoogleTest for the Windows test executables, from Debian's source package
# (installed by googletest / libgtest-dev under /usr/src/googletest).
if ! built googletest; then
    log "googletest"
    cmake_lib googletest /usr/src/googletest -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON \
        -Dgtest_disable_pthreads=OFF
    stamp googletest
fi

log "done in $(( $(date +%s) - start )) s; prefix $prefix"
