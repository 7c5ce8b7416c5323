#!/usr/bin/env bash
# Checks the release files that scripts/release.sh made in dist/ (or DIST):
#   - SHA256SUMS covers every file and matches;
#   - each archive, unpacked into a scratch folder, holds a static program (or
#     nph-gw.exe) with the sample settings, README and LICENSE, and the black-box suite
#     passes against that program: ARM under qemu-user, Windows under Wine
#     (its text files in CR LF);
#   - each Debian package holds the archive's program as /usr/lib/nph-gw/nph-gw,
#     the sample settings under /usr/share/doc/nph-gw with the licence as its
#     copyright file, nothing a web server would pick up by itself, and no
#     maintainer scripts.
# Needs what `scripts/release.sh --test` installs, and for the Windows archive
# the tests' IIS stand-in from scripts/test-windows.sh. Exits non-zero on a
# failure.
#
#   scripts/test-release.sh [DIST]
#   NPH_GW_BLACKBOX_DIR  black-box suite (default tests/blackbox)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
repo=$PWD
dist=$(realpath "${1:-dist}")
version=$(sed -n 's/^project(nph-gw VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
work=$(mktemp -d /tmp/nph-gw-release.XXXXXX)
chmod 755 "$work"
logs=$repo/build-release/test-logs
rm -rf "$logs" && mkdir -p "$logs"
failures=0

# shellcheck source=scripts/wine-session.sh
source scripts/wine-session.sh
# shellcheck disable=SC2317  # called by the EXIT trap
cleanup() { [ -d "$work/wine" ] && stop_session "$work/wine"; rm -rf "$work"; }
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() { echo "   FAILED: $*"; failures=$((failures + 1)); }

echo "== SHA256SUMS ($dist)"
(cd "$dist" && sha256sum --check --quiet SHA256SUMS) || fail "checksums do not match"
listed=$(cut -d' ' -f3 "$dist/SHA256SUMS" | sort)
present=$(find "$dist" -maxdepth 1 -type f ! -name SHA256SUMS -printf '%f\n' | sort)
[ "$listed" = "$present" ] || fail "SHA256SUMS lists: $listed; dist holds: $present"

# The Windows program is started as IIS starts it, by the tests' stand-in that
# scripts/test-windows.sh builds (tests/support/iis_host.cpp).
win_build=${NPH_GW_WIN_BUILD:-build-win}
case "$win_build" in /*) ;; *) win_build="$repo/$win_build" ;; esac

blackbox() {  # name, program, runner, platform
  local started=$SECONDS
  NPH_GW=$2 NPH_GW_RUNNER=$3 NPH_GW_PLATFORM=$4 NPH_GW_IIS_HOST=$win_build/tests/iis_host.exe \
    python3 -m unittest discover -s "${NPH_GW_BLACKBOX_DIR:-tests/blackbox}" -p '*_test.py' -v >"$logs/$1.log" 2>&1 ||
    fail "black-box suite against $1 (log: $logs/$1.log)"
  grep -E '^(FAIL|ERROR):|^Ran |^OK|^FAILED' "$logs/$1.log" | sed 's/^/   /'
  echo "   $((SECONDS - started)) s"
}

for entry in "linux-x86_64::" "linux-aarch64:qemu-aarch64 -L /usr/aarch64-linux-gnu:" \
  "linux-armhf:qemu-arm -L /usr/arm-linux-gnueabihf:" "windows-x86::windows"; do
  IFS=: read -r platform runner kind <<<"$entry"
  name=nph-gw-$version-$platform
  echo "== $name"
  if [ "$kind" = windows ]; then
    unzip -q "$dist/$name.zip" -d "$work" || { fail "$name.zip missing or broken"; continue; }
    program=$work/$name/nph-gw.exe
    for text in README.md CHANGELOG.md LICENSE nph-gw.ini.sample; do
      grep -qE $'(^|[^\r])$' "$work/$name/$text" && fail "$text has lines without CR LF"
    done
    [ -x "$work/wine/wine-run" ] || wine_session "$work/wine" >/dev/null ||
      { fail "no Wine session"; continue; }
    runner=$work/wine/wine-run
  else
    tar -xzf "$dist/$name.tar.gz" -C "$work" || { fail "$name.tar.gz missing or broken"; continue; }
    program=$work/$name/nph-gw
    readelf -l "$program" | grep -q 'program interpreter' && fail "$platform program is not static"
  fi
  for file in "$program" "$work/$name/nph-gw.ini.sample" "$work/$name/README.md" \
    "$work/$name/LICENSE"; do
    [ -f "$file" ] || fail "$name lacks $(basename "$file")"
  done
  blackbox "$platform" "$program" "$runner" "$kind"
done

for pair in linux-x86_64:amd64 linux-aarch64:arm64 linux-armhf:armhf; do
  platform=${pair%:*} arch=${pair#*:}
  deb=$dist/nph-gw_${version}_$arch.deb
  echo "== $(basename "$deb")"
  [ "$(dpkg-deb --field "$deb" Package Version Architecture)" = \
    "$(printf 'Package: nph-gw\nVersion: %s\nArchitecture: %s' "$version" "$arch")" ] ||
    fail "control fields: $(dpkg-deb --field "$deb" Package Version Architecture | tr '\n' ' ')"
  contents=$(dpkg-deb --contents "$deb")
  grep -qE '^-rwxr-xr-x root/root .* \./usr/lib/nph-gw/nph-gw$' <<<"$contents" ||
    fail "no program /usr/lib/nph-gw/nph-gw (755, root)"
  [ "$(grep -cE ' \./usr/share/doc/nph-gw/(nph-gw\.ini\.sample|README\.md)$' <<<"$contents")" = 2 ] ||
    fail "no sample settings or README in /usr/share/doc/nph-gw"
  # Read whole before grep: grep -q leaving early would fail the pipe under pipefail.
  copyright=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/nph-gw/copyright 2>/dev/null)
  grep -q '^License: Expat$' <<<"$copyright" || fail "no licence in /usr/share/doc/nph-gw/copyright"
  # Nothing where a web server looks by itself: CGI folders, document roots, its configuration.
  grep -E ' \./(etc|var|srv|usr/lib/cgi-bin)/' <<<"$contents" && fail "files where a web server looks"
  scripts=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -vxE '\./|\./control|\./md5sums')
  if [ -n "$scripts" ] || [ -n "$(dpkg-deb --field "$deb" Depends Pre-Depends)" ]; then
    fail "maintainer scripts or dependencies: $scripts"
  fi
  dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/lib/nph-gw/nph-gw |
    cmp -s - "$work/nph-gw-$version-$platform/nph-gw" || fail "program differs from the $platform archive's"
done

echo
if [ "$failures" -gt 0 ]; then
  echo "Release check: $failures failures"
  exit 1
fi
echo "Release check: all passed"
