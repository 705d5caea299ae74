#!/usr/bin/env bash
# Usage: planted_faults.sh BUILD LEAKS [EMULATOR]
# Shows that each sanitizer BUILD was compiled with reports the fault it is
# there to catch, in BUILD's own test double, run as the tests run it (under
# EMULATOR, if one is given, and with leak detection on where LEAKS is 1).
# A build that names no sanitizer, or a runtime that lets its fault pass in
# silence, fails, naming it: a quiet sanitizer would let every test pass.
set -euo pipefail
build=$1 leaks=$2 emulator=${3:-}

flags=$(sed -n 's/^CMAKE_CXX_FLAGS:STRING=//p' "$build/CMakeCache.txt")
sanitizers=$(grep -oE -- '-fsanitize=[^ ]+' <<<"$flags" | cut -d = -f 2 | paste -sd ,) || true
[[ -n $sanitizers ]] || { echo "FAIL: $build was built with no sanitizer: $flags" >&2; exit 1; }

# Each fault the double can commit, and the words that report it.
checks=()
[[ ,$sanitizers, != *,address,* ]] || checks+=("heap-overflow:AddressSanitizer: heap-buffer-overflow")
[[ ,$sanitizers, != *,address,* || $leaks != 1 ]] || checks+=("leak:LeakSanitizer: detected memory leaks")
[[ ,$sanitizers, != *,undefined,* ]] || checks+=("signed-overflow:runtime error: signed integer overflow")
((${#checks[@]})) || { echo "FAIL: no planted fault for -fsanitize=$sanitizers" >&2; exit 1; }

for check in "${checks[@]}"; do
  fault=${check%%:*} report=${check#*:}
  said=$(HID_DOUBLE_PLANT=$fault HID_DOUBLE_DEVICES=/dev/null ASAN_OPTIONS=detect_leaks=$leaks UBSAN_OPTIONS=print_stacktrace=1 \
    setsid -w ${emulator:+"$emulator"} "$build/tests/hidlist_double" </dev/null 2>&1 >/dev/null) && status=0 || status=$?
  if ((status == 0)) || ! grep -qF "$report" <<<"$said"; then
    echo "FAIL: -fsanitize=$sanitizers let a planted $fault pass (status $status, no \"$report\"): $(head -n 3 <<<"$said")" >&2
    exit 1
  fi
  echo "-- -fsanitize=$sanitizers: a planted $fault was reported (status $status)"
done
