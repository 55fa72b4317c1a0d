#!/usr/bin/env python3
"""PyKCS11 against the PKCS #11 module, for what a command-line client cannot reach: multi-part
signing, decryption, templates the module must refuse, and the PIN's codes. Every signature and
decryption is checked with the card's public numbers in plain Python arithmetic, independently of
the module. Run on a token with no keys of its own:

    pykcs11_checks.py MODULE PIN
"""
import hashlib
import os
import subprocess
import sys
import tempfile

import PyKCS11 as P

CKR_ACTION_PROHIBITED = 0x1B  # PKCS #11 v2.40; older PyKCS11 does not name it
SHA256_PREFIX = bytes.fromhex("3031300d060960864801650304020105000420")
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED:", what)


def code(call, *args):
    """The CKR_ code a call ends with (CKR_OK = 0)."""
    try:
        call(*args)
        return P.CKR_OK
    except P.PyKCS11Error as error:
        return error.value


def signed(n, e, signature, payload):
    """Whether `signature` is the PKCS #1 v1.5 block type 1 signature of `payload`."""
    k = (n.bit_length() + 7) // 8
    block = pow(int.from_bytes(bytes(signature), "big"), e, n).to_bytes(k, "big")
    return block == b"\x00\x01" + b"\xff" * (k - 3 - len(payload)) + b"\x00" + payload


lib = P.PyKCS11Lib()
lib.load(sys.argv[1])
pin = sys.argv[2]
slot = lib.getSlotList(tokenPresent=True)[0]
token = lib.getTokenInfo(slot)
check(token.label.strip() == "KELM card" and token.model.strip().startswith("card type"), "token label and model")
for flag in (P.CKF_LOGIN_REQUIRED, P.CKF_USER_PIN_INITIALIZED, P.CKF_TOKEN_INITIALIZED, P.CKF_RNG):
    check(token.flags & flag, "token flag %s" % P.CKF[flag])
bits = lib.getMechanismInfo(slot, "CKM_RSA_PKCS_KEY_PAIR_GEN").ulMinKeySize
session = lib.openSession(slot, P.CKF_SERIAL_SESSION | P.CKF_RW_SESSION)
read_only = lib.openSession(slot, P.CKF_SERIAL_SESSION)

# A wrong PIN costs a try and says so; a right one gives the tries back.
check(code(session.login, "00000000") == P.CKR_PIN_INCORRECT, "wrong PIN is CKR_PIN_INCORRECT")
check(lib.getTokenInfo(slot).flags & P.CKF_USER_PIN_COUNT_LOW, "a wrong PIN sets CKF_USER_PIN_COUNT_LOW")
session.login(pin)
check(not lib.getTokenInfo(slot).flags & P.CKF_USER_PIN_COUNT_LOW, "the right PIN clears the count")
check(code(read_only.login, pin) == P.CKR_USER_ALREADY_LOGGED_IN, "the login is the token's, shared by sessions")
check(read_only.getSessionInfo().state == P.CKS_RO_USER_FUNCTIONS, "read-only session sees the login")
check(len(set(bytes(read_only.generateRandom(300)) for _ in range(2))) == 2, "random bytes from the card")

public = [(P.CKA_TOKEN, True), (P.CKA_MODULUS_BITS, bits), (P.CKA_PUBLIC_EXPONENT, (1, 0, 1))]
generate = lambda s, pub, priv: s.generateKeyPair(pub, priv, P.MechanismRSAGENERATEKEYPAIR)
# Templates the module refuses before the card is touched.
for template, expected, what in (
    ([(P.CKA_TOKEN, True), (P.CKA_MODULUS_BITS, bits), (0x80001234, b"x")], P.CKR_ATTRIBUTE_TYPE_INVALID, "unknown"),
    (public + [(P.CKA_TOKEN, True)], P.CKR_TEMPLATE_INCONSISTENT, "duplicate"),
    ([(P.CKA_MODULUS_BITS, bits + 8)], P.CKR_KEY_SIZE_RANGE, "a size the card does not make"),
    ([(P.CKA_MODULUS_BITS, bits), (P.CKA_PUBLIC_EXPONENT, (3,))], P.CKR_ATTRIBUTE_VALUE_INVALID, "exponent 3"),
    ([(P.CKA_TOKEN, True)], P.CKR_TEMPLATE_INCOMPLETE, "no modulus bits"),
):
    check(code(generate, session, template, [(P.CKA_LABEL, "py")]) == expected, "template: " + what)
