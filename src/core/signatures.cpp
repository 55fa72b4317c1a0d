#include "core/signatures.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "card/apdu_transport.h"
#include "card/card_files.h"
#include "card/reader_session.h"
#include "card/rsa_operations.h"
#include "core/context_records.h"
#include "core/hash_lifecycle.h"
#include "core/new_keys.h"
#include "core/secure_wipe.h"
#include "kelm/winapi.h"

namespace kelm::core {
namespace {

constexpr DWORD kVerifiedSignature = 128;  // only 1024-bit signatures are checked
constexpr DWORD kChallengeChunk = 240;     // bytes per card-layer request
constexpr DWORD kLongestHash = 36;         // SSL3 SHA+MD5

// The DigestInfo kind the card layer puts in front of a hash value; 0 when it has none.
BYTE HashKindOf(ALG_ID algid, bool verifying) {
    switch (algid) {
    case CALG_MD5: return card::HASH_KIND_MD5;
    case CALG_SHA1: return card::HASH_KIND_SHA1;
    case CALG_SHA_256: return card::HASH_KIND_SHA256;
    case CALG_SSL3_SHAMD5: return verifying ? 0 : card::HASH_KIND_MD5_SHA1;  // signed bare, never verified
    default: return 0;
    }
}

// The hash value, copied out of the object and wiped when it goes out of scope.
struct HashValue {
    std::array<BYTE, kLongestHash> bytes{};
    DWORD length = 0;
    explicit HashValue(const HashCTX* hash) : length(std::min<DWORD>(hash->HashLen, kLongestHash)) {
        std::memcpy(bytes.data(), hash->HashValue, length);
    }
    ~HashValue() { SecureZero(bytes.data(), bytes.size()); }
    HashValue(const HashValue&) = delete;
    HashValue& operator=(const HashValue&) = delete;
};

}  // namespace

DWORD Signature_SigningSlot(const ContainerCTX* container, DWORD which_key, KeySlot* slot) {
    if (!KeySlotOf(which_key, slot)) {
        return static_cast<DWORD>(NTE_BAD_ALGID);
    }
    if (container->Card_ContainerStatus[slot->StatusOffset] != STATUS_USED) {
        return static_cast<DWORD>(NTE_NO_KEY);
    }
    return 0;
}

DWORD Signature_Sign(const ProvCTX* prov, const ContainerCTX* container, const KeySlot& slot, HashCTX* hash,
                     DWORD flags, BYTE* signature, DWORD* length) {
    if (!HashObject_Finish(hash)) {
        return static_cast<DWORD>(NTE_BAD_HASH_STATE);
    }
    const DWORD signature_length = DWORD{container->Card_ContainerStatus[slot.StatusOffset + 2]} * 64;
    const DWORD stated = *length;
    *length = signature_length;
    if (signature == nullptr || stated < signature_length) {
        return ERROR_MORE_DATA;
    }
    const BYTE kind = HashKindOf(hash->Algid, false);
    if (kind == 0) {
        return static_cast<DWORD>(NTE_BAD_ALGID);
    }
    const HashValue value(hash);
    card::CardConversation conversation(std::defer_lock);
    if ((flags & SIGN_WITHOUT_PIN) == 0) {
        if (const DWORD pin = Key_EnsurePin(prov->dwFlags, conversation); pin != 0) {
            return pin;
        }
    }
    const DWORD signed_status = card::RSA_CardSignature(container->Name, slot.Slot, kind, value.bytes.data(),
                                                        value.length, length, signature);
    if (!card::Card_ConnectionLost(signed_status) || card::Session().PinVerified != 0 ||
        (flags & SIGN_WITHOUT_PIN) != 0) {
        return signed_status;
    }
    // The connection went away under the signature (card pulled and put back, service
    // restarted). A signature leaves nothing behind on the card, so after the PIN step has
    // reconnected it is made once more; if that step fails, the lost connection is the error.
    if (Key_EnsurePin(prov->dwFlags, conversation) != 0) {
        SetLastError(signed_status);
        return signed_status;
    }
    *length = signature_length;
    return card::RSA_CardSignature(container->Name, slot.Slot, kind, value.bytes.data(), value.length, length,
                                   signature);
}

DWORD Signature_Verify(const ContainerCTX* container, const KeyCTX* key, HashCTX* hash, const BYTE* signature,
                       DWORD length) {
    if (container == nullptr || !KeyBelongsTo(key, container->Name)) {
        return static_cast<DWORD>(NTE_BAD_KEYSET);  // only the keys of the context's own container verify
    }
    KeySlot slot{};
    if (!KeySlotOf(key->Algid, &slot)) {
        return static_cast<DWORD>(NTE_BAD_KEY);
    }
    const BYTE key_status = key->Card_ContainerStatus[slot.StatusOffset];
    if (key_status != STATUS_USED && key_status != STATUS_KEY_PENDING) {
        return static_cast<DWORD>(NTE_NO_KEY);
    }
    if (!HashObject_Finish(hash)) {
        return static_cast<DWORD>(NTE_BAD_HASH_STATE);
    }
    if (signature == nullptr || length != kVerifiedSignature) {
        return static_cast<DWORD>(NTE_BAD_SIGNATURE);
    }
    const BYTE kind = HashKindOf(hash->Algid, true);
    if (kind == 0) {
        return static_cast<DWORD>(NTE_BAD_ALGID);
    }
    std::array<BYTE, kVerifiedSignature> big_endian{};
    std::memcpy(big_endian.data(), signature, big_endian.size());
    SwitchHiLo(big_endian.data(), big_endian.size());
    const HashValue value(hash);
    if (card::RSA_CardVerify(key->ContainerName, slot.Slot, kind, value.bytes.data(), value.length,
                             big_endian.data()) != 0) {
        return static_cast<DWORD>(NTE_BAD_SIGNATURE);
    }
    return 0;
}

DWORD Random_FromCard(DWORD length, BYTE* out) {
    if (length <= kChallengeChunk) {
        return card::Card_StatusSucceeded(card::Card_GetChallenge(length, out)) ? 0 : static_cast<DWORD>(NTE_FAIL);
    }
    // Whole chunks into a buffer of the rounded-up size, then the bytes asked for.
    const DWORD chunks = (length + kChallengeChunk - 1) / kChallengeChunk;
    const size_t size = static_cast<size_t>(chunks) * kChallengeChunk;
    auto* buffer = static_cast<BYTE*>(LocalAlloc(LPTR, size));
    if (buffer == nullptr) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    DWORD result = 0;
    for (DWORD chunk = 0; chunk < chunks && result == 0; ++chunk) {
        if (!card::Card_StatusSucceeded(card::Card_GetChallenge(kChallengeChunk, buffer + chunk * kChallengeChunk))) {
            result = static_cast<DWORD>(NTE_FAIL);
        }
    }
    if (result == 0) {
        std::memcpy(out, buffer, length);
    }
    SecureZero(buffer, size);
    LocalFree(buffer);
    return result;
}

}  // namespace kelm::core
