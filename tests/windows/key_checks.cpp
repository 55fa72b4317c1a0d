// The provider through advapi32's CryptoAPI router once it is registered (the router loads it
// only when it exports all 23 entry points, and calls them with the real VTableProvStruc): a
// container's life with the user at the PIN dialog (typed, or cancelled), the card's keys with
// every CryptoAPI entry point on the way, and the key storage provider through the function table the DLL hands out. Wine's own
// software provider checks what it can on its own: signatures verify with the exported public
// keys, key BLOBs cross in both directions, and digests, hashed session keys and derived keys
// agree with its own.
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "kelm/ksp.h"
#include "wine_test.h"

namespace kelm::wine_test {
namespace {

using Bytes = std::vector<BYTE>;
constexpr char kContainer[] = "wine-test-keys";
const std::string kDocument = "signed on the card, checked by Wine";
const Bytes kMessage(61, 0xA5);  // not a whole number of blocks: the final block is padded

std::string Error() { return ", error " + Hex(GetLastError()); }

constexpr char kUserKeys[] = "Software\\Microsoft\\Cryptography\\UserKeys\\MorvaCSP-";

BOOL Acquire(HCRYPTPROV* prov, const char* container, DWORD flags) {
    return CryptAcquireContextA(prov, container, kProviderName, PROV_RSA_FULL, flags);
}

std::string Param(HCRYPTPROV prov, DWORD param, DWORD flags = 0) {
    char text[64] = {};
    DWORD length = sizeof text - 1;
    return CryptGetProvParam(prov, param, reinterpret_cast<BYTE*>(text), &length, flags) ? text
                                                                                       : "(failed " + Hex(GetLastError()) + ")";
}

bool ContainerRegistered(const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, (std::string(kUserKeys) + name).c_str(), 0, KEY_READ, &key) != 0) return false;
    BYTE seed[64];
    DWORD length = sizeof seed;
    const bool seeded = RegQueryValueExA(key, "RandSeed", nullptr, nullptr, seed, &length) == 0 && length == 20;
    RegCloseKey(key);
    return seeded;
}

// A variable-length answer, asked for its size first; empty when either call fails.
template <typename Call>
Bytes Read(Call call) {
    DWORD length = 0;
    if (!call(nullptr, &length)) return {};
    Bytes out(length);
    if (!call(out.data(), &length)) return {};
    out.resize(length);
    return out;
}

Bytes Export(HCRYPTKEY key, HCRYPTKEY wrapping, DWORD type) {
    return Read([&](BYTE* data, DWORD* length) { return CryptExportKey(key, wrapping, type, 0, data, length); });
}

HCRYPTKEY Import(HCRYPTPROV prov, const Bytes& blob, HCRYPTKEY unwrap = 0) {
    HCRYPTKEY key = 0;
    return CryptImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), unwrap, 0, &key) ? key : 0;
}

HCRYPTHASH Hash(HCRYPTPROV prov, ALG_ID algid, const std::string& data) {
    HCRYPTHASH hash = 0;
    if (!CryptCreateHash(prov, algid, 0, 0, &hash)) return 0;
    CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()), 0);
    return hash;
}

Bytes Value(HCRYPTHASH hash) {
    return Read([&](BYTE* data, DWORD* length) { return CryptGetHashParam(hash, HP_HASHVAL, data, length, 0); });
}

Bytes KeyParam(HCRYPTKEY key, DWORD param) {
    return Read([&](BYTE* data, DWORD* length) { return CryptGetKeyParam(key, param, data, length, 0); });
}

DWORD KeyDword(HCRYPTKEY key, DWORD param) {
    const Bytes value = KeyParam(key, param);
    DWORD number = 0;
    std::copy_n(value.begin(), std::min<size_t>(value.size(), sizeof number), reinterpret_cast<BYTE*>(&number));
    return number;
}

// One whole message each way; empty on failure.
Bytes Encrypt(HCRYPTKEY key, Bytes data) {
    DWORD length = static_cast<DWORD>(data.size());
    data.resize(data.size() + 8);  // room for the padding block
    if (!CryptEncrypt(key, 0, TRUE, 0, data.data(), &length, static_cast<DWORD>(data.size()))) return {};
    data.resize(length);
    return data;
}

Bytes Decrypt(HCRYPTKEY key, Bytes data) {
    DWORD length = static_cast<DWORD>(data.size());
    if (!CryptDecrypt(key, 0, TRUE, 0, data.data(), &length)) return {};
    data.resize(length);
    return data;
}

