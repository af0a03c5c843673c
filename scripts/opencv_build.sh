#!/bin/sh
# Builds the OpenCV of SOURCE (scripts/opencv_source.sh) for one target, as
# static libraries of the modules that the aligner uses (core, imgproc,
# features2d) and nothing else, and installs them into PREFIX, where
# `find_package(OpenCV)` finds them (PREFIX/lib/cmake/opencv4). Once: a
# PREFIX that has them already is left as it is.
#
#     scripts/opencv_build.sh SOURCE BUILD_DIR PREFIX TARGET [CMAKE_OPTION...]
#
# TARGET is x86_64-w64-mingw32 or i686-w64-mingw32 (with the project's
# toolchain files), or wasm-simd or wasm (Debian's Emscripten, with and
# without WebAssembly SIMD). Debian's source lacks the zlib that OpenCV's core
# requires (its 3rdparty folder is removed): zlib is built from Debian's own
# source into PREFIX first.
#
# The build is cut to what CI's two cores can afford and to what makes every
# target compute the same figures (see the comments at each setting).
set -eu

if [ $# -lt 4 ]; then
    echo "usage: $0 SOURCE BUILD_DIR PREFIX TARGET [CMAKE_OPTION...]" >&2
    exit 2
fi
opencv_source=$(cd "$1" && pwd)
mkdir -p "$2" "$3"
build=$(cd "$2" && pwd)
prefix=$(cd "$3" && pwd)
target=$4
# Further options, given to OpenCV's CMake after the script's own.
shift 4
project_dir=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-$(nproc)}

fail() {
    echo "opencv_build.sh: $*" >&2
    exit 1
}

# How each target runs CMake, and the flags that make its arithmetic that
# of the others (see below).
case $target in
*-w64-mingw32)
    arch=${target%%-*}
    # SSE2 is x86's baseline here as in Debian's build; on i686 GCC would still
    # compute scalar floats on the x87 unit, in 80-bit registers, unless told
    # to use SSE2 for them too.
    flags=""
    [ "$arch" != i686 ] || flags="-msse2 -mfpmath=sse"
    ;;
wasm | wasm-simd)
    command -v emcmake >/dev/null || fail "emcmake not found (Debian's emscripten package)"
    # Emscripten's tools run on node with the modules Debian installs.
    export NODE_PATH=/usr/share/nodejs
    # The plain variant's CV_FORCE_SIMD128_CPP: see below.
    flags=-msimd128
    [ "$target" = wasm-simd ] || flags=-DCV_FORCE_SIMD128_CPP
    ;;
*) fail "unknown target $target" ;;
esac
configure() {
    case $target in
    *-w64-mingw32)
        cmake -DCMAKE_TOOLCHAIN_FILE="$project_dir/cmake/$target.cmake" -DWINDOWS_DEPS_PREFIX="$prefix" "$@"
        ;;
    *) emcmake cmake "$@" ;;
    esac
}

if [ -f "$prefix/lib/cmake/opencv4/OpenCVConfig.cmake" ]; then
    exit 0
fi
log=$build/build.log
: >"$log"

# ------------------------------------------------------------------- zlib
# Debian's version, the static library alone. Not through zlib's own CMake
# project, which renames a file of the source and needs Windows resources
# that Debian's source lacks: its C files are the library.
if [ ! -f "$prefix/lib/libz.a" ]; then
    zlib_source=$("$project_dir/scripts/debian_source.sh" "$(dirname "$opencv_source")" zlib zlib1g-dev) ||
        fail "no zlib source"
    echo "opencv_build.sh: zlib for $target" >&2
    mkdir -p "$build/zlib-project"
    cat >"$build/zlib-project/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(zlib C)
