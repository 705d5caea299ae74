#!/usr/bin/env bash
# hidlist for every Debian architecture with HID hardware, from one amd64
# machine, with Debian's cross toolchains and multiarch libraries. It adds
# foreign architectures to dpkg, so it runs only in a throwaway root:
#   tests/in_release.sh bookworm tests/architectures.sh test|packages
#
#   test      cross-builds hidlist, its test double and the VM's helpers for
#             arm64, armhf and i386; runs the Report and Text groups on each
#             (arm64 and armhf under qemu-user, i386 natively) and the test on
#             real devices in a VM on Debian's arm64 kernel
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
# This archive serves bookworm-security's armhf and i386 indexes with a wrong
# size, and apt then fails; those two take their packages from the release
# and its updates alone.
sed -i -E 's/^deb (\S+ \S+-security )/deb [arch=amd64,arm64] \1/' /etc/apt/sources.list
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
  cmake -S "$source" -B "$build" "${options[@]}" "${@:4}" >/dev/null
  cmake --build "$build" -j "$(nproc)" >/dev/null
}

case $mode in
  test)
    for architecture in "${foreign[@]}"; do
      echo "== $architecture"
      build "$architecture" /project "/project/build/$architecture" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DHIDLIST_BUILD_TESTS=ON
      groups='^(Report|Text)$'
      [[ $architecture != arm64 ]] || groups='^(Report|Text|RealDevices)$'
      ctest --test-dir "/project/build/$architecture" -R "$groups" --output-on-failure --no-tests=error
    done
    ;;
  packages)
    for copy in one another; do
      git clone -q /project "/tmp/$copy/hidlist"
    done
    for architecture in amd64 "${foreign[@]}"; do
      for copy in one another; do
        build "$architecture" "/tmp/$copy/hidlist" "/tmp/$copy/build-$architecture"
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
