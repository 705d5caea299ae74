#!/usr/bin/env bash
# hidlist for other Debian architectures, from one amd64 machine, with
# Debian's cross toolchains and multiarch libraries. It adds foreign
# architectures to dpkg, so it runs only in a throwaway root:
#   tests/in_release.sh RELEASE[/ARCHITECTURE] tests/architectures.sh test|packages|install
# platforms.txt names the architectures of each release, and their groups.
#
#   test      cross-builds hidlist, its test double and the VM's helpers for
#             each architecture with a "cross" line, and runs the groups the
#             line names: natively where this machine's kernel runs the
#             programs (i386, unless the kernel's 32-bit support is off),
#             under qemu-user elsewhere, and the test on real devices in a VM
#             on Debian's kernel for that architecture. For a "sanitize"
#             line, the same built with the sanitizers it names (its
#             "qemu-user:" ones where the programs run under qemu-user), once
#             each has reported a fault planted in the test double. A group
#             named that is missing, skipped or failed fails the run, as does
#             any case skipped, by CTest's record.
#   packages  builds the package for each architecture with a "package"
#             line from two clones in different folders, checks that both
#             are the same to the byte and that they pass check_deb.sh, and
#             puts one of each into /output
#   install   (in a root of any architecture) installs this architecture's
#             package from /output with apt-get, as its users would, runs
#             hidlist with no console, and removes it again
set -euo pipefail
mode=$1
# shellcheck source=/dev/null
release=$(. /etc/os-release && echo "$VERSION_CODENAME")
fail() { echo "FAIL: $release $(dpkg --print-architecture): $*" >&2; exit 1; }

# The files of the package DEB, not its folders, one a line, as installed. A
# listing that fails or holds none fails here: the checks on each would pass.
package_files() {
  local listing files
  listing=$(dpkg-deb -c "$1") || fail "dpkg-deb cannot list ${1##*/}"
  files=$(awk '$1 !~ /^d/ { print substr($6, 2) }' <<<"$listing")
  [[ -n $files ]] || fail "${1##*/} lists no files"
  echo "$files"
}

if [[ $mode == install ]]; then
  deb=$(echo /output/hidlist_*_"$(dpkg --print-architecture)".deb)
  [[ -f $deb ]] || fail "no package in /output"
  listed=$(package_files "$deb")
  mapfile -t files <<<"$listed"
  apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$deb" >/dev/null
  # So the listing names the paths the package really installs.
  for file in "${files[@]}"; do
    [[ -e $file || -L $file ]] || fail "the package installed no $file"
  done
  # A session of its own: no console, so hidlist must not wait.
  output=$(timeout 60 setsid -w hidlist </dev/null) || fail "hidlist failed or waited: status $?"
  [[ $output == *"Press any key to Exit" ]] || fail "hidlist printed: $output"
  DEBIAN_FRONTEND=noninteractive apt-get remove -y -q hidlist >/dev/null
  left=$(dpkg-query -W -f='${db:Status-Status}' hidlist 2>/dev/null) || true
  [[ -z $left || $left == not-installed ]] || fail "apt-get remove left hidlist $left"
  for file in "${files[@]}"; do
    [[ ! -e $file && ! -L $file ]] || fail "apt-get remove left $file"
  done
  echo "install: $release $(dpkg --print-architecture): ${deb##*/} installed, hidlist printed its prompt, removed"
  exit 0
fi

[[ -f /project/tests/architectures.sh && $(dpkg --print-architecture) == amd64 ]] ||
  { echo "architectures: run me in a throwaway amd64 root, through tests/in_release.sh" >&2; exit 2; }
case $mode in
  test) kinds=(cross sanitize) ;;
  packages) kinds=(package) ;;
  *) echo "usage: $0 test|packages|install" >&2; exit 2 ;;
esac
apt-get update -q >/dev/null
# The table's reader first: what else to install comes from the table.
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends python3 >/dev/null
# "architecture kind [sanitizers [qemu-user:sanitizers]] group..." for each line of this release and these kinds.
listed=$(python3 /project/tests/platforms.py runs "${kinds[@]}" --release "$release")
[[ -n $listed ]] || { echo "architectures: platforms.txt has no ${kinds[*]} line for $release" >&2; exit 2; }
mapfile -t lines < <(cut -d ' ' -f 2- <<<"$listed")

