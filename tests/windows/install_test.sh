#!/usr/bin/env bash
# The installer's tests (ctest --preset windows).
#
#   install_test.sh tables MSI EXPECTED
#     the package's tables (msiinfo) against the "msi" part of EXPECTED: its components and files,
#     the registry rows, the Start menu entry and the upgrade rows.
#   install_test.sh wine WINE_SH PREFIX WORK MSI VERSION EARLIER_MSI EARLIER_VERSION INSTALL_TEST CLIENT
#                        WINSCARD EXPECTED OBJDUMP
#     in a Wine prefix made afresh, where nothing but the package registers the provider: an
#     earlier build installed, this one over it and again, the registration read back each time,
#     kelm-certprop filling the "My" store from a card the test enrols (an OpenSSL CA certifies
#     its key), a crypt32-only application signing with the card's key (OpenSSL checks the
#     results), the tool's refusals, uninstall, a second install, and an uninstall after the
#     files were deleted by hand.
set -euo pipefail

# The lines of EXPECTED's part "## NAME", up to the next part.
expected() { awk -v part="## $2" '$0 == part { on = 1; next } /^## / { on = 0 } on' "$1"; }
fail() { echo "FAILED: $*" >&2; exit 1; }
same() {  # same WHAT EXPECTED_TEXT ACTUAL_TEXT
    [ "$2" == "$3" ] || { diff <(echo "$2") <(echo "$3") >&2 || true; fail "$1"; }
}

if [ "$1" == tables ]; then
    msi=$2
    tables=$(msiinfo tables "$msi")
    summary=$(msiinfo suminfo "$msi")
    sequence=$(msiinfo export "$msi" InstallExecuteSequence)
    actual=$(for table in Component File Registry Shortcut Upgrade; do
        grep -qx "$table" <<<"$tables" || fail "no $table table"
        echo "$table:"
        # Rows only (the first three lines name and type the columns); a file's size is the build's.
        msiinfo export "$msi" "$table" | tail -n +4 | tr -d '\r' |
            awk -F'\t' -v OFS='\t' -v table="$table" 'table == "File" { $4 = "SIZE" } { print }' | sort
    done)
    same "the package's tables" "$(expected "$3" msi)" "$actual"
    grep -qx 'Template: x64;1033' <<<"$summary" || fail "not a 64-bit package"
    grep -q $'^RemoveExistingProducts\t\t1401' <<<"$sequence" ||
        fail "earlier builds are not removed right after InstallValidate"
    exit 0
fi

shift
wine_sh=$1 prefix=$2 work=$3 msi=$4 version=$5 earlier_msi=$6 earlier_version=$7 tester=$8 client=$9 winscard=${10}
expected_file=${11} objdump=${12}
windows() { echo "Z:${1//\//\\}"; }
run() { "$wine_sh" run "$prefix" "$@" </dev/null; }
step() { echo "== [${SECONDS} s] $*"; }
card=$work/card.json
system32=$prefix/drive_c/windows/system32
certprop='C:\windows\system32\kelm-certprop.exe'
certificates='HKCU\Software\Microsoft\SystemCertificates\My\Certificates'

# What the package writes, as Wine's reg prints it; nothing when it is gone.
registration() {
    local key
    for key in 'HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\KELM CSP V5' \
               'HKLM\SYSTEM\CurrentControlSet\Control\Cryptography\Providers\KELM Smart Card Key Storage Provider' \
               'HKLM\SYSTEM\CurrentControlSet\Control\Cryptography\Configuration\Local\Default\00010001\KEY_STORAGE'; do
        run reg query "$key" /s 2>/dev/null | tr -d '\r' | grep -v -e '^$' -e '^reg: ' || true
    done
    run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' |
        grep -E '^ +(DisplayName|DisplayVersion) ' || true
}
installed() {  # installed VERSION
    same "the registration after installing $1" "$(expected "$expected_file" registry | sed "s/@VERSION@/$1/")" "$(registration)"
    [ -f "$system32/KelmKSPv5.dll" ] && [ -f "$system32/kelm-certprop.exe" ] || fail "the files are not in the system folder"
    [ -n "$(find "$prefix/drive_c" -name 'Copy card certificates to my store.lnk')" ] || fail "no Start menu entry"
}
uninstalled() {
    same "the registration after uninstalling" "" "$(registration)"
    [ ! -e "$system32/KelmKSPv5.dll" ] && [ ! -e "$system32/kelm-certprop.exe" ] || fail "files left in the system folder"
    [ -z "$(find "$prefix/drive_c" -name 'Copy card certificates to my store.lnk' -o -name 'KELM KSP V5')" ] ||
        fail "the Start menu entry is left"
    run reg query 'HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\Microsoft Enhanced Cryptographic Provider v1.0' >/dev/null ||
        fail "the uninstall took out another provider"
}
msiexec() { run msiexec "$1" "$(windows "$2")" /qn || fail "msiexec $1 $(basename "$2") ended with $?"; }
certprop() {  # certprop EXPECTED_STATUS [ARG...]: the tool's standard output, its status checked
    local status=0 output
    output=$(run "$certprop" "${@:2}" 2>"$work/certprop.err") || status=$?
    [ "$status" == "$1" ] || fail "kelm-certprop ${*:2} ended with $status, not $1: $output $(cat "$work/certprop.err")"
    tr -d '\r' <<<"$output"
}
in_store() { run reg query "$certificates" 2>/dev/null | tr -d '\r' | grep -c '\\Certificates\\' || true; }

