#!/usr/bin/env bash
# hidlist for every Debian architecture with HID hardware, from one amd64
# machine, with Debian's cross toolchains and multiarch libraries. It adds
# foreign architectures to dpkg, so it runs only in a throwaway root:
#   tests/in_release.sh bookworm tests/architectures.sh test|packages
#
#   test      cross-builds hidlist, its test double and the VM's helpers for
#             arm64, armhf and i386; runs the Report, Text, Console and Scale
#             groups on each, natively where this machine's kernel runs its
#             programs (i386, unless the kernel's 32-bit support is off) and
#             under qemu-user elsewhere; and the test on real devices in a VM
#             on Debian's arm64 kernel. A group that is skipped fails the run.
#   packages  builds the package for amd64, arm64, armhf and i386 from two
#             clones in different folders, checks that both are the same to
#             the byte and that they pass check_deb.sh, and puts one of each
#             into /output
set -euo pipefail
mode=$1
[[ -f /project/tests/architectures.sh && $(dpkg --print-architecture) == amd64 ]] ||
  { echo "architectures: run me in a throwaway amd64 root, through tests/in_release.sh" >&2; exit 2; }
foreign=(arm64 armhf i386)

for architecture in "${foreign[@]}"; do
  dpkg --add-architecture "$architecture"
done
packages=(cmake make g++ pkg-config git python3 dpkg-dev file lintian libhidapi-dev)
for architecture in "${foreign[@]}"; do
  packages+=("crossbuild-essential-$architecture" "libhidapi-dev:$architecture")
done
[[ $mode == packages ]] || packages+=(qemu-user qemu-system-arm busybox-static cpio)
apt-get update -q >/dev/null
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${packages[@]}" >/dev/null

# The build a packager makes, of the tree in SOURCE, into BUILD.
build() {
  local architecture=$1 source=$2 build=$3 options=()
  [[ $architecture == amd64 ]] ||
    options=(-DCMAKE_TOOLCHAIN_FILE="$source/cmake/debian-cross.cmake" -DDEBIAN_ARCHITECTURE="$architecture")
  cmake -S "$source" -B "$build" "${options[@]}" "${@:4}"
  cmake --build "$build" -j "$(nproc)" >/dev/null
}

case $mode in
  test)
    # What a source install of hidapi for this machine leaves in /usr/local:
    # a cross build must not take it.
    mkdir -p /usr/local/lib/cmake/hidapi
    echo 'message(FATAL_ERROR "a cross build took the amd64 hidapi in /usr/local")' \
      >/usr/local/lib/cmake/hidapi/hidapi-config.cmake
    for architecture in "${foreign[@]}"; do
      echo "== $architecture"
      build=/project/build/$architecture
      # Says whether the tests' programs run natively or under qemu-user.
      build "$architecture" /project "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DHIDLIST_BUILD_TESTS=ON | grep -F "$architecture programs run"
      groups='Report|Text|Console|Scale'
      [[ $architecture != arm64 ]] || groups+='|RealDevices'
      ctest --test-dir "$build" -R "^($groups)\$" --output-on-failure --no-tests=error | tee "$build/ctest.log"
      # Cases that the emulator itself breaks, each with its reason.
      sed -En "s/^ *(test_[a-z_]*) \([a-z_]+\.([A-Za-z]+)[.)][^ ]*( \(.*\))? \.\.\. skipped '(.*)'$/skipped: \2.\1\3: \4/p" \
        "$build/Testing/Temporary/LastTest.log"
      if grep -q "tests did not run" "$build/ctest.log"; then
        grep -h '^skipped: ' "$build/Testing/Temporary/LastTest.log" >&2
        echo "FAIL: $architecture: a group was skipped" >&2
        exit 1
      fi
    done
    ;;
  packages)
    for copy in one another; do
      git clone -q /project "/tmp/$copy/hidlist"
    done
    for architecture in amd64 "${foreign[@]}"; do
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
  *)
    echo "usage: $0 test|packages" >&2
    exit 2
    ;;
esac
