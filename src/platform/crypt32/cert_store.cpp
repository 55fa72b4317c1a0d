// The Cert… functions over the stores kept in the emulated registry.
//
// Opening a store reads every entry of its registry key; an entry that holds no readable
// certificate is passed over (SkippedStoreEntries says which and why). Additions, deletions
// and property changes go to the registry at once and to the open store's list; other open
// handles on the same store see them when opened again, as with the platform's registry
// stores. A context handed out keeps its certificate alive until it is freed, after the store
// is closed if need be. Stores and contexts are looked up in this process's tables before
// use, so a closed store, a freed context or a forged pointer is refused with E_INVALIDARG
// rather than followed.
#include "platform/crypt32/cert_store.h"

#include <mbedtls/md5.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "kelm/winapi.h"
#include "platform/crypt32/cert_decoding.h"
#include "platform/crypt32/cert_registry.h"
#include "platform/crypt32/cert_serialization.h"

namespace kelm::platform {
namespace {

struct CertRecord : DecodedCertificate {
    CERT_CONTEXT context{};
    std::vector<CertProperty> properties;  // as stored, the certificate itself excepted
    std::vector<std::string> path;         // of the store's "Certificates" key
    std::string key_name;                  // the certificate's subkey there
    bool deleted = false;
};

struct CertStore {
    // Deleted certificates stay in the list, passed over, so that an enumeration can go on
    // from one of them.
    std::vector<std::shared_ptr<CertRecord>> certificates;
    std::vector<std::string> path;
    std::vector<std::string> skipped;
};

struct LiveContext {
    std::shared_ptr<CertRecord> record;
    size_t references = 0;
};

std::mutex g_mutex;
std::map<HCERTSTORE, std::shared_ptr<CertStore>> g_stores;
std::map<PCCERT_CONTEXT, LiveContext> g_contexts;
uintptr_t g_last_store_handle = 0x5C0000;  // store handles are never reused

BOOL Fail(HRESULT error) {
    SetLastError(static_cast<DWORD>(error));
    return FALSE;
}

std::nullptr_t FailNull(HRESULT error) {
    SetLastError(static_cast<DWORD>(error));
    return nullptr;
}

CertStore* FindStore(HCERTSTORE handle) {
    const auto found = g_stores.find(handle);
    return found == g_stores.end() ? nullptr : found->second.get();
}

std::shared_ptr<CertRecord> FindContext(PCCERT_CONTEXT context) {
    const auto found = g_contexts.find(context);
    return found == g_contexts.end() ? nullptr : found->second.record;
}

PCCERT_CONTEXT Reference(const std::shared_ptr<CertRecord>& record) {
    LiveContext& live = g_contexts[&record->context];
    live.record = record;
    ++live.references;
    return &record->context;
}

void Release(PCCERT_CONTEXT context) {
    const auto found = g_contexts.find(context);
    if (found != g_contexts.end() && --found->second.references == 0) g_contexts.erase(found);
}

const CertProperty* FindProperty(const CertRecord& record, DWORD id) {
    const auto found = std::find_if(record.properties.begin(), record.properties.end(),
                                    [id](const CertProperty& p) { return p.id == id; });
    return found == record.properties.end() ? nullptr : &*found;
}

std::shared_ptr<CertRecord> DecodeRecord(std::span<const BYTE> der, HCERTSTORE handle, const CertStore& store,
                                         HRESULT& error, std::string& problem) {
    auto record = std::make_shared<CertRecord>();
    error = DecodeCertificate(der, *record, problem);
    if (error != 0) return nullptr;
    record->context = {X509_ASN_ENCODING, record->encoded.data(), static_cast<DWORD>(record->encoded.size()),
                       &record->info, handle};
    record->path = store.path;
    record->key_name = ThumbprintName(record->sha1);
    return record;
}

LONG Persist(const CertRecord& record) {
    if (record.deleted) return ERROR_SUCCESS;
    const SerializedCertificate serialized{record.properties, record.encoded};
    return WriteStoreEntry(record.path, record.key_name, WriteCertificateBlob(serialized));
}

std::shared_ptr<CertRecord> FindBySha1(const CertStore& store, const std::array<BYTE, 20>& sha1) {
    for (const auto& record : store.certificates) {
        if (!record->deleted && record->sha1 == sha1) return record;
    }
    return nullptr;
}

// The next certificate after `previous` (or the first) that `match` accepts. `previous` is
// released whatever happens, as the platform does.
template <class Match>
PCCERT_CONTEXT NextCertificate(HCERTSTORE handle, PCCERT_CONTEXT previous, const Match& match) {
    std::lock_guard lock(g_mutex);
    std::shared_ptr<CertRecord> after;
    if (previous != nullptr) {
        after = FindContext(previous);
        if (after == nullptr) return FailNull(E_INVALIDARG);
        Release(previous);
    }
    CertStore* store = FindStore(handle);
    if (store == nullptr || (after != nullptr && after->context.hCertStore != handle)) return FailNull(E_INVALIDARG);
    auto at = store->certificates.begin();
    if (after != nullptr) at = std::next(std::find(store->certificates.begin(), store->certificates.end(), after));
    for (; at != store->certificates.end(); ++at) {
        if (!(*at)->deleted && match(**at)) return Reference(*at);
    }
    return FailNull(CRYPT_E_NOT_FOUND);
}

// Hands `value` out with the platform's size rules: a null buffer learns the size; a short
// one learns it too, with ERROR_MORE_DATA, and is left alone.
BOOL Deliver(size_t size, void* out, DWORD* out_size, const std::function<void(BYTE*)>& write) {
    const DWORD offered = *out_size;
    *out_size = static_cast<DWORD>(size);
    if (out == nullptr) return TRUE;
    if (offered < size) return Fail(ERROR_MORE_DATA);
    write(static_cast<BYTE*>(out));
    return TRUE;
}

BOOL DeliverBytes(const std::vector<BYTE>& value, void* out, DWORD* out_size) {
    return Deliver(value.size(), out, out_size, [&](BYTE* to) { std::copy(value.begin(), value.end(), to); });
}

// The new stored value of a property, from what CertSetCertificateContextProperty was given.
bool NewPropertyValue(DWORD id, const void* data, std::vector<BYTE>& value) {
    if (id == CERT_KEY_PROV_INFO_PROP_ID) {
        KeyProvInfo info;
        if (!CopyKeyProvInfo(*static_cast<const CRYPT_KEY_PROV_INFO*>(data), info)) return false;
        value = EncodeKeyProvInfo(info);
    } else if (id == CERT_KEY_SPEC_PROP_ID) {
        const auto* bytes = static_cast<const BYTE*>(data);
        value.assign(bytes, bytes + sizeof(DWORD));
    } else {
        const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(data);
        if (blob->cbData != 0 && blob->pbData == nullptr) return false;
        value.assign(blob->pbData, blob->pbData + blob->cbData);
    }
    return true;
}

}  // namespace

std::vector<std::string> SkippedStoreEntries(HCERTSTORE store) {
    std::lock_guard lock(g_mutex);
    const CertStore* found = FindStore(store);
    return found == nullptr ? std::vector<std::string>{} : found->skipped;
}

}  // namespace kelm::platform

