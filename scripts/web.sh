#!/bin/sh
# Builds the web page: the four tools compiled to WebAssembly with Debian's
# Emscripten, over libjpeg-turbo built from Debian's source without its SIMD
# code, twice (plain, and with WebAssembly SIMD for the engines that have
# it), mpoalign once, with SIMD, over OpenCV built from Debian's source too,
# and the page of web/ around them; packs the folder that a user opens
# or a static web host serves as BUILD_DIR/stereo-mpo-tools-VERSION-web.zip,
# and checks it in Chromium, Firefox and WebKitGTK against a native Linux
# build (scripts/web_browser.py). Screenshots of the page go into
# BUILD_DIR/screenshots; with `docs`, they are copied into docs/ as well.
#   scripts/web.sh BUILD_DIR [docs]
# Runs as root on Debian: installs what is missing with apt-get and npm,
# fetches libjpeg-turbo's and OpenCV's Debian sources.
set -eu

# From npm: esbuild bundles the page's modules into the classic scripts it ships;
# puppeteer-core drives Firefox for the browser test (its 24 series runs on
# Debian's node 20 as well as on newer ones); axe-core checks the page's
# accessibility in the browser test.
ESBUILD_VERSION=0.28.2
PUPPETEER_VERSION=24.43.1
AXE_VERSION=4.14.1
# The engines the browser test runs in; WEB_ENGINES=chromium for a quicker run.
ENGINES=${WEB_ENGINES:-chromium firefox webkit}

docs=${2:-}
set -- "$1"
. "$(dirname "$0")/build_common.sh"

# ---------------------------------------------------------------- packages
step "packages"
# Emscripten; the native build for the comparison (with OpenCV's modules
# for mpoalign); dpkg-dev for apt-get source; GoogleTest's sources for the
# rules' tests in WebAssembly; the three browsers and their drivers for the
# browser test (selenium for Chromium and WebKitGTK, whose MiniBrowser runs
# under Xvfb); npm for the libraries above.
packages="emscripten cmake make g++ libjpeg-dev libopencv-core-dev libopencv-features2d-dev dpkg-dev googletest
    chromium chromium-driver python3-selenium firefox-esr webkit2gtk-driver xvfb"
command -v npm >/dev/null || packages="$packages npm"
# shellcheck disable=SC2086
install_missing $packages
# Emscripten's tools run on node with the modules Debian installs (acorn, ...),
# which a node that is not Debian's does not look for by itself.
export NODE_PATH=/usr/share/nodejs

# The npm packages, in BUILD_DIR/npm; no browser is ever downloaded.
npm_versions=$ESBUILD_VERSION-$PUPPETEER_VERSION-$AXE_VERSION
if [ ! -f "$build/npm/.installed-$npm_versions" ]; then
    step "npm packages"
    mkdir -p "$build/npm"
    [ -f "$build/npm/package.json" ] || echo '{"private": true}' >"$build/npm/package.json"
    (cd "$build/npm" && PUPPETEER_SKIP_DOWNLOAD=1 npm install --silent --no-audit --no-fund \
        "esbuild@$ESBUILD_VERSION" "puppeteer-core@$PUPPETEER_VERSION" "axe-core@$AXE_VERSION") || fail "npm install failed"
    touch "$build/npm/.installed-$npm_versions"
fi

# The page's parts in node, over fakes: what the destinations store, the
# runner's scheduling and cancelling, the pool, the messenger, the service
# worker.
step "page's parts, in node"
node "$source_dir/tests/web_page_test.mjs" >"$build/web_page_test.log" 2>&1 ||
    { cat "$build/web_page_test.log"; fail "the page's parts failed their test in node"; }

# ------------------------------------------------------------ libjpeg-turbo
# The same Debian version as the library the native build links, so that
# both encode alike; without SIMD code, which WebAssembly builds of it lack.
jpeg_source=$("$source_dir/scripts/libjpeg_source.sh" "$build/deps") || fail "no libjpeg-turbo source"
# OpenCV, the version the native mpoalign links, for mpoalign's module.
opencv_source=$("$source_dir/scripts/opencv_source.sh" "$build/deps") || fail "no OpenCV source"

