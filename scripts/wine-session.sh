# Sourced by the scripts that run programs under Wine.
# One Wine session per user for the whole run: a fresh prefix, one wineserver
# kept running (each start of a program then takes a few hundredths of a
# second), and a runner script with the session in it, for callers that clear
# the environment (the black-box suite, a web server). Its locale is UTF-8,
# so Linux file names reach Windows programs as the characters they spell (a
# folder named "папка" is that, not one Windows character per byte); Wine's
# ANSI code page stays 1252, as on a Western Windows.
wine_session() {  # FOLDER: prefix and the runner FOLDER/wine-run
  local dir=$1
  mkdir -p "$dir/prefix"
  cat >"$dir/wine-run" <<EOF
#!/bin/sh
# No Mono or Gecko prompts, no desktop menu entries.
export WINEPREFIX='$dir/prefix' WINEDEBUG=-all WINEARCH=win32 LC_ALL=C.UTF-8
export WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'
exec wine "\$@"
EOF
  chmod 755 "$dir/wine-run"
  WINEPREFIX="$dir/prefix" wineserver -p && "$dir/wine-run" wineboot -i >/dev/null 2>&1
}
stop_session() {  # wineserver -k is Wine's own way to stop a prefix's server
  WINEPREFIX="$1/prefix" wineserver -k >/dev/null 2>&1
}
