#!/bin/sh
# Builds the page into DIR: index.html, its scripts, and one wasm module holding the engine, the importer
# and nibtool's commands, with libxmp, libsamplerate, FFTW and libsndfile built from Debian's sources by
# emscripten. Serve DIR with any static server (python3 -m http.server -d DIR).
#
# It installs what it needs with deps/install.sh (deps/packages and deps/packages-page: emscripten, and
# dpkg-dev for apt-get source, with a deb-src line if apt has none). The libraries' builds are kept in
# NIBWEB_CACHE (default ~/.cache/nibplay-web), one folder per library version and emscripten version, so a
# second run only builds the project's own sources.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -eq 1 ] || { echo "usage: sh web/build.sh DIR" >&2; exit 2; }
mkdir -p "$1"
out=$(cd "$1" && pwd)
jobs=${NIBWEB_JOBS:-2}
say() { echo "web/build.sh: $*" >&2; }

if [ "$(id -u)" = 0 ]; then as_root=""; else as_root="sudo"; fi

# ---- What the build needs --------------------------------------------------------------------------
# Chromium is not the build's own need but its tests' (web/test drives /usr/bin/chromium).
if ! command -v emcc >/dev/null || ! command -v dpkg-source >/dev/null || ! command -v cmake >/dev/null ||
    [ ! -x /usr/bin/chromium ]; then
    say "installing the packages deps/packages and deps/packages-page list (emscripten among them)"
    sh "$root/deps/install.sh" page
fi
# Debian's emscripten runs its JavaScript tools with node; a node other than Debian's (nodesource's, say)
# does not look where Debian keeps acorn.
[ -d /usr/share/nodejs ] && export NODE_PATH="/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}"

# apt-get source needs deb-src lines: the same archives as the deb lines.
has_src() { grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; }
if ! has_src; then
    say "adding deb-src lines for apt-get source"
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
            $as_root tee /etc/apt/sources.list.d/nibplay-deb-src.sources >/dev/null
    else
        grep -hE '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
            $as_root tee /etc/apt/sources.list.d/nibplay-deb-src.list >/dev/null
    fi
    $as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
fi

# ---- The libraries, from Debian's sources ----------------------------------------------------------
emver=$(emcc --version | head -1 | sed 's/.* \([0-9][0-9.]*\).*/\1/')
cache=${NIBWEB_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/nibplay-web}
# The flags every library is built with: part of the cache's key, as the versions are.
cflags="-O2 -ffp-contract=off"
key=$(printf '%s %s 1' "$emver" "$cflags" | md5sum | cut -c1-8)

