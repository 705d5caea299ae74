#!/usr/bin/env bash
# hidlist.exe, cross-built with MinGW-w64: it takes exactly hid_enumerate and
# hid_free_enumeration from hidapi.dll and no other DLL but Windows' own, its
# zip holds what a user needs, and under Wine, with the library double as
# hidapi.dll, it prints the very report the Linux build does and waits on the
# console. HIDLIST_SKIP_WINE=1 skips the Wine part (status 77).
# Usage: windows_test.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source=$1 work=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

build=$work/build stage=$work/stage
rm -rf "$work" && mkdir -p "$stage"
cmake -S "$source" --preset windows -B "$build" -DHIDLIST_BUILD_TESTS=ON >/dev/null
cmake --build "$build" >/dev/null
beside=$(find "$build" -maxdepth 1 \( -name '*.exe' -o -name '*.dll' \) -printf '%f\n' | sort | xargs)
[[ $beside == hidlist.exe ]] || fail "beside hidlist.exe, where users take it from: $beside"
imports=$(x86_64-w64-mingw32-objdump -p "$build/hidlist.exe" | grep -E 'DLL Name|hid_' | awk '{print $NF}' | sort)
expected=$(printf '%s\n' KERNEL32.dll hid_enumerate hid_free_enumeration hidapi.dll msvcrt.dll | sort)
[[ $imports == "$expected" ]] || fail "hidlist.exe imports:" $imports
# Packed twice, a second apart: the same zip.
for copy in 1 2; do
  mkdir -p "$work/zip$copy" && (cd "$work/zip$copy" && cpack --config "$build/CPackConfig.cmake" >/dev/null)
  sleep 1
done
zip=$(echo "$work"/zip1/hidlist-*-win64.zip)
cmp "$zip" "$work"/zip2/hidlist-*-win64.zip >/dev/null || fail "two packings of the zip differ"
contents=$(cmake -E tar tf "$zip" | sed "s|^[^/]*/||" | sort | xargs)
[[ $contents == "LICENSE README.md hidlist.exe" ]] || fail "the zip holds: $contents"
echo "hidlist.exe: $(stat -c %s "$build/hidlist.exe") bytes"
cp "$build/hidlist.exe" "$build/tests/hidapi.dll" "$stage/"

if [[ ${HIDLIST_SKIP_WINE:-} == 1 ]]; then
  echo "skipped: HIDLIST_SKIP_WINE=1"
  exit 77
fi
# A prefix of our own, removed after with the folder the server makes for it
# in /tmp, named after the prefix's device and inode. The server is started
# first, with no hold on this script's output, and kept until the end. Wine 10
# crashes when TMPDIR is set, so Wine goes without it (the harness drops it
# too), while the harness's own files stay where it points.
export WINEPREFIX=$work/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
without_tmpdir=(env -u TMPDIR)
mkdir -p "$WINEPREFIX"
server=server-$(stat -c %D "$WINEPREFIX")-$(printf %x "$(stat -c %i "$WINEPREFIX")")
# Interrupted, ctest goes first and leaves our output with no reader: the
# clean-up must not die writing to it.
trap '' PIPE
clean_up() {
  "${without_tmpdir[@]}" wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
  for folder in /tmp/wine-*/"$server"; do
    [[ -e $folder ]] && rm -rf "$folder" && rmdir "${folder%/*}" 2>/dev/null
  done
  return 0
}
trap clean_up EXIT
"${without_tmpdir[@]}" wineserver -p >/dev/null 2>&1
"${without_tmpdir[@]}" wineboot -i >/dev/null 2>&1
HIDLIST=$stage/hidlist.exe python3 "$source/tests/hidlist_test.py" -v ReportTest TextTest
