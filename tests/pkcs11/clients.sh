#!/usr/bin/env bash
# The card through the PKCS #11 module, used by the tools Linux users already have: p11-kit
# (the installed module file), GnuTLS's p11tool, OpenSSL's pkcs11 engine (a certificate request
# and a CMS signature), NSS (modutil, certutil) and OpenSSH (ssh-keygen -D). OpenSSL checks each
# result on its own, and the key generated through p11tool is the one kelm-tool reads.
#
#   clients.sh BUILD_DIR sim TYPE     the card in-process (KELM_PCSC=sim:IMAGE)
#   clients.sh BUILD_DIR pcscd TYPE   the card behind pcscd, served by kelm-cardsim in the second
#                                     vpcd reader (run under flock /tmp/kelm-pcscd.lock)
#   clients.sh BUILD_DIR MODE TYPE pykcs11   pykcs11_checks.py on that card instead
# TYPE 6 (2048-bit keys) runs the key generation, test signature and certificate request only.
set -euo pipefail
build=$(cd "$1" && pwd) mode=$2 type=$3
module=$build/src/libkelm-pkcs11.so
tool=$build/tools/kelm-tool/kelm-tool
reader="Virtual PCD 00 01"
work=$(mktemp -d)
cardsim_pid=
cleanup() {
  [ -n "$cardsim_pid" ] && kill "$cardsim_pid" 2>/dev/null && wait "$cardsim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }
step() { echo "-- $*"; }

export HOME=$work/home KELM_REGISTRY_DIR=$work/registry GNUTLS_PIN=12345678 KELM_PIN=12345678
mkdir -p "$HOME" "$KELM_REGISTRY_DIR"
bits=1024
[ "$type" = 6 ] && bits=2048
image=$work/card.json
"$tool" card new --type "$type" "$image" >/dev/null
if [ "$mode" = sim ]; then
  export KELM_PCSC=sim:$image
  on_card=(--card "sim:$image")
else
  # The module offers the reader "sReaderName" names, as the provider uses it.
  printf 'Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\SOFTWARE\\VESK\\ROSMAC10]\n"sReaderName"="%s"\n' \
    "$reader" >"$KELM_REGISTRY_DIR/HKEY_CURRENT_USER.reg"
  # The reader may still show the card of a run that just ended until pcscd polls it again:
  # wait for it to empty, or the check below would see that card and not this one.
  for _ in $(seq 100); do
    "$tool" readers 2>/dev/null | grep -q "^$reader	card present" || break
    sleep 0.1
  done
  "$build/sim/kelm-cardsim" --image "$image" --port 35964 >"$work/cardsim.log" 2>&1 &
  cardsim_pid=$!
  for _ in $(seq 100); do
    "$tool" readers 2>/dev/null | grep -q "^$reader	card present" && break
    sleep 0.1
  done
  "$tool" readers 2>/dev/null | grep -q "^$reader	card present" || { cat "$work/cardsim.log"; fail "no card in $reader"; }
  on_card=(--reader "$reader")
fi

if [ "${4:-}" = pykcs11 ]; then
  # The system's Python, whose packages hold PyKCS11 (python3-pykcs11).
  /usr/bin/python3 "$(dirname "$0")/pykcs11_checks.py" "$module" 12345678
  exit $?
fi

p11() { p11tool --provider "$module" "$@"; }
token="pkcs11:token=KELM%20card"
key="$token;object=alice:exchange"
step "p11tool: the token, its mechanisms, a key pair generated on the card, a test signature"
p11 --list-tokens | grep -q "Label: KELM card" || fail "token not listed"
p11 --list-mechanisms "$token" | grep -q CKM_SHA256_RSA_PKCS || fail "mechanisms"
p11 --login --generate-privkey rsa --bits "$bits" --label alice "$token" >"$work/generated.pem"
p11 --login --list-all "$token" | grep -c "Label: alice:exchange" | grep -qx 2 || fail "private and public key"
p11 --login --test-sign "$key" 2>&1 | grep -q "Verifying against public key in the token... ok" || fail "test sign"

step "OpenSSL's engine: a certificate request signed by the card's key, verified by OpenSSL"
cat >"$work/openssl.cnf" <<CONF
openssl_conf = init
[init]
engines = engines
[engines]
pkcs11 = pkcs11
[pkcs11]
engine_id = pkcs11
MODULE_PATH = $module
CONF
engine_key="$key;type=private;pin-value=12345678"
OPENSSL_CONF=$work/openssl.cnf openssl req -new -engine pkcs11 -keyform engine -key "$engine_key" \
  -subj "/CN=Alice Subscriber" -out "$work/alice.csr" 2>"$work/req.log" || { cat "$work/req.log"; fail "openssl req"; }
openssl req -verify -noout -in "$work/alice.csr" 2>&1 | grep -q "verify OK" || fail "request signature"
[ "$type" = 6 ] && { echo "clients.sh: all checks passed (card type 6)"; exit 0; }

step "p11tool --write: the certificate goes to the slot of the key it certifies"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -subj "/CN=Test CA" -days 2 \
  -out "$work/ca.pem" 2>/dev/null
printf 'keyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=emailProtection\n' >"$work/ext"
openssl x509 -req -in "$work/alice.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -set_serial 7 -days 2 \
  -extfile "$work/ext" -out "$work/alice.pem" 2>/dev/null
p11 --login --write --load-certificate "$work/alice.pem" --label alice "$token" >/dev/null
p11 --export "$key;type=cert" | openssl x509 -outform DER >"$work/back.der"
openssl x509 -in "$work/alice.pem" -outform DER | cmp - "$work/back.der" || fail "certificate read back"

step "OpenSSL's engine: a detached CMS signature, verified with the card's certificate"
echo "The quarterly report, final version." >"$work/report.txt"
OPENSSL_CONF=$work/openssl.cnf openssl cms -sign -engine pkcs11 -keyform engine -inkey "$engine_key" \
  -signer "$work/alice.pem" -in "$work/report.txt" -binary -outform DER -out "$work/report.p7s" 2>"$work/cms.log" ||
  { cat "$work/cms.log"; fail "openssl cms -sign"; }
openssl cms -verify -inform DER -in "$work/report.p7s" -content "$work/report.txt" -binary -CAfile "$work/ca.pem" \
  -out /dev/null 2>&1 | grep -q "Verification successful" || fail "CMS signature"

step "ssh-keygen -D prints the key kelm-tool reads from the card"
"$tool" "${on_card[@]}" --pin-source env:KELM_PIN pubkey --container alice --key exchange --out "$work/pub.pem" >/dev/null
expected=$(ssh-keygen -i -m PKCS8 -f "$work/pub.pem" | awk '{print $2}')
ssh-keygen -D "$module" 2>/dev/null | awk '{print $2}' | grep -qx "$expected" || fail "ssh-keygen -D"

step "NSS: modutil adds the module, certutil lists the card's certificate"
mkdir "$work/nss"
certutil -N -d "sql:$work/nss" --empty-password </dev/null >/dev/null 2>&1
modutil -dbdir "sql:$work/nss" -add kelm -libfile "$module" -force </dev/null >"$work/modutil.log" 2>&1 ||
  { cat "$work/modutil.log"; fail "modutil -add"; }
certutil -d "sql:$work/nss" -L -h all </dev/null 2>"$work/certutil.log" | grep -q "KELM card:alice:exchange" ||
  { cat "$work/certutil.log"; fail "certutil -L"; }

step "p11-kit: the installed module file makes p11-kit-aware programs find the module"
cmake --install "$build" --prefix "$work/prefix" --component pkcs11 >/dev/null
mkdir -p "$HOME/.config/pkcs11/modules"
cp "$work/prefix/share/p11-kit/modules/kelm.module" "$HOME/.config/pkcs11/modules/"
# p11-kit reads no user's configuration for root, only the system's (where an install with the
# prefix /usr puts the file): as root the check runs as nobody.
as_user=()
if [ "$(id -u)" = 0 ]; then
  chmod -R a+rwX "$work"
  as_user=(setpriv --reuid 65534 --regid 65534 --clear-groups)
fi
"${as_user[@]}" env HOME="$HOME" p11-kit list-modules >"$work/modules.txt" 2>&1
grep -q "^kelm: $work/prefix/.*/libkelm-pkcs11.so" "$work/modules.txt" || { cat "$work/modules.txt"; fail "p11-kit list-modules"; }
if [ "$mode" = sim ]; then
  grep -A6 "^kelm:" "$work/modules.txt" | grep -q "token: KELM card" || fail "p11-kit lists no token"
fi
echo "clients.sh: all checks passed"
