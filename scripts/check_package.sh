#!/bin/sh
# Builds the Debian package of a configured and built tree with CPack, unpacks
# it into a temporary root and checks it the way a user would meet it: the
# four programs and their manual pages and nothing else, the package's
# dependencies, and the installed programs running from there.
#   scripts/check_package.sh BUILD_DIR
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
programs="brantelix korventale trismoldaven vostrin"

fail() {
    echo "check_package: $*" >&2
    exit 1
}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

# A package of its own folder, so that an older one lying in the build tree
# cannot be taken for it.
(cd "$build" && cpack -G DEB -B "$work/out") >"$work/cpack.log" 2>&1 || {
    cat "$work/cpack.log" >&2
    fail "cpack -G DEB failed"
}
set -- "$work"/out/*.deb
if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    fail "expected one .deb in $work/out, found: $*"
fi
deb=$1
echo "package: $(basename "$deb")"

[ "$(dpkg-deb -f "$deb" Package)" = stereo-mpo-tools ] || fail "wrong package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not $version"
depends=$(dpkg-deb -f "$deb" Depends)
echo "depends: $depends"
case "$depends" in
    *libjpeg62-turbo*) ;;
    *) fail "the package does not depend on libjpeg62-turbo" ;;
esac

# Exactly the programs and pages (folders aside).
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort >"$work/files"
for program in $programs; do
    echo "./usr/bin/$program"
    echo "./usr/share/man/man1/$program.1"
done | sort >"$work/expected"
diff -u "$work/expected" "$work/files" >&2 || fail "the package's files differ from the expected ones"

root=$work/root
dpkg-deb -x "$deb" "$root"
for program in $programs; do
    grep -q "stereo-mpo-tools $version" "$root/usr/share/man/man1/$program.1" ||
        fail "the page of $program does not show version $version"
    if command -v groff >/dev/null 2>&1; then
        warnings=$(groff -mandoc -Tutf8 -ww -z "$root/usr/share/man/man1/$program.1" 2>&1) ||
            fail "groff failed on the page of $program"
        [ -z "$warnings" ] || fail "the page of $program renders with warnings: $warnings"
    fi
    if command -v man >/dev/null 2>&1; then
        # What `man PROGRAM` finds once the package's man folder is searched.
        [ "$(MANPATH="$root/usr/share/man" man -w "$program")" = "$root/usr/share/man/man1/$program.1" ] ||
            fail "man does not find the page of $program"
    fi
    banner=$("$root/usr/bin/$program") || fail "$program without arguments failed"
    echo "$banner" | grep -q "^\*\*\*\*  [A-Z]*   " || fail "$program printed no banner"
done

# One real conversion by an unpacked program, which needs the libraries the
# package depends on.
mkdir "$work/photos"
cp "$source_dir/samples/garden.mpo" "$work/photos/"
"$root/usr/bin/vostrin" "$work/photos/garden.mpo" >"$work/run.log" || fail "unpacked vostrin failed"
[ -s "$work/photos/garden.jps" ] || fail "unpacked vostrin wrote no garden.jps"

echo "check_package: $(basename "$deb") installs and runs"
