#!/usr/bin/env bash
# hidlist as users build and install it: the install tree and its man page,
# and the Debian package, checked (check_deb.sh), the same to the byte from
# a clone and from a source archive, then installed into a throwaway root
# against a copy of this machine's package database (so its dependencies are
# checked for real and nothing is left behind, however the test ends) and
# run. The apt sources that the roots of other releases are made with
# (in_release.sh), read from sources as machines have them, and the table of
# those runs, as its reader takes or refuses it. Then the ways a
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

# Packaged again, in other folders a second apart, from one commit of this
# tree as it is (changes not yet committed too): from a clone, and from the
# commit's git archive, which has no history to date the package by. The
# archive is unpacked with fresh file times, as many tools unpack, so only
# the date it carries can make the two the same.
clone=$work/clone/source archive=$work/archive/source
mkdir -p "$clone" "$archive"
tar -C "$source" --exclude=./build --exclude=./.git -c . | tar -C "$clone" -x
git -C "$clone" init -q
git -C "$clone" add -A
# Committed long ago, so that no file time can stand in for the commit's.
GIT_COMMITTER_DATE=@1600000000 git -C "$clone" -c user.name=hidlist -c user.email=hidlist@example.org \
  -c commit.gpgsign=false commit -q -m "hidlist as tested"
git -C "$clone" archive HEAD | tar -C "$archive" -x --touch
for copy in clone archive; do
  cmake -S "$work/$copy/source" -B "$work/$copy/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$work/$copy/build" >/dev/null
  (cd "$work/$copy" && cpack --config build/CPackConfig.cmake >/dev/null)
  sleep 1
done
cmp "$work"/clone/hidlist_*.deb "$work"/archive/hidlist_*.deb >/dev/null ||
  fail "the package from a clone and the package from the same commit's git archive differ"

# Neither a date in the tree nor a clone of it (a copy of a clone's files):
# the newest of the files the package is made from dates it. The file gets
# back git archive's placeholder, which a clone has.
# shellcheck disable=SC2016
printf '%s\n' '$Format:%ct$' >"$archive/packaging/commit_time"
find "$archive" -exec touch -d @1700000000 {} +
touch -d @1700000002 "$archive/packaging/copyright"
rm "$work"/archive/hidlist_*.deb
(cd "$work/archive" && cpack --config build/CPackConfig.cmake >/dev/null)
dated=$(dpkg-deb --fsys-tarfile "$work"/archive/hidlist_*.deb | TZ=UTC tar -tv --full-time | awk '{ print $4, $5 }' | sort -u)
[[ $dated == "2023-11-14 22:13:22" ]] || fail "a copy with no date and no history dates the package's files: $dated"

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