// Wine's provider checks a signature of the document (least significant byte first).
bool SoftwareVerifies(HCRYPTPROV soft, HCRYPTKEY public_key, ALG_ID algid, const Bytes& signature) {
    const HCRYPTHASH hash = Hash(soft, algid, kDocument);
    const BOOL ok = CryptVerifySignatureA(hash, signature.data(), static_cast<DWORD>(signature.size()), public_key,
                                          nullptr, 0);
    CryptDestroyHash(hash);
    return ok;
}

// Both key pairs made on the card, signing a SHA-1 hash that Wine's provider verifies with the
// exported public key, and that the provider verifies itself from the hash's value. The public
// keys, imported into Wine's provider, are handed back by key kind.
void CheckKeyPairs(HCRYPTPROV prov, HCRYPTPROV soft, HCRYPTKEY (&public_keys)[3]) {
    const struct {
        DWORD key_spec;
        ALG_ID algid;
        const char* name;
    } pairs[] = {{AT_SIGNATURE, CALG_RSA_SIGN, "signature key"}, {AT_KEYEXCHANGE, CALG_RSA_KEYX, "exchange key"}};
    for (const auto& pair : pairs) {
        const std::string name = pair.name;
        HCRYPTKEY key = 0;
        if (!Check(CryptGenKey(prov, pair.key_spec, 0, &key), name + " generated" + Error())) continue;
        Check(KeyDword(key, KP_ALGID) == pair.algid && KeyDword(key, KP_KEYLEN) == 1024, name + ": KP_ALGID, KP_KEYLEN");
        Check(CryptDestroyKey(key), name + ": destroy the new key's handle" + Error());
        Check(CryptGetUserKey(prov, pair.key_spec, &key), name + " stays on the card" + Error());

        const Bytes blob = Export(key, 0, PUBLICKEYBLOB);
        Check(blob.size() == 20 + 128 && blob[0] == PUBLICKEYBLOB, name + ": PUBLICKEYBLOB" + Error());
        HCRYPTKEY& public_key = public_keys[pair.key_spec];
        public_key = Import(soft, blob);
        Check(public_key != 0, name + ": Wine's provider imports the PUBLICKEYBLOB" + Error());

        const HCRYPTHASH hash = Hash(prov, CALG_SHA1, kDocument);
        const HCRYPTHASH reference = Hash(soft, CALG_SHA1, kDocument);
        const Bytes digest = Value(reference);
        Check(digest.size() == 20 && Value(hash) == digest, name + ": the SHA-1 value is Wine's");
        const Bytes signature = Read([&](BYTE* data, DWORD* length) {
            return CryptSignHashA(hash, pair.key_spec, nullptr, 0, data, length);
        });
        Check(signature.size() == 128, name + ": signed" + Error());
        Check(SoftwareVerifies(soft, public_key, CALG_SHA1, signature), name + ": Wine's provider verifies" + Error());

        // The provider's own check, the hash's value set from outside.
        HCRYPTHASH by_value = 0;
        const HCRYPTKEY own_public = Import(prov, blob);
        Check(CryptCreateHash(prov, CALG_SHA1, 0, 0, &by_value) && CryptSetHashParam(by_value, HP_HASHVAL, digest.data(), 0) &&
                  CryptVerifySignatureA(by_value, signature.data(), 128, own_public, nullptr, 0),
              name + ": the provider verifies with the imported public key" + Error());
        Check(CryptDestroyHash(by_value) && CryptDestroyHash(hash) && CryptDestroyKey(own_public) && CryptDestroyKey(key),
              name + ": hashes and keys destroyed" + Error());
        CryptDestroyHash(reference);
    }
}

