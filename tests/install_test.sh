#!/usr/bin/env bash
# hidlist as users install it: the install tree and its man page, and the
# Debian package, checked by lintian, then installed into a throwaway root
# against a copy of this machine's package database (so its dependencies are
# checked for real and nothing is left behind, however the test ends) and run.
# Usage: install_test.sh BUILD_DIR WORK_DIR
set -euo pipefail
build=$1 work=$2
rm -rf "$work" && mkdir -p "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
[[ -x $work/prefix/bin/hidlist ]] || fail "no bin/hidlist in the install tree"
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
lintian --fail-on error,warning "$deb" 2>/dev/null || fail "lintian: $(lintian "$deb" 2>&1)"
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