# The sources of a trixie root, from this machine's apt sources in each form
# they take. Each case is a sources.list, then FILE TEXT pairs for
# sources.list.d, then what the root gets.
# shellcheck source=/dev/null
release=$(. /etc/os-release && echo "$VERSION_CODENAME")
root_sources_from() {
  local case=$work/apt/$1 listed=$2 expected got
  shift 2
  mkdir -p "$case/sources.list.d" "$case/lists/partial"
  printf '%s\n' "$listed" >"$case/sources.list"
  while (($# > 1)); do
    printf '%s\n' "$2" >"$case/sources.list.d/$1"
    shift 2
  done
  expected=$1
  printf 'Dir::Etc::SourceList "%s/sources.list";\nDir::Etc::SourceParts "%s/sources.list.d";\nDir::State::Lists "%s/lists";\n' \
    "$case" "$case" "$case" >"$case/apt.conf"
  got=$(APT_CONFIG=$case/apt.conf "$source/tests/in_release.sh" --sources trixie 2>&1) || fail "roots' sources, $case: $got"
  [[ $got == "$expected" ]] || fail "from the sources in $case, a trixie root would get:"$'\n'"$got"
}
root_sources_from installer "\
deb cdrom:[Debian GNU/Linux 12.5.0 _Bookworm_ - Official amd64 DVD Binary-1 with firmware 20240210-11:28]/ $release contrib main
deb http://deb.debian.org/debian/ $release main non-free-firmware
deb-src http://deb.debian.org/debian/ $release main non-free-firmware
deb http://security.debian.org/debian-security $release-security main non-free-firmware
deb-src http://security.debian.org/debian-security $release-security main non-free-firmware
deb http://deb.debian.org/debian/ $release-updates main non-free-firmware" "\
deb http://deb.debian.org/debian trixie main
deb http://deb.debian.org/debian trixie-updates main
deb http://security.debian.org/debian-security trixie-security main"
root_sources_from options "\
deb [arch=amd64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://ftp.de.debian.org/debian $release main
deb [ arch=amd64,i386 ] http://security.debian.org/debian-security $release-security main" "\
deb http://ftp.de.debian.org/debian trixie main
deb http://ftp.de.debian.org/debian trixie-updates main
deb http://security.debian.org/debian-security trixie-security main"
root_sources_from deb822 "" debian.sources "\
Types: deb
URIs: http://mirror.example.org/debian
Suites: $release
Components: main
Enabled: no

Types: deb deb-src
URIs: http://ftp.fr.debian.org/debian/ http://deb.debian.org/debian
Suites: $release $release-updates
Components: main contrib

Types: deb
URIs: http://deb.debian.org/debian-security
Suites: $release-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" "\
deb http://ftp.fr.debian.org/debian trixie main
deb http://ftp.fr.debian.org/debian trixie-updates main
deb http://deb.debian.org/debian-security trixie-security main"
root_sources_from country-mirror "deb http://ftp.de.debian.org/debian/ $release main" "\
deb http://ftp.de.debian.org/debian trixie main
deb http://ftp.de.debian.org/debian trixie-updates main
in_release: this machine's apt sources name no -security suite, so the trixie root gets no security updates"
root_sources_from by-name "" a-nodesource.sources "\
Types: deb
URIs: https://deb.nodesource.com/node_20.x
Suites: nodistro
Components: main" debian.sources "\
Types: deb
URIs: http://deb.debian.org/debian
Suites: stable
Components: main" "\
deb http://deb.debian.org/debian trixie main
deb http://deb.debian.org/debian trixie-updates main
in_release: this machine's apt sources name no -security suite, so the trixie root gets no security updates"
root_sources_from security-host "" a-nodesource.sources "\
Types: deb
URIs: https://deb.nodesource.com/node_20.x
Suites: nodistro
Components: main" debian.list "\
deb http://mirror.example.org/debian $release main
deb http://mirror.example.org/debian $release-updates main
deb http://security.mirror.example.org/debian-security/ $release-security main" "\
deb http://mirror.example.org/debian trixie main
deb http://mirror.example.org/debian trixie-updates main
deb http://security.mirror.example.org/debian-security trixie-security main"

# The table the runs are read from: each fault planted in a copy stops its
# one reader, naming the line, so that no line can run nothing in silence.
python3 "$source/tests/platforms.py" check || fail "platforms.txt is not taken as it stands"
# FAULT, the sed that plants it, what the reader must say, and the line it
# must name where that is not the one changed.
table_rejects() {
  local fault=$1 table=$work/platforms-$1.txt said line
  sed -E "$2" "$source/platforms.txt" >"$table"
  line=$(cmp "$source/platforms.txt" "$table" | sed -n 's/.* line //p') || true
  [[ -n $line ]] || fail "planting $fault changed nothing in platforms.txt"
  [[ -z ${4:-} ]] || line=$(grep -nE "$4" "$table" | cut -d : -f 1)
  if said=$(python3 "$source/tests/platforms.py" --table "$table" runs cross 2>&1); then
    fail "platforms.txt with $fault was taken"
  fi
  [[ $said == "platforms: $table:$line: $3"* ]] || fail "platforms.txt with $fault on line $line: $said"
}
table_rejects misspelt-kind '/^bookworm +i386 +sanitize /s/sanitize/sanitise/' "the kind sanitise is none of"
table_rejects unknown-architecture '/^trixie +armhf +cross /s/armhf/armel/' "the architecture armel has no architecture line"
table_rejects misspelt-group '/^trixie +arm64 +cross /s/Console/Consle/' "the group Consle is none of"
table_rejects unknown-sanitizer '/^trixie +armhf +sanitize /s/address/adress/' "the sanitizer adress is none of"
table_rejects short-architecture '/^architecture +arm64 /s/ +cortex-a72$//' "an architecture line has 7 columns, not 6"
table_rejects guestless-vm-test '/^trixie +armhf +cross /s/$/ RealDevices/' "RealDevices on armhf, which has no guest line"
table_rejects second-architecture '/^architecture +i386 /s/i386/armhf/' "a second architecture line for armhf"
table_rejects vm-and-here '/^trixie +arm64 +sanitize /s/$/ RealDevices/' "a sanitize line builds for the VM with RealDevices alone"
table_rejects sanitizer-twice '/^trixie +armhf +sanitize /s/address,undefined/undefined,undefined/' "a sanitizer named twice"
table_rejects group-twice '/^trixie +armhf +cross /s/Scale/Scale Scale/' "a group named twice"
table_rejects second-guest '/^guest +riscv64 /s/riscv64/arm64/' "a second guest line for arm64"
table_rejects emulated-vm-test '/^trixie +riscv64 +sanitize +address/s/address,undefined/& qemu-user:undefined/' \
  "the VM runs no program under qemu-user"
table_rejects unknown-emulated-sanitizer '/^bookworm +i386 +sanitize /s/qemu-user:undefined/qemu-user:undefind/' \
  "the sanitizer undefind is none of"
table_rejects unpackaged-install '/^bookworm +i386 +package/d' "i386 is installed, and no package line above makes it" \
  '^trixie +i386 +install'
if said=$(sed -E 's/^(trixie +amd64 +test)$/\1 native/' "$source/platforms.txt" >"$work/platforms-natives.txt" &&
  python3 "$source/tests/platforms.py" --table "$work/platforms-natives.txt" check 2>&1); then
  fail "platforms.txt with two native runs was taken"
fi
[[ $said == *"one test run, and one only, is marked native" ]] || fail "platforms.txt with two native runs: $said"

# The verdicts releases takes from a release's cross root, one for each of
# its lines in order, with the sanitizers that line gives where the
# programs ran: bookworm's i386 has the qemu-user ones under qemu-user alone.
verdicts_taken() {
  local expected=$1 says=$2 said status=0
  said=$(printf 'verdict: bookworm: %s\n' "${@:3}" | python3 "$source/tests/platforms.py" verdicts bookworm 2>&1) ||
    status=$?
  [[ $status == "$expected" && $said == *"$says"* ]] ||
    fail "the verdicts ${*:3}: status $status, not $expected, or no \"$says\" in: $said"
}
bookworm_crosses=("arm64, cross-built, under qemu-user, passed Report Text Console Scale RealDevices"
                  "armhf, cross-built, under qemu-user, passed Report Text Console Scale")
verdicts_taken 0 "" "${bookworm_crosses[@]}" "i386, cross-built, natively, passed Report Text Console Scale" \
  "i386, cross-built with -fsanitize=address,undefined, natively, passed Report Text Console Scale"
verdicts_taken 0 "" "${bookworm_crosses[@]}" "i386, cross-built, under qemu-user, passed Report Text Console Scale" \
  "i386, cross-built with -fsanitize=undefined, under qemu-user, passed Report Text Console Scale"
verdicts_taken 1 "is none of" "${bookworm_crosses[@]}" "i386, cross-built, natively, passed Report Text Console Scale" \
  "i386, cross-built with -fsanitize=undefined, natively, passed Report Text Console Scale"
verdicts_taken 1 "is none of" "${bookworm_crosses[@]}" "i386, cross-built, natively, passed Report Text Console" \
  "i386, cross-built with -fsanitize=address,undefined, natively, passed Report Text Console Scale"
verdicts_taken 1 "i386 ran natively in one verdict and under qemu-user in another" "${bookworm_crosses[@]}" \
  "i386, cross-built, natively, passed Report Text Console Scale" \
  "i386, cross-built with -fsanitize=undefined, under qemu-user, passed Report Text Console Scale"
verdicts_taken 1 "3 verdicts for the 4 cross and sanitize lines of bookworm" "${bookworm_crosses[@]}" \
  "i386, cross-built, natively, passed Report Text Console Scale"

# Whether the cross toolchain file has the programs of this machine's 32-bit
# partner (i386 beside amd64, armhf beside arm64) run natively or under
# qemu-user, decided by a program built for it that this kernel runs or
# not: here a stand-in compiler's, told to end well or to fail, for a
# project that builds nothing. The compiler itself is this machine's.
case $(dpkg --print-architecture) in
  amd64) partner=i386 ;;
  arm64) partner=armhf ;;
  *) partner= ;;
