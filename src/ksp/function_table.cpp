// GetKeyStorageInterface, the constant function table it hands out, and the provider's
// registration record.
#include <cstring>

#include "kelm/ksp.h"
#include "kelm/winapi.h"
#include "ksp/ksp_functions.h"
#include "platform/process/trace.h"
#include "resources/resources.h"

namespace kelm::ksp {
namespace {

constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000DL);
constexpr size_t kImageNameUnits = 260;

const NCRYPT_KEY_STORAGE_FUNCTION_TABLE kFunctionTable = {
    NCRYPT_KEY_STORAGE_INTERFACE_VERSION,
    KELMKSPOpenProvider,
    KELMKSPOpenKey,
    KELMKSPCreatePersistedKey,
    KELMKSPGetProviderProperty,
    KELMKSPGetKeyProperty,
    KELMKSPSetProviderProperty,
    KELMKSPSetKeyProperty,
    KELMKSPFinalizeKey,
    KELMKSPDeleteKey,
    KELMKSPFreeProvider,
    KELMKSPFreeKey,
    KELMKSPFreeBuffer,
    KELMKSPEncrypt,
    KELMKSPDecrypt,
    KELMKSPIsAlgSupported,
    KELMKSPEnumAlgorithms,
    KELMKSPEnumKeys,
    KELMKSPImportKey,
    KELMKSPExportKey,
    KELMKSPSignHash,
    KELMKSPVerifySignature,
    KELMKSPPromptUser,
    KELMKSPNotifyChangeKey,
    KELMKSPSecretAgreement,
    KELMKSPDeriveKey,
    KELMKSPFreeSecret,
};

// The registration record's parts. The platform's record types take writable strings.
WCHAR g_alias_v5[] = KELM_WIDE("KELM CSP V5");
WCHAR g_alias_v1[] = KELM_WIDE("KELM CSP V1");
PWSTR g_aliases[] = {g_alias_v5, g_alias_v1};
WCHAR g_key_storage[] = KELM_WIDE("KEY_STORAGE");
PWSTR g_functions[] = {g_key_storage};
CRYPT_INTERFACE_REG g_interface = {NCRYPT_KEY_STORAGE_INTERFACE, CRYPT_LOCAL, 1, g_functions};
PCRYPT_INTERFACE_REG g_interfaces[] = {&g_interface};
WCHAR g_image_name[kImageNameUnits] = {};
CRYPT_IMAGE_REG g_user_mode_image = {g_image_name, 1, g_interfaces};
CRYPT_PROVIDER_REG g_registration = {2, g_aliases, &g_user_mode_image, nullptr};

// The library's file name without its directory, in UTF-16. Empty when the module's path cannot
// be read or converted.
bool FillImageName() {
    char path[kImageNameUnits] = {};
    const DWORD length = GetModuleFileNameA(resources::ModuleHandle(), path, sizeof path - 1);
    if (length == 0 || length >= sizeof path - 1) return false;
    const char* name = path;
    for (const char* at = path; *at != '\0'; ++at) {
        if (*at == '/' || *at == '\\') name = at + 1;
    }
    const int units = MultiByteToWideChar(CP_ACP, 0, name, -1, g_image_name, static_cast<int>(kImageNameUnits));
    if (units <= 0) g_image_name[0] = 0;
    return units > 0;
}

// Runs when the library is loaded (on Windows, within its process attach).
[[maybe_unused]] const bool kImageNameFilled = FillImageName();

}  // namespace

const CRYPT_PROVIDER_REG& ProviderRegistration() { return g_registration; }

}  // namespace kelm::ksp

NTSTATUS WINAPI GetKeyStorageInterface(LPCWSTR /*pszProviderName*/, NCRYPT_KEY_STORAGE_FUNCTION_TABLE** ppFunctionTable,
                                       DWORD /*dwFlags*/) {
    kelm::platform::Trace("begin GetKeyStorageInterface()");
    if (ppFunctionTable == nullptr) return kelm::ksp::kStatusInvalidParameter;
    // The platform's type has no const; the table is never written through it.
    *ppFunctionTable = const_cast<NCRYPT_KEY_STORAGE_FUNCTION_TABLE*>(&kelm::ksp::kFunctionTable);
    return 0;
}
