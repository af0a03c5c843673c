#!/bin/bash
# Cross-builds the tools for 64-bit and 32-bit Windows with Debian's
# MinGW-w64, packs them into BUILD_DIR/stereo-mpo-tools-VERSION-win64.zip and
# -win32.zip and checks what a Windows user gets: the programs unpacked from
# each ZIP, run under Wine, write the same bytes as a native Linux build for
# the shipped sample and every camera file in ../shared/samples/mpo, and print
# the same messages. The 32-bit programs run under Debian's 32-bit Wine, which
# qemu's user-mode emulator runs where the kernel cannot. The test suite is
# built for both and run under Wine (for 32-bit, the tests of what differs
# there). Any compiler warning fails the run.
#   scripts/windows.sh BUILD_DIR
# Runs as root on Debian: installs what is missing with apt-get, fetches
# libjpeg-turbo's Debian source (Debian ships no MinGW build of it) and
# downloads the 32-bit Wine and qemu without installing them.
set -eu

# The script runs again without address randomisation (setarch -R, which every
# program it starts inherits), where the machine allows it. Debian's 64-bit
# Wine has no preloader to reserve Windows' fixed addresses before Linux
# places a process's heap, anywhere in the GiB above Wine's loader: about one
# start in 8000 put the heap over the page where Windows' shared user data
# must be (0x7ffe0000), and that process ended at once with status 1, unseen
# (its message is an ERR, which WINEDEBUG=-all hides). A test then failed by
# itself: a program it ran "cannot start" (Windows' error 1359), or the test
# ended with no output. Unrandomised, the heap begins right after the loader,
# 46 MiB below that page.
if [ -z "${WINDOWS_SH_UNRANDOMISED:-}" ]; then
    if setarch "$(uname -m)" -R true 2>/dev/null; then
        WINDOWS_SH_UNRANDOMISED=1 exec setarch "$(uname -m)" -R "$0" "$@"
    fi
    echo "$(basename "$0"): address randomisation cannot be turned off here; about one start of a Wine program in 8000 fails" >&2
fi

# ON builds the test suite into both trees and runs it under Wine with ctest
# (what needs POSIX machinery skips or is left out, saying why); OFF makes the
# ZIPs alone, a little sooner.
BUILD_WINDOWS_TESTS=ON

# The tests run under the emulated 32-bit Wine: those of what differs on
# 32-bit Windows (files of 2 GiB, the memory limit of a view, libjpeg's fatal
# errors, which leave a view by longjmp, the composing tools and the Dubois
# rule, with the C library's, libjpeg's and the SIMD code for 32-bit x86),
# the batch frame, the cmd recipe and the interrupts. The 64-bit Wine runs the
# whole suite, which would take several times as long here (see the README);
# and a test that may skip cannot run under the emulator.
WIN32_TESTS='^(BatchFrame\.|Interrupts\.|BadArguments\.FilesOf2GiB|DecompressionBombs\.AreRefused|DamagedPictures\.FatalError|ComposingTools\.|DuboisRule\.|folder_recipe_cmd$)'

. "$(dirname "$0")/build_common.sh"
# mpojoin ships in the ZIP, not in the page (whose web.sh shares the list);
# so does mpoalign, statically linked with OpenCV built below.
tools="$tools mpojoin mpoalign"

# ---------------------------------------------------------------- packages
step "packages"
# Native build for the comparison; MinGW-w64 compilers of the posix thread
# model; nasm for libjpeg-turbo's SIMD code; dpkg-dev for apt-get source;
# Wine to run the 64-bit programs (wine64: the 32-bit Wine is set up below);
# groff for the text pages; unzip to check the ZIPs as a user unpacks them;
# OpenCV's modules for the native mpoalign, whose version is also the one of
# the OpenCV source built for Windows.
packages="cmake make g++ libjpeg-dev g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix nasm
    dpkg-dev wine wine64 groff-base unzip binutils
    libopencv-core-dev libopencv-imgproc-dev libopencv-features2d-dev"
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
# And OpenCV's, for mpoalign, the version the Linux build links.
step "OpenCV source"
opencv_source=$("$source_dir/scripts/opencv_source.sh" "$build/deps") || fail "no OpenCV source"

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

