#!/usr/bin/env bash
# Installs what the Windows build and its Wine test need on Debian 12, when missing: the
# mingw-w64 cross compiler, Wine, dpkg-dev for unpacking Debian's mbed TLS source package, and
# wixl and msitools for building and reading the installer.
# It also adds a source entry for the configured Debian archive, so that the build can fetch
# that source package with `apt-get source` (the only download of the Windows build).
set -euo pipefail

packages=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 dpkg-dev wixl msitools)

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)

# True when some configured archive already offers source packages.
have_sources() {
  grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/
}

update=false
if ! have_sources; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed -E 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/kelm-deb-src.sources >/dev/null
  elif [ -f /etc/apt/sources.list ]; then
    sed -nE 's/^deb (.*)/deb-src \1/p' /etc/apt/sources.list |
      "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/kelm-deb-src.list >/dev/null
  fi
  have_sources || { echo "no Debian archive to take source packages from" >&2; exit 1; }
  update=true
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if $update || [ ${#missing[@]} -gt 0 ]; then
  "${sudo_cmd[@]}" apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
