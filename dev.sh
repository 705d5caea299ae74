#!/usr/bin/env bash
# One entry point for a fresh Debian machine: installs what is missing, then
# runs one of its commands, run, test, demo, bench, releases or packages.
# DEVELOPING.md's "The commands" says what each does.
set -euo pipefail
cd "$(dirname "$0")"

build_packages=(cmake g++ make pkg-config libhidapi-dev)
test_packages=(python3 git dpkg-dev file lintian groff-base man-db valgrind g++-mingw-w64-x86-64-posix shellcheck)
vm_packages=(python3 busybox-static cpio zstd)
# What exists and serves here for this machine's architecture: Wine runs the
# Windows build only where it is x86-64 itself, and QEMU only for the guests
# platforms.txt names.
host=$(dpkg --print-architecture)
[[ $host != amd64 ]] || test_packages+=(wine wine64)

# apt-get only when something is missing, and its index refreshed only then.
install_missing() {
  local missing=()
  for package in "$@"; do
    [[ " ${missing[*]} " != *" $package "* ]] || continue
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
  done
  if ((${#missing[@]})); then
    local sudo=()
    if ((EUID != 0)); then
      # sudo -v asks for the password once, if it must, and fails where this
      # user may not use sudo; a minimal Debian has no sudo at all.
      local no_sudo=
      if ! command -v sudo >/dev/null; then
        no_sudo="this machine has no sudo"
      elif ! sudo -n true 2>/dev/null && [[ ! -t 0 ]]; then
        no_sudo="sudo wants a password, and there is no terminal to ask for it"
      elif ! sudo -v; then
        no_sudo="sudo refused $(id -un)"
      fi
      if [[ -n $no_sudo ]]; then
        echo "$0: missing ${missing[*]}; installing them needs root, or sudo, and $no_sudo" >&2
        exit 1
      fi
      sudo=(sudo)
    fi
    echo "Installing ${missing[*]}" >&2
    # Once a run: python3 may have come first, to read platforms.txt.
    [[ -n ${apt_updated:-} ]] || "${sudo[@]}" apt-get update -q
    apt_updated=1
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
}

# Every shell script of the project, told by its name or its first line:
# among the files git tracks, or in a source archive, which has no history,
# among all but the builds'.
shell_scripts() {
  local prefix files=()
  if prefix=$(git rev-parse --show-prefix 2>/dev/null) && [[ -z $prefix ]]; then
    mapfile -d '' files < <(git ls-files -z)
  else
    mapfile -d '' files < <(find . \( -path ./build -o -path ./.git \) -prune -o -type f -print0)
  fi
  for file in "${files[@]}"; do
    [[ -f $file ]] || continue
    if [[ $file == *.sh ]] || head -n 1 "$file" | grep -qE '^#!.*[/ ](ba|da)?sh( |$)'; then
      echo "$file"
    fi
  done
}

# The runs of platforms.txt of the kinds named, in its order, as "release
# architecture kind [sanitizers [qemu-user:sanitizers]] groups"; not CI's
# own, "native". The roots
# get a clone of the last commit, so a table changed since is refused.
platforms() {
  local runs
  git diff --quiet HEAD -- platforms.txt tests/platforms.py ||
    { echo "platforms.txt or its reader differs from the last commit's, which the roots get: commit it first" >&2; return 1; }
  runs=$(python3 tests/platforms.py runs "$@") || return
  [[ -n $runs ]] || { echo "platforms.txt names no run of the kind $*" >&2; return 1; }
  echo "$runs"
}

# The VM's packages gain those of this machine's guest, where platforms.txt
# has one; python3 reads the table.
add_guest_packages() {
  local guest
  install_missing python3
  guest=$(python3 tests/platforms.py guest-packages "$host")
  read -ra guest <<<"$guest"
  vm_packages+=("${guest[@]}")
}

# The roots that releases and packages make cross-build from amd64, and the
# emulated ones need binfmt_misc in a user namespace of their own.
needs_root_host() {
  [[ $host == amd64 ]] || { echo "$1: needs an amd64 machine, and this one is $host" >&2; exit 1; }
  IFS=. read -r major minor _ <<<"$(uname -r)"
  ((major > 6 || (major == 6 && minor >= 7))) ||
    { echo "$1: the emulated roots need Linux 6.7 or later, and this is $(uname -r)" >&2; exit 1; }
}

# The sanitize preset's double, with no devices and no console, must start
# and end cleanly here; what it printed if not is in `complaint`.
sanitized_double_starts() {
  complaint=$(HID_DOUBLE_DEVICES=/dev/null setsid -w build/sanitize/tests/hidlist_double </dev/null 2>&1 >/dev/null)
}

# The line of that complaint which names what failed.
complaint_line() {
  grep -m 1 -E 'Sanitizer|runtime error' <<<"$complaint" || grep -m 1 . <<<"$complaint" || echo "it printed nothing"
}

# What a sanitizer's runtime says when it cannot run here at all, as
# against a fault it found: AddressSanitizer finding no room for its shadow
# memory, LeakSanitizer unable to stop the threads.
sanitizer_cannot_start='AddressSanitizer failed to allocate|ReserveShadowMemoryRange failed|Shadow memory range interleaves|LeakSanitizer has encountered a fatal error'

# The sanitize preset, built with what of it this machine lets run, each
# found by trying once: AddressSanitizer's runtime needs an address space it
# was made for, which not every kernel gives, and LeakSanitizer stops the
# program's threads with ptrace, which not every machine allows. What is
# left out is said in one line; under CI=true it fails the run instead.
# Exports the ASAN_OPTIONS the tests then run with.
build_sanitize_preset() {
  local left_out='' why flags
  cmake --preset sanitize
  cmake --build --preset sanitize
  export ASAN_OPTIONS=detect_leaks=1
  sanitized_double_starts && return
  why=$(grep -m 1 -E "$sanitizer_cannot_start" <<<"$complaint") ||
    { echo "test: FAIL: the sanitize build's test double, with no devices, failed: $(complaint_line)" >&2; exit 1; }
  if ASAN_OPTIONS=detect_leaks=0 sanitized_double_starts; then
    left_out=LeakSanitizer ASAN_OPTIONS=detect_leaks=0
  elif ! grep -qE "$sanitizer_cannot_start" <<<"$complaint"; then
    echo "test: FAIL: the sanitize build's test double, with no devices, failed: $(complaint_line)" >&2
    exit 1
  else
    flags=$(sed -n 's/^CMAKE_CXX_FLAGS:STRING=//p' build/sanitize/CMakeCache.txt)
    cmake --preset sanitize "-DCMAKE_CXX_FLAGS=${flags/-fsanitize=address,undefined/-fsanitize=undefined}" >/dev/null
    cmake --build --preset sanitize >/dev/null
    sanitized_double_starts ||
      { echo "test: FAIL: built with UndefinedBehaviorSanitizer alone, the test double failed: $(complaint_line)" >&2; exit 1; }
    left_out="AddressSanitizer and its LeakSanitizer"
  fi
  if [[ ${CI:-} == true ]]; then
    echo "test: FAIL: under CI=true the sanitize preset runs whole, and here it left out $left_out: $why" >&2
    exit 1
  fi
  echo "test: sanitize: left out $left_out, whose runtime does not start on this machine: $why"
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
    if [[ ${CI:-} == true ]] && switches=$(compgen -v HIDLIST_SKIP_); then
      echo "test: under CI=true every test must run, so ${switches//$'\n'/ } may not be set" >&2
      exit 1
    fi
    if [[ "${HIDLIST_SKIP_VM:-}" == 1 ]]; then
      install_missing "${build_packages[@]}" "${test_packages[@]}"
    else
      add_guest_packages
      install_missing "${build_packages[@]}" "${test_packages[@]}" "${vm_packages[@]}"
    fi
    # A line of the table that is wrong fails here, not later in a run.
    python3 tests/platforms.py check
    # The shell scripts are held to shellcheck as the C++ is to the
    # compiler's warnings: any finding fails the run.
    mapfile -t scripts < <(shell_scripts)
    shellcheck "${scripts[@]}" || { echo "test: shellcheck's findings above fail the test" >&2; exit 1; }
    # Whatever the tests' tools leave (Wine, lintian, compilers) stays in the
    # build folder, and goes with this run however it ends.
    export TMPDIR=$PWD/build/tmp
    rm -rf "$TMPDIR" && mkdir -p "$TMPDIR"
    trap 'rm -rf "$TMPDIR"' EXIT
    # The dev preset, then the sanitize one, a step at a time, so that CTest
    # keeps its own record of each test, with all it printed: from that come
    # the way QEMU ran the VM's guest, and each skipped test with its reason
    # (CTest's summary names it alone). A case skipped for another reason
    # than the one allowed fails the run, and under CI=true a skipped test.
    for preset in dev sanitize; do
      if [[ $preset == dev ]]; then
        cmake --preset dev
        cmake --build --preset dev
      else
        build_sanitize_preset
        tests/planted_faults.py build/sanitize "${ASAN_OPTIONS#detect_leaks=}"
      fi
      results=$PWD/build/$preset/Testing/results.xml
      rm -f "$results"
      ctest --preset "$preset" --output-junit "$results" --test-output-size-passed 1048576
      # Every group of the preset must be in the record, so that one the
      # build stopped defining cannot pass unseen. Under Wine the console is
      # the terminal on standard input, so the case of output redirected away
      # from the console has nothing to test there.
      if [[ $preset == dev ]]; then
        checks=(--expect Report Text Console Scale ReportMemcheck TextMemcheck RealDevices Install Windows
                --skip-reason "under Wine the console is the terminal")
      else
        checks=(--expect Report Text Console Scale)
      fi
      python3 tests/ctest_results.py "$results" "${checks[@]}"
    done
    ;;
  demo)
    if [[ ! -t 0 || ! -t 1 ]]; then
      echo "demo: hidlist in the VM takes its key from your terminal, and there is none here" >&2
      exit 1
    fi
    interrupted() { echo; echo 'demo: interrupted' >&2; exit "$1"; }
    trap 'interrupted 130' INT
    trap 'interrupted 143' TERM
    trap 'interrupted 129' HUP
    add_guest_packages
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
    add_guest_packages
    install_missing "${build_packages[@]}" "${vm_packages[@]}" valgrind
    cmake --preset dev >/dev/null
    cmake --build --preset dev >/dev/null
    exec python3 bench/bench.py build/dev
    ;;
  releases)
    needs_root_host releases
    install_missing mmdebstrap arch-test dpkg-dev python3 git
    runs=$(platforms test run cross sanitize)
    mapfile -t runs <<<"$runs"
    native=$(python3 tests/platforms.py native)
    # shellcheck source=/dev/null
    [[ $native == "$(. /etc/os-release && echo "$VERSION_CODENAME")" ]] ||
      echo "releases: this machine is not Debian $native, so its own ./dev.sh test is not the run platforms.txt calls native"
    cross_tested=()
    log=$(mktemp)
    trap 'rm -f "$log"' EXIT
    for run in "${runs[@]}"; do
      read -r release architecture what _ <<<"$run"
      root=$release
      [[ $architecture == "$host" ]] || root=$release/$architecture
      SECONDS=0
      case $what in
        test)
          # As CI runs it there, so that no test may skip and a case only
          # where its skip is allowed; its own verdict is the one taken.
          tests/in_release.sh "$root" env CI=true ./dev.sh test
          echo "releases: $root: ./dev.sh test passed ($SECONDS s)"
          ;;
        run)
          output=$(tests/in_release.sh "$root" ./dev.sh run)
          [[ $output == *"Press any key to Exit" ]] || { echo "releases: in $root ./dev.sh run printed: $output" >&2; exit 1; }
          echo "releases: $root: ./dev.sh run built hidlist, which printed its prompt ($SECONDS s)"
          ;;
        cross | sanitize)
          # One root serves every architecture cross-built in a release, and
          # each of its lines is said as the verdict read from CTest's record
          # there, which each must have.
          if [[ " ${cross_tested[*]} " != *" $release "* ]]; then
            HIDLIST_RELEASE_KEEP=cross tests/in_release.sh "$release" tests/architectures.sh test | tee "$log"
            cross_tested+=("$release")
            grep '^verdict: ' "$log" | python3 tests/platforms.py verdicts "$release" ||
              { echo "releases: $release: the verdicts are not one for each line of platforms.txt" >&2; exit 1; }
            sed -n 's/^verdict: /releases: /p' "$log"
            echo "releases: $release: the cross builds and their tests took $SECONDS s"
          fi
          ;;
      esac
    done
    ;;
  packages)
    needs_root_host packages
    install_missing mmdebstrap arch-test dpkg-dev python3 git "${build_packages[@]}" g++-mingw-w64-x86-64-posix
    rm -rf build/packages && mkdir -p build/packages
    export HIDLIST_RELEASE_OUTPUT=$PWD/build/packages
    releases=$(platforms package | awk '!seen[$1]++ { print $1 }')
    for release in $releases; do
      SECONDS=0
      HIDLIST_RELEASE_KEEP=cross tests/in_release.sh "$release" tests/architectures.sh packages
      echo "packages: $release: made and checked in $SECONDS s"
    done
    # Each package where its users get it: a fresh root of its architecture.
    installs=$(platforms install)
    mapfile -t installs <<<"$installs"
    for install in "${installs[@]}"; do
      read -r release architecture _ <<<"$install"
      root=$release
      [[ $architecture == "$host" ]] || root=$release/$architecture
      SECONDS=0
      tests/in_release.sh "$root" tests/architectures.sh install
      echo "packages: $root: installed, run and removed in $SECONDS s"
    done
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
