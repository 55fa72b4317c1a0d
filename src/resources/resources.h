// The provider's resources: the string table, dialogs 102 and 131, the data resource 666 and
// the version record, described once in resource_data.h. On Linux they are tables registered
// with the platform when the library loads; the Windows DLL carries them in its resource
// section (KelmKSPv5.rc).
#pragma once

#include <array>
#include <cstddef>

#include "kelm/windows_types.h"
#include "platform/process/module_resources.h"
#include "resources/resource_data.h"

namespace kelm::resources {

// String numbers: three per message (English, Traditional Chinese, Simplified Chinese).
constexpr UINT kFirstString = 200;
constexpr UINT kLastString = 235;
constexpr UINT IDS_PINPAD_PROMPT = 200;
constexpr UINT IDS_CAPTION = 203;
constexpr UINT IDS_PIN_TITLE = 206;
constexpr UINT IDS_PIN_LABEL = 209;
constexpr UINT IDS_OK = 212;
constexpr UINT IDS_CANCEL = 215;
constexpr UINT IDS_NO_SERVICE = 218;
constexpr UINT IDS_NO_READER = 221;
constexpr UINT IDS_READER_UNAVAILABLE = 224;
constexpr UINT IDS_NO_CARD = 227;
constexpr UINT IDS_PIN_LOCKED = 230;
constexpr UINT IDS_PIN_WRONG = 233;

// Dialogs and their controls.
constexpr int IDD_PIN = KELM_IDD_PIN;
constexpr int IDD_RETRY = KELM_IDD_RETRY;
constexpr int IDI_CARD = KELM_IDI_CARD;
constexpr int IDC_PIN_EDIT = KELM_IDC_PIN_EDIT;
constexpr int IDC_PIN_LABEL = KELM_IDC_PIN_LABEL;
constexpr int IDC_RETYPE_PIN = KELM_IDC_RETYPE_PIN;
constexpr int IDC_RETRY_NOTE = KELM_IDC_RETRY_NOTE;

constexpr int RT_RCDATA_TYPE = 10;
constexpr int IDR_PROVIDER_DATA = KELM_IDR_PROVIDER_DATA;
constexpr size_t kProviderDataSize = 144;

struct VersionRecord {
    WORD file_version[4];
    WORD product_version[4];
    const char* original_filename;
    const char* file_description;
    const char* product_name;
};

const platform::ModuleResources& ModuleResourceTable();
const VersionRecord& Version();
const std::array<BYTE, kProviderDataSize>& ProviderData();

// The handle of the module that holds the provider (the shared library, or the program that
// links the system statically). Its resources are registered on first use or at load.
HMODULE ModuleHandle();

}  // namespace kelm::resources