# Each variant of the modules over its own build of libjpeg-turbo: `wasm`
# for every browser, `wasm-simd` with WebAssembly's SIMD instructions for
# those that have them (see cmake/web/web.cmake), in which the compiler may
# vectorise libjpeg-turbo's C code too.
for variant in wasm wasm-simd; do
    # mpoalign only with SIMD: its OpenCV is built once, and every engine
    # the page is made for has had SIMD for years; the page offers the
    # alignment only where the engine has it.
    case $variant in
    wasm) simd=OFF simd_flags="" programs=$tools opencv="" ;;
    *)
        simd=ON simd_flags=-msimd128 programs="$tools mpoalign"
        opencv=-DOpenCV_DIR=$build/deps/$variant/lib/cmake/opencv4
        ;;
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
    # Into the same prefix as libjpeg-turbo, once.
    if [ -n "$opencv" ] && [ ! -f "$jpeg/lib/cmake/opencv4/OpenCVConfig.cmake" ]; then
        step "OpenCV for WebAssembly ($variant)"
        "$source_dir/scripts/opencv_build.sh" "$opencv_source" "$build/deps/build-opencv-$variant" "$jpeg" "$variant" ||
            fail "building OpenCV for WebAssembly ($variant) failed"
    fi

    step "tools for WebAssembly ($variant)"
    emcmake cmake -S "$source_dir" -B "$build/$variant" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DWEB_SIMD=$simd -DJPEG_LIBRARY="$jpeg/lib/libjpeg.a" -DJPEG_INCLUDE_DIR="$jpeg/include" ${opencv:+"$opencv"} \
        -DCMAKE_C_FLAGS=-Werror -DCMAKE_CXX_FLAGS=-Werror >"$build/$variant.configure.log" 2>&1 ||
        fail "configuring the WebAssembly build ($variant) failed: see $build/$variant.configure.log"
    # shellcheck disable=SC2086
    cmake --build "$build/$variant" -j "$jobs" --target $programs
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
cmake --build "$build/linux" -j "$jobs" --target mpoalign

# ------------------------------------------------------------------ the ZIP
step "ZIP"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/wasm/CMakeCache.txt")
package=stereo-mpo-tools-$version-web
site=$build/$package
rm -rf "$site"
mkdir -p "$site"
for file in index.html style.css favicon.svg icon-192.png icon-512.png manifest.webmanifest; do
    cp "$source_dir/web/$file" "$site/"
done
# Text files for people, with CR LF so that every system's editor shows
# their lines.
sed 's/$/\r/' "$source_dir/web/README.txt" >"$site/README.txt"
sed 's/$/\r/' "$source_dir/LICENSE" >"$site/LICENSE.txt"
# The page's scripts, the workers' with the tools' modules of each build,
# and the service worker, which keeps every other file of the folder under
# a version that changes with any of them (see web/build.mjs).
node "$source_dir/web/build.mjs" "$site" "$build/npm/node_modules" "$version" "$build/wasm/bin" \
    "$build/wasm-simd/bin" || fail "packing the page's scripts failed"
rm -f "$build/$package.zip"
(cd "$build" && python3 -m zipfile -c "$package.zip" "$package") || fail "packing $package.zip failed"

# ------------------------------------------------------- the browser test
mkdir -p "$build/screenshots"
for engine in $ENGINES; do
    step "browser test: $engine"
    /usr/bin/python3 "$source_dir/scripts/web_browser.py" test --engine "$engine" --zip "$build/$package.zip" \
        --native "$build/linux/bin" --npm "$build/npm/node_modules" --samples "$samples_dir" \
        --sample "$source_dir/samples/garden.mpo" --work "$build/browser-test-$engine" \
        --screenshots "$build/screenshots"
done

if [ "$docs" = docs ]; then
    step "docs"
    cp "$build/screenshots/"*.png "$source_dir/docs/"
fi
step "done: $build/$package.zip"
