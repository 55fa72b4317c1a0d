// The key file behind a container's slot, as the RSA and certificate functions find it first.
#pragma once

#include "kelm/windows_types.h"

namespace kelm::card {

// FIND CONTAINER, then the slot's key file from the record (80 xx). NTE_NO_KEY when the record
// names no file for the slot; ERROR_INVALID_PARAMETER for a null name or a slot not 1 or 2.
DWORD Card_FindSlotKeyFile(const char* container, BYTE slot, BYTE* hi, BYTE* lo);

// Card_FindSlotKeyFile, then the file's information (which selects it): NTE_NO_KEY unless the
// file holds a key. `info` (6 bytes) may be null.
DWORD Card_FindSlotKey(const char* container, BYTE slot, BYTE* hi, BYTE* lo, BYTE* info);

}  // namespace kelm::card
