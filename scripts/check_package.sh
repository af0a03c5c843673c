#!/bin/sh
# Builds the Debian package of a configured and built tree with CPack, unpacks
# it into a temporary root and checks it the way a user would meet it: the
# programs, their manual pages compressed as Debian does, the copyright
# file, changelog and lintian overrides, and nothing else; the package's
# dependencies; lintian's verdict (any error or warning that the overrides do
# not cover fails); and the installed programs running from there.
#   scripts/check_package.sh BUILD_DIR
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
programs="brantelix korventale trismoldaven vostrin mpojoin"
# mpoalign is built where OpenCV is found, which the Linux build requires.
[ -x "$build/bin/mpoalign" ] && programs="$programs mpoalign"

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
case " $programs " in
    *" mpoalign "*)
        for module in core features2d; do
            case "$depends" in
                *libopencv-${module}4*) ;;
                *) fail "the package does not depend on Debian's OpenCV $module library" ;;
            esac
        done
        ;;
esac

# Exactly these files (folders aside).
doc=usr/share/doc/stereo-mpo-tools
overrides=usr/share/lintian/overrides/stereo-mpo-tools
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort >"$work/files"
{
    for program in $programs; do
        echo "./usr/bin/$program"
        echo "./usr/share/man/man1/$program.1.gz"
    done
    echo "./$doc/copyright"
    echo "./$doc/changelog.gz"
    echo "./$overrides"
} | sort >"$work/expected"
diff -u "$work/expected" "$work/files" >&2 || fail "the package's files differ from the expected ones"

root=$work/root
dpkg-deb -x "$deb" "$root"

# A gzip file made with -n has neither the original name (flag bit 3) nor a
# time (bytes 4 to 7) in its header, so that rebuilding gives the same bytes.
check_gzip() {
    header=$(od -An -tu1 -N8 "$1" | tr -s ' ' | sed 's/^ //; s/ $//')
    # shellcheck disable=SC2086 # one positional parameter per byte
    set -- "$1" $header
    [ "$2 $3 $4" = "31 139 8" ] || fail "$1 is not a gzip file"
    [ $(($5 & 8)) -eq 0 ] || fail "$1 keeps its original name (not gzip -n)"
    [ "$6 $7 $8 $9" = "0 0 0 0" ] || fail "$1 keeps a time stamp (not gzip -n)"
    gzip -t "$1" || fail "$1 is damaged"
}

cmp -s "$source_dir/LICENSE" "$root/$doc/copyright" || fail "the copyright file is not the project's LICENSE"
check_gzip "$root/$doc/changelog.gz"
# The latest entry names the package and its version.
first=$(gzip -dc "$root/$doc/changelog.gz" | head -n 1)
case "$first" in
    "stereo-mpo-tools ($version) "*) ;;
    *) fail "the changelog's latest entry is not for version $version: $first" ;;
esac

# Every override has its reason on the comment line just above it.
awk '/^#/ { reason = 1; next } /^[[:space:]]*$/ { reason = 0; next }
     { if (!reason) { print FILENAME ": no reason above: " $0; bad = 1 }; reason = 0 }
     END { exit bad }' "$root/$overrides" >&2 || fail "an override has no reason"

for program in $programs; do
    page=$root/usr/share/man/man1/$program.1.gz
    check_gzip "$page"
    gzip -dc "$page" | grep -q "stereo-mpo-tools $version" ||
        fail "the page of $program does not show version $version"
    if command -v groff >/dev/null 2>&1; then
        warnings=$(gzip -dc "$page" | groff -mandoc -Tutf8 -ww -z 2>&1) ||
            fail "groff failed on the page of $program"
        [ -z "$warnings" ] || fail "the page of $program renders with warnings: $warnings"
    fi
    if command -v man >/dev/null 2>&1; then
        # What `man PROGRAM` finds once the package's man folder is searched.
        [ "$(MANPATH="$root/usr/share/man" man -w "$program")" = "$page" ] ||
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
case " $programs " in
    *" mpoalign "*)
        "$root/usr/bin/mpoalign" "$work/photos/garden.mpo" >>"$work/run.log" 2>&1 || {
            cat "$work/run.log" >&2
            fail "unpacked mpoalign failed"
        }
        [ -s "$work/photos/garden_aligned.mpo" ] || fail "unpacked mpoalign wrote no garden_aligned.mpo"
        ;;
esac
# And the sample split and joined again.
"$root/usr/bin/brantelix" "$work/photos/garden.mpo" >>"$work/run.log" || fail "unpacked brantelix failed"
rm "$work/photos/garden.mpo"
"$root/usr/bin/mpojoin" "$work/photos/garden_L.jpg" >>"$work/run.log" || fail "unpacked mpojoin failed"
[ -s "$work/photos/garden.mpo" ] || fail "unpacked mpojoin wrote no garden.mpo"

# lintian as Debian's archive would run it; the overrides shipped in the
# package are applied, and any error or warning left fails. Info tags are
# shown for the record.
command -v lintian >/dev/null 2>&1 || fail "lintian is not installed (apt-get install lintian)"
lintian --display-info --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 || {
    cat "$work/lintian.log" >&2
    fail "lintian found errors or warnings that are not overridden"
}
grep -v '^running with root privileges' "$work/lintian.log" || true

echo "check_package: $(basename "$deb") installs, runs and passes lintian"
