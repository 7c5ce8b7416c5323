# shellcheck shell=bash
# One Wine session for a whole test run: a fresh prefix in a scratch folder,
# one persistent wineserver (so each run of a Windows program starts in a few
# hundredths of a second), and a runner script with the session's settings
# written into it, for callers that clear the environment (as the black-box
# harness and a web server do). Source this file, then:
#
#   wine_session_start DIR     prefix, locale and runner under DIR
#   "$WINE_SESSION_RUNNER" program.exe args...
#   wine_session_stop          stops the session's wineserver
#
# Environment bytes: Wine turns the Unix environment into the Windows one
# through the Unix locale's character set, and the program reads it back
# through the ANSI code page. With a CP1252 locale on both sides every byte
# 0x01-0xFF reaches the program unchanged, as a web server passes it.

wine_session_start() {
  local dir=$1
  local wine wineserver
  wine=$(command -v wine) ||
    { echo "wine is not installed (scripts/install-windows-deps.sh)" >&2; return 1; }
  wineserver=$(command -v wineserver) || { echo "wineserver not found" >&2; return 1; }

  mkdir -p "$dir/locale"
  if ! localedef -i en_US -f CP1252 "$dir/locale/en_US.CP1252" >/dev/null 2>&1; then
    echo "localedef could not build en_US.CP1252 (Debian package: locales)" >&2
    return 1
  fi

  export WINEPREFIX="$dir/prefix"
  WINE_SESSION_WINESERVER=$wineserver
  WINE_SESSION_RUNNER="$dir/wine-run"
  # The locale goes only to Wine's own processes, through the runner.
  {
    echo '#!/bin/sh'
    echo '# Runs a Windows program in the test run'"'"'s Wine session.'
    echo "export WINEPREFIX='$WINEPREFIX' WINEDEBUG=-all WINEARCH=win32"
    echo '# No Mono or Gecko prompts, no desktop menu entries.'
    echo "export WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'"
    echo "export LOCPATH='$dir/locale' LC_ALL=en_US.CP1252"
    echo "exec '$wine' \"\$@\""
  } >"$WINE_SESSION_RUNNER"
  chmod 755 "$WINE_SESSION_RUNNER"
  export WINE_SESSION_RUNNER WINE_SESSION_WINESERVER

  # The server first, kept running until wine_session_stop; then the prefix.
  mkdir -p "$WINEPREFIX"
  "$wineserver" -p || { echo "wineserver did not start" >&2; return 1; }
  "$WINE_SESSION_RUNNER" wineboot -i >/dev/null 2>&1 || { echo "wineboot failed" >&2; return 1; }
}

wine_session_stop() {
  # wineserver -k is Wine's own command for stopping the server of this prefix.
  if [ -n "${WINEPREFIX:-}" ] && [ -n "${WINE_SESSION_WINESERVER:-}" ]; then
    "$WINE_SESSION_WINESERVER" -k >/dev/null 2>&1 || true
  fi
}
