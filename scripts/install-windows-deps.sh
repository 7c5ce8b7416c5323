#!/usr/bin/env bash
# Installs, from Debian's packages, what the Windows build and its tests need:
# the MinGW-w64 cross compiler for 32-bit Windows, Wine with its 32-bit part
# (i386 packages, hence the added architecture), GoogleTest's sources, the
# locale tools the Wine session uses, and Apache for the end-to-end case.
# Run as root; as another user it prints what to install.
set -euo pipefail

packages=(cmake make python3 g++-mingw-w64-i686 wine wine32:i386 googletest locales apache2)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them with: sudo dpkg --add-architecture i386 && sudo apt-get update &&" \
    "sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
dpkg --add-architecture i386
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
