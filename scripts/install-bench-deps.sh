#!/usr/bin/env bash
# Installs, from Debian's packages, what bench/run.sh needs and the machine
# lacks: the servers (Apache httpd, nginx with its echo module for the upload
# sink), the clients (wrk, curl), valgrind, GNU time, a C compiler for the
# trivial CGI program, mod_fcgid and libfcgi for the FastCGI ways
# (bench/fastcgi_bench.py) and python3. Run as root; as another user it prints what
# to install. The servers are only ever started by the benchmark itself, as
# its children; their system services are left alone.
set -euo pipefail

packages=(apache2 nginx-light libnginx-mod-http-echo wrk curl valgrind time gcc python3
          libapache2-mod-fcgid libfcgi-dev)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# Installing apache2 and nginx starts their services on Debian; the benchmark
# does not need them, and they would hold ports 80 and take CPU.
policy_added=""
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
  chmod +x /usr/sbin/policy-rc.d
  policy_added=1
fi
status=0
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || status=$?
[ -n "$policy_added" ] && rm -f /usr/sbin/policy-rc.d
exit $status
