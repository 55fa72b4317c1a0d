// The twelve user-visible texts in the system's default language, loaded once per process from
// the provider's string table.
#include <cstring>
#include <mutex>

#include "card/reader_session.h"
#include "kelm/winapi.h"
#include "resources/resources.h"

namespace kelm::card {
namespace {

constexpr size_t kTextCount = 12;
constexpr size_t kTextSize = 260;
constexpr UINT kLanguages = 3;  // English, Traditional Chinese, Simplified Chinese

struct LocalizedTexts {
    std::once_flag loaded;  // the first thread to ask loads them; any other waits for it
    char text[kTextCount][kTextSize];
};

LocalizedTexts g_texts;

UINT ColumnFor(LANGID language) {
    switch (language) {
    case LANG_ID_CHINESE_TRADITIONAL:
        return 1;
    case LANG_ID_CHINESE_SIMPLIFIED:
        return 2;
    default:
        return 0;
    }
}

}  // namespace

void LoadLocalizedStrings() {
    std::call_once(g_texts.loaded, [] {
        const UINT base = resources::kFirstString + ColumnFor(GetSystemDefaultLangID());
        HMODULE module = resources::ModuleHandle();
        for (size_t i = 0; i < kTextCount; ++i) {
            std::memset(g_texts.text[i], 0, kTextSize);
            LoadStringA(module, base + static_cast<UINT>(i) * kLanguages, g_texts.text[i],
                        static_cast<int>(kTextSize));
        }
    });
}

const char* LocalizedText(UINT id) {
    if (id < resources::kFirstString || id > resources::kLastString) {
        return "";
    }
    LoadLocalizedStrings();
    return g_texts.text[(id - resources::kFirstString) / kLanguages];
}

}  // namespace kelm::card