esac
if [[ -n $partner ]]; then
  mkdir -p "$work/toolchain/bin" "$work/toolchain/project"
  echo 'project(probe CXX)' >"$work/toolchain/project/CMakeLists.txt"
  compiler=$work/toolchain/bin/$(dpkg-architecture -a "$partner" -qDEB_HOST_GNU_TYPE 2>/dev/null)-g++
  cat >"$compiler" <<'END'
#!/bin/sh
case $1 in
  */runs_here.cpp) printf '#!/bin/sh\nexit %s\n' "$PROBE_STATUS" >"$3" && chmod +x "$3" ;;
  *) exec g++ "$@" ;;
esac
END
  chmod +x "$compiler"
  for probe in 0:'' 1:"qemu-$(python3 "$source/tests/platforms.py" architecture "$partner" qemu)"; do
    rm -rf "$work/toolchain/build"
    said=$(PROBE_STATUS=${probe%%:*} PATH=$work/toolchain/bin:$PATH cmake -S "$work/toolchain/project" \
      -B "$work/toolchain/build" -DCMAKE_TOOLCHAIN_FILE="$source/cmake/debian-cross.cmake" \
      -DDEBIAN_ARCHITECTURE="$partner" 2>&1) ||
      fail "the toolchain file with a probe that ends with status ${probe%%:*}: $said"
    emulator=$(sed -n 's/^CMAKE_CROSSCOMPILING_EMULATOR:STRING=//p' "$work/toolchain/build/CMakeCache.txt")
    [[ $emulator == "${probe#*:}" ]] ||
      fail "a probe that ends with status ${probe%%:*} gives the emulator '$emulator', not '${probe#*:}': $said"
    [[ $said == *"$partner programs run "* ]] || fail "the toolchain file did not say how $partner programs run: $said"
  done
