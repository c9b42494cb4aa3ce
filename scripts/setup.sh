#!/usr/bin/env bash
# Installs what the build, the tests and the tools need when the machine lacks it (Debian).
# Usage: scripts/setup.sh [--bench] [--fuzz] [--m32]
set -euo pipefail

packages=(build-essential cmake pkg-config libsqlite3-dev sqlite3 libpq-dev postgresql libgtest-dev
          libgmock-dev libcli11-dev nlohmann-json3-dev libfmt-dev libpugixml-dev mdbtools-dev locales)
for arg in "$@"; do
  case "$arg" in
    --bench) packages+=(libbenchmark-dev libexpat1-dev python3) ;;
    --fuzz) packages+=(clang libclang-rt-dev) ;;
    --m32) packages+=(g++-multilib) ;;
    *) echo "setup.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
