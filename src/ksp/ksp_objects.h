// The key storage provider's own records and the table of the ones that are alive.
//
// A provider or key handle is a number the table hands out when the record is made, from one
// counter that never repeats, so a freed handle never names a newer record, whatever address
// the newer one takes. Before anything reads a record's length and magic, the handle is looked
// up in the process-wide table of live records, so a forged or freed handle, or one of the
// other kind, is refused without anything being dereferenced. Within an ObjectsInUse
// (core/objects_in_use.h) a record found through its handle, and the core contexts it stands
// on, stay allocated until the call returns, whoever frees them meanwhile. The same table knows
// every buffer the provider hands out (enumeration states, key name records, algorithm lists),
// so that KELMKSPFreeBuffer releases only what the provider allocated.
#pragma once

#include <cstddef>
#include <cstdint>

#include "card/card_conversation.h"
#include "core/contexts.h"
#include "core/objects_in_use.h"
#include "kelm/ksp.h"

namespace kelm::ksp {

constexpr DWORD KSP_PROVIDER_MAGIC = 0x5577506D;  // "mPwU" in memory order
constexpr DWORD KSP_KEY_MAGIC = 0x55774B6D;       // "mKwU" in memory order
constexpr size_t kProviderNameUnits = 256;        // provider name and its terminator

struct KSP_PROVIDER {
    DWORD cbLength;
    DWORD dwMagic;
    DWORD dwFlags;
    WCHAR szName[kProviderNameUnits];
    core::ProvCTX* pProvCTX;  // owned
    uint64_t hProv;           // masked provider handle for pProvCTX, owned
};

struct KSP_KEY {
    DWORD cbLength;
    DWORD dwMagic;
    DWORD dwKeyBitLength;
    DWORD fFinished;
    core::ContainerCTX* pContainerCTX;  // the provider's container the key was opened in
    core::KeyCTX* pKeyCTX;              // owned
    uint64_t hKeyCTX;                   // masked key handle for pKeyCTX, owned by hProv
    uint64_t hContainer;                // the container handle behind pContainerCTX
    KSP_PROVIDER* pProvider;            // the provider that made the key
};

// Which of a container's two keys a key context stands for: AT_SIGNATURE or CALG_RSA_SIGN the
// signature key (card slot 1, status entry at 3), AT_KEYEXCHANGE or CALG_RSA_KEYX the exchange
// key (slot 2, status entry at 12). False for any other algorithm.
struct KeyKind {
    BYTE Slot;
    size_t StatusOffset;
};
bool KeyKindOf(ALG_ID algid, KeyKind* kind);
// Makes sure the card has the PIN in this connection (VerifyPIN unless the session's
// PIN-verified flag is set), and holds `conversation` on success, so that the card work done
// before it is let go runs in that connection. A refused or cancelled PIN ends the card
// connection and gives SCARD_W_WRONG_CHV.
SECURITY_STATUS EnsurePin(DWORD flags, card::CardConversation& conversation);

enum class ObjectKind { Provider, Key, EnumState, KeyName, AlgorithmList };

// Adds a buffer of `bytes` bytes to the live table; false when out of memory.
bool RegisterObject(const void* object, ObjectKind kind, size_t bytes);
// Adds a provider or key record to the live table and gives its new handle; 0 when out of memory.
ULONG_PTR RegisterRecord(void* record, ObjectKind kind);
// The handle of a live record (0 for anything else).
ULONG_PTR HandleOf(const void* record);
// Takes a provider or key record out of the table: no lookup finds its handle afterwards, and
// the record is wiped and freed (HeapFreeWiped, cbLength bytes) once no call holds it. False
// when it was not live (another thread freed it first).
bool RetireRecord(const void* record);
// The kind of a live buffer (EnumState, KeyName or AlgorithmList); false for anything else.
bool LookupMemoryBuffer(const void* buffer, ObjectKind* kind);
// Takes a live buffer out of the table and gives its size; false when it is not one of the
// provider's buffers.
bool RemoveMemoryBuffer(const void* buffer, size_t* bytes);
// A live key made through `provider` in the container `chnd` (0: in any container), or null;
// held for the call like a key found through its handle.
KSP_KEY* FindKeyOfProvider(const KSP_PROVIDER* provider, uint64_t chnd);

// The records behind handles, or null for a null, unknown, freed or other-kind handle, or a
// record whose length or magic is not its kind's. Found, a provider holds its provider context
// for the call, and a key its key context and container.
KSP_PROVIDER* KELMKSPValidateProvHandle(NCRYPT_PROV_HANDLE hProvider);
KSP_KEY* KELMKSPValidateKeyHandle(NCRYPT_KEY_HANDLE hKey);
// Both handles of a key function, the provider first: the key, or null when either is refused
// or the key was not opened through that provider.
KSP_KEY* KELMKSPValidateHandles(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey);

// A zero-filled key object with its length and magic, not live yet (RegisterRecord); null when
// out of memory.
KSP_KEY* CreateNewKeyObject();
// Releases a key object: its key context, its masked key handle, its table entry and the
// record (each once no call holds it). The container it was opened in is the caller's matter.
void FreeKeyObject(KSP_KEY* key);

// Zero-filled process-heap memory, and its wiped release.
void* HeapAllocZero(size_t bytes);
void HeapFreeWiped(void* memory, size_t bytes);

// The container context behind the provider's current container handle, or null.
core::ContainerCTX* CurrentContainer(const KSP_PROVIDER* provider);
// Makes `chnd` the provider's current container. The container it replaces is released (its
// record and handle; nothing changes on the card or in the registry) unless a live key of the
// provider still uses it.
void ReplaceContainer(KSP_PROVIDER* provider, uint64_t chnd);
// Releases the container `chnd` when it is neither the provider's current container nor used
// by a live key of the provider.
void ReleaseContainerIfUnused(KSP_PROVIDER* provider, uint64_t chnd);
// Releases the container record and handle without touching the card or the registry.
void ForgetContainer(uint64_t chnd);

// Keeps the thread's last error as it was on entry: key storage functions report through
// their result only, whatever the card and platform functions they call leave behind.
class KeepLastError {
public:
    KeepLastError();
    ~KeepLastError();
    KeepLastError(const KeepLastError&) = delete;
    KeepLastError& operator=(const KeepLastError&) = delete;

private:
    DWORD saved_;
};

}  // namespace kelm::ksp
