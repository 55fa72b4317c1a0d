// On-card key generation: which key file receives a new key pair, and what becomes of the key
// that was in it. Key files are shared by all containers; a key that has a certificate survives a
// generation by moving to another file, and every container directory record is rewritten so
// that no container is left naming a key that moved.
//
// Card types other than 7 give each key kind a pair of files: 80 01 (companion 80 02) for
// signature keys and 80 03 (companion 80 04) for exchange keys. A container's first key of a kind
// goes to the pair's first file, and the certified key there moves to the companion (whose own
// key is overwritten). Card type 7 generates every key in its last key file (80 07), where its
// certificate is written later; the next generation moves it over the older key of the same
// subject, or into a file without a certificate.
//
// All functions return the card status value (0, a PC/SC error, or SW1 * 256 + SW2).
#pragma once

#include "kelm/windows_types.h"

namespace kelm::card {

// Card_FindContainerByKeyFile: no container names the file (so it is free for a new key).
constexpr DWORD STATUS_FILE_NOT_NAMED = 0x6A82;
// Card type 7: every key file already holds a certified key of another subject.
constexpr DWORD STATUS_NO_FREE_KEY_FILE = 0x6640;

// GENERATE KEY PAIR (00 42 00 01) on the selected key file; the key size is the file's.
DWORD Card_GenerateKey();

// Generates the key pair of the container's slot (1 signature, 2 exchange) in the file the card
// type's rule picks, after moving the certified key that was there, and names the file in the
// container's record. On success the slot's entry of `container_status` (20 bytes) is filled:
// file, STATUS_USED, slot, size code. A failing preparation (creating a missing key file, moving
// the certified key away) stops the generation before GENERATE KEY PAIR, so that no certified
// key is overwritten.
DWORD Card_GenerateRSAKey(const char* name, BYTE slot, DWORD unused, BYTE* container_status);

// Frees key file S for a new key. S without a certified key (a key and its certificate): the
// container naming S forgets it (its record is deleted when it names no other file); nothing
// moves, and STATUS_FILE_NOT_NAMED comes back when no container names S. S with a certified key:
// the container naming D forgets D, the key and certificate move from S to D, and the container
// naming S is re-pointed to D.
//
// A container that names an empty S may be left from a relocation cut short between MOVE KEY and
// the record write (the card pulled): its certified key then sits, named by no container, in the
// file the move went to (S's companion; on card type 7 one of 80 01 .. 80 06). That container is
// re-pointed to the key instead of losing the slot.
DWORD Card_RelocateKey(BYTE source_hi, BYTE source_lo, BYTE dest_hi, BYTE dest_lo);

// The first container whose record names the file in either slot: its name (36 bytes, not
// terminated when 36 long) and its 4-byte key-file record. STATUS_FILE_NOT_NAMED when none does.
DWORD Card_FindContainerByKeyFile(BYTE hi, BYTE lo, char* name, BYTE* key_file_record);

// Card type 7: empties the staging file 80 0N (N = key-file count) before a new key goes there.
// An uncertified staged key is detached from its container; a certified one moves over the file
// whose certificate has the same subject common name, else into a file without a certificate.
// STATUS_NO_FREE_KEY_FILE when there is neither. The name is not used.
DWORD Card_FindCertificateSlot(const char* name);

}  // namespace kelm::card