using kelm::platform::CertRecord;
using kelm::platform::CertStore;
using kelm::platform::Fail;
using kelm::platform::FailNull;
using kelm::platform::g_contexts;
using kelm::platform::g_mutex;
using kelm::platform::g_stores;

KELM_WINAPI_EXPORT HCERTSTORE WINAPI CertOpenSystemStoreA(HCRYPTPROV_LEGACY hProv, LPCSTR szSubsystemProtocol) {
    (void)hProv;  // a legacy argument the platform no longer uses either
    const auto path = kelm::platform::StoreRegistryPath(szSubsystemProtocol == nullptr ? "" : szSubsystemProtocol);
    if (path.empty()) return FailNull(E_INVALIDARG);
    std::vector<kelm::platform::StoreEntry> entries;
    if (const LONG read = kelm::platform::ReadStoreEntries(path, entries); read != ERROR_SUCCESS)
        return FailNull(read);

    std::lock_guard lock(g_mutex);
    const auto handle = reinterpret_cast<HCERTSTORE>(kelm::platform::g_last_store_handle += 16);
    auto store = std::make_shared<CertStore>();
    store->path = path;
    for (const auto& entry : entries) {
        kelm::platform::SerializedCertificate serialized;
        std::string problem = "no REG_BINARY \"Blob\" value";
        HRESULT error = 0;
        std::shared_ptr<CertRecord> record;
        if (entry.has_blob && kelm::platform::ReadCertificateBlob(entry.blob, serialized, problem))
            record = kelm::platform::DecodeRecord(serialized.encoded, handle, *store, error, problem);
        if (record == nullptr) {
            store->skipped.push_back(entry.key_name + ": " + problem);
            continue;
        }
        record->properties = std::move(serialized.properties);
        record->key_name = entry.key_name;
        store->certificates.push_back(std::move(record));
    }
    g_stores[handle] = std::move(store);
    return handle;
}

