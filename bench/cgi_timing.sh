#!/usr/bin/env bash
# Times the built gateway from outside, as a web server would see it: the
# average wall time of 100 sequential "/~~echo" runs and of 100 forwarded GETs
# against a loopback target. Builds nothing.
#
#   bench/cgi_timing.sh [path/to/nph-gw] [runs]
#
# The program defaults to $NPH_GW, then build/nph-gw beside this folder.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
program="${1:-${NPH_GW:-$here/../build/nph-gw}}"
runs="${2:-100}"
if [[ ! -x "$program" ]]; then
  echo "no program at $program (build it first)" >&2
  exit 1
fi

work="$(mktemp -d)"
target_pid=""
cleanup() {
  if [[ -n "$target_pid" ]]; then
    kill "$target_pid" 2>/dev/null || true
    wait "$target_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# A minimal target: one fixed reply per connection, so the figure is the
# gateway's and not the target's.
python3 -u - "$work/port" <<'EOF' &
import socket, sys
body = b"<html><body>hello from the target</body></html>\n"
reply = (b"HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: %d\r\n\r\n"
         % len(body)) + body
listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", 0))
listener.listen(128)
with open(sys.argv[1] + ".tmp", "w") as handle:
    handle.write(str(listener.getsockname()[1]))
import os
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
while True:
    conn, _ = listener.accept()
    with conn:
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = conn.recv(65536)
            if not chunk:
                break
            data += chunk
        if data:
            conn.sendall(reply)
EOF
target_pid=$!
for _ in $(seq 100); do
  [[ -s "$work/port" ]] && break
  sleep 0.05
done
port="$(cat "$work/port")"

cp "$program" "$work/nph-gw"
printf '[Forward]\nTargetServer=127.0.0.1\nTargetPort=%s\nTimeout=10\n' "$port" >"$work/nph-gw.ini"

# Runs the gateway `runs` times with PATH_INFO $1 in a clean CGI environment
# and prints the average wall time per run in milliseconds.
time_runs() {
  local path_info="$1"
  env -i PATH=/usr/bin:/bin \
    GATEWAY_INTERFACE=CGI/1.1 SERVER_SOFTWARE=bench SERVER_NAME=localhost \
    SERVER_PROTOCOL=HTTP/1.1 SCRIPT_NAME=/cgi-bin/nph-gw REQUEST_METHOD=GET \
    QUERY_STRING=a=1 PATH_INFO="$path_info" HTTP_ACCEPT='*/*' HTTP_USER_AGENT=bench \
    PROGRAM="$work/nph-gw" RUNS="$runs" bash -c '
      first="$("$PROGRAM" </dev/null | head -c 15)"
      if [[ "$first" != "HTTP/1.0 200 OK" ]]; then
        echo "unexpected reply: $first" >&2
        exit 1
      fi
      start=$(date +%s%N)
      for ((i = 0; i < RUNS; i++)); do
        "$PROGRAM" </dev/null >/dev/null
      done
      end=$(date +%s%N)
      awk -v ns=$((end - start)) -v n="$RUNS" "BEGIN { printf \"%.3f\", ns / n / 1e6 }"'
}

echo_ms="$(time_runs /~~echo)"
forward_ms="$(time_runs /bench/page)"
echo "runs per figure:            $runs"
echo "/~~echo average:            $echo_ms ms"
echo "forwarded GET average:      $forward_ms ms"
