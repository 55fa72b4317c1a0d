// The card's files and containers: application selection and card type, the container
// directory (80 10), key files (80 01 .. 80 0N), file information, and the container functions.
// Every function returns the card status value (0, a PC/SC error, or SW1 * 256 + SW2).
#pragma once

#include <cstddef>

#include "kelm/windows_types.h"

namespace kelm::card {

constexpr DWORD CARD_TYPE_NONE = 0;
constexpr BYTE FILE_HI = 0x80;
constexpr BYTE DIRECTORY_FILE_LO = 0x10;
constexpr size_t kContainerRecordSize = 43;
constexpr size_t kContainerNameBytes = 36;
constexpr size_t kNameEntrySize = 37;
constexpr size_t kFileInfoSize = 6;
constexpr size_t kKeyFileRecordSize = 4;
constexpr DWORD kMaxCertificateLength = 2048;
constexpr BYTE kDefaultCertificateUnits = 8;  // 2048 bytes in 256-byte units
constexpr DWORD STATUS_NO_MORE_NAMES = 186;   // Card_GetContainerName past the last container

DWORD Card_SelectApplication();
DWORD Card_GetCardType();
// Container limit and key-file count: 7 on card type 7, else 6.
DWORD Card_ContainerCapacity();
DWORD Card_KeyFileCount();

DWORD Card_SelectFile(BYTE hi, BYTE lo);
// Selects the file and fills info[0..5] (capacity, certificate length, key present, key kind).
DWORD Card_GetFileInfo(BYTE hi, BYTE lo, BYTE* info);
// Reads the selected file's certificate in pieces into buffer (at most `capacity` bytes; a
// card that sends more fails with NTE_BAD_LEN).
DWORD Card_ReadFile(DWORD length, BYTE* buffer, size_t capacity);

// Appends the card's names as 37-byte entries after *count existing ones; *count becomes the
// total. `capacity` is the number of entries the buffer holds.
DWORD Card_ListContainers(char* names, BYTE* count, size_t capacity);
// The index-th (1-based) name, 36 bytes; STATUS_NO_MORE_NAMES when there are fewer.
DWORD Card_GetContainerName(char* name, BYTE index);
DWORD Card_FindContainer(const char* name, BYTE* key_file_record);
DWORD Card_CreateContainer(const char* name, BYTE* answer, size_t answer_capacity);
DWORD Card_WriteContainerKeys(const char* name, const BYTE* key_file_record);
DWORD Card_DeleteContainerRecord(const char* name);
DWORD Card_DeleteContainer(const char* name);
DWORD Card_OpenContainer(const char* name, BYTE* container_status);
DWORD Card_DeleteRSAKey(const char* name, BYTE slot, DWORD unused, BYTE* container_status);
DWORD Card_GetChallenge(DWORD count, BYTE* out);
DWORD Card_CreateKeyFile(BYTE hi, BYTE lo, BYTE key_kind, const BYTE* capacity, BYTE last_byte);
DWORD Card_MoveKey(BYTE source_hi, BYTE source_lo, BYTE dest_hi, BYTE dest_lo);

}  // namespace kelm::card