step "a fresh prefix; the simulated card stands in for the system's smart-card service"
rm -rf "$prefix" "$work"
mkdir -p "$work"
"$wine_sh" prefix "$prefix"
"$wine_sh" server "$prefix" start
trap '"$wine_sh" server "$prefix" stop' EXIT
cp "$winscard" "$system32/winscard.dll"
export KELM_SIM_IMAGE
KELM_SIM_IMAGE=$(windows "$card")

step "install an earlier build, upgrade over it, install again"
uninstalled
msiexec /i "$earlier_msi"
installed "$earlier_version"
msiexec /i "$msi"
installed "$version"
msiexec /i "$msi"
installed "$version"
run "$tester" installed

step "enrol: a key pair on the card, certified by a CA"
run "$tester" enrol alice "$(windows "$work/alice.blob")"
cp "$card" "$work/no-certificate.json"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -subj "/CN=KELM Test CA" -days 30 -out "$work/ca.pem" 2>/dev/null
openssl rsa -pubin -inform MSBLOB -in "$work/alice.blob" -out "$work/alice.pub" 2>/dev/null
printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature,nonRepudiation\n' >"$work/alice.ext"
openssl x509 -new -subj "/CN=Alice Kelm" -force_pubkey "$work/alice.pub" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
    -days 30 -extfile "$work/alice.ext" -outform DER -out "$work/alice.der" 2>/dev/null
run "$tester" certify alice "$(windows "$work/alice.der")"
expiry=$(date -u -d "$(openssl x509 -inform DER -in "$work/alice.der" -noout -enddate | cut -d= -f2)" +%F)
line="Alice Kelm, expires $expiry, container \"alice\" (signature key)"

step "kelm-certprop fills the store, and adds nothing twice"
same "the first run" "added: $line" "$(certprop 0)"
same "the second run" "already in the store: $line" "$(certprop 0)"
[ "$(in_store)" == 1 ] || fail "the store holds $(in_store) certificates, not 1"

step "an application that knows only crypt32 signs with the card's key; OpenSSL checks"
imports=$("$objdump" -p "$client")
! grep -q 'CryptAcquireContext' <<<"$imports" || fail "the client calls advapi32's CryptoAPI itself"
run "$client" "Alice Kelm" "$(windows "$work")"
for hash in sha1 sha256; do
    openssl cms -verify -binary -inform DER -in "$work/$hash-detached.p7s" -content "$work/document.txt" \
        -CAfile "$work/ca.pem" -out /dev/null 2>/dev/null || fail "$hash detached signature"
    openssl cms -verify -binary -inform DER -in "$work/$hash-attached.p7s" -CAfile "$work/ca.pem" -out "$work/content" 2>/dev/null &&
        cmp -s "$work/content" "$work/document.txt" || fail "$hash signature with the content"
    for form in detached attached; do
        printed=$(openssl cms -cmsout -print -inform DER -in "$work/$hash-$form.p7s")
        grep -q "algorithm: $hash " <<<"$printed" || fail "$hash $form signature uses another hash"
    done
done
openssl x509 -inform DER -in "$work/self-signed.der" -out "$work/self-signed.pem"
openssl verify -CAfile "$work/self-signed.pem" "$work/self-signed.pem" >/dev/null || fail "the self-signed certificate"
same "the self-signed certificate's key" "$(openssl rsa -pubin -in "$work/alice.pub" -outform DER 2>/dev/null | sha256sum)" \
    "$(openssl x509 -inform DER -in "$work/self-signed.der" -noout -pubkey | openssl rsa -pubin -outform DER 2>/dev/null | sha256sum)"

step "kelm-certprop refuses clearly and writes nothing half"
output=$(KELM_SIM_IMAGE= certprop 1)
grep -q "no card found" "$work/certprop.err" || fail "no card: $(cat "$work/certprop.err")"
output=$(KELM_SIM_IMAGE=$(windows "$work/no-certificate.json") certprop 0)
same "a card without certificates" "No certificates on the card: nothing to add." "$output"
sed -E 's/"certificate": "[0-9A-Fa-f]+"/"certificate": "3003020101"/' "$card" >"$work/unreadable.json"
output=$(KELM_SIM_IMAGE=$(windows "$work/unreadable.json") certprop 1)
grep -q '^skipped: container "alice" (signature key): the certificate on the card does not parse' <<<"$output" ||
    fail "a certificate that does not parse: $output"
same "--remove" "removed: $line" "$(certprop 0 --remove)"
[ "$(in_store)" == 0 ] || fail "--remove left $(in_store) certificates in the store"
status=0
output=$(run "$tester" refusing-store "$certprop" | tr -d '\r') || status=$?
[ "$status" == 1 ] && grep -q "^not added: $line: the store refused the change" <<<"$output" ||
    fail "a store that refuses the write: status $status, $output"

step "uninstall, install again"
msiexec /x "$msi"
uninstalled
msiexec /i "$msi"
installed "$version"

step "uninstall after the files were deleted by hand"
rm "$system32/KelmKSPv5.dll" "$system32/kelm-certprop.exe"
msiexec /x "$msi"
uninstalled
echo "install: every check held (${SECONDS} s)"
