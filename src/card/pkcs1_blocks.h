// PKCS #1 v1.5 blocks as the card's raw RSA takes and returns them, most significant byte first:
// block type 1 with a DigestInfo for signatures, block type 2 with random non-zero padding for
// encryption, and the checks of decrypted and verified blocks. Pure functions over buffers.
#pragma once

#include <cstddef>

#include "kelm/windows_types.h"

namespace kelm::card {

// The DER prefix of a hash kind's DigestInfo and the DigestInfo's whole length (prefix and
// hash); kinds outside the table have no prefix and 36 hash bytes (MD5 and SHA-1 values).
struct DigestInfoShape {
    const BYTE* prefix;
    size_t prefix_length;
    size_t total_length;
    size_t hash_length() const { return total_length - prefix_length; }
};
DigestInfoShape DigestInfoFor(BYTE hash_kind);

// 00 01, FF bytes, 00, the DigestInfo of `hash_kind` with `hash` (shape.hash_length() bytes) at
// the end of a block of `block_length` bytes (128 or 256; every kind leaves more than eight FF).
void BuildSignatureBlock(BYTE hash_kind, const BYTE* hash, BYTE* block, size_t block_length);

// 00 01, FF bytes, 00, then `payload` (a DigestInfo, or any data) at the end of a block of
// `block_length` bytes. False, and nothing written, when fewer than eight FF bytes would be left
// (a payload longer than block_length - 11).
bool BuildPayloadSignatureBlock(const BYTE* payload, size_t payload_length, BYTE* block, size_t block_length);

// 00 02, 125 - m random non-zero bytes, 00, then the m <= 117 message bytes: a 128-byte block.
void BuildEncryptionBlock(const BYTE* message, size_t message_length, BYTE* block);

// The offset of the message in a decrypted block type 2: past 00 02, at least eight non-zero
// padding bytes and the 00 separator, with at least one message byte left. False when the block
// is not shaped so.
bool FindBlockMessage(const BYTE* block, size_t block_length, size_t* message_offset);

// Whether a 128-byte block is 00 01, FF padding, 00 and the SHA-1 (hash kind 2) or MD5 (any
// other kind) DigestInfo of `hash` (20 or 16 bytes read).
bool MatchesSignatureBlock(const BYTE* block, BYTE hash_kind, const BYTE* hash);
// The number of hash bytes MatchesSignatureBlock compares for a hash kind.
size_t VerifiedHashLength(BYTE hash_kind);

}  // namespace kelm::card
