// The module's state, its start and end (C_Initialize, C_Finalize), and the library information.
#include "pkcs11/module.h"

#include <algorithm>
#include <cstring>

#include "card/reader_access.h"
#include "card/reader_session.h"
#include "crypto/secure_zero.h"
#include "pkcs11/entry_points.h"
#include "pkcs11/token_card.h"

namespace kelm::pkcs11 {
namespace {

std::mutex g_tables;
Module g_module;

constexpr char kManufacturer[] = "KELM";
constexpr char kLibraryDescription[] = "KELM smart card PKCS #11 module";
constexpr CK_VERSION kLibraryVersion = {1, 0};

}  // namespace

Module& State() { return g_module; }

EntryLock::EntryLock(bool card) {
    if (card) {
        Conversation.emplace();
    }
    Tables = std::unique_lock<std::mutex>(g_tables);
}

Module* Initialized() { return g_module.Initialized ? &g_module : nullptr; }

CK_RV FindSession(CK_SESSION_HANDLE handle, Session** session, Token** token) {
    if (!g_module.Initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    const auto found = g_module.Sessions.find(handle);
    if (found == g_module.Sessions.end()) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    *session = found->second.get();
    *token = &g_module.Tokens.at(found->second->Slot);
    return CKR_OK;
}

void PadText(CK_UTF8CHAR* field, size_t width, const std::string& text) {
    std::memset(field, ' ', width);
    std::memcpy(field, text.data(), std::min(width, text.size()));
}

HashState::~HashState() { crypto::SecureZero(&Running, sizeof Running); }

void SignOperation::End() {
    Active = false;
    Hash.reset();
    crypto::SecureZero(Data.data(), Data.size());
    Data.clear();
}

void DecryptOperation::End() {
    Active = false;
    HavePlain = false;
    crypto::SecureZero(Plain.data(), Plain.size());
    Plain.clear();
}

CK_RV Initialize(CK_VOID_PTR init_args) {
    if (init_args != nullptr) {
        const auto* args = static_cast<const CK_C_INITIALIZE_ARGS*>(init_args);
        if (args->pReserved != nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        const bool any = args->CreateMutex != nullptr || args->DestroyMutex != nullptr ||
                         args->LockMutex != nullptr || args->UnlockMutex != nullptr;
        const bool all = args->CreateMutex != nullptr && args->DestroyMutex != nullptr &&
                         args->LockMutex != nullptr && args->UnlockMutex != nullptr;
        if (any && !all) {
            return CKR_ARGUMENTS_BAD;
        }
        // The module locks with the system's own primitives; it cannot lock with the caller's.
        if (all && (args->flags & CKF_OS_LOCKING_OK) == 0) {
            return CKR_CANT_LOCK;
        }
    }
    EntryLock lock(false);
    if (g_module.Initialized) {
        return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    }
    g_module = Module{};
    g_module.Initialized = true;
    return CKR_OK;
}

CK_RV Finalize(CK_VOID_PTR reserved) {
    if (reserved != nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    EntryLock lock(true);
    if (!g_module.Initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    // A card left with its PIN verified would serve the next program without it.
    card::Card_CloseConnection(card::Session().PinVerified == 1);
    g_module = Module{};
    return CKR_OK;
}

CK_RV GetInfo(CK_INFO_PTR info) {
    EntryLock lock(false);
    if (!g_module.Initialized) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (info == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    std::memset(info, 0, sizeof *info);
    info->cryptokiVersion = {CRYPTOKI_VERSION_MAJOR, CRYPTOKI_VERSION_MINOR};
    PadText(info->manufacturerID, sizeof info->manufacturerID, kManufacturer);
    PadText(info->libraryDescription, sizeof info->libraryDescription, kLibraryDescription);
    info->libraryVersion = kLibraryVersion;
    return CKR_OK;
}

}  // namespace kelm::pkcs11