check(code(generate, read_only, public, [(P.CKA_LABEL, "py")]) == P.CKR_SESSION_READ_ONLY, "read-only session")

sign_pub, sign_key = generate(session, public, [(P.CKA_LABEL, "py:signature")])
exch_pub, exch_key = generate(session, public, [(P.CKA_LABEL, "py"), (P.CKA_DECRYPT, True)])
check(code(generate, session, public, [(P.CKA_LABEL, "py:signature")]) == P.CKR_ATTRIBUTE_VALUE_INVALID,
      "a slot holding a key is not overwritten")
attributes = [P.CKA_LABEL, P.CKA_ID, P.CKA_MODULUS, P.CKA_PUBLIC_EXPONENT]
label, key_id, modulus, exponent = session.getAttributeValue(sign_pub, attributes, allAsBinary=True)
check(bytes(label) == b"py:signature", "label names container and kind")
check(bytes(session.getAttributeValue(sign_key, [P.CKA_ID], allAsBinary=True)[0]) == bytes(key_id),
      "private and public key share CKA_ID")
n, e = int.from_bytes(bytes(modulus), "big"), int.from_bytes(bytes(exponent), "big")
check(session.getAttributeValue(exch_key, [P.CKA_DECRYPT, P.CKA_SIGN]) == [True, True], "exchange key decrypts")
check(session.getAttributeValue(sign_key, [P.CKA_DECRYPT, P.CKA_SENSITIVE, P.CKA_EXTRACTABLE]) == [False, True, False],
      "signature key attributes")
check(len(session.findObjects([(P.CKA_CLASS, P.CKO_PRIVATE_KEY), (P.CKA_LABEL, "py:exchange")])) == 1, "find by label")

# Signatures: single-part, multi-part, over a DigestInfo, and too much data.
document = os.urandom(3000)
digest_info = SHA256_PREFIX + hashlib.sha256(document).digest()
one = session.sign(sign_key, document, P.Mechanism(P.CKM_SHA256_RSA_PKCS))
check(signed(n, e, one, digest_info), "CKM_SHA256_RSA_PKCS verifies")
low = session.lib
check(low.C_SignInit(session.session, P.Mechanism(P.CKM_SHA256_RSA_PKCS).to_native(), sign_key) == P.CKR_OK, "init")
for start in range(0, len(document), 1000):
    check(low.C_SignUpdate(session.session, P.ckbytelist(document[start:start + 1000])) == P.CKR_OK, "update")
many = P.ckbytelist()
check(low.C_SignFinal(session.session, many) == P.CKR_OK, "size query")
check(low.C_SignFinal(session.session, many) == P.CKR_OK and bytes(many) == bytes(one), "multi-part = single-part")
check(signed(n, e, session.sign(sign_key, digest_info), digest_info), "CKM_RSA_PKCS over a DigestInfo")
k = (n.bit_length() + 7) // 8
check(code(session.sign, sign_key, bytes(k - 10)) == P.CKR_DATA_LEN_RANGE, "more than k - 11 bytes")
check(code(session.sign, sign_pub, digest_info) == P.CKR_KEY_FUNCTION_NOT_PERMITTED, "a public key does not sign")

