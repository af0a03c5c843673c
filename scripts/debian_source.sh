#!/bin/sh
# Unpacks Debian's source package SOURCE (with Debian's patches applied) into
# DEPS_DIR, once, and prints the folder it is in. The version is that of the
# binary package PACKAGE built from it: the installed one, or else the one
# apt would install, so that a library built from this source for Windows or
# WebAssembly is the one the Linux build links.
#
#     scripts/debian_source.sh DEPS_DIR SOURCE PACKAGE
#
# apt-get source needs a deb-src entry: when there is none, one is derived
# from the machine's own Debian entries (which takes root).
set -eu

if [ $# -ne 3 ]; then
    echo "usage: $0 DEPS_DIR SOURCE PACKAGE" >&2
    exit 2
fi
mkdir -p "$1"
deps=$(cd "$1" && pwd)
name=$2
package=$3

fail() {
    echo "debian_source.sh: $*" >&2
    exit 1
}

if ! version=$(dpkg-query -W -f='${db:Status-Status} ${source:Version}' "$package" 2>/dev/null) ||
    [ "${version%% *}" != installed ]; then
    # A binary rebuild (+b1) keeps the source's version, which `Source:` names
    # in parentheses when it differs.
    record=$(apt-cache show --no-all-versions "$package" 2>/dev/null) || record=""
    version=$(echo "$record" | sed -n 's/^Source: [^ ]* (\(.*\))$/\1/p')
    [ -n "$version" ] || version=$(echo "$record" | sed -n 's/^Version: //p' | head -n 1)
    [ -n "$version" ] || fail "apt knows no version of $package (apt-get update first?)"
else
    version=${version#* }
fi
upstream=${version#*:}
upstream=${upstream%-*}
source=$deps/$name-$upstream
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
    # A list refused by a mirror in mid-sync is no reason to stop: apt-get
    # source below says by name if it needed that one.
    apt-get update -qq >&2 || true
fi
echo "$name $version source" >&2
log=$deps/$name-source.log
# A stale package list may not know the version yet: updated once, then tried again.
if ! (cd "$deps" && apt-get source "$name=$version") >"$log" 2>&1; then
    apt-get update -qq >&2 || true
    (cd "$deps" && apt-get source "$name=$version") >"$log" 2>&1 || {
        cat "$log" >&2
        fail "apt-get source $name=$version failed"
    }
fi
[ -d "$source" ] || fail "apt-get source did not unpack $source"
echo "$source"
