#!/usr/bin/env python3
"""Usage: planted_faults.py BUILD LEAKS [EMULATOR...]

Shows that each sanitizer BUILD was compiled with reports the fault it is
there to catch, in BUILD's own test double, run as the tests run it (under
EMULATOR, if one is given, and with leak detection on where LEAKS is 1).
The double must first start and end cleanly with no fault: a runtime that
cannot start here would fail every case for that alone. A build that names
no sanitizer, or a runtime that lets its fault pass in silence, fails,
naming it: a quiet sanitizer would let every test pass. The VM test runs
the same faults in its guest (tests/vm_test.py)."""

import os
import pathlib
import re
import subprocess
import sys

OPTIONS = {"UBSAN_OPTIONS": "print_stacktrace=1"}


def sanitizers_of(build):
    """The sanitizers BUILD's CMake cache gives the compiler, as -fsanitize= lists them."""
    cache = pathlib.Path(build, "CMakeCache.txt").read_text()
    flags = re.search(r"^CMAKE_CXX_FLAGS:STRING=(.*)$", cache, re.MULTILINE).group(1)
    return [name for field in re.findall(r"-fsanitize=(\S+)", flags) for name in field.split(",")]


def planted(sanitizers, leaks):
    """(fault for HID_DOUBLE_PLANT, the words that report it), for each
    sanitizer named that the double can commit a fault for."""
    checks = []
    if "address" in sanitizers:
        checks.append(("heap-overflow", "AddressSanitizer: heap-buffer-overflow"))
        if leaks:
            checks.append(("leak", "LeakSanitizer: detected memory leaks"))
    if "undefined" in sanitizers:
        checks.append(("signed-overflow", "runtime error: signed integer overflow"))
    return checks


def unreported(fault, report, status, said):
    """Why the run of a planted `fault` that ended with `status`, having
    said `said`, does not show it caught; None where it does."""
    if status == 0 or report not in said:
        return 'a planted %s passed (status %d, no "%s"): %s' % (fault, status, report, " / ".join(said.splitlines()[:3]))
    return None


def run_double(build, emulator, leaks, **environment):
    """(status, what it said) of BUILD's double, with no devices, in a
    session of its own with no console, so that it does not wait."""
    environment = dict(os.environ, HID_DOUBLE_DEVICES="/dev/null", ASAN_OPTIONS="detect_leaks=%d" % leaks,
                       **OPTIONS, **environment)
    ran = subprocess.run([*emulator, os.path.join(build, "tests", "hidlist_double")], env=environment,
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                         start_new_session=True)
    return ran.returncode, ran.stderr.decode(errors="replace")


def main():
    build, leaks, emulator = sys.argv[1], sys.argv[2] == "1", sys.argv[3:]
    sanitizers = sanitizers_of(build)
    if not sanitizers:
        print("FAIL: %s was built with no sanitizer" % build, file=sys.stderr)
        return 1
    named = ",".join(sanitizers)
    checks = planted(sanitizers, leaks)
    if not checks:
        print("FAIL: no planted fault for -fsanitize=%s" % named, file=sys.stderr)
        return 1
    under = " under %s" % " ".join(emulator) if emulator else ""
    status, said = run_double(build, emulator, leaks)
    if status != 0 or said:
        print("FAIL: -fsanitize=%s does not start%s (status %d): %s"
              % (named, under, status, " / ".join(said.splitlines()[:3])), file=sys.stderr)
        return 1
    for fault, report in checks:
        status, said = run_double(build, emulator, leaks, HID_DOUBLE_PLANT=fault)
        why = unreported(fault, report, status, said)
        if why:
            print("FAIL: -fsanitize=%s%s: %s" % (named, under, why), file=sys.stderr)
            return 1
        print("-- -fsanitize=%s: a planted %s was reported (status %d)" % (named, fault, status))
    return 0


if __name__ == "__main__":
    sys.exit(main())