// Session keys in both directions: the provider's wrapped with its own exchange key and
// unwrapped by the card, Wine's wrapped by Wine with the exported exchange key; keys derived
// from the same hash, and hashed keys, agree with Wine's.
void CheckSessionKeys(HCRYPTPROV prov, HCRYPTPROV soft, HCRYPTKEY exchange_public) {
    HCRYPTKEY exchange = 0, session = 0;
    Check(CryptGetUserKey(prov, AT_KEYEXCHANGE, &exchange) && CryptGenKey(prov, CALG_3DES, CRYPT_EXPORTABLE, &session),
          "a triple-DES session key" + Error());
    const Bytes iv = KeyParam(session, KP_IV);
    const Bytes ciphertext = Encrypt(session, kMessage);
    Check(ciphertext.size() == 64, "the provider encrypts" + Error());
    const Bytes wrapped = Export(session, exchange, SIMPLEBLOB);
    Check(wrapped.size() == 12 + 128 && wrapped[0] == SIMPLEBLOB, "SIMPLEBLOB" + Error());
    const HCRYPTKEY unwrapped = Import(prov, wrapped, exchange);
    Check(unwrapped != 0 && CryptSetKeyParam(unwrapped, KP_IV, iv.data(), 0) && KeyParam(unwrapped, KP_IV) == iv,
          "the SIMPLEBLOB imports, its IV set" + Error());
    Check(Decrypt(unwrapped, ciphertext) == kMessage, "the unwrapped key decrypts" + Error());

    HCRYPTKEY theirs = 0;
    Check(CryptGenKey(soft, CALG_3DES, CRYPT_EXPORTABLE, &theirs), "Wine's session key" + Error());
    const HCRYPTKEY received = Import(prov, Export(theirs, exchange_public, SIMPLEBLOB));
    Check(received != 0, "the card unwraps Wine's SIMPLEBLOB" + Error());
    Check(Decrypt(received, Encrypt(theirs, kMessage)) == kMessage, "Wine's ciphertext decrypts" + Error());
    Check(Decrypt(theirs, Encrypt(received, kMessage)) == kMessage, "Wine decrypts the provider's" + Error());

    HCRYPTHASH mine = 0, reference = 0;
    Check(CryptCreateHash(prov, CALG_SHA1, 0, 0, &mine) && CryptHashSessionKey(mine, received, 0) &&
              CryptCreateHash(soft, CALG_SHA1, 0, 0, &reference) && CryptHashSessionKey(reference, theirs, 0) &&
              Value(mine) == Value(reference),
          "a hashed session key has Wine's value" + Error());
    CryptDestroyHash(mine);
    CryptDestroyHash(reference);

    const HCRYPTHASH base = Hash(prov, CALG_SHA1, "password"), soft_base = Hash(soft, CALG_SHA1, "password");
    HCRYPTKEY derived = 0, soft_derived = 0;
    Check(CryptDeriveKey(prov, CALG_3DES, base, 0, &derived) && CryptDeriveKey(soft, CALG_3DES, soft_base, 0, &soft_derived),
          "keys derived" + Error());
    Check(Decrypt(soft_derived, Encrypt(derived, kMessage)) == kMessage, "a derived key is Wine's" + Error());
    CryptDestroyHash(base);
    CryptDestroyHash(soft_base);
    for (HCRYPTKEY key : {session, unwrapped, received, derived, exchange}) CryptDestroyKey(key);
    CryptDestroyKey(theirs);
    CryptDestroyKey(soft_derived);
}

void CheckProviderServices(HCRYPTPROV prov) {
    BYTE first[32] = {}, second[32] = {};
    Check(CryptGenRandom(prov, sizeof first, first) && CryptGenRandom(prov, sizeof second, second) &&
              std::memcmp(first, second, sizeof first) != 0,
          "random bytes from the card" + Error());
    const BOOL set = CryptSetProvParam(prov, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(kPin), 0);
    Check(!set && GetLastError() == static_cast<DWORD>(NTE_FAIL), "provider parameters cannot be set" + Error());
}