# Decryption with the exchange key, a PKCS #1 v1.5 block made here.
xn, xe = [int.from_bytes(bytes(v), "big") for v in session.getAttributeValue(exch_pub, [P.CKA_MODULUS,
                                                                                      P.CKA_PUBLIC_EXPONENT])]
message = b"session key bytes"
padding = bytes(b % 255 + 1 for b in os.urandom(k - 3 - len(message)))
block = int.from_bytes(b"\x00\x02" + padding + b"\x00" + message, "big")
ciphertext = pow(block, xe, xn).to_bytes(k, "big")
check(bytes(session.decrypt(exch_key, ciphertext)) == message, "decrypt")
check(code(session.decrypt, sign_key, ciphertext) == P.CKR_KEY_FUNCTION_NOT_PERMITTED, "the signature key does not")
check(code(session.decrypt, exch_key, ciphertext[1:]) == P.CKR_ENCRYPTED_DATA_LEN_RANGE, "short ciphertext")
check(code(session.decrypt, exch_key, pow(5, xe, xn).to_bytes(k, "big")) == P.CKR_ENCRYPTED_DATA_INVALID,
      "not a block type 2")

# A certificate of a key the card does not hold is refused, and nothing is written.
with tempfile.TemporaryDirectory() as work:
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:1024", "-nodes", "-keyout", work + "/k.pem",
                    "-subj", "/CN=Someone Else", "-days", "2", "-outform", "DER", "-out", work + "/c.der"],
                   check=True, capture_output=True)
    certificate = open(work + "/c.der", "rb").read()
template = [(P.CKA_CLASS, P.CKO_CERTIFICATE), (P.CKA_CERTIFICATE_TYPE, P.CKC_X_509), (P.CKA_TOKEN, True),
            (P.CKA_VALUE, certificate)]
check(code(session.createObject, template) == P.CKR_ATTRIBUTE_VALUE_INVALID, "certificate of no key on the card")
check(code(session.createObject, template[:3]) == P.CKR_TEMPLATE_INCOMPLETE, "certificate without a value")
check(not session.findObjects([(P.CKA_CLASS, P.CKO_CERTIFICATE)]), "nothing was written")

# Destroying: a public key or certificate is the card's to keep; a private key takes its pair.
check(code(session.destroyObject, exch_pub) == CKR_ACTION_PROHIBITED, "public key alone is not destroyed")
session.destroyObject(exch_key)
check(len(session.findObjects([(P.CKA_LABEL, "py:exchange")])) == 0, "key pair erased")
check(code(session.sign, exch_key, digest_info) == P.CKR_KEY_HANDLE_INVALID, "stale key handle")
check(code(session.getAttributeValue, exch_pub, [P.CKA_LABEL]) == P.CKR_OBJECT_HANDLE_INVALID, "stale handle")

# The last tries: locked, and a right PIN is then refused without reaching the card.
session.logout()
check(code(session.logout) == P.CKR_USER_NOT_LOGGED_IN, "logout twice")
check(code(session.sign, sign_key, digest_info) in (P.CKR_USER_NOT_LOGGED_IN, P.CKR_KEY_HANDLE_INVALID),
      "no signature after logout")
check(code(session.login, "00000000") == P.CKR_PIN_INCORRECT, "first wrong PIN")
check(lib.getTokenInfo(slot).flags & P.CKF_USER_PIN_COUNT_LOW, "count low")
check(code(session.login, "00000000") == P.CKR_PIN_INCORRECT, "second wrong PIN")
check(lib.getTokenInfo(slot).flags & P.CKF_USER_PIN_FINAL_TRY, "final try")
check(code(session.login, "00000000") == P.CKR_PIN_LOCKED, "third wrong PIN locks")
check(code(session.login, pin) == P.CKR_PIN_LOCKED, "locked card refuses the right PIN")
check(lib.getTokenInfo(slot).flags & P.CKF_USER_PIN_LOCKED, "locked flag")

print("%d failed check(s)" % len(failures))
sys.exit(1 if failures else 0)
