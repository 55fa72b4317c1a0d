// UTF-16 names as the key storage functions receive them: bounded lengths, exact comparison,
// and the conversions between key names and the card's container names.
#pragma once

#include <cstddef>

#include "core/contexts.h"
#include "kelm/windows_types.h"

namespace kelm::ksp {

// Units of `text` before its terminator, reading at most `bound` units; `bound` when there is
// no terminator among them.
size_t BoundedLength(LPCWSTR text, size_t bound);

// Exact, case-sensitive equality, terminator included. Reads `text` no further than the first
// unit that differs from `expected`; a null `text` equals nothing.
bool SameText(LPCWSTR text, LPCWSTR expected);

// The key name converted to the ANSI code page, cut to 36 bytes and terminated. False when the
// name is longer than 259 units or its conversion needs more than 259 bytes, or when it is not
// well-formed UTF-16. A null name is the empty name.
bool KeyNameToContainerName(LPCWSTR key_name, char (&container)[core::kContainerNameEntry]);

// A container name (up to its terminator or 36 bytes) in UTF-16 with its terminator, into
// `out` of `units` units. A name whose bytes do not convert gives the empty name (false).
bool ContainerNameToWide(const char* name, WCHAR* out, size_t units);

}  // namespace kelm::ksp