KELM_WINAPI_EXPORT BOOL WINAPI CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
    std::lock_guard lock(g_mutex);
    if (g_stores.erase(hCertStore) == 0) return Fail(E_INVALIDARG);
    // Contexts still held stay usable until freed, whatever the flags ask.
    const bool pending = std::any_of(g_contexts.begin(), g_contexts.end(),
                                     [&](const auto& live) { return live.first->hCertStore == hCertStore; });
    if (pending && (dwFlags & CERT_CLOSE_STORE_CHECK_FLAG) != 0) return Fail(CRYPT_E_PENDING_CLOSE);
    return TRUE;
}

KELM_WINAPI_EXPORT PCCERT_CONTEXT WINAPI CertEnumCertificatesInStore(HCERTSTORE hCertStore,
                                                                    PCCERT_CONTEXT pPrevCertContext) {
    return kelm::platform::NextCertificate(hCertStore, pPrevCertContext, [](const CertRecord&) { return true; });
}

KELM_WINAPI_EXPORT PCCERT_CONTEXT WINAPI CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                                   DWORD dwFindFlags, DWORD dwFindType,
                                                                   const void* pvFindPara,
                                                                   PCCERT_CONTEXT pPrevCertContext) {
    (void)dwCertEncodingType;
    (void)dwFindFlags;
    if (dwFindType == CERT_FIND_ANY)
        return kelm::platform::NextCertificate(hCertStore, pPrevCertContext, [](const CertRecord&) { return true; });
    const auto* hash = static_cast<const CRYPT_HASH_BLOB*>(pvFindPara);
    if (dwFindType != CERT_FIND_SHA1_HASH || hash == nullptr || (hash->cbData != 0 && hash->pbData == nullptr)) {
        CertFreeCertificateContext(pPrevCertContext);
        return FailNull(dwFindType == CERT_FIND_SHA1_HASH ? E_INVALIDARG : E_NOTIMPL);
    }
    return kelm::platform::NextCertificate(hCertStore, pPrevCertContext, [&](const CertRecord& record) {
        return hash->cbData == record.sha1.size() && std::memcmp(hash->pbData, record.sha1.data(), hash->cbData) == 0;
    });
}

KELM_WINAPI_EXPORT BOOL WINAPI CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                                const BYTE* pbCertEncoded, DWORD cbCertEncoded,
                                                                DWORD dwAddDisposition, PCCERT_CONTEXT* ppCertContext) {
    if (ppCertContext != nullptr) *ppCertContext = nullptr;
    if ((dwCertEncodingType & X509_ASN_ENCODING) == 0 || (pbCertEncoded == nullptr && cbCertEncoded != 0) ||
        dwAddDisposition < CERT_STORE_ADD_NEW || dwAddDisposition > CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES)
        return Fail(E_INVALIDARG);
    std::lock_guard lock(g_mutex);
    CertStore* store = kelm::platform::FindStore(hCertStore);
    if (store == nullptr) return Fail(E_INVALIDARG);
    HRESULT error = 0;
    std::string problem;
    auto record = kelm::platform::DecodeRecord({pbCertEncoded, cbCertEncoded}, hCertStore, *store, error, problem);
    if (record == nullptr) return Fail(error);

    // A certificate matches another with the same thumbprint, so one being "newer" than
    // its match (a later NotBefore) cannot happen: those dispositions act as ADD_NEW.
    const auto existing = kelm::platform::FindBySha1(*store, record->sha1);
    if (existing != nullptr) {
        switch (dwAddDisposition) {
            case CERT_STORE_ADD_USE_EXISTING:
                if (ppCertContext != nullptr) *ppCertContext = kelm::platform::Reference(existing);
                return TRUE;
            case CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES:
                record->properties = existing->properties;
                break;
            case CERT_STORE_ADD_REPLACE_EXISTING:
            case CERT_STORE_ADD_ALWAYS:
                break;
            default:
                return Fail(CRYPT_E_EXISTS);
        }
        // An entry under another name than the thumbprint (written by hand) goes too.
        if (existing->key_name != record->key_name) {
            if (const LONG removed = kelm::platform::DeleteStoreEntry(existing->path, existing->key_name);
                removed != ERROR_SUCCESS)
                return Fail(removed);
        }
    }
    if (const LONG written = kelm::platform::Persist(*record); written != ERROR_SUCCESS) return Fail(written);
    if (existing != nullptr) existing->deleted = true;
    store->certificates.push_back(record);
    if (ppCertContext != nullptr) *ppCertContext = kelm::platform::Reference(record);
    return TRUE;
}

KELM_WINAPI_EXPORT BOOL WINAPI CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext) {
    std::lock_guard lock(g_mutex);
    const auto record = kelm::platform::FindContext(pCertContext);
    if (record == nullptr) return Fail(E_INVALIDARG);
    kelm::platform::Release(pCertContext);  // freed whatever the outcome, as on the platform
    if (record->deleted) return TRUE;
    if (const LONG removed = kelm::platform::DeleteStoreEntry(record->path, record->key_name); removed != ERROR_SUCCESS)
        return Fail(removed);
    record->deleted = true;
    return TRUE;
}

