#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the services need, when missing.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libmbedtls-dev libpcsclite-dev pcscd vsmartcard-vpcd nlohmann-json3-dev libcli11-dev libassuan-dev
  libssl-dev openssl
  binutils procps help2man
  clang-14 libclang-rt-14-dev libfuzzer-14-dev
  # The PKCS #11 module: p11-kit's header, and the clients its tests drive.
  libp11-kit-dev p11-kit gnutls-bin libengine-pkcs11-openssl openssh-client libnss3-tools python3-pykcs11
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
