#include "ksp/ksp_objects.h"

#include <mutex>
#include <new>
#include <unordered_map>

#include "card/card_files.h"
#include "card/pin_verify.h"
#include "card/reader_session.h"
#include "core/context_records.h"
#include "core/handles.h"
#include "core/secure_wipe.h"
#include "kelm/winapi.h"
#include "platform/process/trace.h"

namespace kelm::ksp {
namespace {

// Callers may share handles and buffers between threads carelessly; the table itself stays
// consistent whatever they do.
struct LiveTable {
    std::mutex lock;
    struct Entry {
        ObjectKind kind;
        size_t bytes;
    };
    std::unordered_map<const void*, Entry> objects;
};

LiveTable& Live() {
    // Never destroyed: buffers may still be released by code running during process exit.
    static LiveTable* table = new LiveTable;
    return *table;
}

bool IsBuffer(ObjectKind kind) {
    return kind == ObjectKind::EnumState || kind == ObjectKind::KeyName || kind == ObjectKind::AlgorithmList;
}

}  // namespace

bool KeyKindOf(ALG_ID algid, KeyKind* kind) {
    if (algid == CALG_RSA_SIGN || algid == AT_SIGNATURE) {
        *kind = KeyKind{card::SLOT_SIGNATURE, core::STATUS_OFFSET_SIGNATURE};
        return true;
    }
    if (algid == CALG_RSA_KEYX || algid == AT_KEYEXCHANGE) {
        *kind = KeyKind{card::SLOT_EXCHANGE, core::STATUS_OFFSET_EXCHANGE};
        return true;
    }
    return false;
}

SECURITY_STATUS EnsurePin(DWORD flags) {
    if (card::Session().PinVerified != 0) return ERROR_SUCCESS;
    if (card::VerifyPIN(flags) == 1) return ERROR_SUCCESS;
    platform::Trace("call VerifyPIN() return : FALSE");
    card::Card_Disconnect();
    return SCARD_W_WRONG_CHV;
}

bool RegisterObject(const void* object, ObjectKind kind, size_t bytes) {
    LiveTable& table = Live();
    try {
        std::lock_guard<std::mutex> guard(table.lock);
        table.objects[object] = LiveTable::Entry{kind, bytes};
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool IsLiveObject(const void* object, ObjectKind kind) {
    LiveTable& table = Live();
    std::lock_guard<std::mutex> guard(table.lock);
    const auto found = table.objects.find(object);
    return found != table.objects.end() && found->second.kind == kind;
}

bool LookupMemoryBuffer(const void* buffer, ObjectKind* kind) {
    LiveTable& table = Live();
    std::lock_guard<std::mutex> guard(table.lock);
    const auto found = table.objects.find(buffer);
    if (found == table.objects.end() || !IsBuffer(found->second.kind)) return false;
    *kind = found->second.kind;
    return true;
}

bool RemoveMemoryBuffer(const void* buffer, size_t* bytes) {
    LiveTable& table = Live();
    std::lock_guard<std::mutex> guard(table.lock);
    const auto found = table.objects.find(buffer);
    if (found == table.objects.end() || !IsBuffer(found->second.kind)) return false;
    *bytes = found->second.bytes;
    table.objects.erase(found);
    return true;
}

void UnregisterObject(const void* object) {
    LiveTable& table = Live();
    std::lock_guard<std::mutex> guard(table.lock);
    table.objects.erase(object);
}

KSP_KEY* FindKeyOfProvider(const KSP_PROVIDER* provider, uint64_t chnd) {
    LiveTable& table = Live();
    std::lock_guard<std::mutex> guard(table.lock);
    for (const auto& [object, entry] : table.objects) {
        if (entry.kind != ObjectKind::Key) continue;
        auto* key = static_cast<KSP_KEY*>(const_cast<void*>(object));
        if (key->pProvider == provider && (chnd == 0 || key->hContainer == chnd)) return key;
    }
    return nullptr;
}

KSP_PROVIDER* KELMKSPValidateProvHandle(NCRYPT_PROV_HANDLE hProvider) {
    auto* provider = reinterpret_cast<KSP_PROVIDER*>(hProvider);
    if (provider == nullptr || !IsLiveObject(provider, ObjectKind::Provider)) return nullptr;
    if (provider->cbLength < sizeof(KSP_PROVIDER) || provider->dwMagic != KSP_PROVIDER_MAGIC) return nullptr;
    return provider;
}

KSP_KEY* KELMKSPValidateKeyHandle(NCRYPT_KEY_HANDLE hKey) {
    auto* key = reinterpret_cast<KSP_KEY*>(hKey);
    if (key == nullptr || !IsLiveObject(key, ObjectKind::Key)) return nullptr;
    if (key->cbLength < sizeof(KSP_KEY) || key->dwMagic != KSP_KEY_MAGIC) return nullptr;
    return key;
}

KSP_KEY* CreateNewKeyObject() {
    auto* key = static_cast<KSP_KEY*>(HeapAllocZero(sizeof(KSP_KEY)));
    if (key == nullptr) return nullptr;
    key->cbLength = sizeof(KSP_KEY);
    key->dwMagic = KSP_KEY_MAGIC;
    if (!RegisterObject(key, ObjectKind::Key, sizeof(KSP_KEY))) {
        HeapFreeWiped(key, sizeof(KSP_KEY));
        return nullptr;
    }
    return key;
}

void FreeKeyObject(KSP_KEY* key) {
    UnregisterObject(key);
    core::Free_KeyCTX(key->pKeyCTX);
    if (key->hKeyCTX != 0) core::Free_CryptoHandle(key->hKeyCTX);
    HeapFreeWiped(key, key->cbLength);
}

void* HeapAllocZero(size_t bytes) { return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes); }

void HeapFreeWiped(void* memory, size_t bytes) {
    if (memory == nullptr) return;
    core::SecureZero(memory, bytes);
    HeapFree(GetProcessHeap(), 0, memory);
}

core::ContainerCTX* CurrentContainer(const KSP_PROVIDER* provider) {
    const uint64_t chnd = provider->pProvCTX->CHnd;
    return static_cast<core::ContainerCTX*>(core::Get_CryptoCTX(chnd, core::HANDLE_CONTAINER_TYPE, chnd));
}

void ForgetContainer(uint64_t chnd) {
    if (chnd == 0) return;
    auto* container =
        static_cast<core::ContainerCTX*>(core::Get_CryptoCTX(chnd, core::HANDLE_CONTAINER_TYPE, chnd));
    core::Free_ContainerCTX(container);
    core::Free_CryptoHandle(chnd);
}

void ReleaseContainerIfUnused(KSP_PROVIDER* provider, uint64_t chnd) {
    if (chnd == 0 || chnd == provider->pProvCTX->CHnd || FindKeyOfProvider(provider, chnd) != nullptr) return;
    ForgetContainer(chnd);
}

void ReplaceContainer(KSP_PROVIDER* provider, uint64_t chnd) {
    const uint64_t previous = provider->pProvCTX->CHnd;
    provider->pProvCTX->CHnd = chnd;
    if (previous != chnd) ReleaseContainerIfUnused(provider, previous);
}

KeepLastError::KeepLastError() : saved_(GetLastError()) {}
KeepLastError::~KeepLastError() { SetLastError(saved_); }

}  // namespace kelm::ksp
