#!/usr/bin/env bash
# Runs one of the README's commands in a fresh minimal root of a Debian
# release, as a new user of that release meets the project: a clone of this
# tree's HEAD, nothing installed beyond the minimal base, no terminal.
# Usage: in_release.sh SUITE[/ARCHITECTURE] COMMAND...
#                                     (as root; exit status: COMMAND's)
#        in_release.sh --sources SUITE
#                                     (the apt sources a SUITE root is made with)
#
# HIDLIST_RELEASE_OUTPUT names a folder that the root sees as /output.
# HIDLIST_RELEASE_KEEP=NAME keeps the root after a run that passed, but for
# the clone, and starts the next run with the same NAME from it: for a root
# that installs (and upgrades) many packages on every run, which then finds
# them there. That root is no longer fresh, and a run in it says so.
#
# A root of another architecture (arm64, say) runs under qemu-user, registered
# with binfmt_misc only inside the run's own user namespace (with_binfmt.py),
# never on this machine; qemu-user's static build comes from its Debian
# package, unpacked into the cache, never installed.
#
# The base root is made once with mmdebstrap and kept, with the packages and
# the VM kernel that runs download, in HIDLIST_ROOT_CACHE (default
# /var/cache/hidlist-roots). Each run unpacks the root afresh and removes it
# however the run ends. Its mounts and processes live in namespaces of their
# own, so they go with it, even when it is interrupted.
set -euo pipefail
fail() { echo "in_release: $*" >&2; exit 1; }

# The sources of a SUITE root, from where this machine takes its own release
# and its security updates. apt itself reads its sources, in either form,
# with their options, disabled entries and several URIs or suites to an
# entry, where its configuration puts them (APT_CONFIG too); the lists need
# not have been fetched. The main archive is the first that serves this
# machine's release by its code name (or else by one of Debian's own names
# for a release, such as stable, which no other archive's suite shares);
# the security archive is the first that serves a -security suite, as a
# mirror's name with -security added may be no archive at all.
root_sources() {
  local suite=$1 release mirror security
  # shellcheck source=/dev/null
  release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  # shellcheck disable=SC2016
  # The URI last, as a CD's has spaces in it.
  read -r mirror security < <(apt-get indextargets --no-release-info --format '$(TARGET_OF) $(RELEASE) $(REPO_URI)' |
    awk -v release="$release" '$1 == "deb" && $3 !~ /^cdrom:/ {
        uri = $3
        sub(/\/+$/, "", uri)
        if ($2 == release && mirror == "") mirror = uri
        if ($2 ~ /^(oldoldstable|oldstable|stable|testing|unstable|sid)$/ && plain == "") plain = uri
        if ($2 ~ /-security$/ && security == "") security = uri
      }
      END { print (mirror != "" ? mirror : plain != "" ? plain : "-"), (security != "" ? security : "-") }')
  [[ $mirror != - ]] || fail "no Debian archive in this machine's apt sources serves ${release:-its release}, to make a $suite root from"
  echo "deb $mirror $suite main"
  echo "deb $mirror $suite-updates main"
  if [[ $security == - ]]; then
    echo "in_release: this machine's apt sources name no -security suite, so the $suite root gets no security updates" >&2
  else
    echo "deb $security $suite-security main"
  fi
}
if [[ ${1:-} == --sources ]]; then
  root_sources "${2:?usage: in_release.sh --sources SUITE}"
  exit
fi

suite=${1%/*} architecture=${1#*/}
shift
cache=${HIDLIST_ROOT_CACHE:-/var/cache/hidlist-roots}
project=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
emulated=()
unset QEMU_CPU  # qemu-user gets the CPU the table gives it, or its own choice
if [[ $architecture == "$suite" || $architecture == "$(dpkg --print-architecture)" ]]; then
  name=$suite architecture=$(dpkg --print-architecture)
else
  name=$suite-$architecture
  cpu=$(python3 "$project/tests/platforms.py" architecture "$architecture" qemu) || exit 1
  model=$(python3 "$project/tests/platforms.py" architecture "$architecture" qemu_cpu)
  # Read by qemu-user, here and in the root.
  [[ $model == - ]] || export QEMU_CPU=$model
  qemu=$cache/qemu-user-static/qemu-$cpu-static
  if [[ ! -x $qemu ]]; then
    mkdir -p "$cache/qemu-user-static"
    (cd "$cache/qemu-user-static" && apt-get download -q qemu-user-static >/dev/null &&
      dpkg-deb --fsys-tarfile qemu-user-static_*.deb | tar -x --strip-components=3 "./usr/bin/${qemu##*/}" &&
      rm qemu-user-static_*.deb) || fail "cannot unpack ${qemu##*/} from qemu-user-static"
  fi
  emulated=(python3 "$project/tests/with_binfmt.py" "$architecture" "$qemu")
