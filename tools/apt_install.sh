#!/usr/bin/env bash
# Installs the Debian packages named that are not installed yet, through sudo
# unless run as root. The package lists are updated only when something is
# missing, so a machine that has everything never waits for the network.
#
#   bash tools/apt_install.sh libgtest-dev clang
set -euo pipefail

missing=()
for package in "$@"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -gt 0 ] || exit 0

if ! command -v apt-get >/dev/null; then
  echo "apt_install.sh: missing ${missing[*]}, and this system has no apt-get: install them by hand" >&2
  exit 1
fi
sudo=()
[ "$(id -u)" = 0 ] || sudo=(sudo)
echo "installing ${missing[*]}"
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
