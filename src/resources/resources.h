// The provider's resources: the string table, dialogs 102 and 131, the data resource 666 and
// the version record. Held as data so that a Windows resource script can be generated from
// the same tables; registered with the platform when the library loads.
#pragma once

#include <array>
#include <cstddef>

#include "kelm/windows_types.h"
#include "platform/process/module_resources.h"

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
constexpr int IDD_PIN = 102;
constexpr int IDD_RETRY = 131;
constexpr int IDI_CARD = 103;
constexpr int IDC_PIN_EDIT = 1017;
constexpr int IDC_PIN_LABEL = 1023;
constexpr int IDC_RETYPE_PIN = 1019;
constexpr int IDC_RETRY_NOTE = 1020;

constexpr int RT_RCDATA_TYPE = 10;
constexpr int IDR_PROVIDER_DATA = 666;
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
