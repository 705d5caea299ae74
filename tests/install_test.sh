#!/usr/bin/env bash
# hidlist as users install it: the install tree and its man page, and the
# Debian package, hardened, the same to the byte from two folders, checked by
# lintian, then installed into a throwaway root against a copy of this
# machine's package database (so its dependencies are checked for real and
# nothing is left behind, however the test ends) and run.
# Usage: install_test.sh SOURCE_DIR BUILD_DIR WORK_DIR
set -euo pipefail
source=$1 build=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
export TMPDIR=$work  # lintian's scratch files, among others
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/prefix" --strip >/dev/null
installed=$(cd "$work/prefix" && find . -type f | sort | xargs)
[[ $installed == "./bin/hidlist ./share/doc/hidlist/changelog.gz ./share/doc/hidlist/copyright ./share/man/man1/hidlist.1.gz" ]] ||
  fail "the install tree holds: $installed"
[[ $(file -b "$work/prefix/bin/hidlist") == *", stripped"* ]] || fail "the installed hidlist is not stripped"
page=$work/prefix/share/man/man1/hidlist.1.gz
warnings=$(zcat "$page" | groff -t -man -ww -z -Tutf8 2>&1)
[[ -z $warnings ]] || fail "the man page renders with warnings: $warnings"
rendered=$(MANWIDTH=80 man -l "$page" 2>&1)
for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" FILES; do
  grep -qx "$section" <<<"$rendered" || fail "the man page has no $section"
done

(cd "$work" && cpack --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(echo "$work"/hidlist_*_"$(dpkg --print-architecture)".deb)
[[ -f $deb ]] || fail "cpack made no hidlist_<version>_<architecture>.deb"
tags=$(lintian -I "$deb" 2>&1) || fail "lintian: $tags"
[[ $tags != *hardening* ]] || fail "lintian: $tags"

dpkg-deb -x "$deb" "$work/unpacked"
binary=$work/unpacked/usr/bin/hidlist
readelf -h "$binary" | grep -q 'Type:.*DYN' || fail "not position independent"
readelf -l "$binary" | grep -q GNU_RELRO || fail "no read-only relocations"
readelf -d "$binary" | grep -q 'FLAGS.*NOW' || fail "symbols are not bound at start"
symbols=$(readelf --dyn-syms -W "$binary")
grep -q '__[a-z]*_chk' <<<"$symbols" || fail "no checked buffer functions"
grep -q __stack_chk_fail <<<"$symbols" || fail "no stack protector"

# Packaged again from two copies of the tree in other folders, a second apart.
for copy in a another; do
  mkdir -p "$work/$copy/source"
  tar -C "$source" --exclude=./build -c . | tar -C "$work/$copy/source" -x
  cmake -S "$work/$copy/source" -B "$work/$copy/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$work/$copy/build" >/dev/null
  (cd "$work/$copy" && cpack --config build/CPackConfig.cmake >/dev/null)
  sleep 1
done
cmp "$work"/a/hidlist_*.deb "$work"/another/hidlist_*.deb >/dev/null || fail "two builds of the package differ"
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == *libhidapi-hidraw0* && $depends != *-dev* ]] ||
  fail "the package should depend on hidapi's runtime library, not -dev: $depends"
echo "$(basename "$deb"): $(stat -c %s "$deb") bytes; Depends: $depends"

root=$work/root admin=$work/dpkg
mkdir -p "$root" "$admin/info" "$admin/updates" "$admin/triggers"
cp /var/lib/dpkg/status "$admin/"
dpkg --force-not-root --instdir="$root" --admindir="$admin" -i "$deb" >/dev/null
for file in usr/bin/hidlist usr/share/man/man1/hidlist.1.gz usr/share/doc/hidlist/copyright; do
  [[ -f $root/$file ]] || fail "the package installed no /$file"
done
# A session of its own: no console, so the installed hidlist must not wait.
output=$(timeout 10 setsid -w "$root/usr/bin/hidlist" </dev/null) || fail "the installed hidlist failed or waited with no console"
[[ $output == *"Press any key to Exit" ]] || fail "the installed hidlist printed: $output"
