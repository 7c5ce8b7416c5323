#!/usr/bin/env bash
# Builds the gateway and shows it working: Apache httpd on 127.0.0.1:8088 runs
# it as a CGI program in front of a small sample application. Ctrl-C stops
# everything.
#
# Nothing system-wide is touched: Apache runs from a configuration written into
# a temporary folder, as a child of this script. As root on Debian, missing
# packages are installed first; as another user the script says what to install.
#
#   DEMO_PORT=8088 DEMO_TARGET_PORT=8089 ./scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

port=${DEMO_PORT:-8088}
target_port=${DEMO_TARGET_PORT:-8089}
apache_bin=${APACHE_BIN:-/usr/sbin/apache2}
modules=${APACHE_MODULES:-/usr/lib/apache2/modules}

# --- what the demo needs --------------------------------------------------------
if [ "$(id -u)" -eq 0 ]; then
  ./scripts/install-deps.sh
  ./scripts/install-e2e-deps.sh
else
  missing=()
  for need in cmake:cmake g++:g++ make:make python3:python3 curl:curl; do
    command -v "${need#*:}" >/dev/null || missing+=("${need%%:*}")
  done
  [ -x "$apache_bin" ] || missing+=(apache2)
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them with: sudo apt-get install ${missing[*]}" >&2
    echo "(or run this script as root, which installs them)" >&2
    exit 1
  fi
fi

# --- build ------------------------------------------------------------------------
# A fresh tree is configured without the test suites (no GoogleTest needed);
# an existing build folder keeps its own configuration.
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build -DNPH_GW_TESTS=OFF >/dev/null
fi
cmake --build build --target nph-gw -j"$(nproc)" >/dev/null
echo "Built build/nph-gw"

# --- stop everything on the way out ---------------------------------------------
work=$(mktemp -d /tmp/nph-gw-demo.XXXXXX)
apache_pid=""
target_pid=""
sleeper=""
cleanup() {
  trap - INT TERM EXIT
  echo
  echo "Stopping..."
  for pid in $apache_pid $target_pid $sleeper; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in $apache_pid $target_pid; do
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
  echo "Stopped; nothing left running."
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

port_in_use() { curl -s -o /dev/null --max-time 1 "http://127.0.0.1:$1/"; }
wait_for_port() {
  local tries=0
  until port_in_use "$1"; do
    kill -0 "$2" 2>/dev/null || return 1
    tries=$((tries + 1))
    [ $tries -lt 100 ] || return 1
    sleep 0.1
  done
}
for p in "$port" "$target_port"; do
  if port_in_use "$p"; then
    echo "Port $p is already in use; choose others with DEMO_PORT / DEMO_TARGET_PORT." >&2
    exit 1
  fi
done

# --- the sample target ------------------------------------------------------------
# setsid: Ctrl-C reaches this script only, which then stops each child by PID.
setsid python3 tests/e2e/target_app.py --port "$target_port" >"$work/target.log" 2>&1 &
target_pid=$!
if ! wait_for_port "$target_port" "$target_pid"; then
  cat "$work/target.log" >&2
  exit 1
fi

# --- Apache with the gateway --------------------------------------------------------
mkdir -p "$work/cgi-bin" "$work/htdocs" "$work/logs" "$work/run"
chmod 755 "$work" "$work/cgi-bin"
cp build/nph-gw "$work/cgi-bin/nph-gw"
chmod 755 "$work/cgi-bin/nph-gw"
cat >"$work/cgi-bin/nph-gw.ini" <<EOF
[Forward]
TargetServer=127.0.0.1
TargetPort=$target_port
; below Apache's own Timeout (60 s here)
Timeout=30
Allowed=/
Forbidden=/admin
Log=1
; an application behind the gateway (README: "What your framework needs")
PreserveHost=1
AddForwardedHeaders=1
ForwardOtherHeaders=1
RewriteRedirects=1
EOF
# The log is written by the user the CGI program runs as.
touch "$work/cgi-bin/nph-gw.txt"
user_lines=""
if [ "$(id -u)" -eq 0 ]; then
  run_user=www-data
  id "$run_user" >/dev/null 2>&1 || run_user=nobody
  chown "$run_user" "$work/cgi-bin/nph-gw.txt"
  user_lines="User $run_user
Group #$(id -g "$run_user")"
fi
cat >"$work/httpd.conf" <<EOF
ServerRoot "$work"
ServerName 127.0.0.1
Listen 127.0.0.1:$port
PidFile "$work/run/httpd.pid"
DefaultRuntimeDir "$work/run"
Mutex file:$work/run default
ErrorLog "$work/logs/error.log"
LoadModule mpm_event_module $modules/mod_mpm_event.so
LoadModule cgid_module $modules/mod_cgid.so
LoadModule alias_module $modules/mod_alias.so
LoadModule authz_core_module $modules/mod_authz_core.so
$user_lines
Timeout 60
ScriptSock "$work/run/cgid.sock"
DocumentRoot "$work/htdocs"
<Directory />
    Require all denied
</Directory>
ScriptAlias /cgi-bin/ "$work/cgi-bin/"
<Directory "$work/cgi-bin">
    Require all granted
</Directory>
EOF
setsid "$apache_bin" -f "$work/httpd.conf" -DFOREGROUND >"$work/logs/stderr.log" 2>&1 &
apache_pid=$!
if ! wait_for_port "$port" "$apache_pid"; then
  cat "$work/logs/stderr.log" "$work/logs/error.log" >&2 2>/dev/null || true
  exit 1
fi

base="http://127.0.0.1:$port/cgi-bin/nph-gw"
cat <<EOF

The gateway is running under Apache (mpm_event + mod_cgid) on 127.0.0.1:$port,
in front of a sample application on 127.0.0.1:$target_port.

Open in a browser:
  $base/app/        a sign-in page (alice / wonderland), its stylesheet, a session cookie and an API call, all through the gateway
  $base/~~info      what the gateway knows about itself and the web server
  $base/~~echo      the request as the gateway rebuilds it
  $base/~~target    whether the gateway reaches the target

Try:
  curl -i '$base/echo/hello%20world?x=1'
  curl -i '$base/admin'            (refused: Forbidden=/admin)

Settings: $work/cgi-bin/nph-gw.ini
Log:      tail -f $work/cgi-bin/nph-gw.txt

Press Ctrl-C to stop.
EOF

# Returns when Apache or the target ends, or when a signal runs the trap.
while kill -0 "$apache_pid" 2>/dev/null && kill -0 "$target_pid" 2>/dev/null; do
  sleep 1 &
  sleeper=$!
  wait "$sleeper" || true
  sleeper=""
done
echo "A server ended on its own:" >&2
tail -n 20 "$work/logs/error.log" "$work/target.log" >&2 2>/dev/null || true
exit 1
