#!/usr/bin/env bash
# hidlist's Debian package as a distribution would take it, held to what
# README.md's Install says of it: no lintian error or warning, hardened as
# Debian builds its own binaries, and its Depends. Any architecture's
# package, on any.
# Usage: check_deb.sh DEB
set -euo pipefail
deb=$1
fail() { echo "FAIL: $(basename "$deb"): $*" >&2; exit 1; }
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT

tags=$(TMPDIR=$unpacked lintian -I --fail-on error,warning "$deb" 2>&1) || fail "lintian: $tags"
[[ $tags != *hardening* ]] || fail "lintian: $tags"
dpkg-deb -x "$deb" "$unpacked"
binary=$unpacked/usr/bin/hidlist
readelf -h "$binary" | grep -q 'Type:.*DYN' || fail "not position independent"
readelf -l "$binary" | grep -q GNU_RELRO || fail "no read-only relocations"
readelf -d "$binary" | grep -q 'FLAGS.*NOW' || fail "symbols are not bound at start"
symbols=$(readelf --dyn-syms -W "$binary")
grep -q '__[a-z]*_chk' <<<"$symbols" || fail "no checked buffer functions"
grep -q __stack_chk_fail <<<"$symbols" || fail "no stack protector"
# The Depends that README.md's Install gives, and why armhf's differs.
depends=$(dpkg-deb -f "$deb" Depends)
needed="libc6 libhidapi-hidraw0"
[[ $(dpkg-deb -f "$deb" Architecture) != armhf ]] || needed="libc6 libgcc-s1 libhidapi-hidraw0"
named=$(sed -E 's/ *\([^)]*\)//g; s/, */\n/g' <<<"$depends" | sort | xargs)
[[ $named == "$needed" ]] || fail "the package should depend on $needed, not: $depends"
echo "$(basename "$deb"): $(stat -c %s "$deb") bytes; sha256 $(sha256sum "$deb" | cut -d' ' -f1); Depends: $depends"
