#!/usr/bin/env bash
# Runs one of the README's commands in a fresh minimal root of a Debian
# release, as a new user of that release meets the project: a clone of this
# tree's HEAD, nothing installed beyond the minimal base, no terminal.
# Usage: in_release.sh SUITE COMMAND...        (as root; exit status: COMMAND's)
#
# The base root is made once with mmdebstrap and kept, with the packages and
# the VM kernel that runs download, in HIDLIST_ROOT_CACHE (default
# /var/cache/hidlist-roots). Each run unpacks the root afresh and removes it
# however the run ends. Its mounts and processes live in namespaces of their
# own, so they go with it, even when it is interrupted.
set -euo pipefail
suite=$1
shift
cache=${HIDLIST_ROOT_CACHE:-/var/cache/hidlist-roots}
base=$cache/$suite-minbase.tar
project=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
fail() { echo "in_release: $*" >&2; exit 1; }

if [[ ! -s $base ]]; then
  mkdir -p "$cache"
  mirror=$(sed -n 's/^URIs: //p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1)
  [[ -n $mirror ]] || mirror=$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list 2>/dev/null)
  [[ -n $mirror ]] || fail "no Debian mirror in this machine's apt sources to make a $suite root from"
  echo "in_release: making the $suite root (once)" >&2
  mmdebstrap --quiet --variant=minbase --format=tar "$suite" "$base.part" "deb $mirror $suite main" \
    "deb $mirror $suite-updates main" "deb ${mirror}-security $suite-security main" 2>"$cache/$suite.log" ||
    fail "cannot make a $suite root with mmdebstrap from $mirror: $(tail -n 3 "$cache/$suite.log")"
  mv "$base.part" "$base"
fi

root=$(mktemp -d "${TMPDIR:-/tmp}/hidlist-$suite.XXXXXX")
child=
# The namespace's processes die with unshare (--kill-child); then the root goes.
trap 'if [[ -n $child ]]; then kill "$child" 2>/dev/null; wait "$child"; fi; rm -rf "$root"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
tar -C "$root" -xf "$base"
git clone -q "$project" "$root/project"
mkdir -p "$cache/$suite-apt" "$cache/$suite-vm" "$root/root/.cache/hidlist-vm"

# A session of its own, so no terminal: hidlist must not wait there.
setsid unshare --mount --pid --fork --kill-child --propagation private sh -c '
  root=$1 cache=$2 suite=$3; shift 3
  mount --rbind /dev "$root/dev" && mount -t proc proc "$root/proc" && mount -t sysfs sysfs "$root/sys" &&
    mount --bind "$cache/$suite-apt" "$root/var/cache/apt/archives" &&
    mount --bind "$cache/$suite-vm" "$root/root/.cache/hidlist-vm" || exit 1
  exec chroot "$root" /bin/sh -c "cd /project && exec \"\$@\"" sh "$@"
' sh "$root" "$cache" "$suite" "$@" </dev/null &
child=$!
status=0
wait "$child" || status=$?
child=
exit "$status"