# Both modes install the same list, made from every cross, sanitize and
# package line of the release: packages are made in the root that the tests
# kept, so a package the list lacked would pass there whenever the tests had
# installed it, and fail in a fresh root.
packages=(cmake make g++ pkg-config git python3 dpkg-dev file lintian libhidapi-dev qemu-user)
every_line=$(python3 /project/tests/platforms.py runs cross sanitize package --release "$release")
mapfile -t every_line < <(cut -d ' ' -f 2- <<<"$every_line")
for line in "${every_line[@]}"; do
  architecture=${line%% *}
  [[ $architecture == amd64 ]] && continue
  dpkg --add-architecture "$architecture"
  packages+=("crossbuild-essential-$architecture" "libhidapi-dev:$architecture")
  # The sanitizer runtimes as the target's own loader finds them: linked in,
  # AddressSanitizer's dies as it starts on arm64.
  [[ $line != *" sanitize "* ]] || packages+=("libasan8:$architecture" "libubsan1:$architecture")
  if [[ " $line " == *" RealDevices "* ]]; then
    guest=$(python3 /project/tests/platforms.py guest-packages "$architecture")
    read -ra guest <<<"$guest"
    packages+=("${guest[@]}" busybox-static cpio zstd)
  fi
done
apt-get update -q >/dev/null  # again, for the architectures just added
# A kept root (in_release.sh) had its packages installed by an earlier run.
DEBIAN_FRONTEND=noninteractive apt-get upgrade -y -q >/dev/null
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${packages[@]}" >/dev/null

# The build a packager makes, of the tree in SOURCE, into BUILD.
configure() {
  local architecture=$1 source=$2 build=$3 options=()
  [[ $architecture == amd64 ]] ||
    options=(-DCMAKE_TOOLCHAIN_FILE="$source/cmake/debian-cross.cmake" -DDEBIAN_ARCHITECTURE="$architecture")
  cmake -S "$source" -B "$build" "${options[@]}" "${@:4}"
}
build() {
  configure "$@"
  cmake --build "$3" -j "$(nproc)" >/dev/null
}

# The emulator the toolchain file chose for BUILD's programs; empty where they run natively.
emulator_of() {
  sed -n 's/^CMAKE_CROSSCOMPILING_EMULATOR:STRING=//p' "$1/CMakeCache.txt"
}

sanitizer_flags() {
  echo "-DCMAKE_CXX_FLAGS=-fsanitize=$1 -fno-sanitize-recover=all -fno-omit-frame-pointer"
}

# The build of BUILD with SANITIZERS (as -fsanitize= lists them), or with
# EMULATED_SANITIZERS where its programs run under qemu-user, for programs
# that run here or in the VM (WHERE). Under qemu-user,
# UndefinedBehaviorSanitizer's runtime starts, AddressSanitizer's not under
# every qemu, and LeakSanitizer's under none, as it stops the program's
# threads with ptrace, which qemu-user lacks. In the VM, on a real kernel,
# AddressSanitizer leaves leak detection on, its default. libstdc++ is
# linked in, as the target's loader does not search the cross toolchain's
# folder that holds it; the sanitizer runtimes are the target's own
# packages. Sets the environment for the tests, and `sanitizers` and `way`
# to what the build has and where it runs.
sanitize() {
  local architecture=$1 build=$2 where=$3 emulated_sanitizers=$5 emulator='' leaks=1
  sanitizers=$4
  configure "$architecture" /project "$build" "${@:6}" -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_EXE_LINKER_FLAGS=-static-libstdc++ "$(sanitizer_flags "$sanitizers")" >/dev/null
  [[ $where == vm ]] || emulator=$(emulator_of "$build")
  if [[ -n $emulator && -n $emulated_sanitizers ]]; then
    echo "-- $architecture: under $emulator, -fsanitize=$emulated_sanitizers instead of $sanitizers, as platforms.txt says"
    sanitizers=$emulated_sanitizers
    cmake "$(sanitizer_flags "$sanitizers")" "$build" >/dev/null
  fi
  cmake --build "$build" -j "$(nproc)" >/dev/null
  [[ -z $emulator ]] || leaks=0
  environment=("ASAN_OPTIONS=detect_leaks=$leaks" UBSAN_OPTIONS=print_stacktrace=1)
  [[ $where == vm ]] || /project/tests/planted_faults.py "$build" "$leaks" ${emulator:+"$emulator"}
  if [[ $where == vm ]]; then
    way="in the VM"
    echo "-- $architecture: -fsanitize=$sanitizers, in the VM, leak detection on"
  elif [[ -n $emulator ]]; then
    way="under qemu-user"
    echo "-- $architecture: -fsanitize=$sanitizers, under $emulator, leak detection off"
  else
    way=natively
    echo "-- $architecture: -fsanitize=$sanitizers, natively, leak detection on"
  fi
}