fi

# The verdict on a test run, from a JUnit record as CTest writes it: Console
# ran two cases, skipping one as the Windows test skips one under Wine (its
# reason, with an apostrophe, printed in double quotes), Scale failed, and
# RealDevices was skipped whole.
cat >"$work/record.xml" <<'END'
<?xml version="1.0" encoding="UTF-8"?>
<testsuite name="(empty)" tests="2" failures="0" disabled="0" skipped="1">
	<testcase name="Console" classname="Console" time="1" status="run">
		<system-out>test_a (__main__.ConsoleTest.test_a) ... ok
test_b (__main__.ConsoleTest.test_b) ... skipped "under Wine the console's the terminal"

OK (skipped=1)
</system-out>
	</testcase>
	<testcase name="Scale" classname="Scale" time="1" status="fail">
		<failure message="Failed"/>
		<system-out>FAILED (failures=1)</system-out>
	</testcase>
	<testcase name="RealDevices" classname="RealDevices" time="0" status="notrun">
		<skipped message="SKIP_RETURN_CODE=77"/>
		<system-out>skipped: HIDLIST_SKIP_VM=1</system-out>
	</testcase>
</testsuite>
END
# STATUS, CI, then what the verdict must say, and its arguments.
verdict() {
  local expected=$1 ci=$2 says=$3 said status=0
  shift 3
  said=$(CI=$ci python3 "$source/tests/ctest_results.py" "$work/record.xml" "$@" 2>&1) || status=$?
  [[ $status == "$expected" && $said == *"$says"* ]] ||
    fail "the verdict with CI=$ci $*: status $status, not $expected, or no \"$says\" in: $said"
}
verdict 0 '' "verdict: here, passed Console" --groups Console --skip-reason "under Wine " --verdict "here,"
verdict 0 '' "test: skipped: RealDevices: HIDLIST_SKIP_VM=1" --skip-reason "under Wine "
verdict 1 '' "FAIL: Console skipped a case: under Wine the console's the terminal" --groups Console
verdict 1 '' "FAIL: no test Windows in the record" --expect Console Windows --skip-reason "under Wine "
verdict 1 '' "FAIL: no test Windows ran" --groups Console Windows --skip-reason "under Wine "
verdict 1 '' "FAIL: Scale did not pass" --groups Console Scale --skip-reason "under Wine "
verdict 1 '' "FAIL: RealDevices was skipped" --groups RealDevices --skip-reason "under Wine "
verdict 1 true "FAIL: RealDevices was skipped" --skip-reason "under Wine "
sed -i 's/OK (skipped=1)/OK (skipped=2)/' "$work/record.xml"
verdict 1 '' "FAIL: Console skipped 2 cases, of which 1 said why" --skip-reason "under Wine "

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
# The same prefix as HIDAPI_ROOT in the environment, which CMake 3.27 and
# later search for packages: HIDAPI_ROOT means a Windows release folder, so
# not taken. An older CMake never looks there, so only a newer one (Debian
# 13's, in releases) puts this to the proof.
configured=$(HIDAPI_ROOT=$prefix cmake -S "$source" -B "$work/vcpkg/environment") ||
  fail "configure with HIDAPI_ROOT in the environment: $configured"
