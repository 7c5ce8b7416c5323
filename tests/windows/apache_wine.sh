#!/usr/bin/env bash
# Apache httpd on Linux runs nph-gw.exe, under Wine, as its CGI program: the
# echo page shows a POST as the gateway rebuilt it, a header beyond ASCII come
# through Wine's view of the CGI variables, the body through Apache's pipe and
# the page back unparsed. Exits non-zero when it does not.
#
#   tests/windows/apache_wine.sh NPH-GW.EXE CGI-RUNNER FOLDER
set -euo pipefail
exe=$1 runner=$2 dir=$3
modules=${APACHE_MODULES:-/usr/lib/apache2/modules}
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$dir/cgi-bin"
cp "$exe" "$dir/cgi-bin/nph-gw.exe"
printf '#!/bin/sh\nexec %s "${0%%/*}/nph-gw.exe"\n' "$runner" >"$dir/cgi-bin/nph-gw"
chmod -R a+rX "$dir" && chmod a+x "$dir/cgi-bin/nph-gw"
user=""
[ "$(id -u)" -ne 0 ] || user=$'User www-data\nGroup www-data'  # root's workers: www-data
cat >"$dir/httpd.conf" <<EOF
ServerRoot "$dir"
ServerName 127.0.0.1
Listen 127.0.0.1:$port
PidFile "$dir/httpd.pid"
ErrorLog "$dir/error.log"
LoadModule mpm_prefork_module $modules/mod_mpm_prefork.so
LoadModule cgi_module $modules/mod_cgi.so
LoadModule alias_module $modules/mod_alias.so
LoadModule authz_core_module $modules/mod_authz_core.so
$user
ScriptAlias /cgi-bin/ "$dir/cgi-bin/"
<Directory "$dir/cgi-bin">
  Require all granted
</Directory>
EOF
# A session of its own: stopping, Apache signals its whole process group.
setsid "${APACHE_BIN:-/usr/sbin/apache2}" -f "$dir/httpd.conf" -DFOREGROUND &
apache=$!
trap 'kill $apache; wait $apache' EXIT  # by its own PID
printf 'name=caf\xe9&bytes=\x01\x7f\xff\r\n' >"$dir/body"
curl -s -i --retry 20 --retry-connrefused --retry-delay 1 --data-binary @"$dir/body" \
  -H $'User-Agent: caf\xe9' -o "$dir/answer" "http://127.0.0.1:$port/cgi-bin/nph-gw/~~echo?q=%FF"
# Whole lines of the answer, each ending in CR.
for line in $'HTTP/1.0 200 OK\r' $'POST /~~echo?q=%FF HTTP/1.0\r' $'User-Agent: caf\xe9\r' \
  "$(cat "$dir/body")"; do
  LC_ALL=C grep -qaxF "$line" "$dir/answer" ||
    { echo "no line \"$line\" in the answer:"; cat "$dir/answer" "$dir/error.log"; exit 1; }
done
echo "Apache ran nph-gw.exe: the echo shows the request as sent"
