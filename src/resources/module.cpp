// The module's resource section: the data resource 666, the version record, and the
// registration of all resources with the platform under this module's handle.
#include "resources/resources.h"

#include "kelm/winapi.h"

namespace kelm::resources {

extern const platform::StringResource kStringTable[];
extern const size_t kStringTableSize;
extern const platform::DialogTemplate kDialogTable[];
extern const size_t kDialogTableSize;

namespace {

// 00 11 22 ... FF nine times over. The platform's provider loader looks for it; the provider
// itself never reads it.
constexpr std::array<BYTE, kProviderDataSize> MakeProviderData() {
    std::array<BYTE, kProviderDataSize> data{};
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>((i % 16) * 0x11);
    return data;
}
constexpr std::array<BYTE, kProviderDataSize> kProviderData = MakeProviderData();

const platform::DataResource kDataTable[] = {
    {RT_RCDATA_TYPE, IDR_PROVIDER_DATA, kProviderData.data(), kProviderData.size()},
};

const VersionRecord kVersion = {
    {1, 0, 0, 5}, {1, 0, 0, 5}, "KelmKSPv5.dll", "KELMKSPV5", "KELM KSP V5",
};

const platform::ModuleResources kResources = {
    kStringTable, kStringTableSize, kDialogTable, kDialogTableSize, kDataTable, 1,
};

HMODULE RegisterOnce() {
    HMODULE module = platform::ModuleHandleFromAddress(reinterpret_cast<const void*>(&kResources));
    platform::RegisterModuleResources(module, &kResources);
    return module;
}

// The library's load-time step: record the module handle and make its resources known.
[[maybe_unused]] const HMODULE kLoadedModule = ModuleHandle();

}  // namespace

const platform::ModuleResources& ModuleResourceTable() { return kResources; }
const VersionRecord& Version() { return kVersion; }
const std::array<BYTE, kProviderDataSize>& ProviderData() { return kProviderData; }

HMODULE ModuleHandle() {
    static const HMODULE module = RegisterOnce();
    return module;
}

}  // namespace kelm::resources