KELM_WINAPI_EXPORT PCCERT_CONTEXT WINAPI CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) {
    if (pCertContext == nullptr) return nullptr;
    std::lock_guard lock(g_mutex);
    const auto record = kelm::platform::FindContext(pCertContext);
    if (record == nullptr) return FailNull(E_INVALIDARG);
    return kelm::platform::Reference(record);
}

KELM_WINAPI_EXPORT BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
    if (pCertContext == nullptr) return TRUE;
    std::lock_guard lock(g_mutex);
    if (g_contexts.count(pCertContext) == 0) return Fail(E_INVALIDARG);
    kelm::platform::Release(pCertContext);
    return TRUE;
}

KELM_WINAPI_EXPORT BOOL WINAPI CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                                                 void* pvData, DWORD* pcbData) {
    std::lock_guard lock(g_mutex);
    const auto record = kelm::platform::FindContext(pCertContext);
    if (record == nullptr || pcbData == nullptr) return Fail(E_INVALIDARG);

    if (dwPropId == CERT_SHA1_HASH_PROP_ID)
        return kelm::platform::DeliverBytes({record->sha1.begin(), record->sha1.end()}, pvData, pcbData);
    if (dwPropId == CERT_MD5_HASH_PROP_ID) {
        std::vector<BYTE> md5(16);
        mbedtls_md5_ret(record->encoded.data(), record->encoded.size(), md5.data());
        return kelm::platform::DeliverBytes(md5, pvData, pcbData);
    }
    const kelm::platform::CertProperty* stored = kelm::platform::FindProperty(*record, dwPropId);
    const kelm::platform::CertProperty* prov_info = kelm::platform::FindProperty(*record, CERT_KEY_PROV_INFO_PROP_ID);
    kelm::platform::KeyProvInfo info;
    if (dwPropId == CERT_KEY_PROV_INFO_PROP_ID) {
        if (stored == nullptr) return Fail(CRYPT_E_NOT_FOUND);
        if (!kelm::platform::DecodeKeyProvInfo(stored->value, info)) return Fail(ERROR_INVALID_DATA);
        return kelm::platform::Deliver(kelm::platform::KeyProvInfoLayoutSize(info), pvData, pcbData,
                                       [&](BYTE* out) { kelm::platform::LayOutKeyProvInfo(info, out); });
    }
    // Without a key specification of its own, a certificate has that of its key provider.
    if (dwPropId == CERT_KEY_SPEC_PROP_ID && stored == nullptr && prov_info != nullptr &&
        kelm::platform::DecodeKeyProvInfo(prov_info->value, info)) {
        const DWORD spec = info.key_spec;
        return kelm::platform::DeliverBytes({reinterpret_cast<const BYTE*>(&spec),
                                             reinterpret_cast<const BYTE*>(&spec) + sizeof spec},
                                            pvData, pcbData);
    }
    if (stored == nullptr) return Fail(CRYPT_E_NOT_FOUND);
    return kelm::platform::DeliverBytes(stored->value, pvData, pcbData);
}

KELM_WINAPI_EXPORT BOOL WINAPI CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId,
                                                                 DWORD dwFlags, const void* pvData) {
    (void)dwFlags;
    std::lock_guard lock(g_mutex);
    const auto record = kelm::platform::FindContext(pCertContext);
    // The hashes and the certificate itself come from the certificate and cannot be set.
    if (record == nullptr || dwPropId == 0 || dwPropId == CERT_SHA1_HASH_PROP_ID || dwPropId == CERT_MD5_HASH_PROP_ID ||
        dwPropId == CERT_CERT_PROP_ID)
        return Fail(E_INVALIDARG);
    std::vector<BYTE> value;
    if (pvData != nullptr && !kelm::platform::NewPropertyValue(dwPropId, pvData, value)) return Fail(E_INVALIDARG);

    const auto saved = record->properties;
    auto& properties = record->properties;
    const auto same = std::find_if(properties.begin(), properties.end(),
                                   [&](const kelm::platform::CertProperty& p) { return p.id == dwPropId; });
    if (pvData == nullptr) {
        if (same != properties.end()) properties.erase(same);
    } else if (same != properties.end()) {
        same->value = std::move(value);
    } else {
        properties.push_back({dwPropId, std::move(value)});
    }
    if (const LONG written = kelm::platform::Persist(*record); written != ERROR_SUCCESS) {
        record->properties = saved;
        return Fail(written);
    }
    return TRUE;
}
