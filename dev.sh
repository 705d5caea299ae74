#!/usr/bin/env bash
# One entry point for a fresh Debian machine: installs what is missing, then
#   ./dev.sh run    builds hidlist and runs it
#   ./dev.sh test   builds and runs every test, once plainly and once under
#                   AddressSanitizer and UndefinedBehaviorSanitizer; the test
#                   on real devices boots a VM (HIDLIST_SKIP_VM=1 skips it)
#   ./dev.sh demo   boots a VM with HID devices on USB, Bluetooth and I2C and
#                   hands this terminal to hidlist inside it
#   ./dev.sh bench  measures what hidlist costs beyond the library's own work
#   ./dev.sh releases  (as root) runs the test command in a fresh Debian 13
#                   root and the run command in fresh Debian 11 and emulated
#                   arm64 Debian 12 roots; cross-builds for arm64, armhf and
#                   i386 and tests them, arm64 in a VM on its own kernel
#   ./dev.sh packages  (as root) writes the .deb for amd64, arm64, armhf and
#                   i386, made in a fresh Debian 12 root, and the Windows zip
#                   into build/packages
set -euo pipefail
cd "$(dirname "$0")"

build_packages=(cmake g++ make pkg-config libhidapi-dev)
test_packages=(python3 git dpkg-dev file lintian groff-base man-db g++-mingw-w64-x86-64-posix)
vm_packages=(python3 busybox-static cpio zstd)
# What exists and serves here for this machine's architecture: Wine runs the
# Windows build only where it is x86-64 itself, and the VM has a guest for
# amd64 and arm64 alone.
case $(dpkg --print-architecture) in
  amd64) test_packages+=(wine wine64) vm_packages+=(qemu-system-x86) ;;
  arm64) vm_packages+=(qemu-system-arm) ;;
esac

# apt-get only when something is missing, and its index refreshed only then.
install_missing() {
  local missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
  done
  if ((${#missing[@]})); then
    echo "Installing ${missing[*]}" >&2
    local sudo=()
    ((EUID == 0)) || sudo=(sudo)
    "${sudo[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
}

# The roots that releases and packages make cross-build from amd64.
needs_amd64_host() {
  [[ $(dpkg --print-architecture) == amd64 ]] ||
    { echo "$1: needs an amd64 machine, and this one is $(dpkg --print-architecture)" >&2; exit 1; }
}

case "${1:-}" in
  run)
    install_missing "${build_packages[@]}"
    # Plain cmake: presets need a newer CMake than many systems have.
    cmake -S . -B build/dev >/dev/null
    cmake --build build/dev --target hidlist >/dev/null
    if ! compgen -G '/dev/hidraw*' >/dev/null; then
      echo "run: this machine has no HID devices, so hidlist lists none; ./dev.sh demo shows real ones" >&2
    fi
    exec build/dev/hidlist
    ;;
  test)
    if [[ "${HIDLIST_SKIP_VM:-}" == 1 ]]; then
      install_missing "${build_packages[@]}" "${test_packages[@]}"
    else
      install_missing "${build_packages[@]}" "${test_packages[@]}" "${vm_packages[@]}"
    fi
    # Whatever the tests' tools leave (Wine, lintian, compilers) stays in the
    # build folder, and goes with this run however it ends.
    export TMPDIR=$PWD/build/tmp
    rm -rf "$TMPDIR" && mkdir -p "$TMPDIR"
    trap 'rm -rf "$TMPDIR"' EXIT
    cmake --workflow --preset dev
    # CTest shows a skipped test as skipped alone; its reason is in its log.
    grep -h '^skipped: ' build/dev/Testing/Temporary/LastTest.log | sed 's/^/test: /' >&2 || true
    cmake --workflow --preset sanitize
    ;;
  demo)
    if [[ ! -t 0 || ! -t 1 ]]; then
      echo "demo: hidlist in the VM takes its key from your terminal, and there is none here" >&2
      exit 1
    fi
    for signal_and_status in INT:130 TERM:143 HUP:129; do
      trap "echo; echo 'demo: interrupted' >&2; exit ${signal_and_status#*:}" "${signal_and_status%:*}"
    done
    install_missing "${build_packages[@]}" "${vm_packages[@]}"
    cmake --preset dev >/dev/null
    cmake --build --preset dev --target hidlist uhid_devices >/dev/null
    # Blocked across the exec, so neither is a signal lost while Python
    # starts nor does its own Ctrl-C handler print a traceback: they wait
    # until vm.py has its handlers in place. The interpreter is named itself,
    # since a wrapper script (pyenv's shim) would let them through and lose them.
    python=$(python3 -c 'import sys; print(sys.executable)' 2>/dev/null)
    trap '' INT TERM HUP
    exec env --block-signal=INT,TERM,HUP "$python" vm/vm.py demo build/dev/hidlist build/dev/tests/uhid_devices
    ;;
  bench)
    install_missing "${build_packages[@]}" "${vm_packages[@]}" valgrind
    cmake --preset dev >/dev/null
    cmake --build --preset dev >/dev/null
    exec python3 bench/bench.py build/dev
    ;;
  releases)
    needs_amd64_host releases
    # The emulated arm64 root needs binfmt_misc in a user namespace of its own.
    IFS=. read -r major minor _ <<<"$(uname -r)"
    ((major > 6 || (major == 6 && minor >= 7))) ||
      { echo "releases: the emulated arm64 root needs Linux 6.7 or later, and this is $(uname -r)" >&2; exit 1; }
    install_missing mmdebstrap arch-test dpkg-dev python3 git
    log=$(mktemp)
    trap 'rm -f "$log"' EXIT
    tests/in_release.sh trixie ./dev.sh test 2>&1 | tee "$log"
    if grep '^test: skipped: ' "$log" >&2; then
      echo "releases: in Debian 13, ./dev.sh test skipped the tests above" >&2
      exit 1
    fi
    for root in bullseye bookworm/arm64; do
      output=$(tests/in_release.sh "$root" ./dev.sh run)
      [[ $output == *"Press any key to Exit" ]] || { echo "releases: in $root ./dev.sh run printed: $output" >&2; exit 1; }
    done
    tests/in_release.sh bookworm tests/architectures.sh test
    echo "releases: Debian 13 passed ./dev.sh test with no test skipped; Debian 11 and arm64 Debian 12 built" \
      "and ran hidlist; the arm64, armhf and i386 builds passed the Report, Text, Console and Scale groups," \
      "and arm64 its VM test"
    ;;
  packages)
    needs_amd64_host packages
    install_missing mmdebstrap dpkg-dev python3 git "${build_packages[@]}" g++-mingw-w64-x86-64-posix
    rm -rf build/packages && mkdir -p build/packages
    HIDLIST_RELEASE_OUTPUT=$PWD/build/packages tests/in_release.sh bookworm tests/architectures.sh packages
    cmake --preset windows >/dev/null
    cmake --build --preset windows >/dev/null
    (cd build/packages && cpack --config ../windows/CPackConfig.cmake >/dev/null && rm -rf _CPack_Packages)
    sha256sum build/packages/*
    ;;
  *)
    echo "usage: $0 run|test|demo|bench|releases|packages" >&2
    exit 2
    ;;
esac
