// The registry editor's text format ("Windows Registry Editor Version 5.00"), in which each
// root of the emulated registry is kept on disk:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_CURRENT_USER\Software\VESK\ROSMAC10]
//   @="default value"
//   "CardType"=dword:00000001
//   "PKMac"=hex:0a,1b,2c,3d,4e,5f,60,71
//   "Other"=hex(b):01,00,00,00,00,00,00,00
//
// Strings escape \ and " with a backslash; long hex lists go on continuation lines that the
// previous line announces with a trailing backslash. Files are read as bytes, LF or CRLF.
#pragma once

#include <string>
#include <string_view>

#include "platform/export.h"
#include "platform/registry/registry_tree.h"

namespace kelm::platform {

inline constexpr std::string_view kRegistryFileHeader = "Windows Registry Editor Version 5.00";

// The whole file for one root: header, a blank line, then one section per key (parents before
// children, subkeys in name order), each section followed by a blank line. The root's own
// section is written only when it holds values. A REG_SZ value is written as quoted text when
// it is printable and ends with its one terminating NUL; otherwise as hex(1) bytes, so that
// every value reads back byte for byte.
KELM_PLATFORM_API std::string FormatRegistryFile(const RegistryKey& root, std::string_view root_name);

// Reads a file written in the format above into `root` (which is cleared first). Sections must
// lie under `root_name`. On a malformed file returns false and sets `problem` to
// "<file_label>:<line>: <what>"; `root` is then unspecified.
KELM_PLATFORM_API bool ParseRegistryFile(std::string_view text, std::string_view root_name,
                                         std::string_view file_label, RegistryKey& root, std::string& problem);

}  // namespace kelm::platform
