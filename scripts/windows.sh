#!/bin/bash
# Cross-builds the tools for Windows with Debian's MinGW-w64, packs them into
# BUILD_DIR/stereo-mpo-tools-VERSION-win64.zip and checks what a Windows user
# gets: the programs unpacked from the ZIP, run under Wine, write the same
# bytes as a native Linux build for the shipped sample and every camera file
# in ../shared/samples/mpo, and print the same messages. The test suite is
# built for Windows too and run under Wine. A 32-bit build is made too (this
# machine cannot run it). Any compiler warning fails the run.
#   scripts/windows.sh BUILD_DIR
# Runs as root on Debian: installs what is missing with apt-get and fetches
# libjpeg-turbo's Debian source (Debian ships no MinGW build of it).
set -eu

# ON builds the test suite into the x86_64 tree and runs it under Wine with
# ctest (what needs POSIX machinery skips or is left out, saying why); OFF
# makes the ZIP alone, a little sooner.
BUILD_WINDOWS_TESTS=ON

. "$(dirname "$0")/build_common.sh"
# mpojoin ships in the ZIP, not in the page (whose web.sh shares the list).
tools="$tools mpojoin"

# ---------------------------------------------------------------- packages
step "packages"
# Native build for the comparison; MinGW-w64 compilers of the posix thread
# model; nasm for libjpeg-turbo's SIMD code; dpkg-dev for apt-get source;
# Wine to run the programs (wine64 alone: 32-bit ones cannot run here);
# groff for the text pages; unzip to check the ZIP as a user unpacks it.
packages="cmake make g++ libjpeg-dev g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix nasm
    dpkg-dev wine wine64 groff-base unzip binutils"
if [ "$BUILD_WINDOWS_TESTS" = ON ]; then
    packages="$packages googletest"
fi
# shellcheck disable=SC2086
install_missing $packages

# ------------------------------------------------------ libjpeg-turbo source
# The same Debian version as the library the Linux build links, so that both
# builds encode alike.
step "libjpeg-turbo source"
jpeg_source=$("$source_dir/scripts/libjpeg_source.sh" "$build/deps") || fail "no libjpeg-turbo source"

# ------------------------------------------------------------------- Wine
# A private prefix, initialised in the background while the compilers run.
# No display is needed: without DISPLAY Wine opens no window, and mono and
# gecko (unused by console programs) are not offered for installation.
export WINEPREFIX=$build/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# Arguments and file names pass between Linux and Wine as UTF-8 only in a
# UTF-8 locale.
export LC_ALL=C.UTF-8
wine=$(command -v wine)
wineboot -i >"$build/wineboot.log" 2>&1 &
wineboot_pid=$!
stop_wine() {
    # Only this prefix's server, and only once it exists.
    [ ! -d "$WINEPREFIX" ] || wineserver -k 2>/dev/null || true
}
trap stop_wine EXIT

# ------------------------------------------------------------- the builds
# libjpeg-turbo, static with its SIMD code, for one target into deps/ARCH.
build_jpeg() {
    arch=$1
    [ -f "$build/deps/$arch/lib/libjpeg.a" ] && return
    step "libjpeg-turbo for $arch"
    cmake -S "$jpeg_source" -B "$build/deps/build-$arch" -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/$arch-w64-mingw32.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$build/deps/$arch" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
        -DWITH_TURBOJPEG=OFF -DREQUIRE_SIMD=ON >"$build/deps/build-$arch.log"
    cmake --build "$build/deps/build-$arch" -j "$jobs" --target jpeg-static >>"$build/deps/build-$arch.log"
    # What its install puts in lib and include, without building the
    # programs that a full install would need.
    mkdir -p "$build/deps/$arch/lib" "$build/deps/$arch/include"
    cp "$jpeg_source/jpeglib.h" "$jpeg_source/jerror.h" "$jpeg_source/jmorecfg.h" "$build/deps/build-$arch/jconfig.h" \
        "$build/deps/$arch/include/"
    cp "$build/deps/build-$arch/libjpeg.a" "$build/deps/$arch/lib/"
}

# The project for one Windows target; -Werror makes any warning fail.
configure_windows() {
    arch=$1
    shift
    step "configure for $arch"
    cmake -S "$source_dir" -B "$build/$arch" -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/$arch-w64-mingw32.cmake" \
        -DWINDOWS_DEPS_PREFIX="$build/deps/$arch" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_C_FLAGS=-Werror -DCMAKE_CXX_FLAGS=-Werror "$@" >"$build/$arch.configure.log"
}

build_jpeg x86_64
configure_windows x86_64 -DBUILD_TESTING="$BUILD_WINDOWS_TESTS" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="/usr/bin/env;WINEPREFIX=$WINEPREFIX;WINEDEBUG=-all;LC_ALL=C.UTF-8;$wine"
step "build for x86_64"
cmake --build "$build/x86_64" -j "$jobs"

