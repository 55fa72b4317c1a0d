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

// Handles are counted from here, so that none is small enough to pass for a forged pointer
// to low memory or for a stray flag value.
constexpr ULONG_PTR kFirstHandle = 0x4B50000;

// Callers may share handles and buffers between threads carelessly; the table itself stays
// consistent whatever they do.
struct LiveTable {
    std::mutex lock;
    struct Buffer {
        ObjectKind kind;
        size_t bytes;
    };
    std::unordered_map<const void*, Buffer> buffers;
    // A provider or key record, by its handle. A record freed while calls hold it stays here,
    // Retired (no lookup finds it), until the last of them lets go.
    struct Record {
        ObjectKind kind;
        void* object;
        uint32_t uses = 0;
        bool retired = false;
    };
    std::unordered_map<ULONG_PTR, Record> records;
    std::unordered_map<const void*, ULONG_PTR> handles;  // the live records' handles
    ULONG_PTR next_handle = kFirstHandle;
};

LiveTable& Live() {
    // Never destroyed: buffers may still be released by code running during process exit.
    static LiveTable* table = new LiveTable;
    return *table;
}

bool IsBuffer(ObjectKind kind) {
    return kind == ObjectKind::EnumState || kind == ObjectKind::KeyName || kind == ObjectKind::AlgorithmList;
}

// Both records begin with their length, which the release wipes by.
size_t RecordLength(const void* record) { return *static_cast<const DWORD*>(record); }

// What an ObjectsInUse runs for each record it held.
void LetGoRecord(const void* held) {
    LiveTable& table = Live();
    void* freed = nullptr;
    {
        std::lock_guard<std::mutex> guard(table.lock);
        const auto found = table.records.find(reinterpret_cast<ULONG_PTR>(held));
        if (found == table.records.end()) return;
        if (--found->second.uses != 0 || !found->second.retired) return;
        freed = found->second.object;
        table.records.erase(found);
    }
    HeapFreeWiped(freed, RecordLength(freed));
}

