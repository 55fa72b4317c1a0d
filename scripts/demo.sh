#!/usr/bin/env bash
# Builds the provider and shows it at work on the embedded simulated card, through the same
# entry points an application calls: the texts, the algorithm table, a container created,
# listed and deleted, and the PIN checked. Non-interactive: the PIN comes from the environment.
# The card image and the registry files live in a temporary directory that is removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Installing and building print nothing unless they fail: the output is the demonstration.
printf 'Installing the packages and building kelm-tool (log: %s) ... ' "$work/build.log"
if ! { scripts/install-deps.sh && cmake --preset default && cmake --build --preset default -j"$(nproc)" --target kelm-tool; } \
    >"$work/build.log" 2>&1; then
  echo "failed:"
  cat "$work/build.log"
  exit 1
fi
echo "done"

tool="$PWD/build/default/tools/kelm-tool/kelm-tool"
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
step strings --lang en
step --card "sim:$card" algorithms
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