case $mode in
  test)
    # What a source install of hidapi for this machine leaves in /usr/local:
    # a cross build must not take it.
    mkdir -p /usr/local/lib/cmake/hidapi
    echo 'message(FATAL_ERROR "a cross build took the amd64 hidapi in /usr/local")' \
      >/usr/local/lib/cmake/hidapi/hidapi-config.cmake
    for line in "${lines[@]}"; do
      read -r architecture kind groups <<<"$line"
      echo "== $architecture, $kind"
      build=/project/build/$architecture-$kind
      options=(-DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DHIDLIST_BUILD_TESTS=ON) environment=() sanitizers=
      if [[ $kind == cross ]]; then
        # The toolchain file's word on whether the programs run natively or under qemu-user.
        build "$architecture" /project "$build" "${options[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo |
          grep -F "$architecture programs run"
        way=natively
        [[ -z $(emulator_of "$build") ]] || way="under qemu-user"
      else
        read -r asked groups <<<"$groups"
        emulated=
        if [[ $groups == qemu-user:* ]]; then
          read -r emulated groups <<<"$groups"
          emulated=${emulated#qemu-user:}
        fi
        where=here
        [[ $groups != RealDevices ]] || { where=vm build+=-vm; }
        sanitize "$architecture" "$build" "$where" "$asked" "$emulated" "${options[@]}"
      fi
      results=$build/Testing/results.xml
      rm -f "$results"
      env "${environment[@]}" ctest --test-dir "$build" -R "^(${groups// /|})\$" --output-on-failure --no-tests=error \
        --output-junit "$results" --test-output-size-passed 1048576 || true
      # Every group named must have run and passed, and no case skipped.
      read -ra group_names <<<"$groups"
      python3 /project/tests/ctest_results.py "$results" --groups "${group_names[@]}" \
        --verdict "$release: $architecture, cross-built${sanitizers:+ with -fsanitize=$sanitizers}, $way," ||
        { echo "FAIL: $architecture, $kind" >&2; exit 1; }
    done
    rm -r /usr/local/lib/cmake/hidapi  # the root may be kept for packages, which build for amd64 too
    ;;
  packages)
    for copy in one another; do
      git clone -q /project "/tmp/$copy/hidlist"
    done
    for line in "${lines[@]}"; do
      architecture=${line%% *}
      for copy in one another; do
        build "$architecture" "/tmp/$copy/hidlist" "/tmp/$copy/build-$architecture" >/dev/null
        (cd "/tmp/$copy" && cpack --config "build-$architecture/CPackConfig.cmake" >/dev/null)
      done
      deb=$(echo /tmp/one/hidlist_*_"$architecture".deb)
      [[ -f $deb ]] || { echo "FAIL: no package for $architecture" >&2; exit 1; }
      cmp "$deb" /tmp/another/"${deb##*/}" || { echo "FAIL: two builds of ${deb##*/} differ" >&2; exit 1; }
      tests/check_deb.sh "$deb"
      cp "$deb" /output/
    done
    ;;
esac
