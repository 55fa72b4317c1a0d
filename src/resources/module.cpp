// The module's resources: the data resource 666, the version record, and the module handle the
// texts and dialogs are loaded from. On Linux the tables are registered with the platform under
// this module's handle; the Windows DLL carries them in its resource section instead.
#include "resources/resources.h"

#include "kelm/winapi.h"

#ifdef _WIN32
extern "C" IMAGE_DOS_HEADER __ImageBase;  // the linker's name for the start of this module
#endif

namespace kelm::resources {

extern const platform::StringResource kStringTable[];
extern const size_t kStringTableSize;
extern const platform::DialogTemplate kDialogTable[];
extern const size_t kDialogTableSize;

namespace {

constexpr WORD kProviderDataWords[] = {KELM_PROVIDER_DATA_WORDS};
static_assert(sizeof kProviderDataWords == kProviderDataSize);

// The bytes of the data resource as the resource compiler lays out its words: low byte first.
constexpr std::array<BYTE, kProviderDataSize> MakeProviderData() {
    std::array<BYTE, kProviderDataSize> data{};
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<BYTE>(kProviderDataWords[i / 2] >> (8 * (i % 2)));
    }
    return data;
}
constexpr std::array<BYTE, kProviderDataSize> kProviderData = MakeProviderData();

const platform::DataResource kDataTable[] = {
    {RT_RCDATA_TYPE, IDR_PROVIDER_DATA, kProviderData.data(), kProviderData.size()},
};

const VersionRecord kVersion = {
    {KELM_VERSION_NUMBERS}, {KELM_VERSION_NUMBERS}, KELM_ORIGINAL_FILENAME, KELM_FILE_DESCRIPTION, KELM_PRODUCT_NAME,
};

const platform::ModuleResources kResources = {
    kStringTable, kStringTableSize, kDialogTable, kDialogTableSize, kDataTable, 1,
};

#ifdef _WIN32
HMODULE FindModule() { return reinterpret_cast<HMODULE>(&__ImageBase); }
#else
HMODULE FindModule() {
    HMODULE module = platform::ModuleHandleFromAddress(reinterpret_cast<const void*>(&kResources));
    platform::RegisterModuleResources(module, &kResources);
    return module;
}
#endif

// The library's load-time step: record the module handle (and, on Linux, make its resources
// known to the platform).
[[maybe_unused]] const HMODULE kLoadedModule = ModuleHandle();

}  // namespace

const platform::ModuleResources& ModuleResourceTable() { return kResources; }
const VersionRecord& Version() { return kVersion; }
const std::array<BYTE, kProviderDataSize>& ProviderData() { return kProviderData; }

HMODULE ModuleHandle() {
    static const HMODULE module = FindModule();
    return module;
}

}  // namespace kelm::resources
