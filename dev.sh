#!/usr/bin/env bash
# One entry point for a fresh Debian machine: installs what is missing, then
#   ./dev.sh run    builds hidlist and runs it
#   ./dev.sh test   builds and runs every test, once plainly and once under
#                   AddressSanitizer and UndefinedBehaviorSanitizer
set -euo pipefail
cd "$(dirname "$0")"

build_packages=(cmake g++ make pkg-config libhidapi-dev)
test_packages=(python3)

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
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q "${missing[@]}"
  fi
}

case "${1:-}" in
  run)
    install_missing "${build_packages[@]}"
    cmake --preset dev >/dev/null
    cmake --build --preset dev --target hidlist >/dev/null
    exec build/dev/hidlist
    ;;
  test)
    install_missing "${build_packages[@]}" "${test_packages[@]}"
    cmake --workflow --preset dev
    cmake --workflow --preset sanitize
    ;;
  *)
    echo "usage: $0 run|test" >&2
    exit 2
    ;;
esac
