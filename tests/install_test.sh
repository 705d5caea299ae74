#!/usr/bin/env bash
# hidlist as users build and install it: the install tree and its man page,
# and the Debian package, checked (check_deb.sh), the same to the byte from
# two folders, then installed into a throwaway root against a copy of
# this machine's package database (so its dependencies are checked for real
# and nothing is left behind, however the test ends) and run. Then the ways a
# build finds hidapi that Debian itself does not offer, and which it takes
# when there are several.
# Usage: install_test.sh SOURCE_DIR BUILD_DIR WORK_DIR
set -euo pipefail
source=$1 build=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
export TMPDIR=$work  # lintian's scratch files, among others
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/prefix" --strip >/dev/null
installed=$(cd "$work/prefix" && find . -type f | sort | xargs)
[[ $installed == "./bin/hidlist ./share/doc/hidlist/changelog.gz ./share/doc/hidlist/copyright ./share/man/man1/hidlist.1.gz" ]] ||
  fail "the install tree holds: $installed"
[[ $(file -b "$work/prefix/bin/hidlist") == *", stripped"* ]] || fail "the installed hidlist is not stripped"
page=$work/prefix/share/man/man1/hidlist.1.gz
warnings=$(zcat "$page" | groff -t -man -ww -z -Tutf8 2>&1)
[[ -z $warnings ]] || fail "the man page renders with warnings: $warnings"
rendered=$(MANWIDTH=80 man -l "$page" 2>&1)
for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" FILES; do
  grep -qx "$section" <<<"$rendered" || fail "the man page has no $section"
done

(cd "$work" && cpack --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(echo "$work"/hidlist_*_"$(dpkg --print-architecture)".deb)
[[ -f $deb ]] || fail "cpack made no hidlist_<version>_<architecture>.deb"
"$source/tests/check_deb.sh" "$deb"

# Packaged again from two copies of the tree in other folders, a second apart.
for copy in a another; do
  mkdir -p "$work/$copy/source"
  tar -C "$source" --exclude=./build -c . | tar -C "$work/$copy/source" -x
  cmake -S "$work/$copy/source" -B "$work/$copy/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$work/$copy/build" >/dev/null
  (cd "$work/$copy" && cpack --config build/CPackConfig.cmake >/dev/null)
  sleep 1
done
cmp "$work"/a/hidlist_*.deb "$work"/another/hidlist_*.deb >/dev/null || fail "two builds of the package differ"

root=$work/root admin=$work/dpkg
mkdir -p "$root" "$admin/info" "$admin/updates" "$admin/triggers"
cp /var/lib/dpkg/status "$admin/"
dpkg --force-not-root --instdir="$root" --admindir="$admin" -i "$deb" >/dev/null
for file in usr/bin/hidlist usr/share/man/man1/hidlist.1.gz usr/share/doc/hidlist/copyright; do
  [[ -f $root/$file ]] || fail "the package installed no /$file"
done
# A session of its own: no console, so the installed hidlist must not wait.
output=$(timeout 10 setsid -w "$root/usr/bin/hidlist" </dev/null) || fail "the installed hidlist failed or waited with no console"
[[ $output == *"Press any key to Exit" ]] || fail "the installed hidlist printed: $output"

# hidapi as vcpkg installs it, a CMake package in a prefix, here holding the
# library double: taken before Debian's pkg-config file.
prefix=$work/vcpkg/installed/x64-linux
mkdir -p "$prefix/include/hidapi" "$prefix/lib" "$prefix/share/hidapi"
cp /usr/include/hidapi/hidapi.h "$prefix/include/hidapi/"
cp "$build/tests/libhid_double.a" "$prefix/lib/libhidapi-hidraw.a"
cat >"$prefix/share/hidapi/hidapi-config.cmake" <<'END'
get_filename_component(prefix "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
set(hidapi_VERSION 0.14.0)
add_library(hidapi::hidraw STATIC IMPORTED)
set_target_properties(hidapi::hidraw PROPERTIES IMPORTED_LOCATION "${prefix}/lib/libhidapi-hidraw.a"
                      INTERFACE_INCLUDE_DIRECTORIES "${prefix}/include/hidapi")
END
configured=$(cmake -S "$source" -B "$work/vcpkg/build" -DCMAKE_PREFIX_PATH="$prefix") ||
  fail "configure with hidapi's CMake package: $configured"
grep -x -- "-- hidapi: CMake package 0.14.0 from $prefix/share/hidapi, target hidapi::hidraw" <<<"$configured" ||
  fail "configure found hidapi another way: $(grep hidapi <<<"$configured")"
cmake --build "$work/vcpkg/build" >/dev/null
echo "1209 a /dev/hidraw0 53,2d,31 4b,65,79,73" >"$work/vcpkg/devices"
output=$(HID_DOUBLE_DEVICES=$work/vcpkg/devices timeout 10 setsid -w "$work/vcpkg/build/hidlist" </dev/null) ||
  fail "hidlist from hidapi's CMake package failed"
[[ $output == $'HID Device Keys VID 1209 PID A Ser S-1\r\n Path /dev/hidraw0\r\n\r\nPress any key to Exit' ]] ||
  fail "hidlist from hidapi's CMake package printed: $output"

# A package built without hidraw, as hidapi's own build installs it: its
# hidapi::hidapi is the libusb flavour, which a hidraw build must not take.
prefix=$work/libusb-only
mkdir -p "$prefix/lib/cmake/hidapi"
cat >"$prefix/lib/cmake/hidapi/hidapi-config.cmake" <<'END'
set(hidapi_VERSION 0.14.0)
add_library(hidapi::libusb SHARED IMPORTED)
set_target_properties(hidapi::libusb PROPERTIES IMPORTED_LOCATION "${CMAKE_CURRENT_LIST_DIR}/../../libhidapi-libusb.so.0")
add_library(hidapi::hidapi INTERFACE IMPORTED)
set_target_properties(hidapi::hidapi PROPERTIES INTERFACE_LINK_LIBRARIES hidapi::libusb)
END
configured=$(cmake -S "$source" -B "$work/libusb-only/build" -DCMAKE_PREFIX_PATH="$prefix") ||
  fail "configure beside a libusb-only CMake package: $configured"
grep -x -- "-- hidapi: pkg-config hidapi-hidraw .*" <<<"$configured" ||
  fail "a hidraw build found hidapi another way: $(grep hidapi <<<"$configured")"

# No hidapi anywhere: one message that tells how to get it.
mkdir -p "$work/none/pkgconfig"
if configured=$(PKG_CONFIG_LIBDIR=$work/none/pkgconfig PKG_CONFIG_PATH= cmake -S "$source" -B "$work/none/build" \
  -DCMAKE_DISABLE_FIND_PACKAGE_hidapi=ON 2>&1); then
  fail "configure passed with no hidapi"
fi
for says in "hidapi's hidraw flavour was not found" "apt install libhidapi-dev" "-DHIDAPI_ROOT="; do
  grep -qF -- "$says" <<<"$configured" || fail "with no hidapi, configure does not say \"$says\": $configured"
done