// The live record of `kind` behind `handle` whose length and magic are right, held for the
// call; `read` copies what the caller needs from it while the table is locked. Null otherwise.
template <typename Record, typename Read>
Record* HoldRecord(ULONG_PTR handle, ObjectKind kind, DWORD magic, Read read) {
    if (handle == 0) return nullptr;
    LiveTable& table = Live();
    std::lock_guard<std::mutex> guard(table.lock);
    const auto found = table.records.find(handle);
    if (found == table.records.end() || found->second.retired || found->second.kind != kind) return nullptr;
    auto* record = static_cast<Record*>(found->second.object);
    if (record->cbLength < sizeof(Record) || record->dwMagic != magic) return nullptr;
    if (core::ObjectsInUse::Hold(&LetGoRecord, reinterpret_cast<const void*>(handle))) ++found->second.uses;
    read(*record);
    return record;
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

SECURITY_STATUS EnsurePin(DWORD flags, card::CardConversation& conversation) {
    if (card::HoldVerifiedConversation(flags, conversation) == 1) return ERROR_SUCCESS;
    platform::Trace("call VerifyPIN() return : FALSE");
    card::Card_Disconnect();
    return SCARD_W_WRONG_CHV;
}

bool RegisterObject(const void* object, ObjectKind kind, size_t bytes) {
    LiveTable& table = Live();
    try {
        std::lock_guard<std::mutex> guard(table.lock);
        table.buffers[object] = LiveTable::Buffer{kind, bytes};
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

ULONG_PTR RegisterRecord(void* record, ObjectKind kind) {
    LiveTable& table = Live();
    try {
        std::lock_guard<std::mutex> guard(table.lock);
        const ULONG_PTR handle = table.next_handle;
        table.records.emplace(handle, LiveTable::Record{kind, record});
        try {
            table.handles.emplace(record, handle);
        } catch (const std::bad_alloc&) {
            table.records.erase(handle);
            throw;
        }
        ++table.next_handle;
        return handle;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

ULONG_PTR HandleOf(const void* record) {
    LiveTable& table = Live();
    std::lock_guard<std::mutex> guard(table.lock);
    const auto found = table.handles.find(record);
    return found == table.handles.end() ? 0 : found->second;
}

bool RetireRecord(const void* record) {
    LiveTable& table = Live();
    void* freed = nullptr;
    {
        std::lock_guard<std::mutex> guard(table.lock);
        const auto handle = table.handles.find(record);
        if (handle == table.handles.end()) return false;
        const auto found = table.records.find(handle->second);
        table.handles.erase(handle);
        if (found == table.records.end()) return false;
        if (found->second.uses != 0) {
            found->second.retired = true;
            return true;
        }
        freed = found->second.object;
        table.records.erase(found);
    }
    HeapFreeWiped(freed, RecordLength(freed));
    return true;
}

bool LookupMemoryBuffer(const void* buffer, ObjectKind* kind) {
    LiveTable& table = Live();
    std::lock_guard<std::mutex> guard(table.lock);
    const auto found = table.buffers.find(buffer);
    if (found == table.buffers.end() || !IsBuffer(found->second.kind)) return false;
    *kind = found->second.kind;
    return true;
}

bool RemoveMemoryBuffer(const void* buffer, size_t* bytes) {
    LiveTable& table = Live();
    std::lock_guard<std::mutex> guard(table.lock);
    const auto found = table.buffers.find(buffer);
    if (found == table.buffers.end() || !IsBuffer(found->second.kind)) return false;
    *bytes = found->second.bytes;
    table.buffers.erase(found);
    return true;
}

KSP_KEY* FindKeyOfProvider(const KSP_PROVIDER* provider, uint64_t chnd) {
    LiveTable& table = Live();
    std::lock_guard<std::mutex> guard(table.lock);
    for (auto& [handle, record] : table.records) {
        if (record.kind != ObjectKind::Key || record.retired) continue;
        auto* key = static_cast<KSP_KEY*>(record.object);
        if (key->pProvider != provider || (chnd != 0 && key->hContainer != chnd)) continue;
        // Held like a key found through its handle: another thread's FreeKey cannot free it
        // under the caller.
        if (core::ObjectsInUse::Hold(&LetGoRecord, reinterpret_cast<const void*>(handle))) ++record.uses;
        return key;
    }
    return nullptr;
}

KSP_PROVIDER* KELMKSPValidateProvHandle(NCRYPT_PROV_HANDLE hProvider) {
    uint64_t prov = 0;
    auto* provider = HoldRecord<KSP_PROVIDER>(hProvider, ObjectKind::Provider, KSP_PROVIDER_MAGIC,
                                              [&](const KSP_PROVIDER& record) { prov = record.hProv; });
    if (provider == nullptr) return nullptr;
    // Gone with a FreeProvider of another thread that began before this call found the record.
    if (core::Get_CryptoCTX(prov, core::HANDLE_PROVIDER_TYPE, prov) == nullptr) return nullptr;
    return provider;
}

KSP_KEY* KELMKSPValidateKeyHandle(NCRYPT_KEY_HANDLE hKey) {
    uint64_t key_ctx = 0, container = 0;
    auto* key = HoldRecord<KSP_KEY>(hKey, ObjectKind::Key, KSP_KEY_MAGIC, [&](const KSP_KEY& record) {
        key_ctx = record.hKeyCTX;
        container = record.hContainer;
    });
    if (key == nullptr) return nullptr;
    if (core::Get_CryptoCTXOfAnyOwner(key_ctx, core::HANDLE_KEY_TYPE) == nullptr ||
        core::Get_CryptoCTX(container, core::HANDLE_CONTAINER_TYPE, container) == nullptr) {
        return nullptr;
    }
    return key;
}

KSP_KEY* KELMKSPValidateHandles(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey) {
    const KSP_PROVIDER* provider = KELMKSPValidateProvHandle(hProvider);
    if (provider == nullptr) return nullptr;
    KSP_KEY* key = KELMKSPValidateKeyHandle(hKey);
    // A key is used only through the provider that opened it.
    return key != nullptr && key->pProvider == provider ? key : nullptr;
}

KSP_KEY* CreateNewKeyObject() {
    auto* key = static_cast<KSP_KEY*>(HeapAllocZero(sizeof(KSP_KEY)));
    if (key == nullptr) return nullptr;
    key->cbLength = sizeof(KSP_KEY);
    key->dwMagic = KSP_KEY_MAGIC;
    return key;
}

void FreeKeyObject(KSP_KEY* key) {
    const uint64_t key_ctx = key->hKeyCTX;
    if (!RetireRecord(key)) return;
    if (key_ctx != 0) core::Release_CryptoObject(key_ctx);
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
    if (chnd != 0) core::Release_CryptoObject(chnd);
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
