#!/usr/bin/env bash
# Builds the provider and shows it at work on the embedded simulated card, through the same
# entry points an application calls: starting from an empty card, a container whose two key
# pairs the card generates, a document signed with the card's key and the signature checked by
# kelm-tool and by OpenSSL, a certificate request made by OpenSSL with the card's key through the
# PKCS #11 module, a certificate for the card's key written to the card and read back, the same
# signature made through the key storage provider's function table, a file encrypted
# under a session key wrapped with the card's exchange key and decrypted after the card unwraps
# it, the container deleted; then the texts, the algorithm table, containers created, listed and
# deleted, and the PIN checked. Non-interactive: the PIN comes from the environment. The card
# image, the registry files and the documents live in a temporary directory that is removed at
# the end.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Installing and building print nothing unless they fail: the output is the demonstration.
printf 'Installing the packages and building kelm-tool (log: %s) ... ' "$work/build.log"
if ! { scripts/install-deps.sh && cmake --preset default &&
       cmake --build --preset default -j"$(nproc)" --target kelm-tool kelm-pkcs11 kelmsim; } \
    >"$work/build.log" 2>&1; then
  echo "failed:"
  cat "$work/build.log"
  exit 1
fi
echo "done"

tool="$PWD/build/default/tools/kelm-tool/kelm-tool"
module="$PWD/build/default/src/libkelm-pkcs11.so"
export KELM_REGISTRY_DIR="$work/registry"
export KELM_DEMO_PIN=12345678
card="$work/card.json"
on_card=(--card "sim:$card" --pin-source env:KELM_DEMO_PIN)

step() {
  echo
  echo "\$ kelm-tool $*"
  "$tool" "$@"
}

echo
echo "== KELM CSP V5 on an embedded simulated card (image $card, PIN $KELM_DEMO_PIN) =="
step card new "$card"
step create-container alice "${on_card[@]}"
step genkey --container alice --key signature "${on_card[@]}"
step genkey --container alice --key exchange "${on_card[@]}"
cd "$work"
echo "The quarterly report, final version." >report.txt

echo
echo "-- Signing a document with the card's key (SHA-256) and checking the signature --"
step sign --container alice --hash sha256 --out report.sig report.txt "${on_card[@]}"
step verify --container alice --hash sha256 --signature report.sig report.txt "${on_card[@]}"
step pubkey --container alice --out alice.pem "${on_card[@]}"
echo
echo "\$ openssl dgst -sha256 -verify alice.pem -signature report.sig report.txt"
openssl dgst -sha256 -verify alice.pem -signature report.sig report.txt
step sign --container alice --hash sha1 --format base64 --out report.sha1.b64 report.txt "${on_card[@]}"
step verify --container alice --hash sha1 --format base64 --signature report.sha1.b64 report.txt "${on_card[@]}"

echo
echo "-- The same card on Linux, through its PKCS #11 module: OpenSSL makes a certificate request --"
echo "   signed by the card's key (the module: build/default/src/libkelm-pkcs11.so)"
cat >openssl-pkcs11.cnf <<CONF
openssl_conf = init
[init]
engines = engines
[engines]
pkcs11 = pkcs11
[pkcs11]
engine_id = pkcs11
MODULE_PATH = $module
CONF
key="pkcs11:token=KELM%20card;object=alice:signature;type=private;pin-value=$KELM_DEMO_PIN"
echo "\$ OPENSSL_CONF=openssl-pkcs11.cnf openssl req -new -engine pkcs11 -keyform engine -key '$key' -subj '/CN=Alice Subscriber' -out alice.csr"
KELM_PCSC="sim:$card" OPENSSL_CONF=openssl-pkcs11.cnf openssl req -new -engine pkcs11 -keyform engine -key "$key" \
  -subj "/CN=Alice Subscriber" -out alice.csr
echo "\$ openssl req -verify -in alice.csr -noout -subject"
openssl req -verify -in alice.csr -noout -subject
echo "\$ openssl req -in alice.csr -noout -pubkey | cmp - alice.pem && echo \"the card's key\""
openssl req -in alice.csr -noout -pubkey | cmp - alice.pem && echo "the card's key"

