// How kelm-tool prints: names with their control characters escaped, codes with their names,
// bytes in hexadecimal, and the JSON document of --json.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "kelm/windows_types.h"

namespace kelm::tool {

using Json = nlohmann::ordered_json;  // members stay in the order they were added

// Prints one JSON document on stdout. Bytes that are not UTF-8 become U+FFFD.
void PrintJson(const Json& document);

// `text` fit for a terminal: control characters (C0, DEL, C1) and bytes that are not UTF-8
// become \xNN, so a name can neither move the cursor nor retitle or clear the terminal.
std::string Printable(std::string_view text);

// The name of a provider or PC/SC code, or of a card status word:
// "NTE_BAD_KEYSET (0x80090016)", "card status 6A82 (file or application not found)".
std::string ErrorText(DWORD code);

std::string HexBytes(const BYTE* data, size_t length, const char* separator = " ");
// Hexadecimal digits to bytes, ignoring spaces, tabs and colons; false on anything else or
// an odd number of digits.
bool ParseHex(const std::string& text, std::vector<BYTE>* bytes);

}  // namespace kelm::tool
