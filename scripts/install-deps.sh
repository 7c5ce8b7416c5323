#!/usr/bin/env bash
# Installs, from Debian's packages, those of PACKAGE... (by default what
# building and the CTest suites need) that the machine lacks. Run as root; as
# another user it prints what to install. A package named NAME:i386 adds the
# i386 architecture first.
#
#   scripts/install-deps.sh [PACKAGE...]
set -euo pipefail

packages=("$@")
[ ${#packages[@]} -eq 0 ] && packages=(cmake g++ make libgtest-dev libssl-dev openssl python3 curl)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

foreign=""
case " ${missing[*]}" in *:i386*) foreign="dpkg --add-architecture i386 && " ;; esac
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them with: sudo sh -c '${foreign}apt-get update && apt-get install ${missing[*]}'" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
[ -n "$foreign" ] && dpkg --add-architecture i386
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
