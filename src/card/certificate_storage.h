// Certificates in key files: where a slot's certificate lives and how long it is, making a file
// for a slot that has none, and writing a certificate with WRITE CERTIFICATE in 200-byte pieces
// behind a header of validity dates (and, on card types 1 and 5, the 8-byte "CertMac" code
// that an enrolment tool leaves in the registry and that is deleted before the write).
//
// Each function takes and updates the container's 20-byte Card_ContainerStatus: in the slot's
// entry, +4 the certificate file (low byte), +5 certificate status (2 = stored), +6 capacity in
// 256-byte units, +7..+8 the certificate length, big-endian.
#pragma once

#include <cstddef>

#include "kelm/windows_types.h"

namespace kelm::card {

constexpr size_t kCertificatePiece = 200;
constexpr size_t kCertificateCodeLength = 8;
constexpr DWORD STATUS_NO_CERTIFICATE_ROOM = 0x6640;  // also the card's "larger than the file"
// What a slot without certificate reports, through KP_CERTIFICATE to the caller as well. The
// Windows headers name this value CRYPT_E_NO_DECRYPT_CERT; their CRYPT_E_NOT_FOUND (0x80092004,
// kelm/cert_store.h) is another code.
constexpr DWORD STATUS_CERTIFICATE_NOT_FOUND = 0x8009200C;

// Finds the slot's key file, selects it and records its certificate length in the status.
// NTE_NO_KEY when the slot has no key file; STATUS_CERTIFICATE_NOT_FOUND when it holds no
// certificate. Leaves the key file selected, so that Card_ReadFile reads the certificate next.
DWORD Card_GetCertificateInfo(const char* container, BYTE slot, BYTE* container_status);

// Gives the slot a file for its certificate: the slot's key file when it has one (selected), or
// the first free file from 80 05 upward, created for the slot's key kind (not entered in the
// container's record). Records the file and `units` in the status.
DWORD Card_CreateCertificate(const char* container, BYTE slot, BYTE units, BYTE* container_status);

// Writes a DER certificate of `length` bytes (1 to 2048, else NTE_FAIL) into the slot's
// certificate file: on card types 3, 6 and 7 behind the short validity text, on type 1 behind
// the short text with "CertMac" after the last byte, on type 5 behind the long text and the
// length with "CertMac". A certificate whose validity cannot be read gives NTE_FAIL before any
// command. Card type 7 first checks that the card has room (STATUS_NO_CERTIFICATE_ROOM). Other
// card types write nothing and return 0. On success the status records the stored certificate.
DWORD RSA_CardWriteCertificate(const char* container, BYTE slot, DWORD length, const BYTE* certificate,
                               BYTE* container_status);

// Card type 7: whether one of the key files 80 01 .. 80 0(N-1) can take a certificate of this
// subject, because it is free or holds one with the same common name. 0 when there is room (the
// container's signature key file, or its exchange key file when it has no signature key, is left
// selected); STATUS_NO_CERTIFICATE_ROOM when not; or the card's status.
DWORD Card_CheckCertificateSlot(const char* container, DWORD length, const BYTE* certificate);

}  // namespace kelm::card