// The key storage provider on the same card: the container's key found by enumeration, opened,
// described, and signing a SHA-256 hash that Wine's provider verifies with the public key the
// CryptoAPI side exported (no certificate store is needed for that).
void CheckKeyStorage(const char* dll, HCRYPTPROV soft, HCRYPTKEY signature_public) {
    HMODULE module = LoadLibraryA(dll);
    const auto get_interface = reinterpret_cast<GetKeyStorageInterfaceFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "GetKeyStorageInterface")));
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE* table = nullptr;
    NCRYPT_PROV_HANDLE provider = 0;
    if (!Check(get_interface != nullptr && get_interface(KELM_KSP_NAME, &table, 0) == 0 && table != nullptr &&
                   table->OpenProvider(&provider, KELM_KSP_NAME, 0) == ERROR_SUCCESS,
               "the key storage provider opens")) {
        return;
    }
    bool listed = false;
    NCryptKeyName* name = nullptr;
    void* state = nullptr;
    while (table->EnumKeys(provider, nullptr, &name, &state, 0) == ERROR_SUCCESS) {
        listed = listed || (Utf8(name->pszName) == kContainer && name->dwLegacyKeySpec == AT_SIGNATURE);
        table->FreeBuffer(name);
    }
    table->FreeBuffer(state);
    Check(listed, "the key storage provider lists the container's signature key");

    NCRYPT_KEY_HANDLE key = 0;
    const std::wstring key_name(kContainer, kContainer + sizeof kContainer - 1);
    if (!Check(table->OpenKey(provider, &key, key_name.c_str(), AT_SIGNATURE, 0) == ERROR_SUCCESS, "the key opens")) {
        table->FreeProvider(provider);
        return;
    }
    WCHAR group[16] = {};
    DWORD length = 0, impl = 0;
    Check(table->GetKeyProperty(provider, key, NCRYPT_ALGORITHM_GROUP_PROPERTY, reinterpret_cast<BYTE*>(group),
                                sizeof group, &length, 0) == ERROR_SUCCESS &&
              std::wstring(group) == L"RSA",
          "the key's algorithm group");
    Check(table->GetProviderProperty(provider, NCRYPT_IMPL_TYPE_PROPERTY, reinterpret_cast<BYTE*>(&impl), sizeof impl,
                                     &length, 0) == ERROR_SUCCESS &&
              length == sizeof impl,
          "the provider's implementation type");

    const HCRYPTHASH reference = Hash(soft, CALG_SHA_256, kDocument);
    Bytes digest = Value(reference);
    CryptDestroyHash(reference);
    BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
    Bytes signature(256);
    length = 0;
    const SECURITY_STATUS sized = table->SignHash(provider, key, &padding, digest.data(), static_cast<DWORD>(digest.size()),
                                                  nullptr, 0, &length, BCRYPT_PAD_PKCS1);
    const SECURITY_STATUS status =
        table->SignHash(provider, key, &padding, digest.data(), static_cast<DWORD>(digest.size()), signature.data(),
                        static_cast<DWORD>(signature.size()), &length, BCRYPT_PAD_PKCS1);
    Check(sized == ERROR_SUCCESS && status == ERROR_SUCCESS && length == 128,
          "the key storage provider signs a SHA-256 hash, status " + Hex(static_cast<DWORD>(status)));
    signature.resize(std::min<size_t>(length, signature.size()));
    std::reverse(signature.begin(), signature.end());  // CNG's order is most significant byte first
    Check(SoftwareVerifies(soft, signature_public, CALG_SHA_256, signature), "Wine's provider verifies it" + Error());
    Check(table->FreeKey(provider, key) == ERROR_SUCCESS && table->FreeProvider(provider) == ERROR_SUCCESS,
          "key and provider freed");
    FreeLibrary(module);
}

}  // namespace

void CheckKeysRouter(const char* dll) {
    if (!RegisterProvider(dll)) return;
    HCRYPTPROV prov = 0, soft = 0;
    {
        User user({kPin});
        Check(Acquire(&prov, kContainer, CRYPT_NEWKEYSET), "a container for the keys" + Error());
        const SeenDialog& dialog = user.Seen();
        Check(dialog.title == "Input the pin code" && dialog.HasText("Password(6-16)") && dialog.HasText("Confirm") &&
                  dialog.HasText("Cancel"),
              "the PIN dialog speaks the system's language, title '" + dialog.title + "'");
    }
    Check(Param(prov, PP_CONTAINER) == kContainer && Param(prov, PP_ENUMCONTAINERS, CRYPT_FIRST) == kContainer,
          "PP_CONTAINER and PP_ENUMCONTAINERS name the new container");
    Check(ContainerRegistered(kContainer), "the container is recorded in the user's registry");
    if (!Check(CryptAcquireContextA(&soft, nullptr, MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, CRYPT_VERIFYCONTEXT),
               "Wine's software provider" + Error()) ||
        prov == 0) {
        return;
    }
    {
        // This thread's PIN is sent again unasked from here on; a dialog that comes all the same
        // is answered rather than left to hang the run.
        User late({kPin, IDOK, false});
        HCRYPTKEY public_keys[3] = {};
        CheckKeyPairs(prov, soft, public_keys);
        CheckSessionKeys(prov, soft, public_keys[AT_KEYEXCHANGE]);
        CheckProviderServices(prov);
        Check(CryptReleaseContext(prov, 0), "release the container's context" + Error());
        CheckKeyStorage(dll, soft, public_keys[AT_SIGNATURE]);
        for (HCRYPTKEY key : public_keys) {
            if (key != 0) CryptDestroyKey(key);
        }
        CryptReleaseContext(soft, 0);
    }
    {
        // On a thread of its own, which has no recent PIN.
        User user({"", IDCANCEL});
        DWORD error = 0;
        std::thread([&] { error = Acquire(&prov, "wine-cancelled", CRYPT_NEWKEYSET) ? 0 : GetLastError(); }).join();
        Check(error == static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER),
              "a cancelled PIN dialog refuses the new container, error " + Hex(error));
    }
    {
        User user({kPin, IDOK, false});
        Check(Acquire(&prov, kContainer, CRYPT_DELETEKEYSET) && prov == 0, "delete the container" + Error());
    }
    Check(!ContainerRegistered(kContainer), "the deleted container leaves the registry");
    Check(!Acquire(&prov, kContainer, 0) && GetLastError() == static_cast<DWORD>(NTE_BAD_KEYSET),
          "the deleted container cannot be opened");
}

}  // namespace kelm::wine_test