# ------------------------------------------------- the emulated 32-bit Wine
# Debian's i386 Wine, the same version as the native one (whose server the
# 32-bit programs share), needs a kernel that runs 32-bit programs, which this
# machine's may not; qemu's user-mode emulator runs it instead. Installing
# wine32:i386 would make `wine` pick a loader that cannot start here, so
# nothing is installed: the packages are downloaded with an apt state of
# their own (its lists and cache, i386 among its architectures), which leaves
# the machine's dpkg and apt as they are, and unpacked into wine32/root. Done
# in the background while the compilers run; wine32/wine then runs a 32-bit
# program as `wine` does.
wine32_dir=$build/wine32
wine32_root=$wine32_dir/root
wine32=$wine32_dir/wine
setup_wine32() {
    [ -x "$wine32" ] && return
    local apt_options version deb
    rm -rf "$wine32_dir"
    mkdir -p "$wine32_dir/apt/lists/partial" "$wine32_dir/apt/cache/archives/partial" "$wine32_dir/debs" "$wine32_root"
    apt_options=(-qq -o DPkg::Lock::Timeout=900 -o APT::Sandbox::User=root -o APT::Architecture=amd64
        -o APT::Architectures::=amd64 -o APT::Architectures::=i386 -o Dir::State::Lists="$wine32_dir/apt/lists"
        -o Dir::Cache="$wine32_dir/apt/cache" -o Dir::State::status=/dev/null
        -o Acquire::IndexTargets::deb-src::Sources::DefaultEnabled=false)
    update_package_lists "${apt_options[@]}"
    version=$(dpkg-query -W -f='${Version}' wine64)
    (cd "$wine32_dir/debs" && apt-get "${apt_options[@]}" download "libwine:i386=$version" "wine32:i386=$version" \
        "wine32-preloader:i386=$version" libc6:i386 libgcc-s1:i386 qemu-user-static)
    for deb in "$wine32_dir/debs"/*_i386.deb; do
        dpkg-deb -x "$deb" "$wine32_root"
    done
    dpkg-deb --fsys-tarfile "$wine32_dir"/debs/qemu-user-static_*.deb | tar -x -C "$wine32_dir" ./usr/bin/qemu-i386-static
    rm -rf "$wine32_dir/apt" "$wine32_dir/debs"
    # What libwine's own script makes at installation, which unpacking skips:
    # zlib1.dll from MinGW's zlib, marked as one of Wine's DLLs (needed by
    # user32, and so by cmd). The installed 64-bit libwine made it for both.
    cp /usr/lib/x86_64-linux-gnu/wine/i386-windows/zlib1.dll "$wine32_root/usr/lib/i386-linux-gnu/wine/i386-windows/"

    local wine_lib=$wine32_root/usr/lib/wine qemu=$wine32_dir/usr/bin/qemu-i386-static
    # qemu's ELF loader, unlike the kernel's, reserves every address between
    # a program's lowest and highest segments. The preloader's first segment,
    # only its build-id note, lies at 0x08048000, far below its code at
    # 0x7d400000: that reservation took most of the 2 GiB that Wine gives a
    # 32-bit program, which could then allocate some 100 MiB in all. The
    # segment's entry is made a null one; nothing reads the note.
    local preloader=$wine_lib/wine-preloader.static headers
    readelf -lW "$preloader" | awk '$1 == "LOAD" {print $3; exit}' | grep -qx 0x08048000 ||
        fail "the 32-bit Wine's preloader does not begin with the segment at 0x08048000"
    headers=$(readelf -hW "$preloader" | sed -n 's/^ *Start of program headers: *\([0-9]*\) .*/\1/p')
    printf '\0\0\0\0' | dd of="$preloader" bs=1 seek="$headers" conv=notrunc status=none
    # Wine begins every process, the first one and those it starts, by
    # executing the preloader beside its loader; the kernel cannot run it, so
    # that file becomes a script that has qemu run it.
    rm "$wine_lib/wine-preloader"
    # shellcheck disable=SC2016
    printf '#!/bin/sh\nexec "%s" -L "%s" "%s" "$@"\n' "$qemu" "$wine32_root" "$preloader" >"$wine_lib/wine-preloader"
    # The loader, already under its preloader, need not execute itself again
    # (WINELOADERNOEXEC), which would start the emulator twice. A program
    # that crashes ends at once rather than waiting for a debugger that
    # cannot start under the emulator.
    # shellcheck disable=SC2016
    printf '#!/bin/sh\nWINELOADERNOEXEC=1 WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}winedbg.exe=d" exec "%s" "%s" "$@"\n' \
        "$wine_lib/wine-preloader" "$wine_lib/wine" >"$wine32"
    chmod 755 "$wine_lib/wine-preloader" "$wine32"
}
setup_wine32 >"$build/wine32.log" 2>&1 &
wine32_pid=$!

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

