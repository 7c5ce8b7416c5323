#!/usr/bin/env bash
# Builds the release files into dist/, named with the version in CMakeLists.txt:
#   nph-gw-VERSION-linux-x86_64.tar.gz   static programs with the sample settings,
#   nph-gw-VERSION-linux-aarch64.tar.gz  README, CHANGELOG, LICENSE and docs, in a
#   nph-gw-VERSION-linux-armhf.tar.gz    folder of the archive's own name
#   nph-gw-VERSION-windows-x86.zip       the same for 32-bit Windows, text in CR LF
#   nph-gw_VERSION_{amd64,arm64,armhf}.deb  Debian 12 packages: the program in
#                                        /usr/lib/nph-gw, where no web server
#                                        runs it, the rest in /usr/share/doc/nph-gw
#                                        (the licence as its copyright file)
#   SHA256SUMS
# Only the program is built, without the tests, in build-release/. As root it
# first installs what it needs (as another user it says what to install).
# With --test it then checks the result with scripts/test-release.sh.
#
#   SOURCE_DATE_EPOCH   time stamp of every file (default: the last commit's)
#   NPH_GW_MAINTAINER   the packages' Maintainer field
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

run_tests=0
[ "${1:-}" = "--test" ] && run_tests=1

packages=(cmake make g++ g++-mingw-w64-i686 crossbuild-essential-arm64 crossbuild-essential-armhf
  zip dpkg-dev)
[ "$run_tests" = 1 ] && packages+=(python3 qemu-user wine wine32:i386 locales)
./scripts/install-deps.sh "${packages[@]}"

export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
maintainer=${NPH_GW_MAINTAINER:-nph-gw maintainers <maintainers@nph-gw.invalid>}
dist=$repo/dist
builds=$repo/build-release
rm -rf "$dist" "$builds"
mkdir -p "$dist" "$builds/stage"

# Builds the program for one platform and installs it, stripped, under
# build-release/stage/PLATFORM/usr.
build() {  # platform, toolchain file in cmake/ (none: this machine's compiler)
  local dir=$builds/$1 toolchain=()
  [ -n "${2:-}" ] && toolchain=(-DCMAKE_TOOLCHAIN_FILE="$repo/cmake/$2")
  # The ARM programs are built without HTTPS targets for now: Debian's
  # cross compilers come without an ARM OpenSSL to link statically.
  case "${2:-}" in linux-*) toolchain+=(-DNPH_GW_TLS=OFF) ;; esac
  echo "== $1"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DNPH_GW_TESTS=OFF "${toolchain[@]}" >/dev/null
  # Quiet unless it fails: the static C library's getaddrinfo warning is
  # expected (README, Building).
  cmake --build "$dir" -j"$(nproc)" --target nph-gw >"$dir/build.log" 2>&1 || { cat "$dir/build.log"; exit 1; }
  DESTDIR="$builds/stage/$1" cmake --install "$dir" --prefix /usr --strip >/dev/null
  chmod -R u=rwX,go=rX "$builds/stage/$1"
}
build linux-x86_64
build linux-aarch64 linux-aarch64.cmake
build linux-armhf linux-armhf.cmake
build windows-x86 mingw-i686.cmake

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$builds/linux-x86_64/CMakeCache.txt")
grep -q "^## $version\$" CHANGELOG.md || { echo "CHANGELOG.md has no section \"## $version\"" >&2; exit 1; }

# The archives' folder: the program beside its sample settings and documents.
archive_tree() {  # platform; prints the folder
  local tree=$builds/archives/nph-gw-$version-$1
  mkdir -p "$tree"
  cp -a "$builds/stage/$1/usr/lib/nph-gw/." "$builds/stage/$1/usr/share/doc/nph-gw/." "$tree/"
  echo "$tree"
}
for platform in linux-x86_64 linux-aarch64 linux-armhf; do
  tree=$(archive_tree "$platform")
  tar --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" \
    -C "$(dirname "$tree")" -cf - "$(basename "$tree")" | gzip -9n >"$dist/$(basename "$tree").tar.gz"
done

tree=$(archive_tree windows-x86)
find "$tree" -type f \( -name '*.md' -o -name '*.sample' -o -name LICENSE \) -exec sed -i 's/\r*$/\r/' {} +
find "$tree" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
(cd "$(dirname "$tree")" && find "$(basename "$tree")" | LC_ALL=C sort |
  TZ=UTC zip -qX "$dist/$(basename "$tree").zip" -@)

# A Debian package carries its licence as /usr/share/doc/PACKAGE/copyright, in
# the machine-readable form (Debian names the MIT licence "Expat").
copyright() {
  printf 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n'
  printf 'Upstream-Name: nph-gw\n\nFiles: *\n'
  sed -n 's/^Copyright (c) /Copyright: /p' LICENSE
  printf 'License: Expat\n'
  sed -n '/^Permission/,$p' LICENSE | sed 's/^$/./; s/^/ /'
}
for pair in linux-x86_64:amd64 linux-aarch64:arm64 linux-armhf:armhf; do
  platform=${pair%:*} arch=${pair#*:}
  root=$builds/deb-$arch
  cp -a "$builds/stage/$platform" "$root"
  rm "$root/usr/share/doc/nph-gw/LICENSE"
  copyright >"$root/usr/share/doc/nph-gw/copyright"
  chmod 644 "$root/usr/share/doc/nph-gw/copyright"
  mkdir "$root/DEBIAN"
  (cd "$root" && find usr -type f | LC_ALL=C sort | xargs md5sum >DEBIAN/md5sums)
  cat >"$root/DEBIAN/control" <<EOF
Package: nph-gw
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)
Section: httpd
Priority: optional
Suggests: apache2
Description: CGI gateway to one backend HTTP server
 A web server runs nph-gw once per request, as it runs any CGI program; it
 forwards the request to one backend HTTP server and relays the reply
 byte for byte. For sites that can run CGI programs but cannot configure
 the web server's own reverse proxy.
 .
 The program is installed as /usr/lib/nph-gw/nph-gw, where no web server
 runs it: installing the package exposes nothing until it is linked into
 a CGI folder (see /usr/share/doc/nph-gw/README.md). The sample settings
 are /usr/share/doc/nph-gw/nph-gw.ini.sample.
EOF
  dpkg-deb --root-owner-group -Zxz --build "$root" "$dist/nph-gw_${version}_$arch.deb" >/dev/null
done

(cd "$dist" && sha256sum -- nph-gw* >SHA256SUMS)
echo "== $dist"
(cd "$dist" && stat -c '%9s  %n' -- *)

[ "$run_tests" = 1 ] && exec ./scripts/test-release.sh "$dist"
exit 0