# build_library PACKAGE: fetches PACKAGE's source (apt-get source, Debian's patches applied) and builds
# it into $cache/PACKAGE-VERSION-KEY, once.
build_library() {
    package=$1
    version=$(apt-cache showsrc "$package" | sed -n 's/^Version: //p' | sort -V | tail -1)
    [ -n "$version" ] || { say "apt knows no source package $package"; exit 1; }
    prefix="$cache/$package-$version-$key"
    if [ -f "$prefix/done" ]; then libs="$libs $prefix"; return; fi
    say "building $package $version with emscripten $emver (once; kept in $prefix)"
    work=$(mktemp -d)
    (cd "$work" && apt-get source -qq "$package=$version" >/dev/null 2>&1) ||
        (cd "$work" && apt-get source -qq "$package" >/dev/null)
    src=$(find "$work" -mindepth 1 -maxdepth 1 -type d | head -1)
    rm -rf "$prefix" && mkdir -p "$prefix"
    case $package in
    libxmp)
        (cd "$src" && emconfigure ./configure --host=wasm32-unknown-emscripten --disable-shared \
            --enable-static --prefix="$prefix" CFLAGS="$cflags" >"$work/log" 2>&1 &&
            emmake make -j"$jobs" >>"$work/log" 2>&1 && emmake make install >>"$work/log" 2>&1) ;;
    fftw3)
        # Single precision, scalar code (the same as the native build plans with FFTW_NO_SIMD), no threads.
        (emcmake cmake -S "$src" -B "$work/b" -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="$cflags" \
            -DENABLE_FLOAT=ON -DBUILD_SHARED_LIBS=OFF -DENABLE_THREADS=OFF -DENABLE_OPENMP=OFF \
            -DBUILD_TESTS=OFF -DDISABLE_FORTRAN=ON -DCMAKE_INSTALL_PREFIX="$prefix" >"$work/log" 2>&1 &&
            cmake --build "$work/b" -j"$jobs" >>"$work/log" 2>&1 && cmake --install "$work/b" >>"$work/log" 2>&1) ;;
    libsamplerate)
        (emcmake cmake -S "$src" -B "$work/b" -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="$cflags" \
            -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF -DLIBSAMPLERATE_EXAMPLES=OFF \
            -DCMAKE_INSTALL_PREFIX="$prefix" >"$work/log" 2>&1 &&
            cmake --build "$work/b" -j"$jobs" >>"$work/log" 2>&1 && cmake --install "$work/b" >>"$work/log" 2>&1) ;;
    libsndfile)
        # The formats libsndfile reads by itself (WAV, AIFF, AU, CAF, W64, ...): what tells a sound file.
        (emcmake cmake -S "$src" -B "$work/b" -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="$cflags" \
            -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF -DBUILD_PROGRAMS=OFF -DBUILD_EXAMPLES=OFF \
            -DENABLE_EXTERNAL_LIBS=OFF -DENABLE_MPEG=OFF -DENABLE_CPACK=OFF -DENABLE_PACKAGE_CONFIG=OFF \
            -DINSTALL_PKGCONFIG_MODULE=OFF -DCMAKE_INSTALL_PREFIX="$prefix" >"$work/log" 2>&1 &&
            cmake --build "$work/b" -j"$jobs" >>"$work/log" 2>&1 && cmake --install "$work/b" >>"$work/log" 2>&1) ;;
    esac || { say "building $package failed:"; tail -20 "$work/log" >&2; exit 1; }
    # One include and lib folder for the page's build.
    [ -d "$prefix/lib64" ] && cp -r "$prefix/lib64/." "$prefix/lib/"
    touch "$prefix/done"
    rm -rf "$work"
    libs="$libs $prefix"
}

libs=""
for package in libxmp fftw3 libsamplerate libsndfile; do
    build_library "$package"
done
all="$cache/all-$key"
rm -rf "$all" && mkdir -p "$all/include" "$all/lib"
for prefix in $libs; do
    cp -r "$prefix/include/." "$all/include/"
    cp "$prefix"/lib/*.a "$all/lib/"
done
# CLI11 (nibtool's command line) and nlohmann's JSON (its --json reports) are headers only: Debian's
# (libcli11-dev, nlohmann-json3-dev) serve.
cp -r /usr/include/CLI /usr/include/nlohmann "$all/include/"

# ---- The project's sources --------------------------------------------------------------------------
build="$root/build-web"
log="$build/build.log"
mkdir -p "$build"
say "building the page's module"
emcmake cmake -S "$root/web" -B "$build" -DNIBWEB_LIBS="$all" >"$log" 2>&1 || { tail -20 "$log" >&2; exit 1; }
cmake --build "$build" -j"$jobs" >>"$log" 2>&1 || { grep -E 'error|Error' "$log" | head -20 >&2; exit 1; }

for file in index.html page.css app.js worker.js worklet.js glue.js sw.js; do
    cp "$root/web/$file" "$out/"
done
cp "$build/nibweb.mjs" "$build/nibweb.wasm" "$out/"
say "the page is in $out ($(du -k "$out/nibweb.wasm" | cut -f1) KB of wasm, $(gzip -c "$out/nibweb.wasm" | wc -c | awk '{printf "%d", $1 / 1024}') KB gzipped)"
say "serve it with: python3 -m http.server -d $out 8000 (then open http://localhost:8000/)"
