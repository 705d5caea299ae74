#!/usr/bin/env bash
# hidlist.exe, cross-built with MinGW-w64, takes exactly hid_enumerate and
# hid_free_enumeration from hidapi.dll and needs no other DLL but Windows' own.
# Usage: windows_build_test.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source=$1 work=$2
cmake -S "$source" --preset windows -B "$work" >/dev/null
cmake --build "$work" >/dev/null
imports=$(x86_64-w64-mingw32-objdump -p "$work/hidlist.exe" | grep -E 'DLL Name|hid_' | awk '{print $NF}' | sort)
expected=$(printf '%s\n' KERNEL32.dll hid_enumerate hid_free_enumeration hidapi.dll msvcrt.dll | sort)
if [[ $imports != "$expected" ]]; then
  echo "FAIL: hidlist.exe imports:" $imports >&2
  exit 1
fi