echo
echo "-- A certificate for the card's key, stored on the card and read back --"
echo "\$ openssl req -x509 ... (a demonstration CA)"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -subj "/CN=KELM demo CA" -days 30 -out ca.pem 2>/dev/null
# Version 3 (with extensions): the card finds the validity dates behind the version field.
printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature,nonRepudiation\n' >alice.ext
echo "\$ openssl x509 -new -force_pubkey alice.pem -CA ca.pem -CAkey ca.key -extfile alice.ext ... -out alice.crt"
openssl x509 -new -subj "/CN=Alice Subscriber" -force_pubkey alice.pem -CA ca.pem -CAkey ca.key -days 30 \
  -extfile alice.ext -outform DER -out alice.crt
step --card "sim:$card" cert write --container alice alice.crt
step --card "sim:$card" cert read --container alice --out alice.back.crt
echo
echo "\$ cmp alice.crt alice.back.crt && echo same bytes"
cmp alice.crt alice.back.crt && echo "same bytes"
step --card "sim:$card" cert read --container alice --pem --out alice.back.pem
echo
echo "\$ openssl verify -CAfile ca.pem alice.back.pem; openssl x509 -in alice.back.pem -noout -subject -enddate"
openssl verify -CAfile ca.pem alice.back.pem
openssl x509 -in alice.back.pem -noout -subject -enddate

echo
echo "-- The same key through the key storage provider (CNG), its certificate in the \"My\" store --"
step --card "sim:$card" store add alice.crt --container alice --key signature
step store list
step ksp sign --container alice --hash sha256 -o report.cng.sig report.txt "${on_card[@]}"
step --card "sim:$card" ksp verify --container alice --hash sha256 --signature report.cng.sig report.txt
echo
echo "\$ openssl dgst -sha256 -verify alice.pem -signature report.cng.sig report.txt"
openssl dgst -sha256 -verify alice.pem -signature report.cng.sig report.txt
echo
echo "\$ cmp report.sig report.cng.sig && echo same signature"
cmp report.sig report.cng.sig && echo "same signature (PKCS #1 v1.5 is deterministic)"

echo
echo "-- A file encrypted under a session key that travels wrapped with the card's exchange key --"
step export-key --container alice --key exchange --out alice-exchange.blob "${on_card[@]}"
echo
echo "\$ openssl rsa -pubin -inform MSBLOB -in alice-exchange.blob -noout -text | head -2"
openssl rsa -pubin -inform MSBLOB -in alice-exchange.blob -noout -text | head -2
step encrypt --container alice --new-key report.key --alg 3des --out report.enc report.txt "${on_card[@]}"
step decrypt --container alice --session-key report.key --out report.dec report.enc "${on_card[@]}"
echo
echo "\$ cmp report.txt report.dec && echo same bytes"
cmp report.txt report.dec && echo "same bytes"
step delete-container alice --yes "${on_card[@]}"
cd - >/dev/null

echo
echo "-- The provider's texts, algorithms and containers --"
step strings --lang en
step --card "sim:$card" algorithms
step --card "sim:$card" random 16 --hex
step create-container demo-signing "${on_card[@]}"
step create-container demo-exchange "${on_card[@]}"
step --card "sim:$card" containers
step --card "sim:$card" containers --json
echo
echo "The registry records each container (\$KELM_REGISTRY_DIR/HKEY_CURRENT_USER.reg):"
grep -A4 'MorvaCSP-' "$KELM_REGISTRY_DIR/HKEY_CURRENT_USER.reg"
step verify-pin --verbose "${on_card[@]}"
step delete-container demo-signing "${on_card[@]}"
step --card "sim:$card" card-info
echo
echo "A wrong PIN is refused; the card counts the attempt and the tool says how many are left:"
status=0
step --card "sim:$card" verify-pin --pin-source pass:00000000 || status=$?
if [ "$status" -ne 3 ]; then
  echo "unexpected: a wrong PIN ended with status $status, not 3" >&2
  exit 1
fi
step card show "$card"
echo
echo "Demonstration finished."
