// Process services: language from the locale, code-page conversion of bad input, and the
// user and module names bounded by their buffers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "kelm/winapi.h"

namespace {

// The system language with LANG (and LC_ALL) set for the call, LC_MESSAGES unset; all three
// are put back afterwards.
LANGID LangFor(const char* lang, const char* lc_all = nullptr) {
    const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    const char* values[] = {lc_all, nullptr, lang};
    std::optional<std::string> saved[3];
    for (int i = 0; i < 3; ++i) {
        if (const char* old = std::getenv(names[i])) saved[i] = old;
        values[i] ? setenv(names[i], values[i], 1) : unsetenv(names[i]);
    }
    const LANGID id = GetSystemDefaultLangID();
    for (int i = 0; i < 3; ++i) saved[i] ? setenv(names[i], saved[i]->c_str(), 1) : unsetenv(names[i]);
    return id;
}

TEST(LanguageTest, ChineseTerritoriesChooseTheirLanguageEverythingElseEnglish) {
    const std::pair<const char*, LANGID> chinese[] = {
        {"zh_TW.UTF-8", 0x0404}, {"zh_CN.UTF-8", 0x0804}, {"zh_HK.UTF-8", 0x0C04}, {"zh_TW", 0x0404}, {"zh_CN.GB18030@stroke", 0x0804}};
    for (const auto& [lang, id] : chinese) EXPECT_EQ(LangFor(lang), id) << lang;
    for (const char* other : {"en_US.UTF-8", "C", "POSIX", "zh", "zh_SG.UTF-8", "zh_TWN", "fr_FR.UTF-8", ""}) {
        EXPECT_EQ(LangFor(other), 0x0409) << other;
    }
    EXPECT_EQ(LangFor(nullptr), 0x0409);
    // LC_ALL overrides LANG.
    EXPECT_EQ(LangFor("en_US.UTF-8", "zh_TW.UTF-8"), 0x0404);
    EXPECT_EQ(LangFor("zh_TW.UTF-8", "C"), 0x0409);
}

TEST(CodePageTest, RoundTripsSizeQueriesAndMalformedInput) {
    const char* text = "KELM \xE5\xAF\x86\xE7\xA2\xBC \xF0\x9F\x94\x91";  // ASCII, CJK, a supplementary character
    int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    ASSERT_EQ(units, 5 + 2 + 1 + 2 + 1);
    WCHAR wide[16];
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, wide, 16), units);
    EXPECT_EQ(wide[8], 0xD83D);  // the surrogate pair of U+1F511
    int bytes = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    ASSERT_EQ(bytes, static_cast<int>(std::strlen(text)) + 1);
    char back[32];
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, -1, back, sizeof back, nullptr, nullptr), bytes);
    EXPECT_STREQ(back, text);

    // Too small a buffer is an error, with nothing written past it.
    char small[6];
    std::memset(small, 'z', sizeof small);
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, -1, small, 5, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(small[5], 'z');

    // Input that is not well formed is an error, not a crash.
    const char* bad_utf8[] = {
        "\x80",              // continuation without a lead
        "\xC3",              // truncated sequence
        "\xC0\xAF",          // overlong '/'
        "\xED\xA0\x80",      // an encoded surrogate
        "\xF4\x90\x80\x80",  // beyond U+10FFFF
        "\xFF",
        "ok\xE5\xAF",        // truncated at the end
    };
    for (const char* input : bad_utf8) {
        WCHAR out[8];
        SetLastError(0);
        EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, input, static_cast<int>(std::strlen(input)), out, 8), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, input, -1, nullptr, 0), 0);
    }
    const WCHAR lone_high[] = {u'a', 0xD800, u'b', 0};
    const WCHAR lone_low[] = {0xDC00, 0};
    const WCHAR high_at_end[] = {u'a', 0xDBFF};
    char out[16];
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, lone_high, -1, out, sizeof out, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, lone_low, -1, out, sizeof out, nullptr, nullptr), 0);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, high_at_end, 2, out, sizeof out, nullptr, nullptr), 0);

    // Bad arguments.
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, nullptr, -1, nullptr, 0), 0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "a", -2, nullptr, 0), 0);
    EXPECT_EQ(MultiByteToWideChar(1252 + 7, 0, "a", -1, nullptr, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(ProcessInfoTest, UserNameAndModuleNameRespectTheBuffer) {
    DWORD size = 0;
    EXPECT_FALSE(GetUserNameA(nullptr, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_GT(size, 1u);
    std::string name(size, 'x');
    EXPECT_TRUE(GetUserNameA(name.data(), &size));
    EXPECT_EQ(std::strlen(name.c_str()) + 1, size);

    char path[4096];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    ASSERT_GT(length, 0u);
    EXPECT_NE(std::string(path).find("test_platform"), std::string::npos);
    char tiny[5];
    EXPECT_EQ(GetModuleFileNameA(nullptr, tiny, sizeof tiny), 5u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(tiny[4], '\0');
}

}  // namespace
