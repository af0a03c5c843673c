#!/bin/sh
# Unpacks the Debian source of the libjpeg-turbo that the native build links
# (the version of the installed libjpeg-dev) into DEPS_DIR, once, and prints
# the folder it is in. The Windows build compiles it with MinGW-w64 and the
# fuzzing build with the sanitizers and coverage instrumentation, so that all
# builds decode and encode alike.
#
#     scripts/libjpeg_source.sh DEPS_DIR
#
# apt-get source needs a deb-src entry: when there is none, one is derived
# from the machine's own Debian entries (which takes root).
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 DEPS_DIR" >&2
    exit 2
fi
mkdir -p "$1"
deps=$(cd "$1" && pwd)

fail() {
    echo "libjpeg_source.sh: $*" >&2
    exit 1
}

version=$(dpkg-query -W -f='${source:Version}' libjpeg-dev) || fail "libjpeg-dev is not installed"
upstream=${version#*:}
upstream=${upstream%-*}
source=$deps/libjpeg-turbo-$upstream
if [ -d "$source" ]; then
    echo "$source"
    exit 0
fi

command -v dpkg-source >/dev/null || fail "apt-get source needs dpkg-dev"
have_deb_src() {
    grep -qs '^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list ||
        grep -qsE '^Types:.*deb-src' /etc/apt/sources.list.d/*.sources
}
if ! have_deb_src; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
            >/etc/apt/sources.list.d/debian-src.sources
    elif grep -qs '^deb ' /etc/apt/sources.list; then
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >/etc/apt/sources.list.d/debian-src.list
    else
        fail "no Debian sources entry to derive a deb-src entry from"
    fi
    apt-get update -qq >&2
fi
echo "libjpeg-turbo $version source" >&2
# A stale package list may not know the version yet: updated once, then tried again.
if ! (cd "$deps" && apt-get source "libjpeg-turbo=$version") >"$deps/source.log" 2>&1; then
    apt-get update -qq >&2 || true
    (cd "$deps" && apt-get source "libjpeg-turbo=$version") >"$deps/source.log" 2>&1 || {
        cat "$deps/source.log" >&2
        fail "apt-get source libjpeg-turbo=$version failed"
    }
fi
[ -d "$source" ] || fail "apt-get source did not unpack $source"
echo "$source"
