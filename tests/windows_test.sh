#!/usr/bin/env bash
# hidlist.exe, cross-built with MinGW-w64: it takes exactly hid_enumerate and
# hid_free_enumeration from hidapi.dll and no other DLL but Windows' own, and
# its zip holds what a user needs. Then built as a user with a hidapi Windows
# release folder builds it (HIDAPI_ROOT), here one holding the library double
# as its hidapi.dll: named, it goes before a CMake package, even a foreign
# one, as a headers folder named does, while the preset alone takes a package
# before the build machine's headers; an ARM64 build wants its arm64/ folder,
# the DLL goes beside hidlist.exe and into the zip, and
# under Wine hidlist.exe prints the very report the Linux build does and
# waits on the console. HIDLIST_SKIP_WINE=1 skips the Wine part (status 77).
# Usage: windows_test.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source=$1 work=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

build=$work/build release=$work/hidapi-win
rm -rf "$work" && mkdir -p "$work"
beside() { find "$1" -maxdepth 1 \( -name '*.exe' -o -name '*.dll' \) -printf '%f\n' | sort | xargs; }
zip_contents() { cmake -E tar tf "$1" | sed "s|^[^/]*/||" | sort | xargs; }
configured=$(cmake -S "$source" --preset windows -B "$build" -DHIDLIST_BUILD_TESTS=ON)
by_name="hidapi.dll linked by name and not shipped with hidlist.exe"
grep -x -- "-- hidapi: headers from /usr/include/hidapi on the build machine, $by_name" <<<"$configured" ||
  fail "the preset found hidapi another way: $(grep hidapi <<<"$configured")"
cmake --build "$build" >/dev/null
[[ $(beside "$build") == hidlist.exe ]] || fail "beside hidlist.exe, where users take it from: $(beside "$build")"
imports=$(x86_64-w64-mingw32-objdump -p "$build/hidlist.exe" | grep -E 'DLL Name|hid_' | awk '{print $NF}' | sort)
expected=$(printf '%s\n' KERNEL32.dll hid_enumerate hid_free_enumeration hidapi.dll msvcrt.dll | sort)
[[ $imports == "$expected" ]] || fail "hidlist.exe imports: $(xargs <<<"$imports")"
# Packed twice, a second apart: the same zip.
for copy in 1 2; do
  mkdir -p "$work/zip$copy" && (cd "$work/zip$copy" && cpack --config "$build/CPackConfig.cmake" >/dev/null)
  sleep 1
done
zip=$(echo "$work"/zip1/hidlist-*-win64.zip)
cmp "$zip" "$work"/zip2/hidlist-*-win64.zip >/dev/null || fail "two packings of the zip differ"
[[ $(zip_contents "$zip") == "LICENSE README.md hidlist.exe" ]] || fail "the zip holds: $(zip_contents "$zip")"
echo "hidlist.exe: $(stat -c %s "$build/hidlist.exe") bytes"

# A release folder as hidapi publishes it, with the double and its import
# library in place of the real DLL's.
mkdir -p "$release/include" "$release/x64"
cp /usr/include/hidapi/hidapi.h "$release/include/"
cp "$build/tests/hidapi.dll" "$release/x64/hidapi.dll"
cp "$build/tests/libhidapi.dll.a" "$release/x64/hidapi.lib"
# A CMake package, which the preset takes before the build machine's headers;
# then, named, the release folder and a headers folder, each taken before a
# package never looked at, a foreign one that would stop configure itself.
package=$work/package foreign=$work/foreign
mkdir -p "$package" "$foreign"
printf 'set(hidapi_VERSION 0.14.0)\nadd_library(hidapi::hidapi INTERFACE IMPORTED)\n' >"$package/hidapi-config.cmake"
echo 'message(FATAL_ERROR "a foreign hidapi-config.cmake")' >"$foreign/hidapi-config.cmake"
configured=$(cmake -S "$source" --preset windows -B "$work/with-package" -Dhidapi_DIR="$package")
grep -x -- "-- hidapi: CMake package 0.14.0 from $package, target hidapi::hidapi" <<<"$configured" ||
  fail "the preset did not take the CMake package: $(grep hidapi <<<"$configured")"
configured=$(cmake -S "$source" --preset windows -B "$work/with-release" -Dhidapi_DIR="$foreign" -DHIDAPI_ROOT="$release" 2>&1) ||
  fail "with the release folder named, a foreign package stopped configure: $configured"
grep -x -- "-- hidapi: Windows release folder $release, x64/hidapi.lib, x64/hidapi.dll put beside hidlist.exe" <<<"$configured" ||
  fail "configure did not take the release folder: $(grep hidapi <<<"$configured")"
configured=$(cmake -S "$source" --preset windows -B "$work/with-headers" -Dhidapi_DIR="$foreign" \
  -DHIDLIST_HIDAPI_INCLUDE_DIR="$release/include" 2>&1) ||
  fail "with the headers folder named, a foreign package stopped configure: $configured"
grep -x -- "-- hidapi: headers from $release/include, $by_name" <<<"$configured" ||
  fail "configure did not take the headers folder: $(grep hidapi <<<"$configured")"
# The target's processor as Visual Studio gives it, for ARM64.
echo "set(CMAKE_CXX_COMPILER_ARCHITECTURE_ID ARM64)" >"$work/arm64.cmake"
if configured=$(cmake -S "$source" --preset windows -B "$work/arm64" -DHIDAPI_ROOT="$release" \
  -DCMAKE_PROJECT_INCLUDE="$work/arm64.cmake" 2>&1); then
  fail "an ARM64 build took the release's x64/ folder"
fi
[[ $(tr -s ' \n' '  ' <<<"$configured") == *"has no arm64/, the folder for ARM64"* ]] ||
  fail "configure for ARM64 said: $configured"
cmake --build "$work/with-release" >/dev/null
[[ $(beside "$work/with-release") == "hidapi.dll hidlist.exe" ]] || fail "beside hidlist.exe: $(beside "$work/with-release")"
(cd "$work/with-release" && cpack >/dev/null)
zip=$(echo "$work"/with-release/hidlist-*-win64.zip)
[[ $(zip_contents "$zip") == "LICENSE README.md hidapi.dll hidlist.exe" ]] || fail "the zip holds: $(zip_contents "$zip")"

if [[ ${HIDLIST_SKIP_WINE:-} == 1 ]]; then
  echo "skipped: HIDLIST_SKIP_WINE=1"
  exit 77
fi
if [[ $(uname -m) != x86_64 ]]; then
  echo "skipped: Wine on $(uname -m) runs only Windows programs for $(uname -m), and hidlist.exe is x86-64"
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
HIDLIST=$work/with-release/hidlist.exe python3 "$source/tests/hidlist_test.py" -v ReportTest TextTest
