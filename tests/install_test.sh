#!/usr/bin/env bash
# hidlist as users install it: the install tree, its man page, and the Debian
# package installed on this machine, run, and removed again.
# Usage: install_test.sh BUILD_DIR WORK_DIR
set -euo pipefail
build=$1 work=$2
rm -rf "$work" && mkdir -p "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
[[ -x $work/prefix/bin/hidlist ]] || fail "no bin/hidlist in the install tree"
page=$work/prefix/share/man/man1/hidlist.1
warnings=$(groff -t -man -ww -z -Tutf8 "$page" 2>&1)
[[ -z $warnings ]] || fail "the man page renders with warnings: $warnings"
rendered=$(MANWIDTH=80 man -l "$page" 2>&1)
for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" FILES; do
  grep -qx "$section" <<<"$rendered" || fail "the man page has no $section"
done

(cd "$work" && cpack --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(echo "$work"/hidlist_*_amd64.deb)
[[ -f $deb ]] || fail "cpack made no hidlist_<version>_amd64.deb"
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == *libhidapi-hidraw0* && $depends != *-dev* ]] ||
  fail "the package should depend on hidapi's runtime library, not -dev: $depends"
dpkg-deb -c "$deb" | grep -q '\./usr/bin/hidlist$' || fail "the package has no /usr/bin/hidlist"
dpkg-deb -c "$deb" | grep -q '\./usr/share/man/man1/hidlist\.1$' || fail "the package has no man page"
echo "$(basename "$deb"): $(stat -c %s "$deb") bytes; Depends: $depends"

if ((EUID != 0)); then
  echo "skipped: installing the package needs root"
  exit 77
fi
if dpkg-query -W -f='${Status}' hidlist 2>/dev/null | grep -q 'ok installed'; then
  echo "skipped: a hidlist package is installed already; this test would replace it"
  exit 77
fi
dpkg -i "$deb" >/dev/null
trap 'dpkg -r hidlist >/dev/null' EXIT
# A session of its own: no console, so the installed hidlist must not wait.
output=$(timeout 10 setsid -w /usr/bin/hidlist </dev/null) || fail "the installed hidlist failed or waited with no console"
[[ $output == *"Press any key to Exit" ]] || fail "the installed hidlist printed: $output"
