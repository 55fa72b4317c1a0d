#!/usr/bin/env bash
# Builds the provider and shows it at work on the embedded simulated card, through the same
# entry points an application calls: the texts, the algorithm table, a container created,
# listed and deleted, and the PIN checked. Non-interactive: the PIN is given with --pin.
# The card image and the registry files live in a temporary directory that is removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target kelm-tool

tool="$PWD/build/default/tools/kelm-tool/kelm-tool"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export KELM_REGISTRY_DIR="$work/registry"
card="$work/card.json"
pin=12345678

step() {
  echo
  echo "\$ kelm-tool $*"
  "$tool" "$@"
}

echo
echo "== KELM CSP V5 on an embedded simulated card (image $card, PIN $pin) =="
step card new "$card"
step strings
step --card "sim:$card" algorithms
step --card "sim:$card" create-container demo-signing --pin "$pin"
step --card "sim:$card" create-container demo-exchange --pin "$pin"
step --card "sim:$card" containers
echo
echo "The registry records each container (\$KELM_REGISTRY_DIR/HKEY_CURRENT_USER.reg):"
grep -A4 'MorvaCSP-' "$KELM_REGISTRY_DIR/HKEY_CURRENT_USER.reg"
step --card "sim:$card" verify-pin --pin "$pin"
step --card "sim:$card" delete-container demo-signing --pin "$pin"
step --card "sim:$card" containers
echo
echo "A wrong PIN is refused (the card counts the attempt):"
if step --card "sim:$card" verify-pin --pin 00000000; then
  echo "unexpected: a wrong PIN was accepted" >&2
  exit 1
fi
step card show "$card"
echo
echo "Demonstration finished."
