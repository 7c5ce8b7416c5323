#!/usr/bin/env bash
# Installs what the Windows build and its tests need and the machine lacks:
# the MinGW-w64 cross compiler for 32-bit Windows, Wine with its 32-bit part
# (i386 packages, hence the added architecture) and GoogleTest's sources.
set -euo pipefail
exec "$(dirname "$0")/install-deps.sh" cmake make python3 g++-mingw-w64-i686 wine wine32:i386 \
  googletest
