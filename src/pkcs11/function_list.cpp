// The module's one export, C_GetFunctionList, and the function list it hands out: the module's
// functions where it carries a function out, and a refusal for every other (no digests,
// encryption, verification, wrapping or derivation: the card signs and decrypts only, and the
// caller's own libraries hash and verify).
#include "pkcs11/entry_points.h"

namespace kelm::pkcs11 {
namespace {

// Every function of the list the module does not carry out answers CKR_FUNCTION_NOT_SUPPORTED,
// whatever it is given.
template <typename Function>
struct Refused;
template <typename... Arguments>
struct Refused<CK_RV (*)(Arguments...)> {
    static CK_RV Call(Arguments...) { return CKR_FUNCTION_NOT_SUPPORTED; }
};

CK_RV SeedRandom(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG) { return CKR_RANDOM_SEED_NOT_SUPPORTED; }
CK_RV GetFunctionStatus(CK_SESSION_HANDLE) { return CKR_FUNCTION_NOT_PARALLEL; }
CK_RV CancelFunction(CK_SESSION_HANDLE) { return CKR_FUNCTION_NOT_PARALLEL; }

CK_FUNCTION_LIST MakeFunctionList() {
    CK_FUNCTION_LIST list{};
    list.version = {CRYPTOKI_VERSION_MAJOR, CRYPTOKI_VERSION_MINOR};
#define KELM_CARRIED_OUT(name) list.C_##name = name
#define KELM_REFUSED(name) list.C_##name = &Refused<CK_C_##name>::Call
    KELM_CARRIED_OUT(Initialize);
    KELM_CARRIED_OUT(Finalize);
    KELM_CARRIED_OUT(GetInfo);
    list.C_GetFunctionList = C_GetFunctionList;
    KELM_CARRIED_OUT(GetSlotList);
    KELM_CARRIED_OUT(GetSlotInfo);
    KELM_CARRIED_OUT(GetTokenInfo);
    KELM_CARRIED_OUT(GetMechanismList);
    KELM_CARRIED_OUT(GetMechanismInfo);
    KELM_REFUSED(InitToken);
    KELM_REFUSED(InitPIN);
    KELM_REFUSED(SetPIN);
    KELM_CARRIED_OUT(OpenSession);
    KELM_CARRIED_OUT(CloseSession);
    KELM_CARRIED_OUT(CloseAllSessions);
    KELM_CARRIED_OUT(GetSessionInfo);
    KELM_REFUSED(GetOperationState);
    KELM_REFUSED(SetOperationState);
    KELM_CARRIED_OUT(Login);
    KELM_CARRIED_OUT(Logout);
    KELM_CARRIED_OUT(CreateObject);
    KELM_REFUSED(CopyObject);
    KELM_CARRIED_OUT(DestroyObject);
    KELM_CARRIED_OUT(GetObjectSize);
    KELM_CARRIED_OUT(GetAttributeValue);
    KELM_CARRIED_OUT(SetAttributeValue);
    KELM_CARRIED_OUT(FindObjectsInit);
    KELM_CARRIED_OUT(FindObjects);
    KELM_CARRIED_OUT(FindObjectsFinal);
    KELM_REFUSED(EncryptInit);
    KELM_REFUSED(Encrypt);
    KELM_REFUSED(EncryptUpdate);
    KELM_REFUSED(EncryptFinal);
    KELM_CARRIED_OUT(DecryptInit);
    KELM_CARRIED_OUT(Decrypt);
    KELM_REFUSED(DecryptUpdate);
    KELM_REFUSED(DecryptFinal);
    KELM_REFUSED(DigestInit);
    KELM_REFUSED(Digest);
    KELM_REFUSED(DigestUpdate);
    KELM_REFUSED(DigestKey);
    KELM_REFUSED(DigestFinal);
    KELM_CARRIED_OUT(SignInit);
    KELM_CARRIED_OUT(Sign);
    KELM_CARRIED_OUT(SignUpdate);
    KELM_CARRIED_OUT(SignFinal);
    KELM_REFUSED(SignRecoverInit);
    KELM_REFUSED(SignRecover);
    KELM_REFUSED(VerifyInit);
    KELM_REFUSED(Verify);
    KELM_REFUSED(VerifyUpdate);
    KELM_REFUSED(VerifyFinal);
    KELM_REFUSED(VerifyRecoverInit);
    KELM_REFUSED(VerifyRecover);
    KELM_REFUSED(DigestEncryptUpdate);
    KELM_REFUSED(DecryptDigestUpdate);
    KELM_REFUSED(SignEncryptUpdate);
    KELM_REFUSED(DecryptVerifyUpdate);
    KELM_REFUSED(GenerateKey);
    KELM_CARRIED_OUT(GenerateKeyPair);
    KELM_REFUSED(WrapKey);
    KELM_REFUSED(UnwrapKey);
    KELM_REFUSED(DeriveKey);
    KELM_CARRIED_OUT(SeedRandom);
    KELM_CARRIED_OUT(GenerateRandom);
    KELM_CARRIED_OUT(GetFunctionStatus);
    KELM_CARRIED_OUT(CancelFunction);
    KELM_REFUSED(WaitForSlotEvent);
#undef KELM_CARRIED_OUT
#undef KELM_REFUSED
    return list;
}

CK_FUNCTION_LIST g_function_list = MakeFunctionList();

}  // namespace
}  // namespace kelm::pkcs11

#ifndef _WIN32
__attribute__((visibility("default")))
#endif
CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (list == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    *list = &kelm::pkcs11::g_function_list;
    return CKR_OK;
}
