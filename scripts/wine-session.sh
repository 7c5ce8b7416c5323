# Sourced by the scripts that run programs under Wine.
# One Wine session per user for the whole run: a fresh prefix, one wineserver
# kept running (each start of a program then takes a few hundredths of a
# second), and a runner script with the session in it, for callers that clear
# the environment (the black-box suite, a web server). With a CP1252 locale on
# both sides every byte 0x01-0xFF of a CGI variable reaches the program as the
# web server passed it.
wine_session() {  # FOLDER: prefix, locale and the runner FOLDER/wine-run
  local dir=$1
  mkdir -p "$dir/locale" "$dir/prefix"
  localedef -i en_US -f CP1252 "$dir/locale/en_US.CP1252" >/dev/null 2>&1 ||
    { echo "localedef could not build en_US.CP1252 (package locales)" >&2; return 1; }
  cat >"$dir/wine-run" <<EOF
#!/bin/sh
# No Mono or Gecko prompts, no desktop menu entries.
export WINEPREFIX='$dir/prefix' WINEDEBUG=-all WINEARCH=win32 LOCPATH='$dir/locale' LC_ALL=en_US.CP1252
export WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'
exec wine "\$@"
EOF
  chmod 755 "$dir/wine-run"
  WINEPREFIX="$dir/prefix" wineserver -p && "$dir/wine-run" wineboot -i >/dev/null 2>&1
}
stop_session() {  # wineserver -k is Wine's own way to stop a prefix's server
  WINEPREFIX="$1/prefix" wineserver -k >/dev/null 2>&1
}
