// RSA with the card's keys. The card performs raw RSA on blocks of the key's length, most
// significant byte first; the host formats and checks the PKCS #1 v1.5 blocks around it and turns
// results into CryptoAPI's little-endian order. Also the reading of a key's public part.
//
// Slots: 1 is the signature key, 2 the exchange key. The encryption and decryption functions take
// an algorithm identifier instead: CALG_RSA_KEYX means slot 2, anything else slot 1.
//
// Every function returns 0 on success, else the card status value or one of the codes named
// below; the four RSA_Card* functions also set the last error. Beyond what a conforming card
// sends, they fail rather than overrun:
//   ERROR_INVALID_PARAMETER      a null argument, or a slot not 1 or 2;
//   SCARD_E_INSUFFICIENT_BUFFER  the card answered with more bytes than the block holds;
//   NTE_BAD_DATA                 an answer of the wrong length, or a public-key record that does
//                                not hold a whole modulus and exponent.
#pragma once

#include <cstddef>

#include "kelm/windows_types.h"

namespace kelm::card {

constexpr size_t kRsaBlock1024 = 128;
constexpr size_t kRsaBlock2048 = 256;
// Buffers handed to Card_GetRSAPublicKey hold at least this much (type 5's 2048-bit record).
constexpr size_t kPublicKeyRecordMax = 270;
// RSA_CardEncrypt's largest message: a 128-byte block less 00 02, eight padding bytes and 00.
constexpr DWORD kMaxEncryptMessage = 117;

// Hash kinds: which DigestInfo goes in front of the hash in a signature block.
constexpr BYTE HASH_KIND_MD5 = 1;
constexpr BYTE HASH_KIND_SHA1 = 2;
constexpr BYTE HASH_KIND_MD5_SHA1 = 3;  // any kind outside the table: 36 raw bytes, no prefix
constexpr BYTE HASH_KIND_SHA256 = 4;
constexpr BYTE HASH_KIND_SHA384 = 5;
constexpr BYTE HASH_KIND_SHA512 = 6;

// Signs `hash` (exactly the kind's hash length: 16, 20, 36, 32, 48 or 64 bytes) with the slot's
// key. *length is in: the key length in bytes (128 or 256), which `signature` must hold; out: the
// signature's length. The signature comes back least significant byte first. NTE_BAD_LEN for
// another key length or hash length.
DWORD RSA_CardSignature(const char* container, DWORD slot, BYTE hash_kind, const BYTE* hash, DWORD hash_length,
                        DWORD* length, BYTE* signature);

// Signs `payload` (a DigestInfo the caller built, or any data of at most the key length less 11
// bytes) in a block type 1 with the slot's key. *length is in: the key length in bytes (128 or
// 256), which `signature` must hold; out: the signature's length, always the key length. The
// signature comes back most significant byte first. NTE_BAD_LEN for another key length or a
// payload too long for it; NTE_BAD_DATA when the card answers with another length.
DWORD RSA_CardSignPayload(const char* container, DWORD slot, const BYTE* payload, DWORD payload_length,
                          DWORD* length, BYTE* signature);

// Decrypts a block type 2 (big-endian, *length = 128 or 256 bytes) with the key of `algid` and
// writes the message to `out`, which must hold *length bytes (the message is always shorter);
// *length becomes the message length. NTE_BAD_LEN for another block length; NTE_BAD_KEY when the
// block is not 00 02, at least eight non-zero padding bytes, 00 and at least one message byte.
// A failing card sets the last error NTE_BAD_DATA and returns the card's status.
DWORD RSA_CardDecrypt(const char* container, DWORD algid, DWORD* length, const BYTE* ciphertext, BYTE* out);

// Encrypts a message of *length <= 117 bytes in a 128-byte block type 2 with the public key of
// `algid`; `out` (128 bytes) receives the result least significant byte first and *length
// becomes 128. The card's public operation takes one 128-byte block, so a 2048-bit key, whose
// answer is 256 bytes, fails (SCARD_E_INSUFFICIENT_BUFFER). A failing card sets NTE_BAD_DATA.
DWORD RSA_CardEncrypt(const char* container, DWORD algid, DWORD* length, const BYTE* message, BYTE* out);

// Checks a 128-byte big-endian signature of `hash` with the slot's public key. Only the SHA-1
// prefix (hash kind 2) and the MD5 prefix (every other kind) are known here, and only 1024-bit
// keys answer 128 bytes, so anything else fails with NTE_BAD_KEY. `hash_length` must cover the
// 20 or 16 bytes compared (NTE_BAD_LEN). Every failure sets the last error NTE_BAD_KEY.
DWORD RSA_CardVerify(const char* container, DWORD slot, BYTE hash_kind, const BYTE* hash, DWORD hash_length,
                     const BYTE* signature);

// The card's private-key operation on one block of *length = 128 or 256 bytes; `out` must hold
// *length bytes. Card types 5 and 6 send a 256-byte block in two commands and report the block
// length; the other card types send one 128-byte command and report what the card returned.
// NTE_NO_KEY when the slot has no key (before any RSA command).
DWORD Card_RSAPrivateSign(const char* container, BYTE slot, const BYTE* block, DWORD* length, BYTE* out);
DWORD Card_RSAPrivateDecrypt(const char* container, BYTE slot, const BYTE* block, DWORD* length, BYTE* out);
// The public-key operation on one 128-byte block; *length is in: what `out` holds, out: the
// number of bytes the card returned.
DWORD Card_RSAPublicEncrypt(const char* container, BYTE slot, const BYTE* block, DWORD* length, BYTE* out);
DWORD Card_RSAPublicVerify(const char* container, BYTE slot, const BYTE* block, DWORD* length, BYTE* out);

// The slot's public-key record: one unused byte, the modulus (128 or 256 bytes, most significant
// first), the exponent's length (at most 4) and the exponent, and on card types 1 and 5 the key's
// 8-byte code. *length is the record's length by card type (141 or 270 on types 1 and 5, 134 or
// 262 on types 3, 6 and 7); `out` holds `capacity` >= kPublicKeyRecordMax bytes. Card types
// without a record (0) read nothing and return the file check's status with *length 0.
DWORD Card_GetRSAPublicKey(const char* container, BYTE slot, DWORD* length, BYTE* out, size_t capacity);

// A public-key record taken apart: pointers into the record.
struct PublicKeyParts {
    const BYTE* modulus;
    size_t modulus_length;
    const BYTE* exponent;
    size_t exponent_length;
};
// Splits a record as Card_GetRSAPublicKey returns it; false when it holds no whole modulus
// (128 or 256 bytes by the record's length) and exponent length byte, or an exponent of 0 to 4
// bytes that the record does not cover. An exponent length above 4 is handed on as the card
// gave it (with no exponent bytes behind it guaranteed): the caller refuses such a key.
bool SplitPublicKeyRecord(const BYTE* record, DWORD length, PublicKeyParts* parts);

}  // namespace kelm::card
