// Key containers on the card and in the registry together, and the default container name.
// Each container the provider creates or opens is recorded as the subkey "MorvaCSP-" + name
// under the user's or the machine's CryptoAPI key tree; nothing reads the values back.
#pragma once

#include <cstddef>
#include <string>

#include "core/contexts.h"

namespace kelm::core {

constexpr char kUserKeysPath[] = "Software\\Microsoft\\Cryptography\\UserKeys";
constexpr char kMachineKeysPath[] = "Software\\Microsoft\\Cryptography\\MachineKeys";
constexpr char kContainerSubkeyPrefix[] = "MorvaCSP-";
// Prefix, a name of at most 36 characters and the NUL.
constexpr size_t kContainerSubkeySize = sizeof(kContainerSubkeyPrefix) + kContainerNameMax;
constexpr DWORD kRandSeedLen = 20;
// {4D1FA410-6F09-11D0-8C58-00C04FD91200} in its binary layout: SigTypeSubtype and ExchTypeSubtype.
constexpr BYTE kKeyTypeSubtype[16] = {0x10, 0xA4, 0x1F, 0x4D, 0x09, 0x6F, 0xD0, 0x11,
                                      0x8C, 0x58, 0x00, 0xC0, 0x4F, 0xD9, 0x12, 0x00};
constexpr char kDefaultContainerName[] = "DefaultKey";
// Status record byte that marks a key or a certificate as present.
constexpr size_t kSignatureCertificateStatus = 7;
constexpr size_t kExchangeCertificateStatus = 16;
// Certificate capacity bytes of the two slot entries in a new container's status record.
constexpr size_t kSignatureCapacityByte = 8;
constexpr size_t kExchangeCapacityByte = 17;
// Last error when the card gives no randomness while a container is opened.
constexpr DWORD kOpenChallengeFailed = 0x20000001;

// Verify contexts carry any bit of CRYPT_VERIFYCONTEXT; the machine keyset CRYPT_MACHINE_KEYSET.
inline bool IsVerifyContext(DWORD dwFlags) { return (dwFlags & CRYPT_VERIFYCONTEXT) != 0; }
inline bool IsMachineKeyset(DWORD dwFlags) { return (dwFlags & CRYPT_MACHINE_KEYSET) != 0; }

// "MorvaCSP-" + the first 36 characters of `name` into out[kContainerSubkeySize].
void ContainerSubkeyName(const char* name, char* out);

// The keys root of the keyset, opened for all access; null with *error (when given) set to
// NTE_BAD_KEYSET when it cannot be opened.
HKEY Reg_OpenKeysRoot(bool machine, LONG* error);
// Whether the container's subkey holds the four values as Reg_WriteContainerValues would write
// them (a RandSeed of 20 bytes counts, whatever its bytes): 0 (and *marker, when given, the key
// value read, closed), ERROR_MORE_DATA when one is missing or differs, or the registry's error
// when the keys cannot be read at all (ERROR_BADDB for a malformed file).
LONG Reg_ContainerValuesState(const ContainerCTX* container, bool machine, HKEY* marker);
// Creates or opens the container's subkey and writes RandSeed, SigTypeSubtype, ExchTypeSubtype
// and PSKEYS (all REG_BINARY), unless they are stored already (then nothing is written); on
// success sets container->RegKey. 0 or the registry error; a subkey it made and could not fill
// is removed again.
LONG Reg_WriteContainerValues(ContainerCTX* container, bool machine);
// Removes the container's subkey from the keys root. 0 or the registry error.
LONG Reg_DeleteContainerValues(const char* name, bool machine);
// 2 on the Windows 9x family, 1 on NT, 0 otherwise (from GetVersionExA).
DWORD GetPlatformKind();

// Each returns 0 or a nonzero code and sets the last error on failure. A null name or a null
// handle pointer: ERROR_INVALID_PARAMETER. Names are cut to 36 characters.
DWORD Morva_Default_CreateContainer(const char* name, DWORD dwFlags, uint64_t* CHnd);
DWORD Morva_Default_OpenContainer(const char* name, DWORD dwFlags, uint64_t* CHnd);
// Deletes the container from the card and the registry; the context and handle stay alive.
DWORD Morva_Default_DeleteContainer(uint64_t CHnd);
// Releases the container context and its handle; an empty card container is dropped from the
// card, and a registered container's subkey is removed.
DWORD Morva_Default_CloseContainer(uint64_t CHnd);
// Reads the card's container names into prov->ContainerNames / ContainerCount.
DWORD Prov_ReadContainerNames(ProvCTX* prov);

// The name used when a caller names no container: the card's first container (machine
// keyset; needs the card session), the user's name (user keyset), else "DefaultKey"; at most
// 36 characters.
std::string DefaultContainerName(DWORD dwFlags);

}  // namespace kelm::core
