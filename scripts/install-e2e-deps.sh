#!/usr/bin/env bash
# Installs, from Debian's packages, what the end-to-end suite and the demo
# need: Apache httpd (with mod_fcgid for FastCGI mode), nginx, curl and
# Chromium. Run as root; as another user it prints what to install.
#
# Nothing system-wide is configured, started, stopped or disabled: the suite
# and the demo run their own Apache and nginx from configuration files in a
# temporary folder. Whether the packages' own services start on install is
# Debian's usual business (on a machine without an init system they do not).
set -euo pipefail

# package name, and the file whose presence means it is there (any nginx
# flavour will do).
wanted=(
  "apache2:/usr/sbin/apache2"
  "libapache2-mod-fcgid:/usr/lib/apache2/modules/mod_fcgid.so"
  "nginx-light:/usr/sbin/nginx"
  "curl:/usr/bin/curl"
  "chromium:/usr/bin/chromium"
  "fonts-liberation:/usr/share/fonts/truetype/liberation"
  "python3:/usr/bin/python3"
  "time:/usr/bin/time"
)

missing=()
for entry in "${wanted[@]}"; do
  package=${entry%%:*}
  path=${entry#*:}
  [ -e "$path" ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
