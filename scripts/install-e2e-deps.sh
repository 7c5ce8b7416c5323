#!/usr/bin/env bash
# Installs, from Debian's packages, what the end-to-end suite and the demo
# need: Apache httpd (with mod_fcgid for FastCGI mode), nginx, curl, Chromium,
# Django and Node.js; then, with npm, the socket.io packages that
# tests/e2e/apps/package-lock.json names, into tests/e2e/apps/node_modules
# (ignored by git). Run as root; as another user it prints what to install.
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
  "python3-django:/usr/lib/python3/dist-packages/django"
  "nodejs:/usr/bin/node"
  "npm:/usr/bin/npm"
)
apps=$(cd "$(dirname "$0")/../tests/e2e/apps" && pwd)

missing=()
for entry in "${wanted[@]}"; do
  package=${entry%%:*}
  path=${entry#*:}
  [ -e "$path" ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] || "$(dirname "$0")/install-deps.sh" "${missing[@]}"

# The npm packages, again whenever the lock file has changed.
if ! cmp -s "$apps/package-lock.json" "$apps/node_modules/.installed-lock.json"; then
  (cd "$apps" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
  cp "$apps/package-lock.json" "$apps/node_modules/.installed-lock.json"
fi