file(GLOB sources ${ZLIB_SOURCE}/*.c)
add_library(z STATIC ${sources})
target_include_directories(z PRIVATE ${ZLIB_SOURCE})
if(NOT WIN32)
  target_compile_definitions(z PRIVATE HAVE_UNISTD_H)
endif()
CMAKE
    configure -S "$build/zlib-project" -B "$build/zlib" -DZLIB_SOURCE="$zlib_source" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_C_FLAGS="$flags" >>"$log" 2>&1 || fail "configuring zlib failed: see $log"
    cmake --build "$build/zlib" -j "$jobs" >>"$log" 2>&1 || fail "building zlib failed: see $log"
    mkdir -p "$prefix/lib" "$prefix/include"
    cp "$zlib_source/zlib.h" "$zlib_source/zconf.h" "$prefix/include/"
    cp "$build/zlib/libz.a" "$prefix/lib/"
fi

# ------------------------------------------------------------------ OpenCV
case $target in
*-w64-mingw32)
    # No CPU dispatch: Debian's build adds SSE4.1 to AVX-512 copies of many
    # kernels, chosen at run time, whose results differ in the last bits
    # from the SSE2 ones (fused multiply-adds among them). Left out, the
    # Windows programs run the SSE2 code that Debian's library runs under
    # cv::setUseOptimized(false), on any processor, and the build is shorter.
    cpu="-DCPU_BASELINE=SSE2 -DCPU_DISPATCH="
    ;;
wasm)
    # Without WebAssembly SIMD, OpenCV's 128-bit vector code emulated in
    # plain C++ rather than its scalar code (which opencv.js takes, with the
    # intrinsics off): the same operations in the same order as in the SIMD
    # variant, meant to compute the same figures (unlike the scalar code).
    cpu="-DCPU_BASELINE= -DCPU_DISPATCH= -DCV_ENABLE_INTRINSICS=ON -DENABLE_PIC=FALSE"
    ;;
wasm-simd)
    cpu="-DCPU_BASELINE= -DCPU_DISPATCH= -DCV_ENABLE_INTRINSICS=ON -DENABLE_PIC=FALSE"
    ;;
esac
# The modules, and what OpenCV would otherwise build or look for. -O2, as
# Debian builds it, rather than CMake's -O3: quicker to compile, and the same
# optimisations as the library the Linux build links. No threads in
# WebAssembly (the modules run in workers of their own, one file each).
threads=ON
case $target in wasm*) threads=OFF ;; esac
echo "opencv_build.sh: OpenCV for $target" >&2
# shellcheck disable=SC2086
configure -S "$opencv_source" -B "$build/opencv" $cpu -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DBUILD_LIST=core,imgproc,features2d -DBUILD_SHARED_LIBS=OFF \
    -DBUILD_TESTS=OFF -DBUILD_PERF_TESTS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_opencv_apps=OFF -DBUILD_DOCS=OFF \
    -DBUILD_JAVA=OFF -DBUILD_opencv_python2=OFF -DBUILD_opencv_python3=OFF -DBUILD_PACKAGE=OFF \
    -DOPENCV_GENERATE_PKGCONFIG=OFF -DINSTALL_CREATE_DISTRIB=OFF \
    -DBUILD_ZLIB=OFF -DZLIB_LIBRARY="$prefix/lib/libz.a" -DZLIB_INCLUDE_DIR="$prefix/include" \
    -DCV_TRACE=OFF -DWITH_ITT=OFF -DWITH_IPP=OFF -DWITH_OPENCL=OFF -DWITH_OPENCLAMDFFT=OFF \
    -DWITH_OPENCLAMDBLAS=OFF -DWITH_VA=OFF -DWITH_VA_INTEL=OFF -DWITH_DIRECTX=OFF -DWITH_OPENCL_D3D11_NV=OFF \
    -DWITH_CUDA=OFF -DWITH_OPENMP=OFF -DWITH_TBB=OFF -DWITH_PTHREADS_PF=$threads -DWITH_EIGEN=OFF \
    -DWITH_LAPACK=OFF -DWITH_PROTOBUF=OFF -DWITH_QUIRC=OFF -DWITH_ADE=OFF -DWITH_OPENVINO=OFF \
    -DWITH_CAROTENE=OFF -DWITH_CPUFEATURES=OFF -DWITH_VTK=OFF -DWITH_GTK=OFF -DWITH_QT=OFF -DWITH_WIN32UI=OFF \
    -DWITH_FFMPEG=OFF -DWITH_GSTREAMER=OFF -DWITH_V4L=OFF -DWITH_1394=OFF -DWITH_DSHOW=OFF -DWITH_MSMF=OFF \
    -DWITH_MSMF_DXVA=OFF -DWITH_JPEG=OFF -DWITH_PNG=OFF -DWITH_TIFF=OFF -DWITH_WEBP=OFF -DWITH_OPENJPEG=OFF \
    -DWITH_JASPER=OFF -DWITH_OPENEXR=OFF -DWITH_IMGCODEC_HDR=OFF -DWITH_IMGCODEC_SUNRASTER=OFF \
    -DWITH_IMGCODEC_PXM=OFF -DWITH_IMGCODEC_PFM=OFF "$@" >>"$log" 2>&1 || fail "configuring OpenCV failed: see $log"
cmake --build "$build/opencv" -j "$jobs" >>"$log" 2>&1 || fail "building OpenCV failed: see $log"
cmake --install "$build/opencv" >>"$log" 2>&1 || fail "installing OpenCV failed: see $log"
