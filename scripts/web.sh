#!/bin/sh
# Builds the web page: the four tools compiled to WebAssembly with Debian's
# Emscripten, without and with WebAssembly SIMD, over libjpeg-turbo built from
# Debian's source without its SIMD code, and the page of web/ around them;
# packs the folder a static web host serves as
# BUILD_DIR/stereo-mpo-tools-VERSION-web.zip, and checks it in headless
# Chromium against a native Linux build (scripts/web_browser.py): every
# output byte-identical, the same messages, the ZIP download, no request but
# to the page's own server. The same run renders docs/web_page.png.
#   scripts/web.sh BUILD_DIR
# Runs as root on Debian: installs what is missing with apt-get, fetches
# libjpeg-turbo's Debian source and the ZIP library from npm.
set -eu

# The ZIP writer the page uses, vendored into the packed folder: a small
# library without dependencies that Debian does not package as an ES module.
FFLATE_VERSION=0.8.2

. "$(dirname "$0")/build_common.sh"

# ---------------------------------------------------------------- packages
step "packages"
# Emscripten; the native build for the comparison; dpkg-dev for apt-get
# source; GoogleTest's sources for the rules' tests in WebAssembly; Chromium,
# its driver and Selenium for the browser test; npm for the ZIP library.
packages="emscripten cmake make g++ libjpeg-dev dpkg-dev googletest chromium chromium-driver python3-selenium"
command -v npm >/dev/null || packages="$packages npm"
# shellcheck disable=SC2086
install_missing $packages
# Emscripten's tools run on node with the modules Debian installs (acorn, ...),
# which a node that is not Debian's does not look for by itself.
export NODE_PATH=/usr/share/nodejs

# ------------------------------------------------------------ libjpeg-turbo
# The same Debian version as the library the native build links, so that
# both encode alike; without SIMD code, which WebAssembly builds of it lack.
jpeg_source=$("$source_dir/scripts/libjpeg_source.sh" "$build/deps") || fail "no libjpeg-turbo source"

# Each variant of the modules over its own build of libjpeg-turbo: `wasm`
# for every browser, `wasm-simd` with WebAssembly's SIMD instructions for
# those that have them (see cmake/web/web.cmake), in which the compiler may
# vectorise libjpeg-turbo's C code too.
for variant in wasm wasm-simd; do
    case $variant in
    wasm) simd=OFF simd_flags="" ;;
    *) simd=ON simd_flags=-msimd128 ;;
    esac
    jpeg=$build/deps/$variant
    if [ ! -f "$jpeg/lib/libjpeg.a" ]; then
        step "libjpeg-turbo for WebAssembly ($variant)"
        # CMake's size check reads the compiled test program, which Emscripten
        # makes in a form it misreads (it finds 9 for size_t): wasm32's sizes
        # are given.
        log=$build/deps/build-$variant.log
        emcmake cmake -S "$jpeg_source" -B "$build/deps/build-$variant" -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_C_FLAGS="$simd_flags" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF \
            -DWITH_SIMD=OFF -DHAVE_SIZE_T=TRUE -DSIZE_T=4 -DHAVE_UNSIGNED_LONG=TRUE -DUNSIGNED_LONG=4 >"$log" 2>&1 ||
            fail "configuring libjpeg-turbo failed: see $log"
        cmake --build "$build/deps/build-$variant" -j "$jobs" --target jpeg-static >>"$log" 2>&1 ||
            fail "building libjpeg-turbo failed: see $log"
        mkdir -p "$jpeg/lib" "$jpeg/include"
        cp "$jpeg_source/jpeglib.h" "$jpeg_source/jerror.h" "$jpeg_source/jmorecfg.h" \
            "$build/deps/build-$variant/jconfig.h" "$jpeg/include/"
        cp "$build/deps/build-$variant/libjpeg.a" "$jpeg/lib/"
    fi

    step "tools for WebAssembly ($variant)"
    emcmake cmake -S "$source_dir" -B "$build/$variant" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DWEB_SIMD=$simd -DJPEG_LIBRARY="$jpeg/lib/libjpeg.a" -DJPEG_INCLUDE_DIR="$jpeg/include" \
        -DCMAKE_C_FLAGS=-Werror -DCMAKE_CXX_FLAGS=-Werror >"$build/$variant.configure.log" 2>&1 ||
        fail "configuring the WebAssembly build ($variant) failed: see $build/$variant.configure.log"
    # shellcheck disable=SC2086
    cmake --build "$build/$variant" -j "$jobs" --target $tools
done

# The rules' tests (the Dubois rule's SIMD kernel against the plain formula
# over its whole range, among them) built for the SIMD variant and run by
# node: CMake is given node itself, Debian's Emscripten names it with a flag
# that newer node refuses.
step "rules' tests for WebAssembly SIMD, in node"
emcmake cmake -S "$source_dir" -B "$build/wasm-simd-tests" -DCMAKE_BUILD_TYPE=Release -DWEB_SIMD=ON \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$(command -v node)" -DJPEG_LIBRARY="$build/deps/wasm-simd/lib/libjpeg.a" \
    -DJPEG_INCLUDE_DIR="$build/deps/wasm-simd/include" -DCMAKE_C_FLAGS=-Werror -DCMAKE_CXX_FLAGS=-Werror \
    >"$build/wasm-simd-tests.configure.log" 2>&1 ||
    fail "configuring the WebAssembly tests failed: see $build/wasm-simd-tests.configure.log"
cmake --build "$build/wasm-simd-tests" -j "$jobs" --target rules_tests
node "$build/wasm-simd-tests/tests/rules_tests.js" || fail "the rules' tests failed in WebAssembly"

build_native_tools

# ------------------------------------------------------------------ the ZIP
step "ZIP"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/wasm/CMakeCache.txt")
package=stereo-mpo-tools-$version-web
site=$build/$package
rm -rf "$site"
mkdir -p "$site"
cp "$source_dir/web/index.html" "$source_dir/web/app.js" "$source_dir/web/worker.js" "$source_dir/web/style.css" \
    "$source_dir/web/favicon.svg" "$source_dir/LICENSE" "$site/"
for tool in $tools; do
    cp "$build/wasm/bin/$tool.js" "$build/wasm/bin/$tool.wasm" "$site/"
done
# fflate's browser module as it is published, with its licence.
if [ ! -f "$build/npm/fflate-$FFLATE_VERSION.tgz" ]; then
    mkdir -p "$build/npm"
    (cd "$build/npm" && npm pack --silent "fflate@$FFLATE_VERSION" >/dev/null) || fail "npm pack fflate failed"
fi
rm -rf "$build/npm/package"
tar -xzf "$build/npm/fflate-$FFLATE_VERSION.tgz" -C "$build/npm" package/esm/browser.js package/LICENSE
cp "$build/npm/package/esm/browser.js" "$site/fflate.js"
cp "$build/npm/package/LICENSE" "$site/fflate-LICENSE"
rm -f "$build/$package.zip"
(cd "$build" && python3 -m zipfile -c "$package.zip" "$package") || fail "packing $package.zip failed"

# ------------------------------------------------------- the browser test
step "browser test"
/usr/bin/python3 "$source_dir/scripts/web_browser.py" test --zip "$build/$package.zip" --native "$build/linux/bin" \
    --samples "$samples_dir" --sample "$source_dir/samples/garden.mpo" --work "$build/browser-test" \
    --screenshot "$source_dir/docs/web_page.png"

step "done: $build/$package.zip"
