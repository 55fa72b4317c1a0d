// The PKCS #11 module for Windows programs (kelm-pkcs11.dll) on the simulated card of the
// winscard.dll double: loaded as Firefox loads a module, it exports C_GetFunctionList alone,
// initialises with the system's locking, lists the reader's slot, generates a key pair on the
// card and signs with it; Wine's own RSA provider verifies the signature with the public key the
// module reads from the card.
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "pkcs11/cryptoki.h"
#include "wine_test.h"

namespace kelm::wine_test {
namespace {

std::string Rv(CK_RV rv) { return ", CK_RV " + Hex(static_cast<DWORD>(rv)); }

// Wine's software provider verifies a PKCS #1 v1.5 SHA-1 signature (big-endian, as PKCS #11
// gives it) with the modulus and exponent the module read.
bool VerifiedByWine(const std::vector<BYTE>& modulus, const std::vector<BYTE>& exponent,
                    const std::string& document, std::vector<BYTE> signature) {
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return false;
    std::vector<BYTE> blob(sizeof(BLOBHEADER) + sizeof(RSAPUBKEY) + modulus.size());
    auto* header = reinterpret_cast<BLOBHEADER*>(blob.data());
    *header = {PUBLICKEYBLOB, CUR_BLOB_VERSION, 0, CALG_RSA_KEYX};
    auto* rsa = reinterpret_cast<RSAPUBKEY*>(blob.data() + sizeof(BLOBHEADER));
    rsa->magic = 0x31415352;  // "RSA1"
    rsa->bitlen = static_cast<DWORD>(modulus.size() * 8);
    rsa->pubexp = 0;
    for (BYTE b : exponent) rsa->pubexp = rsa->pubexp << 8 | b;
    std::reverse_copy(modulus.begin(), modulus.end(), blob.begin() + sizeof(BLOBHEADER) + sizeof(RSAPUBKEY));
    HCRYPTKEY key = 0;
    HCRYPTHASH hash = 0;
    std::reverse(signature.begin(), signature.end());
    const bool verified =
        CryptImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &key) &&
        CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash) &&
        CryptHashData(hash, reinterpret_cast<const BYTE*>(document.data()), static_cast<DWORD>(document.size()), 0) &&
        CryptVerifySignatureA(hash, signature.data(), static_cast<DWORD>(signature.size()), key, nullptr, 0);
    if (hash != 0) CryptDestroyHash(hash);
    if (key != 0) CryptDestroyKey(key);
    CryptReleaseContext(prov, 0);
    return verified;
}

}  // namespace

void CheckPkcs11Module(const char* dll) {
    HMODULE module = LoadLibraryA(dll);
    if (!Check(module != nullptr, "LoadLibrary")) return;
    auto get = reinterpret_cast<CK_C_GetFunctionList>(reinterpret_cast<void*>(GetProcAddress(module, "C_GetFunctionList")));
    Check(GetProcAddress(module, "C_Initialize") == nullptr, "only C_GetFunctionList is exported");
    CK_FUNCTION_LIST* p11 = nullptr;
    if (!Check(get != nullptr && get(&p11) == CKR_OK, "C_GetFunctionList")) return;

    CK_C_INITIALIZE_ARGS args = {};
    args.flags = CKF_OS_LOCKING_OK;
    CK_RV rv = p11->C_Initialize(&args);
    if (!Check(rv == CKR_OK, "C_Initialize" + Rv(rv))) return;
    CK_SLOT_ID slot = 0;
    CK_ULONG count = 1;
    rv = p11->C_GetSlotList(CK_TRUE, &slot, &count);
    Check(rv == CKR_OK && count == 1, "one slot with a token" + Rv(rv));
    CK_SLOT_INFO slot_info = {};
    p11->C_GetSlotInfo(slot, &slot_info);
    Check(std::memcmp(slot_info.slotDescription, "KELM Simulated Reader", 21) == 0, "the slot is the reader");

    CK_SESSION_HANDLE session = 0;
    CK_UTF8CHAR pin[] = "12345678";
    rv = p11->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
    if (rv == CKR_OK) rv = p11->C_Login(session, CKU_USER, pin, 8);
    Check(rv == CKR_OK, "session and login" + Rv(rv));

    CK_MECHANISM generation = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_ULONG bits = 1024;
    CK_BBOOL yes = CK_TRUE;
    char label[] = "wine:signature";
    CK_ATTRIBUTE public_template[] = {{CKA_TOKEN, &yes, 1}, {CKA_MODULUS_BITS, &bits, sizeof bits}};
    CK_ATTRIBUTE private_template[] = {{CKA_LABEL, label, sizeof label - 1}};
    CK_OBJECT_HANDLE public_key = 0, private_key = 0;
    rv = p11->C_GenerateKeyPair(session, &generation, public_template, 2, private_template, 1, &public_key,
                                &private_key);
    Check(rv == CKR_OK, "a key pair generated on the card" + Rv(rv));

    std::vector<BYTE> modulus(256), exponent(8);
    CK_ATTRIBUTE numbers[] = {{CKA_MODULUS, modulus.data(), static_cast<CK_ULONG>(modulus.size())},
                              {CKA_PUBLIC_EXPONENT, exponent.data(), static_cast<CK_ULONG>(exponent.size())}};
    rv = p11->C_GetAttributeValue(session, public_key, numbers, 2);
    Check(rv == CKR_OK && numbers[0].ulValueLen == 128, "the public key's numbers" + Rv(rv));
    modulus.resize(numbers[0].ulValueLen == CK_UNAVAILABLE_INFORMATION ? 0 : numbers[0].ulValueLen);
    exponent.resize(numbers[1].ulValueLen == CK_UNAVAILABLE_INFORMATION ? 0 : numbers[1].ulValueLen);

    const std::string document = "signed on the card through the PKCS #11 module";
    CK_MECHANISM signing = {CKM_SHA1_RSA_PKCS, nullptr, 0};
    std::vector<BYTE> signature(256);
    CK_ULONG length = static_cast<CK_ULONG>(signature.size());
    rv = p11->C_SignInit(session, &signing, private_key);
    if (rv == CKR_OK) {
        rv = p11->C_Sign(session, reinterpret_cast<BYTE*>(const_cast<char*>(document.data())),
                         static_cast<CK_ULONG>(document.size()),
                         signature.data(), &length);
    }
    if (Check(rv == CKR_OK && length == 128, "C_Sign" + Rv(rv))) {
        signature.resize(length);
        Check(VerifiedByWine(modulus, exponent, document, signature), "Wine verifies the signature");
    }
    Check(p11->C_Finalize(nullptr) == CKR_OK, "C_Finalize");
    FreeLibrary(module);
}

}  // namespace kelm::wine_test