grep -x -- "-- hidapi: pkg-config hidapi-hidraw .*" <<<"$configured" ||
  fail "HIDAPI_ROOT in the environment was taken as a package prefix: $(grep hidapi <<<"$configured")"

# A package whose one target, hidapi::hidapi, is the hidraw flavour only by
# its library's name: taken, and its file run once though the tests look for
# hidapi again, for the other flavour.
prefix=$work/hidapi-only
mkdir -p "$prefix/lib/cmake/hidapi"
cat >"$prefix/lib/cmake/hidapi/hidapi-config.cmake" <<'END'
set(hidapi_VERSION 0.14.0)
add_library(hidapi::hidapi STATIC IMPORTED)
set_target_properties(hidapi::hidapi PROPERTIES IMPORTED_CONFIGURATIONS RELEASE
                      IMPORTED_LOCATION_RELEASE "${CMAKE_CURRENT_LIST_DIR}/../../libhidapi-hidraw.a")
END
configured=$(cmake -S "$source" -B "$prefix/build" -DCMAKE_PREFIX_PATH="$prefix" -DHIDLIST_BUILD_TESTS=ON 2>&1) ||
  fail "configure with a hidraw hidapi::hidapi: $configured"
grep -x -- "-- hidapi: CMake package 0.14.0 from $prefix/lib/cmake/hidapi, target hidapi::hidapi, the hidraw flavour" \
  <<<"$configured" || fail "a hidraw hidapi::hidapi was not taken: $(grep hidapi <<<"$configured")"

