// MultiByteToWideChar / WideCharToMultiByte. The ANSI code page of this platform is UTF-8, so
// CP_ACP (and the OEM, Mac and thread code pages) convert exactly as CP_UTF8 does. Input that is
// not well formed (bad or overlong UTF-8, encoded surrogates, lone UTF-16 surrogates) is refused
// with ERROR_NO_UNICODE_TRANSLATION rather than silently replaced: the provider converts names
// and PINs, where a substituted character would be a different secret.
#include <cstring>

#include "kelm/winapi.h"

namespace {

constexpr UINT kOemCodePage = 1;
constexpr UINT kMacCodePage = 2;
constexpr UINT kThreadCodePage = 3;
constexpr DWORD kPrecomposed = 0x00000001;   // MB_PRECOMPOSED
constexpr DWORD kNoBestFitChars = 0x00000400;  // WC_NO_BEST_FIT_CHARS

bool IsAnsiCodePage(UINT code_page) {
    return code_page == CP_ACP || code_page == kOemCodePage || code_page == kMacCodePage ||
           code_page == kThreadCodePage;
}

bool IsKnownCodePage(UINT code_page) { return code_page == CP_UTF8 || IsAnsiCodePage(code_page); }

// Decodes one UTF-8 character at `in` (with `left` bytes available). Returns its length, or 0
// when the bytes are not a well-formed character.
size_t DecodeUtf8(const unsigned char* in, size_t left, char32_t* out) {
    unsigned char lead = in[0];
    if (lead < 0x80) {
        *out = lead;
        return 1;
    }
    size_t length;
    char32_t value;
    char32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;  // a continuation byte without a lead, or a lead beyond four bytes
    }
    if (left < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((in[i] & 0xC0) != 0x80) return 0;
        value = (value << 6) | (in[i] & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *out = value;
    return length;
}

// Converts UTF-8 to UTF-16. Counts the units when `out` is null; otherwise writes at most
// `room` units. Returns the unit count, or -1 on malformed input, -2 when `room` is too small.
long Utf8ToUtf16(const unsigned char* in, size_t size, char16_t* out, size_t room) {
    size_t units = 0;
    for (size_t at = 0; at < size;) {
        char32_t value;
        size_t used = DecodeUtf8(in + at, size - at, &value);
        if (used == 0) return -1;
        at += used;
        size_t needed = value >= 0x10000 ? 2 : 1;
        if (out != nullptr) {
            if (units + needed > room) return -2;
            if (needed == 2) {
                value -= 0x10000;
                out[units] = static_cast<char16_t>(0xD800 + (value >> 10));
                out[units + 1] = static_cast<char16_t>(0xDC00 + (value & 0x3FF));
            } else {
                out[units] = static_cast<char16_t>(value);
            }
        }
        units += needed;
    }
    return static_cast<long>(units);
}

// Converts UTF-16 to UTF-8, with the same conventions as Utf8ToUtf16.
long Utf16ToUtf8(const char16_t* in, size_t size, unsigned char* out, size_t room) {
    size_t bytes = 0;
    for (size_t at = 0; at < size;) {
        char32_t value = in[at++];
        if (value >= 0xD800 && value <= 0xDBFF) {
            if (at == size || in[at] < 0xDC00 || in[at] > 0xDFFF) return -1;
            value = 0x10000 + ((value - 0xD800) << 10) + (in[at++] - 0xDC00);
        } else if (value >= 0xDC00 && value <= 0xDFFF) {
            return -1;
        }
        unsigned char encoded[4];
        size_t length;
        if (value < 0x80) {
            encoded[0] = static_cast<unsigned char>(value);
            length = 1;
        } else if (value < 0x800) {
            encoded[0] = static_cast<unsigned char>(0xC0 | (value >> 6));
            encoded[1] = static_cast<unsigned char>(0x80 | (value & 0x3F));
            length = 2;
        } else if (value < 0x10000) {
            encoded[0] = static_cast<unsigned char>(0xE0 | (value >> 12));
            encoded[1] = static_cast<unsigned char>(0x80 | ((value >> 6) & 0x3F));
            encoded[2] = static_cast<unsigned char>(0x80 | (value & 0x3F));
            length = 3;
        } else {
            encoded[0] = static_cast<unsigned char>(0xF0 | (value >> 18));
            encoded[1] = static_cast<unsigned char>(0x80 | ((value >> 12) & 0x3F));
            encoded[2] = static_cast<unsigned char>(0x80 | ((value >> 6) & 0x3F));
            encoded[3] = static_cast<unsigned char>(0x80 | (value & 0x3F));
            length = 4;
        }
        if (out != nullptr) {
            if (bytes + length > room) return -2;
            std::memcpy(out + bytes, encoded, length);
        }
        bytes += length;
    }
    return static_cast<long>(bytes);
}

size_t WideLength(const char16_t* text) {
    size_t length = 0;
    while (text[length] != 0) ++length;
    return length;
}

// Shared tail of both conversions: a size query, or the conversion into the caller's buffer.
template <typename In, typename Out, typename Converter>
int Convert(const In* in, size_t size, Out* out, int room, Converter convert) {
    long needed = convert(in, size, nullptr, 0);
    if (needed == -1) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (needed > 0x7FFFFFFF) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (room == 0) return static_cast<int>(needed);
    if (needed > room) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return static_cast<int>(convert(in, size, out, static_cast<size_t>(room)));
}

}  // namespace

// cbMultiByte -1: the string and its terminator (counted in the result). cchWideChar 0: only
// the size needed is returned.
KELM_WINAPI_EXPORT int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr,
                                                   int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar) {
    if (!IsKnownCodePage(CodePage) || lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 ||
        cchWideChar < 0 || (lpWideCharStr == nullptr && cchWideChar != 0) ||
        static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DWORD allowed = CodePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : (MB_ERR_INVALID_CHARS | kPrecomposed);
    if ((dwFlags & ~allowed) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    size_t size = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    return Convert(reinterpret_cast<const unsigned char*>(lpMultiByteStr), size, lpWideCharStr, cchWideChar,
                   Utf8ToUtf16);
}

// cchWideChar -1: the string and its terminator. cbMultiByte 0: only the size needed. Every
// character has a UTF-8 form, so no default character is ever used; CP_UTF8 accepts none.
KELM_WINAPI_EXPORT int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr,
                                                   int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                                   LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar) {
    if (!IsKnownCodePage(CodePage) || lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 ||
        cbMultiByte < 0 || (lpMultiByteStr == nullptr && cbMultiByte != 0) ||
        static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr) ||
        (CodePage == CP_UTF8 && (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DWORD allowed = CodePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : (WC_ERR_INVALID_CHARS | kNoBestFitChars);
    if ((dwFlags & ~allowed) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    if (lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = FALSE;
    size_t size = cchWideChar == -1 ? WideLength(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
    return Convert(lpWideCharStr, size, reinterpret_cast<unsigned char*>(lpMultiByteStr), cbMultiByte,
                   Utf16ToUtf8);
}
