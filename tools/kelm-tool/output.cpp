// Printing helpers shared by the commands.
#include "output.h"

#include <cctype>
#include <cstdio>

#include "platform/pcsc/pcsc_backend.h"

namespace kelm::tool {
namespace {

struct StatusName {
    DWORD status;
    const char* meaning;
};

// The status words this card answers with, by the ISO 7816-4 meaning or the card's own.
constexpr StatusName kStatusNames[] = {
    {0x6581, "memory failure"},
    {0x6602, "no such file, or the name is taken"},
    {0x6620, "PIN locked"},
    {0x6640, "no room on the card"},
    {0x6700, "wrong length"},
    {0x6982, "security status not satisfied"},
    {0x6983, "authentication method blocked"},
    {0x6985, "conditions of use not satisfied"},
    {0x6986, "command not allowed"},
    {0x6A80, "incorrect data"},
    {0x6A82, "file or application not found"},
    {0x6A84, "not enough memory"},
    {0x6A86, "incorrect P1 P2"},
    {0x6A88, "referenced data not found"},
    {0x6A89, "file already exists"},
    {0x6D00, "instruction not supported"},
    {0x6E00, "class not supported"},
    {0x6F00, "no precise diagnosis"},
};

// The length of the UTF-8 sequence at text[i] and its code point; 0 when it is not one.
size_t DecodeUtf8(std::string_view text, size_t i, char32_t* code_point) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return 0;
    char32_t value = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return 0;
        value = value << 6 | (next & 0x3F);
    }
    constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *code_point = value;
    return length;
}

}  // namespace

void PrintJson(const Json& document) {
    std::printf("%s\n", document.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
}

std::string Printable(std::string_view text) {
    std::string shown;
    for (size_t i = 0; i < text.size();) {
        char32_t code_point = 0;
        size_t length = DecodeUtf8(text, i, &code_point);
        const bool control = code_point < 0x20 || code_point == 0x7F || (code_point >= 0x80 && code_point <= 0x9F);
        if (length != 0 && !control) {
            shown.append(text.substr(i, length));
            i += length;
            continue;
        }
        for (size_t k = 0; k < (length == 0 ? 1 : length); ++k) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(text[i + k]));
            shown += escaped;
        }
        i += length == 0 ? 1 : length;
    }
    return shown;
}

std::string ErrorText(DWORD code) {
    char text[64];
    if (code >= 0x6000 && code <= 0x6FFF) {
        const char* meaning = nullptr;
        for (const StatusName& entry : kStatusNames) {
            if (entry.status == code) meaning = entry.meaning;
        }
        if ((code & 0xFFF0) == 0x63C0) {
            std::snprintf(text, sizeof text, "card status %04X (wrong PIN, %u tries left)", code, code & 0x0F);
        } else if (meaning != nullptr) {
            std::snprintf(text, sizeof text, "card status %04X (%s)", code, meaning);
        } else {
            std::snprintf(text, sizeof text, "card status %04X", code);
        }
        return text;
    }
    std::snprintf(text, sizeof text, "0x%08X", code);
    const char* name = platform::PcscErrorName(static_cast<LONG>(code));
    if (name == nullptr || *name == '\0') return text;
    return std::string(name) + " (" + text + ")";
}

std::string HexBytes(const BYTE* data, size_t length, const char* separator) {
    std::string text;
    char digits[3];
    for (size_t i = 0; i < length; ++i) {
        if (i > 0) text += separator;
        std::snprintf(digits, sizeof digits, "%02X", data[i]);
        text += digits;
    }
    return text;
}

bool ParseHex(const std::string& text, std::vector<BYTE>* bytes) {
    bytes->clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '\t') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        const int value = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10;
        if (high < 0) {
            high = value;
        } else {
            bytes->push_back(static_cast<BYTE>((high << 4) | value));
            high = -1;
        }
    }
    return high < 0;
}

}  // namespace kelm::tool
