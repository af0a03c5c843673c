#!/bin/sh
# Unpacks the Debian source of the libjpeg-turbo that the native build links
# (the version of the installed libjpeg-dev) into DEPS_DIR, once, and prints
# the folder it is in. The Windows and WebAssembly builds compile it, and the
# fuzzing build with the sanitizers and coverage instrumentation, so that all
# builds decode and encode alike.
#
#     scripts/libjpeg_source.sh DEPS_DIR
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 DEPS_DIR" >&2
    exit 2
fi
exec "$(dirname "$0")/debian_source.sh" "$1" libjpeg-turbo libjpeg-dev
