// The block engine behind the cipher object: DES, two-key and three-key triple DES in ECB, CBC
// (PKCS #5 padding, the padded last block held back in `pending` until the final step), OFB and
// CFB (full 8-byte feedback, processed byte by byte). The key schedule is computed once per call.
//
// `position`, `chain` and `pending` point to a key's CipherState, Chain (16 bytes) and Pending
// (8 bytes). Chain bytes 0-7 hold the CBC chaining value or the OFB/CFB feedback register; bytes
// 8-15 hold the CFB keystream block that decryption keeps between calls.
#pragma once

#include "kelm/windows_types.h"

namespace kelm::crypto {

constexpr int DES_STATUS_OK = 0;
constexpr int DES_STATUS_BAD_LENGTH = -1;  // ECB, or CBC decryption, with a partial block
constexpr int DES_STATUS_NO_CHAIN = -3;    // a chaining mode without a chaining value
constexpr int DES_STATUS_NULL = -4;        // a required pointer is null

// keyLen (bits) 128 selects two-key triple DES, 192 three-key triple DES, anything else DES;
// `key` holds keyLen/8 bytes. Any mode other than CBC, ECB and CFB runs as OFB.
//
// ECB and CBC write the output length to *outLength; CBC encryption outputs only the whole
// blocks and keeps the padded tail in `pending`. OFB and CFB produce `length` bytes; encryption
// leaves *outLength as the caller set it, decryption stores `length`.
int DES_EncryptData(DWORD mode, DWORD keyLen, DWORD* position, const BYTE* key, BYTE* chain,
                    const BYTE* in, DWORD length, BYTE* out, DWORD* outLength, BYTE* pending);
int DES_DecryptData(DWORD mode, DWORD keyLen, DWORD* position, const BYTE* key, BYTE* chain,
                    const BYTE* in, DWORD length, BYTE* out, DWORD* outLength);

}  // namespace kelm::crypto