build_jpeg i686
configure_windows i686 -DBUILD_TESTING=OFF
step "build for i686"
# shellcheck disable=SC2086
cmake --build "$build/i686" -j "$jobs" --target $tools

build_native_tools

# --------------------------------------------------------------- the ZIP
step "ZIP"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/x86_64/CMakeCache.txt")
package=stereo-mpo-tools-$version-win64
rm -rf "$build/cpack"
(cd "$build/x86_64" && cpack -G ZIP -B "$build/cpack") >"$build/cpack.log" 2>&1 || {
    cat "$build/cpack.log" >&2
    fail "cpack -G ZIP failed"
}
mv "$build/cpack/$package.zip" "$build/$package.zip"
echo "$build/$package.zip"

# Exactly the programs, their pages, README.txt and LICENSE.txt, in one folder.
unzip -Z1 "$build/$package.zip" | grep -v '/$' | sort >"$build/zip.files"
for file in $tools; do
    echo "$package/$file.exe"
    echo "$package/$file.txt"
done >"$build/zip.expected"
printf '%s\n' "$package/README.txt" "$package/LICENSE.txt" >>"$build/zip.expected"
sort -o "$build/zip.expected" "$build/zip.expected"
diff -u "$build/zip.expected" "$build/zip.files" >&2 || fail "the ZIP's files differ from the expected ones"
rm -rf "$build/unpacked"
unzip -q "$build/$package.zip" -d "$build/unpacked"
windows_bin=$build/unpacked/$package

# --------------------------------------------------------- the programs
step "checking the programs"
for tool in $tools; do
    # Only DLLs of Windows itself: the compiler's runtime and libjpeg are
    # linked in.
    for exe in "$windows_bin/$tool.exe" "$build/i686/bin/$tool.exe"; do
        dlls=$(objdump -p "$exe" | sed -n 's/^\tDLL Name: //p' | tr '[:upper:]' '[:lower:]' | sort | tr '\n' ' ')
        [ "$dlls" = "kernel32.dll msvcrt.dll " ] || fail "$exe needs DLLs a user may lack: $dlls"
    done
    # The version record (UTF-16 strings) and the manifest.
    record=$(strings -el "$windows_bin/$tool.exe")
    for value in stereo-mpo-tools "$version" "$tool.exe"; do
        echo "$record" | grep -qxF "$value" || fail "$tool.exe has no \"$value\" in its version record"
    done
    grep -q '<activeCodePage[^>]*>UTF-8<' "$windows_bin/$tool.exe" || fail "$tool.exe has no UTF-8 manifest"
    # The pages: ASCII text of Windows, not of POSIX systems.
    page=$windows_bin/$tool.txt
    grep -q "stereo-mpo-tools $version" "$page" || fail "$tool.txt does not show version $version"
    if LC_ALL=C grep -q '[^[:print:][:space:]]' "$page"; then
        fail "$tool.txt has characters other than printable ASCII"
    fi
    ! grep -E -q 'SIGHUP|nohup|xargs|[a-z]\(1\)' "$page" || fail "$tool.txt speaks of POSIX systems"
    grep -q 'for /r photos' "$page" || fail "$tool.txt lacks the cmd recipe"
