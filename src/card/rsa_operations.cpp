// Signing, decryption, encryption and verification with the card's keys: the PKCS #1 blocks
// around the card's raw RSA, the byte order CryptoAPI callers expect, and their last errors.
#include "card/rsa_operations.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "card/apdu_transport.h"
#include "card/card_files.h"
#include "card/pkcs1_blocks.h"
#include "crypto/secure_zero.h"
#include "kelm/winapi.h"
#include "platform/process/trace.h"

namespace kelm::card {
namespace {

// Room for a 256-byte block and whatever a card might add to it.
constexpr size_t kDecryptBuffer = 260;
// The verify answer is checked for its length, so it is received in full first.
constexpr size_t kVerifyBuffer = kApduResponseCapacity;

BYTE SlotOfAlgorithm(DWORD algid) { return algid == CALG_RSA_KEYX ? SLOT_EXCHANGE : SLOT_SIGNATURE; }

BYTE SlotByte(DWORD slot) { return slot == SLOT_SIGNATURE || slot == SLOT_EXCHANGE ? static_cast<BYTE>(slot) : 0; }

DWORD Failed(DWORD result, DWORD last_error) {
    SetLastError(last_error);
    return result;
}

DWORD Failed(DWORD result) { return Failed(result, result); }

// Wipes a block that held a secret (a decrypted message) when it goes out of scope.
template <size_t N>
struct WipedBlock {
    std::array<BYTE, N> bytes{};
    ~WipedBlock() { crypto::SecureZero(bytes.data(), bytes.size()); }
    BYTE* data() { return bytes.data(); }
};

}  // namespace

DWORD RSA_CardSignature(const char* container, DWORD slot, BYTE hash_kind, const BYTE* hash, DWORD hash_length,
                        DWORD* length, BYTE* signature) {
    platform::Trace("begin RSA_CardSignature()");
    if (hash == nullptr || length == nullptr || signature == nullptr) {
        return Failed(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    const DWORD key_length = *length;
    if ((key_length != kRsaBlock1024 && key_length != kRsaBlock2048) ||
        hash_length != DigestInfoFor(hash_kind).hash_length()) {
        return Failed(static_cast<DWORD>(NTE_BAD_LEN));
    }
    std::array<BYTE, kRsaBlock2048> block{};
    BuildSignatureBlock(hash_kind, hash, block.data(), key_length);
    const DWORD status = Card_RSAPrivateSign(container, SlotByte(slot), block.data(), length, signature);
    if (!Card_StatusSucceeded(status)) {
        return Failed(status);
    }
    std::reverse(signature, signature + *length);
    return 0;
}

DWORD RSA_CardDecrypt(const char* container, DWORD algid, DWORD* length, const BYTE* ciphertext, BYTE* out) {
    platform::Trace("begin RSA_CardDecrypt()");
    if (length == nullptr || ciphertext == nullptr || out == nullptr) {
        return Failed(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    const DWORD block_length = *length;
    if (block_length != kRsaBlock1024 && block_length != kRsaBlock2048) {
        return Failed(static_cast<DWORD>(NTE_BAD_LEN));
    }
    WipedBlock<kDecryptBuffer> plain;
    DWORD plain_length = block_length;
    const DWORD status = Card_RSAPrivateDecrypt(container, SlotOfAlgorithm(algid), ciphertext, &plain_length,
                                                plain.data());
    if (!Card_StatusSucceeded(status)) {
        return Failed(status, static_cast<DWORD>(NTE_BAD_DATA));
    }
    if (plain_length != kRsaBlock1024 && plain_length != kRsaBlock2048) {
        return Failed(static_cast<DWORD>(NTE_BAD_LEN));
    }
    size_t offset = 0;
    if (!FindBlockMessage(plain.data(), plain_length, &offset)) {
        return Failed(static_cast<DWORD>(NTE_BAD_KEY));
    }
    // The message is shorter than the block, so the caller's block-sized buffer holds it.
    const size_t message_length = plain_length - offset;
    std::memcpy(out, plain.data() + offset, message_length);
    *length = static_cast<DWORD>(message_length);
    return 0;
}

DWORD RSA_CardEncrypt(const char* container, DWORD algid, DWORD* length, const BYTE* message, BYTE* out) {
    platform::Trace("begin RSA_CardEncrypt()");
    if (length == nullptr || out == nullptr || (message == nullptr && *length != 0)) {
        return Failed(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    if (*length > kMaxEncryptMessage) {
        return Failed(static_cast<DWORD>(NTE_BAD_LEN));
    }
    WipedBlock<kRsaBlock1024> block;
    BuildEncryptionBlock(message, *length, block.data());
    DWORD out_length = kRsaBlock1024;
    DWORD status = Card_RSAPublicEncrypt(container, SlotOfAlgorithm(algid), block.data(), &out_length, out);
    if (Card_StatusSucceeded(status) && out_length != kRsaBlock1024) {
        status = static_cast<DWORD>(NTE_BAD_DATA);
    }
    if (!Card_StatusSucceeded(status)) {
        return Failed(status, static_cast<DWORD>(NTE_BAD_DATA));
    }
    std::reverse(out, out + out_length);
    *length = out_length;
    return 0;
}

DWORD RSA_CardVerify(const char* container, DWORD slot, BYTE hash_kind, const BYTE* hash, DWORD hash_length,
                     const BYTE* signature) {
    platform::Trace("begin RSA_CardVerify()");
    const DWORD bad_key = static_cast<DWORD>(NTE_BAD_KEY);
    if (hash == nullptr || signature == nullptr) {
        return Failed(static_cast<DWORD>(ERROR_INVALID_PARAMETER), bad_key);
    }
    if (hash_length < VerifiedHashLength(hash_kind)) {
        return Failed(static_cast<DWORD>(NTE_BAD_LEN), bad_key);
    }
    std::array<BYTE, kVerifyBuffer> block{};
    DWORD block_length = block.size();
    const DWORD status = Card_RSAPublicVerify(container, SlotByte(slot), signature, &block_length, block.data());
    if (!Card_StatusSucceeded(status)) {
        return Failed(status, bad_key);
    }
    if (block_length != kRsaBlock1024 || !MatchesSignatureBlock(block.data(), hash_kind, hash)) {
        return Failed(bad_key);
    }
    return 0;
}

}  // namespace kelm::card
