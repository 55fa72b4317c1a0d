// The card's files and containers: application selection and card type, the container
// directory (80 10), key files (80 01 .. 80 0N), file information, and the container functions.
// Every function returns the card status value (0, a PC/SC error, or SW1 * 256 + SW2) and stops
// at the first unsuccessful command.
//
// Beyond what a conforming card sends, the functions fail rather than overrun or guess:
//   ERROR_INVALID_PARAMETER      a null name, record or status argument, or a slot not 1 or 2;
//   SCARD_E_INSUFFICIENT_BUFFER  the card sent more than the caller's buffer holds;
//   NTE_BAD_DATA                 the card's answers make no sense (a listing that never ends,
//                                fewer random bytes than asked for).
// Container names are read up to their terminator or 36 bytes, whichever comes first, so a
// 36-character name need not be terminated and a longer one is cut to 36.
//
// Each function holds the card conversation (card_conversation.h) for its own commands.
// Card_ReadFile and Card_DeleteContainerRecord act on the file the caller selected: a caller
// outside this layer holds the conversation around the selection and them.
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
constexpr size_t kContainerStatusBytes = 20;
constexpr DWORD kMaxCertificateLength = 2048;
constexpr BYTE kDefaultCertificateUnits = 8;  // 2048 bytes in 256-byte units
constexpr DWORD STATUS_NO_MORE_NAMES = 186;   // Card_GetContainerName past the last container
constexpr DWORD STATUS_NULL_BUFFER = 8;       // a null output buffer (ERROR_NOT_ENOUGH_MEMORY)
constexpr size_t kReadPieceSize = 200;        // READ FILE piece, card types other than 5
constexpr size_t kReadPieceSizeType5 = 255;   // READ FILE piece, card type 5

// Card_ContainerStatus layout: slot entries of 9 bytes at 2 (signature) and 11 (exchange).
constexpr size_t kSlotEntryOffset[3] = {0, 2, 11};
constexpr BYTE SLOT_SIGNATURE = 1;
constexpr BYTE SLOT_EXCHANGE = 2;
// Key and certificate status of a slot entry: 2 = present.
constexpr BYTE kSlotStatusUsed = 2;

// Tries the five card applications in order and sets the card type (0 when none answers; the
// last SELECT's status is returned then).
DWORD Card_SelectApplication();
DWORD Card_GetCardType();
// Container limit and key-file count: 7 on card type 7, else 6.
DWORD Card_ContainerCapacity();
DWORD Card_KeyFileCount();

// 00 A4 02 00 02 hi lo. 0x6602: the file does not exist.
DWORD Card_SelectFile(BYTE hi, BYTE lo);
// Selects the file and fills info[0..5]: certificate capacity (2, big-endian), certificate
// length (2, big-endian), key present (1), key kind (0x80 = 2048-bit), whatever order the card
// type answers in.
DWORD Card_GetFileInfo(BYTE hi, BYTE lo, BYTE* info);
// Reads the selected file's certificate in pieces (200 bytes, 255 on card type 5) at offsets of
// whole pieces. `length` is the expected certificate length and does not stop the reading;
// `capacity` bounds it: a piece that would end past it fails with SCARD_E_INSUFFICIENT_BUFFER.
DWORD Card_ReadFile(DWORD length, BYTE* buffer, size_t capacity);

// Appends the card's names as 37-byte entries (36 name bytes, then 0) after *count existing
// ones; *count becomes the total. `capacity` is the number of entries the buffer holds: names
// past it are left out, the first ones kept. A null buffer returns STATUS_NULL_BUFFER and sets
// it as the last error.
DWORD Card_ListContainers(char* names, BYTE* count, size_t capacity);
// The index-th (1-based) name, 36 bytes; STATUS_NO_MORE_NAMES, with `name` untouched, when the
// card holds fewer.
DWORD Card_GetContainerName(char* name, BYTE index);
// Selects 80 10 and finds the container; the 4-byte key-file record (slot 1 file hi lo, slot 2
// file hi lo) is written only on success.
DWORD Card_FindContainer(const char* name, BYTE* key_file_record);
// FIND CONTAINER alone, on the directory selected already (after Card_ListContainers, say).
DWORD Card_FindContainerInDirectory(const char* name, BYTE* key_file_record);
// Cleans up key-less leftovers, then creates the record with no key files. `name` may be null
// (an empty name). Answer data goes to `answer`, at most `answer_capacity` bytes of it.
DWORD Card_CreateContainer(const char* name, BYTE* answer, size_t answer_capacity);
DWORD Card_WriteContainerKeys(const char* name, const BYTE* key_file_record);
// DELETE CONTAINER alone (the directory must be selected); the key files stay.
DWORD Card_DeleteContainerRecord(const char* name);
// Erases the keys the record names, then deletes the record.
DWORD Card_DeleteContainer(const char* name);
// Fills the 20-byte Card_ContainerStatus from the record and the key files' information.
DWORD Card_OpenContainer(const char* name, BYTE* container_status);
// Erases the slot's key (the certificate stays) and clears the slot's entry except its
// capacity byte. NTE_NO_KEY when the slot has no key.
DWORD Card_DeleteRSAKey(const char* name, BYTE slot, DWORD unused, BYTE* container_status);
// `count` random bytes from the card, 8 per GET CHALLENGE; a block announced with 61xx is
// fetched with GET RESPONSE (Le = SW2). Stops at the first block that fails
// or comes back short (NTE_BAD_DATA), so no unfilled bytes pass for random ones.
DWORD Card_GetChallenge(DWORD count, BYTE* out);
// CREATE KEY FILE: file id, key kind (0 signature, 1 exchange), size code by card type, the
// 2-byte certificate capacity, and the last data byte.
DWORD Card_CreateKeyFile(BYTE hi, BYTE lo, BYTE key_kind, const BYTE* capacity, BYTE last_byte);
// MOVE KEY; with source = destination it erases the file's key.
DWORD Card_MoveKey(BYTE source_hi, BYTE source_lo, BYTE dest_hi, BYTE dest_lo);

}  // namespace kelm::card