fi
base=$cache/$name-minbase.tar

if [[ ! -s $base ]]; then
  mkdir -p "$cache"
  sources=$(root_sources "$suite")
  mapfile -t sources <<<"$sources"
  echo "in_release: making the $name root (once)" >&2
  # /sys is left to the chroot's own bind mount, as a user namespace may not mount it afresh.
  "${emulated[@]}" mmdebstrap --quiet --variant=minbase --arch="$architecture" --skip=chroot/mount/sys --format=tar \
    "$suite" "$base.part" "${sources[@]}" 2>"$cache/$name.log" ||
    fail "cannot make a $name root with mmdebstrap from ${sources[0]#deb }: $(tail -n 3 "$cache/$name.log")"
  mv "$base.part" "$base"
fi

root=$(mktemp -d "${TMPDIR:-/tmp}/hidlist-$name.XXXXXX")
child=
# The namespaces' processes die with unshare (--kill-child) or with_binfmt.py; then the
# root goes. Its mounts were never seen outside them. SIGKILL, as unshare
# blocks SIGTERM and SIGINT while it waits, and to the child's whole process
# group, the namespace's first process with it; the killed child's status
# must not end the trap (set -e) before the root goes, and a process still
# dying in it may hold up the first removal.
trap 'if [[ -n $child ]]; then kill -KILL -- -"$child" 2>/dev/null || true; wait "$child" 2>/dev/null || true; fi
      rm -rf "$root" 2>/dev/null || { sleep 1; rm -rf "$root"; }' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
kept=
[[ -z ${HIDLIST_RELEASE_KEEP:-} ]] || kept=$cache/$name-$HIDLIST_RELEASE_KEEP.tar
# A kept root made from an older base root goes with it.
[[ -z $kept || ! $base -nt $kept ]] || rm -f "$kept"
if [[ -s $kept ]]; then
  echo "in_release: $name: starting from the root a run kept on $(date -r "$kept" +%F)" >&2
  tar -C "$root" -xf "$kept"
else
  tar -C "$root" -xf "$base"
fi
git clone -q "$project" "$root/project"
mkdir -p "$cache/$name-apt" "$cache/$name-vm" "$root/root/.cache/hidlist-vm" "$root/output"

# A session of its own, so no terminal: hidlist must not wait there. Nothing
# of this machine's environment goes in (HIDLIST_SKIP_VM would skip a test),
# but for the CPU that qemu-user emulates. Expanded by the sh that runs it.
# shellcheck disable=SC2016
inside='
  root=$1 cache=$2 name=$3 output=$4; shift 4
  mount --rbind /dev "$root/dev" && mount -t proc proc "$root/proc" && mount --rbind /sys "$root/sys" &&
    mount --bind "$cache/$name-apt" "$root/var/cache/apt/archives" &&
    mount --bind "$cache/$name-vm" "$root/root/.cache/hidlist-vm" &&
    { [ -z "$output" ] || mount --bind "$output" "$root/output"; } || exit 1
  exec env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    ${QEMU_CPU:+"QEMU_CPU=$QEMU_CPU"} chroot "$root" /bin/sh -c "cd /project && exec \"\$@\"" sh "$@"
'
if ((${#emulated[@]})); then
  setsid "${emulated[@]}" sh -c "$inside" sh "$root" "$cache" "$name" "${HIDLIST_RELEASE_OUTPUT:-}" "$@" </dev/null &
else
  setsid unshare --mount --pid --fork --kill-child --propagation private sh -c "$inside" sh "$root" "$cache" "$name" "${HIDLIST_RELEASE_OUTPUT:-}" "$@" </dev/null &
fi
child=$!
status=0
wait "$child" || status=$?
child=
if [[ -n $kept && $status == 0 ]]; then
  # What the mounts showed in the root was never in it.
  if ! { tar -C "$root" --exclude=./project --exclude='./tmp/*' -cf "$kept.part" . && mv "$kept.part" "$kept"; }; then
    rm -f "$kept.part"
    fail "cannot keep the root as $kept"
  fi
fi
exit "$status"
