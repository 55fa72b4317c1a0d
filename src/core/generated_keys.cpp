// Generated keys: session keys from card randomness and key pairs made on the card.
#include <cstring>

#include "card/apdu_transport.h"
#include "card/card_files.h"
#include "card/pin_verify.h"
#include "card/reader_session.h"
#include "core/container_registry.h"
#include "core/context_records.h"
#include "core/key_pair_generation.h"
#include "core/new_keys.h"
#include "core/session_keys.h"
#include "kelm/winapi.h"
#include "platform/process/trace.h"

namespace kelm::core {
namespace {

constexpr DWORD kRsaKeyBits = 1024;  // asked for, never sent: the key file decides

bool IsSessionAlgorithm(ALG_ID algid) { return algid == CALG_DES || algid == CALG_3DES || algid == CALG_3DES_112; }

DWORD MakeKeyPair(const ProvCTX* prov, KeyCTX* key, ALG_ID algid, card::CardConversation& conversation) {
    if (algid != AT_KEYEXCHANGE && algid != AT_SIGNATURE) {
        return static_cast<DWORD>(NTE_FAIL);
    }
    if (IsVerifyContext(prov->dwFlags)) {
        return static_cast<DWORD>(NTE_PERM);
    }
    if ((prov->dwFlags & CRYPT_SILENT) == 0) {
        const DWORD error = Key_EnsurePin(prov->dwFlags, conversation);
        if (error != 0) {
            return error;
        }
    }
    return RSA_GenerateKeyPair(key, prov->CHnd, algid, kRsaKeyBits);
}

DWORD Fail(KeyCTX* key, DWORD error) {
    Free_KeyCTX(key);
    return error;
}

}  // namespace

DWORD Key_EnsurePin(DWORD context_flags, card::CardConversation& conversation) {
    if (card::HoldVerifiedConversation(context_flags, conversation) != 0) {
        return 0;
    }
    platform::Trace("call VerifyPIN() return : FALSE");
    const DWORD error = GetLastError();
    card::Card_Disconnect();
    return error != 0 ? error : static_cast<DWORD>(NTE_FAIL);
}

DWORD Key_EnsurePin(DWORD context_flags) {
    card::CardConversation conversation(std::defer_lock);
    return Key_EnsurePin(context_flags, conversation);
}

DWORD Key_Generate(const ProvCTX* prov, ContainerCTX* container, ALG_ID algid, DWORD flags, KeyCTX** out) {
    if (algid == CALG_RC2 || algid == CALG_RC4) {
        return static_cast<DWORD>(NTE_BAD_ALGID);
    }
    KeyCTX* key = Alloc_Init_KeyCTX(algid);
    if (key == nullptr) {
        return GetLastError();
    }
    if ((flags & CRYPT_EXPORTABLE) != 0) {
        key->Permissions |= CRYPT_EXPORT;
    }
    // A key pair's generation and the status read after it run where the PIN was verified.
    card::CardConversation conversation(std::defer_lock);
    const bool session = IsSessionAlgorithm(algid);
    if (session) {
        if (CreateSessionKey(algid, key->KeyData, key->KeyDataSize, key->IV) != 0) {
            return Fail(key, static_cast<DWORD>(NTE_FAIL));
        }
    } else {
        const DWORD error = MakeKeyPair(prov, key, algid, conversation);
        if (error != 0) {
            return Fail(key, error);
        }
    }

    std::memcpy(key->ContainerName, prov->ContainerName, kContainerNameMax);
    if (!card::Card_StatusSucceeded(card::Card_OpenContainer(key->ContainerName, key->Card_ContainerStatus))) {
        return Fail(key, static_cast<DWORD>(NTE_BAD_KEYSET));
    }
    std::memcpy(container->Card_ContainerStatus, key->Card_ContainerStatus, kContainerStatusSize);
    if (!session) {
        // Like a key opened with CPGetUserKey: its lengths are the card key's.
        const size_t offset = key->Algid == CALG_RSA_SIGN ? STATUS_OFFSET_SIGNATURE : STATUS_OFFSET_EXCHANGE;
        key->KeyLen = key->BlockLen = KeyBitsOfSizeCode(key->Card_ContainerStatus[offset + 2]);
    }
    *out = key;
    return 0;
}

}  // namespace kelm::core
