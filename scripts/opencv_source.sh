#!/bin/sh
# Unpacks the Debian source of the OpenCV that the Linux build links (the
# version of libopencv-core-dev, installed or else apt's candidate) into
# DEPS_DIR, once, and prints the folder it is in; scripts/opencv_build.sh
# builds it for Windows and WebAssembly.
#
#     scripts/opencv_source.sh DEPS_DIR
#
# Debian's source carries opencv_contrib beside the main tree; nothing here
# uses it, and its hundred megabytes are removed once unpacked.
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 DEPS_DIR" >&2
    exit 2
fi
source=$("$(dirname "$0")/debian_source.sh" "$1" opencv libopencv-core-dev)
rm -rf "$source/contrib"
echo "$source"