# Packages a hidraw build must pass over, and say so, then take pkg-config:
# one built without hidraw, as hidapi's own build installs it, whose
# hidapi::hidapi is the libusb flavour; and one whose hidapi::hidapi names
# no flavour, as on macOS.
prefix=$work/libusb-only
mkdir -p "$prefix/lib/cmake/hidapi"
cat >"$prefix/lib/cmake/hidapi/hidapi-config.cmake" <<'END'
set(hidapi_VERSION 0.14.0)
add_library(hidapi::libusb SHARED IMPORTED)
set_target_properties(hidapi::libusb PROPERTIES IMPORTED_LOCATION "${CMAKE_CURRENT_LIST_DIR}/../../libhidapi-libusb.so.0")
add_library(hidapi::hidapi INTERFACE IMPORTED)
set_target_properties(hidapi::hidapi PROPERTIES INTERFACE_LINK_LIBRARIES hidapi::libusb)
END
prefix=$work/no-flavour
mkdir -p "$prefix/lib/cmake/hidapi"
cat >"$prefix/lib/cmake/hidapi/hidapi-config.cmake" <<'END'
set(hidapi_VERSION 0.14.0)
add_library(hidapi::hidapi SHARED IMPORTED)
set_target_properties(hidapi::hidapi PROPERTIES IMPORTED_LOCATION "${CMAKE_CURRENT_LIST_DIR}/../../libhidapi.so.0")
END
for prefix in "$work/libusb-only" "$work/no-flavour"; do
  configured=$(cmake -S "$source" -B "$prefix/build" -DCMAKE_PREFIX_PATH="$prefix") ||
    fail "configure beside the CMake package in $prefix: $configured"
  grep -x -- "-- hidapi: pkg-config hidapi-hidraw .*" <<<"$configured" ||
    fail "a hidraw build found hidapi another way: $(grep hidapi <<<"$configured")"
  if [[ $prefix == */libusb-only ]]; then
    why="its hidapi::hidapi is the libusb flavour, and hidraw is asked for"
  else
    why="the flavour of its hidapi::hidapi cannot be told, and hidraw is asked for"
  fi
  grep -x -- "-- hidapi: passed over the CMake package 0.14.0 from $prefix/lib/cmake/hidapi: $why" <<<"$configured" ||
    fail "the package in $prefix was not said to be passed over: $(grep hidapi <<<"$configured")"
done

# What only a Windows build can use stops a Linux one, before any package is
# looked at, even a foreign one that would stop configure itself.
prefix=$work/foreign
mkdir -p "$prefix/lib/cmake/hidapi"
echo 'message(FATAL_ERROR "a foreign hidapi-config.cmake")' >"$prefix/lib/cmake/hidapi/hidapi-config.cmake"
for variable in HIDAPI_ROOT HIDLIST_HIDAPI_INCLUDE_DIR; do
  if configured=$(cmake -S "$source" -B "$prefix/build-$variable" -DCMAKE_PREFIX_PATH="$prefix" \
    -D"$variable"=/usr/include/hidapi 2>&1); then
    fail "a Linux build took $variable"
  fi
  [[ $(tr -s ' \n' '  ' <<<"$configured") == *"$variable (/usr/include/hidapi) "*" -U$variable drops"* ]] ||
    fail "with $variable, a Linux build said: $configured"
done

# No hidapi anywhere: one message that tells how to get it.
mkdir -p "$work/none/pkgconfig"
if configured=$(PKG_CONFIG_LIBDIR=$work/none/pkgconfig PKG_CONFIG_PATH='' cmake -S "$source" -B "$work/none/build" \
  -DCMAKE_DISABLE_FIND_PACKAGE_hidapi=ON 2>&1); then
  fail "configure passed with no hidapi"
fi
for says in "hidapi's hidraw flavour was not found" "apt install libhidapi-dev"; do
  grep -qF -- "$says" <<<"$configured" || fail "with no hidapi, configure does not say \"$says\": $configured"
done
for offers in -DHIDAPI_ROOT= -DHIDLIST_HIDAPI_INCLUDE_DIR=; do
  if grep -qF -- "$offers" <<<"$configured"; then
    fail "with no hidapi, a Linux build offers $offers, which only a Windows build can use: $configured"
  fi
done
