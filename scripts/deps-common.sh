# The steps both library builds share (scripts/build-windows-deps.sh and
# scripts/build-web-deps.sh source this file): fetching Debian's source
# packages, stamps, quiet build steps and CMake projects. The sourcing script
# sets work, prefix, src, jobs, toolchain, deps_tag (its messages' prefix),
# setup_script (the script that adds deb-src lines) and prefix_define (the
# toolchain file's variable for the prefix).

log() { echo "$deps_tag: $*"; }

# Unpacks a Debian source package once into $src/<pkg>; prints its folder.
fetch() {
    local pkg=$1
    if [ ! -d "$src/$pkg" ]; then
        local tmp="$src/.$pkg.tmp"
        rm -rf "$tmp"
        mkdir -p "$tmp"
        # The newest source first; a mirror that lacks its files (the
        # security archive sometimes lists a version it no longer serves)
        # falls back to the next version the source lists name.
        local got=0 version
        : >"$src/$pkg.fetch.log"
        for version in "" $(apt-cache showsrc "$pkg" 2>/dev/null | sed -n 's/^Version: //p' | sort -urV); do
            rm -rf "${tmp:?}"/*
            if (cd "$tmp" && apt-get source -qq "$pkg${version:+=$version}" >>"$src/$pkg.fetch.log" 2>&1); then
                got=1
                break
            fi
        done
        # A source whose Debian changes cannot be fetched while its upstream
        # tarball can is built from that tarball as released.
        if [ "$got" -ne 1 ]; then
            rm -rf "${tmp:?}"/*
            (cd "$tmp" && apt-get source -qq --download-only "$pkg" >>"$src/$pkg.fetch.log" 2>&1) || true
            local orig
            orig=$(find "$tmp" -maxdepth 1 -name '*.orig.tar.*' ! -name '*.asc' | head -1)
            if [ -n "$orig" ] && tar -xf "$orig" -C "$tmp"; then
                echo "$deps_tag: $pkg: Debian's changes missing on the mirror; building the upstream tarball" >&2
                got=1
            fi
        fi
        if [ "$got" -ne 1 ]; then
            cat "$src/$pkg.fetch.log" >&2
            echo "$deps_tag: apt-get source $pkg failed (is there a deb-src line? see scripts/$setup_script)" >&2
            exit 1
        fi
        local dir
        dir=$(find "$tmp" -mindepth 1 -maxdepth 1 -type d | head -1)
        mv "$dir" "$src/$pkg"
        rm -rf "$tmp"
    fi
    echo "$src/$pkg"
}

built() { [ -f "$prefix/stamps/$1" ]; }
stamp() { date -u +%FT%TZ >"$prefix/stamps/$1"; }

# Runs a build step quietly; its log is shown only when it fails.
quiet() {
    local name=$1
    shift
    if ! "$@" >>"$work/$name.log" 2>&1; then
        tail -40 "$work/$name.log" >&2
        echo "$deps_tag: building $name failed (full log: $work/$name.log)" >&2
        exit 1
    fi
}

cmake_lib() {
    local name=$1 dir=$2
    shift 2
    rm -rf "$work/obj/$name"
    quiet "$name" cmake -S "$dir" -B "$work/obj/$name" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -D"$prefix_define"="$prefix" \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_POSITION_INDEPENDENT_CODE=OFF -DBUILD_SHARED_LIBS=OFF "$@"
    quiet "$name" cmake --build "$work/obj/$name" -j"$jobs"
    quiet "$name" cmake --install "$work/obj/$name"
}