done
# Every text file with CR LF line ends only.
for text in "$windows_bin"/*.txt; do
    [ "$(tr -d '\r' <"$text" | wc -l)" -eq "$(grep -c $'\r$' "$text")" ] || fail "$text has lines without CR LF"
done

wait "$wineboot_pid" || {
    cat "$build/wineboot.log" >&2
    fail "wineboot -i failed"
}
# A server that stays up until stop_wine: one that ends with each program
# (its default) is slow to start again, seconds at times. Its services are
# started here, writing nowhere: started by a program whose output is read
# through a pipe (ctest's), they would hold the pipe open as long as they run.
wineserver -w
wineserver -p
"$wine" cmd /c exit </dev/null >/dev/null 2>&1

if [ "$BUILD_WINDOWS_TESTS" = ON ]; then
    step "test suite under Wine"
    (cd "$build/x86_64" && ctest --output-on-failure -j "$jobs")
fi

# ------------------------------------------------ the same bytes as Linux
step "comparing with the Linux build"
# One scratch folder per build with the same inputs. Every run is made from
# inside the folder with bare names, so that both builds print the same
# messages; Windows' CR LF line ends are dropped before comparing.
compare=$build/compare
rm -rf "$compare"
mkdir -p "$compare/input"
cp "$source_dir/samples/garden.mpo" "$compare/input/"
# Names outside the ANSI code page (1252 here) reach the programs only through
# their UTF-8 manifest.
cp "$source_dir/samples/garden.mpo" "$compare/input/写真.mpo"
cp "$source_dir/samples/garden.mpo" "$compare/input/Ωmega.mpo"
if [ -d "$samples_dir" ]; then
    # Every camera file, under a name the tools accept.
    for sample in "$samples_dir"/*.mpo "$samples_dir"/*.jpg; do
        [ -f "$sample" ] || continue
        name=$(basename "$sample")
        cp "$sample" "$compare/input/${name%.*}.mpo"
    done
else
    echo "no camera files in $samples_dir: comparing the shipped sample only"
fi
mkdir "$compare/input/folder.mpo"
# Each input alone; then batches that go on past a folder and stop at a
# missing file. One run a line, its arguments split at spaces.
(cd "$compare/input" && ls) >"$compare/cases"
printf '%s\n' "folder.mpo garden.mpo" "missing.mpo garden.mpo" >>"$compare/cases"
# mpojoin, last in $tools, joins the pairs that brantelix split there: each
# input's _L.jpg in place of the input (joined, refused, or missing).
sed 's/\.mpo\( \|$\)/_L.jpg\1/g' "$compare/cases" >"$compare/join_cases"

run_linux() {
    "$build/linux/bin/$1" "${@:2}"
}
run_windows() {
    "$wine" "$windows_bin/$1.exe" "${@:2}"
}

# run_cases RUNNER LABEL: every tool on every case in a copy of the inputs,
# with statuses, messages and warnings in LABEL.log (and standard output as
# written in LABEL.stdout).
run_cases() {
    runner=$1
    folder=$compare/$2
    cp -r "$compare/input" "$folder"
    for tool in $tools; do
        case_list=$compare/cases
        [ "$tool" != mpojoin ] || case_list=$compare/join_cases
        while read -r arguments; do
            status=0
            # shellcheck disable=SC2086
            (cd "$folder" && "$runner" "$tool" $arguments </dev/null >"$folder.out" 2>"$folder.err") || status=$?
            cat "$folder.out" >>"$folder.stdout"
            {
                echo "== $tool $arguments: status $status"
                tr -d '\r' <"$folder.out"
                echo "-- standard error"
                tr -d '\r' <"$folder.err"
            } >>"$folder.log"
        done <"$case_list"
    done
}
# Both at once, one core each.
run_cases run_linux linux &
linux_pid=$!
run_cases run_windows windows &
windows_pid=$!
wait "$linux_pid" || fail "the runs of the Linux build failed"
wait "$windows_pid" || fail "the runs under Wine failed"

diff -u "$compare/linux.log" "$compare/windows.log" >&2 || fail "the programs behave differently under Wine"
diff -r "$compare/linux" "$compare/windows" >&2 || fail "the programs write different files under Wine"
# Standard output stays in text mode on Windows, as the README says.
if grep -qv $'\r$' "$compare/windows.stdout"; then
    fail "lines without CR LF on the standard output of the Windows programs"
fi
outputs=$(($(find "$compare/windows" -type f | wc -l) - $(find "$compare/input" -type f | wc -l)))
[ "$outputs" -gt 0 ] || fail "no outputs were written"
echo "$outputs outputs of $(wc -l <"$compare/cases") runs per tool are byte-identical"

step "wildcards in a batch file"
# `korventale.exe *.mpo` in a .bat, as a Windows user types it, over the
# inputs that korventale converts: every one is converted, in order of name,
# into the bytes of the Linux build. A pattern that matches nothing stays a
# name, which cannot be opened.
wildcards=$compare/wildcards
mkdir "$wildcards"
(cd "$compare/linux" && find . -maxdepth 1 -name '*_dub.jpg' -printf '%f\n') | sed 's/_dub\.jpg$/.mpo/' |
    LC_ALL=C sort -f >"$compare/wildcards.expected"
while read -r input; do
    cp "$compare/input/$input" "$wildcards/"
done <"$compare/wildcards.expected"
printf '@echo off\r\nkorventale.exe *.mpo\r\n' >"$wildcards/all.bat"
printf '@echo off\r\nkorventale.exe nomatch*.mpo\r\n' >"$wildcards/none.bat"
export WINEPATH="Z:${windows_bin//\//\\}"
status=0
(cd "$wildcards" && "$wine" cmd /c all.bat) </dev/null >"$compare/wildcards.out" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "korventale.exe *.mpo in a batch file ended with status $status"
tr -d '\r' <"$compare/wildcards.out" | sed -n 's/^Writing file \(.*\)_dub\.jpg$/\1.mpo/p' |
    diff -u "$compare/wildcards.expected" - >&2 ||
    fail "korventale.exe *.mpo did not convert every file in order of name"
while read -r input; do
    output=${input%.mpo}_dub.jpg
    cmp -s "$compare/linux/$output" "$wildcards/$output" || fail "$output from *.mpo differs from the Linux build's"
done <"$compare/wildcards.expected"
status=0
(cd "$wildcards" && "$wine" cmd /c none.bat) </dev/null >"$compare/wildcards.out" 2>&1 || status=$?
[ "$status" -eq 255 ] && grep -q '^Error when reading file' "$compare/wildcards.out" ||
    fail "a pattern that matches nothing was not taken as a name (status $status)"
echo "$(wc -l <"$compare/wildcards.expected") files converted through *.mpo, in order of name"

step "done: $build/$package.zip"