# OpenCV's core, imgproc and features2d, static, for one target into
# deps/ARCH, where the project's toolchain finds them (once: the longest step
# of a fresh build, see the README). The time it took is printed.
build_opencv() {
    local arch=$1 begun
    [ -f "$build/deps/$arch/lib/cmake/opencv4/OpenCVConfig.cmake" ] && return
    step "OpenCV for $arch"
    begun=$(date +%s)
    JOBS=$jobs "$source_dir/scripts/opencv_build.sh" "$opencv_source" "$build/deps/build-opencv-$arch" \
        "$build/deps/$arch" "$arch-w64-mingw32" || fail "OpenCV for $arch failed"
    echo "OpenCV for $arch: $(($(date +%s) - begun)) s"
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
build_opencv x86_64
configure_windows x86_64 -DBUILD_TESTING="$BUILD_WINDOWS_TESTS" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="/usr/bin/env;WINEPREFIX=$WINEPREFIX;WINEDEBUG=-all;LC_ALL=C.UTF-8;$wine"
step "build for x86_64"
cmake --build "$build/x86_64" -j "$jobs"

build_jpeg i686
build_opencv i686
configure_windows i686 -DBUILD_TESTING="$BUILD_WINDOWS_TESTS" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="/usr/bin/env;WINEPREFIX=$WINEPREFIX;WINEDEBUG=-all;LC_ALL=C.UTF-8;$wine32"
step "build for i686"
cmake --build "$build/i686" -j "$jobs"

build_native_tools

# -------------------------------------------------------------- the ZIPs
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/x86_64/CMakeCache.txt")
rm -rf "$build/unpacked"
# pack ARCH: the ZIP of the build for ARCH, named by CPack after the Windows
# it is for (win64, win32), holding exactly the programs, their pages,
# README.txt and LICENSE.txt in one folder; unpacked into unpacked/ as a user
# would, and that folder printed.
pack() {
    local arch=$1 package
    rm -rf "$build/cpack-$arch"
    (cd "$build/$arch" && cpack -G ZIP -B "$build/cpack-$arch") >"$build/cpack-$arch.log" 2>&1 || {
        cat "$build/cpack-$arch.log" >&2
        fail "cpack -G ZIP failed for $arch"
    }
    package=$(basename "$build/cpack-$arch/stereo-mpo-tools-$version-"win*.zip .zip)
    mv "$build/cpack-$arch/$package.zip" "$build/$package.zip"
    echo "$build/$package.zip" >&2
    unzip -Z1 "$build/$package.zip" | grep -v '/$' | sort >"$build/zip.files"
    for file in $tools; do
        echo "$package/$file.exe"
        echo "$package/$file.txt"
    done >"$build/zip.expected"
    printf '%s\n' "$package/README.txt" "$package/LICENSE.txt" >>"$build/zip.expected"
    sort -o "$build/zip.expected" "$build/zip.expected"
    diff -u "$build/zip.expected" "$build/zip.files" >&2 || fail "$package.zip holds other files than the expected ones"
    unzip -q "$build/$package.zip" -d "$build/unpacked"
    echo "$build/unpacked/$package"
}
step "ZIPs"
win64_bin=$(pack x86_64)
win32_bin=$(pack i686)
if [ "$win64_bin" != "$build/unpacked/stereo-mpo-tools-$version-win64" ] ||
    [ "$win32_bin" != "$build/unpacked/stereo-mpo-tools-$version-win32" ]; then
    fail "the ZIPs are not named win64 and win32"
fi

# --------------------------------------------------------- the programs
step "checking the programs"
for bin in "$win64_bin" "$win32_bin"; do
    for tool in $tools; do
        exe=$bin/$tool.exe
        # Only DLLs of Windows itself: the compiler's runtime and libjpeg are
        # linked in.
        dlls=$(objdump -p "$exe" | sed -n 's/^\tDLL Name: //p' | tr '[:upper:]' '[:lower:]' | sort | tr '\n' ' ')
        [ "$dlls" = "kernel32.dll msvcrt.dll " ] || fail "$exe needs DLLs a user may lack: $dlls"
        # The version record (UTF-16 strings) and the manifest.
        record=$(strings -el "$exe")
        for value in stereo-mpo-tools "$version" "$tool.exe"; do
            echo "$record" | grep -qxF "$value" || fail "$exe has no \"$value\" in its version record"
        done
        grep -q '<activeCodePage[^>]*>UTF-8<' "$exe" || fail "$exe has no UTF-8 manifest"
    done
done
objdump -f "$win32_bin/korventale.exe" | grep -q 'file format pei-i386' || fail "the win32 ZIP's programs are not 32-bit"
for tool in $tools; do
    # The pages: ASCII text of Windows, not of POSIX systems.
    page=$win64_bin/$tool.txt
    grep -q "stereo-mpo-tools $version" "$page" || fail "$tool.txt does not show version $version"
    if LC_ALL=C grep -q '[^[:print:][:space:]]' "$page"; then
        fail "$tool.txt has characters other than printable ASCII"
    fi
    ! grep -E -q 'SIGHUP|nohup|xargs|[a-z]\(1\)' "$page" || fail "$tool.txt speaks of POSIX systems"
    grep -q 'for /r photos' "$page" || fail "$tool.txt lacks the cmd recipe"
done
for text in "$win64_bin"/*.txt; do
    # Every text file with CR LF line ends only, and the same in both ZIPs.
    [ "$(tr -d '\r' <"$text" | wc -l)" -eq "$(grep -c $'\r$' "$text")" ] || fail "$text has lines without CR LF"
    cmp -s "$text" "$win32_bin/$(basename "$text")" || fail "$(basename "$text") differs between the ZIPs"
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

wait "$wine32_pid" || {
    cat "$build/wine32.log" >&2
    fail "the 32-bit Wine could not be set up"
}
# A 32-bit program in this 64-bit prefix finds Windows' DLLs in syswow64,
# which the native wineboot leaves empty; hard links, not 500 MB of copies.
cp -lf "$wine32_root/usr/lib/i386-linux-gnu/wine/i386-windows/"* "$WINEPREFIX/drive_c/windows/syswow64/"
status=0
output=$("$wine32" cmd /c echo ready </dev/null 2>&1) || status=$?
if [ "$status" -ne 0 ] || ! echo "$output" | tr -d '\r' | grep -qx ready; then
    fail "the emulated 32-bit Wine does not run cmd (status $status): $output"
fi

if [ "$BUILD_WINDOWS_TESTS" = ON ]; then
    step "test suite under Wine"
    (cd "$build/x86_64" && ctest --output-on-failure -j "$jobs")
    step "32-bit test suite under the emulated Wine"
    (cd "$build/i686" && ctest --output-on-failure -j "$jobs" -R "$WIN32_TESTS")
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
# The views of each input, split by the Linux build, for the programs that
# read pictures rather than MPO files.
(cd "$compare/input" && "$build/linux/bin/brantelix" ./*.mpo >/dev/null) || true

# The runs compared, one program a line: its name and a pattern of the inputs
# it is run on, each alone; then batches that go on past a folder (mpojoin's
# folder_L.jpg is missing instead: it stops there too) and stop at a missing
# file. mpojoin comes last: it joins the views back over the MPO files.
compared='brantelix *.mpo
korventale *.mpo
trismoldaven *.mpo
vostrin *.mpo
mpoalign *.mpo
mpojoin *_L.jpg'
while read -r tool pattern; do
    (cd "$compare/input" && for input in $pattern; do echo "$tool $input"; done)
    suffix=${pattern#\*}
    printf '%s\n' "$tool folder$suffix garden$suffix" "$tool missing$suffix garden$suffix"
done <<<"$compared" >"$compare/runs"

run_linux() {
    "$build/linux/bin/$1" "${@:2}"
}
run_win64() {
    "$wine" "$win64_bin/$1.exe" "${@:2}"
}
run_win32() {
    "$wine32" "$win32_bin/$1.exe" "${@:2}"
}

# run_cases LABEL: every run, each by run_LABEL in LABEL, a copy of the
# inputs, with statuses, messages and warnings in LABEL.log (and standard
# output as written in LABEL.stdout).
run_cases() {
    local folder=$compare/$1 tool arguments status
    cp -r "$compare/input" "$folder"
    while read -r tool arguments; do
        status=0
        # shellcheck disable=SC2086
        (cd "$folder" && "run_$1" "$tool" $arguments </dev/null >"$folder.out" 2>"$folder.err") || status=$?
        cat "$folder.out" >>"$folder.stdout"
        {
            echo "== $tool $arguments: status $status"
            tr -d '\r' <"$folder.out"
            echo "-- standard error"
            tr -d '\r' <"$folder.err"
        } >>"$folder.log"
    done <"$compare/runs"
}
# All at once: the Linux runs are soon done, leaving a core to each Wine.
pids=""
for label in linux win64 win32; do
    run_cases "$label" &
    pids="$pids $!"
done
for pid in $pids; do
    wait "$pid" || fail "the runs failed"
done

# compare_with_linux LABEL: the same statuses, messages and files as the
# Linux build, and standard output in text mode, as the README says.
compare_with_linux() {
    local label=$1 outputs
    diff -u "$compare/linux.log" "$compare/$label.log" >&2 || fail "the $label programs behave differently under Wine"
    diff -r "$compare/linux" "$compare/$label" >&2 || fail "the $label programs write different files under Wine"
    if grep -qv $'\r$' "$compare/$label.stdout"; then
        fail "lines without CR LF on the standard output of the $label programs"
    fi
    outputs=$(grep -c '^Writing file' "$compare/$label.log") || fail "no outputs were written by the $label programs"
    echo "$label: $outputs outputs of $(wc -l <"$compare/runs") runs are byte-identical"
}
compare_with_linux win64
compare_with_linux win32

# `korventale.exe *.mpo` in a .bat, as a Windows user types it, over the
# inputs that korventale converts: every one is converted, in order of name,
# into the bytes of the Linux build. A pattern that matches nothing stays a
# name, which cannot be opened.
(cd "$compare/linux" && find . -maxdepth 1 -name '*_dub.jpg' -printf '%f\n') | sed 's/_dub\.jpg$/.mpo/' |
    LC_ALL=C sort -f >"$compare/wildcards.expected"
# wildcards LABEL WINE BIN: in the folder wildcards-LABEL, with the programs of BIN.
wildcards() {
    local folder=$compare/wildcards-$1 wine=$2 bin=$3 input output status
    mkdir "$folder"
    while read -r input; do
        cp "$compare/input/$input" "$folder/"
    done <"$compare/wildcards.expected"
    printf '@echo off\r\nkorventale.exe *.mpo\r\n' >"$folder/all.bat"
    printf '@echo off\r\nkorventale.exe nomatch*.mpo\r\n' >"$folder/none.bat"
    export WINEPATH="Z:${bin//\//\\}"
    status=0
    (cd "$folder" && "$wine" cmd /c all.bat) </dev/null >"$folder.out" 2>&1 || status=$?
    [ "$status" -eq 0 ] || fail "$1: korventale.exe *.mpo in a batch file ended with status $status"
    tr -d '\r' <"$folder.out" | sed -n 's/^Writing file \(.*\)_dub\.jpg$/\1.mpo/p' |
        diff -u "$compare/wildcards.expected" - >&2 ||
        fail "$1: korventale.exe *.mpo did not convert every file in order of name"
    while read -r input; do
        output=${input%.mpo}_dub.jpg
        cmp -s "$compare/linux/$output" "$folder/$output" || fail "$1: $output from *.mpo differs from the Linux build's"
    done <"$compare/wildcards.expected"
    status=0
    (cd "$folder" && "$wine" cmd /c none.bat) </dev/null >"$folder.out" 2>&1 || status=$?
    [ "$status" -eq 255 ] && grep -q '^Error when reading file' "$folder.out" ||
        fail "$1: a pattern that matches nothing was not taken as a name (status $status)"
    echo "$1: $(wc -l <"$compare/wildcards.expected") files converted through *.mpo, in order of name"
}
step "wildcards in a batch file"
wildcards win64 "$wine" "$win64_bin"
wildcards win32 "$wine32" "$win32_bin"

step "done: $build/stereo-mpo-tools-$version-win64.zip and -win32.zip"
