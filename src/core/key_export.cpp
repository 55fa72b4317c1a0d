#include "core/key_export.h"

#include <array>
#include <cstring>

#include "card/apdu_transport.h"
#include "card/card_files.h"
#include "card/rsa_operations.h"
#include "core/context_records.h"
#include "core/new_keys.h"
#include "core/user_keys.h"
#include "kelm/winapi.h"

namespace kelm::core {
namespace {

// The BLOB layouts (little-endian) are new_keys.h's, shared with import.
constexpr DWORD kSimpleBlobHeader = kSimpleBlobHeaderSize;
constexpr DWORD kPublicKeyBlobHeader = kPublicKeyBlobHeaderSize;
constexpr size_t kPublicKeyCode = 8;

constexpr const char* kProviderKey = "SOFTWARE\\VESK\\ROSMAC10";

void PutDword(BYTE* at, DWORD value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<BYTE>(value >> (8 * i));
    }
}

void PutBlobHeader(BYTE* out, BYTE type, ALG_ID algid) {
    out[0] = type;
    out[1] = CUR_BLOB_VERSION;
    out[2] = out[3] = 0;
    PutDword(out + 4, algid);
}

// The size step shared by both types: the size is reported in every case, and out null or a
// short buffer stop here.
enum class Room { Enough, SizeOnly, TooSmall };
Room SizeStep(DWORD size, const BYTE* out, DWORD* length) {
    const DWORD stated = *length;
    *length = size;
    if (out == nullptr) {
        return Room::SizeOnly;
    }
    return stated < size ? Room::TooSmall : Room::Enough;
}

// The card's public-key code and type, kept for the enrolment tools that read them. Nothing
// in the provider reads them back, and a registry that refuses them changes nothing here.
void RecordPublicKeyCode(const BYTE* code, DWORD card_type) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kProviderKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, &key, &disposition) != ERROR_SUCCESS) {
        return;
    }
    RegSetValueExA(key, "PKMac", 0, REG_BINARY, code, kPublicKeyCode);
    RegSetValueExA(key, "CardType", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&card_type), sizeof card_type);
    RegCloseKey(key);
}

DWORD ExportPublicKey(const ProvCTX* prov, const KeyCTX* key, BYTE* out, DWORD* length) {
    if (!KeyBelongsTo(key, prov->ContainerName)) {
        return static_cast<DWORD>(NTE_BAD_KEYSET);
    }
    KeySlot slot{};
    if (key->Algid != CALG_RSA_SIGN && key->Algid != CALG_RSA_KEYX) {
        return static_cast<DWORD>(NTE_BAD_KEY);
    }
    KeySlotOf(key->Algid, &slot);
    const DWORD modulus_length = key->KeyLen / 8;
    switch (SizeStep(modulus_length + kPublicKeyBlobHeader, out, length)) {
    case Room::SizeOnly: return 0;
    case Room::TooSmall: return ERROR_MORE_DATA;
    case Room::Enough: break;
    }
    PutBlobHeader(out, PUBLICKEYBLOB, key->Algid);
    PutDword(out + 8, kRsaPublicMagic);
    PutDword(out + 12, key->KeyLen);
    card::CardConversation conversation(std::defer_lock);
    if (const DWORD pin = Key_EnsurePin(prov->dwFlags, conversation); pin != 0) {
        return pin;
    }
    std::array<BYTE, card::kPublicKeyRecordMax> record{};
    DWORD record_length = modulus_length;
    const DWORD status =
        card::Card_GetRSAPublicKey(key->ContainerName, slot.Slot, &record_length, record.data(), record.size());
    if (!card::Card_StatusSucceeded(status)) {
        return status;
    }
    card::PublicKeyParts parts{};
    // The card's modulus must be the length the key's status announced, or it would not fit
    // the BLOB sized from it.
    if (!card::SplitPublicKeyRecord(record.data(), record_length, &parts) || parts.modulus_length != modulus_length) {
        return static_cast<DWORD>(NTE_BAD_KEY);
    }
    BYTE* modulus = out + kPublicKeyBlobHeader;
    std::memcpy(modulus, parts.modulus, modulus_length);
    SwitchHiLo(modulus, modulus_length);
    // pubexp holds four bytes; an exponent of none exports as 0.
    if (parts.exponent_length > sizeof(DWORD)) {
        return static_cast<DWORD>(NTE_BAD_KEY);
    }
    DWORD exponent = 0;
    for (size_t i = 0; i < parts.exponent_length; ++i) {
        exponent = exponent << 8 | parts.exponent[i];
    }
    PutDword(out + 16, exponent);
    const DWORD card_type = card::Card_GetCardType();
    const size_t code_at = static_cast<size_t>(parts.exponent - record.data()) + parts.exponent_length;
    if ((card_type == 1 || card_type == 5) && code_at + kPublicKeyCode <= record_length) {
        RecordPublicKeyCode(record.data() + code_at, card_type);
    }
    return 0;
}

DWORD ExportWrappedKey(const ProvCTX* prov, const KeyCTX* key, const KeyCTX* wrapping, BYTE* out, DWORD* length) {
    if ((key->Permissions & CRYPT_EXPORT) == 0) {
        return static_cast<DWORD>(NTE_BAD_KEY_STATE);
    }
    if (wrapping == nullptr || wrapping->Algid != CALG_RSA_KEYX) {
        return static_cast<DWORD>(NTE_BAD_KEY);
    }
    if (!KeyBelongsTo(wrapping, prov->ContainerName)) {
        return static_cast<DWORD>(NTE_BAD_KEYSET);
    }
    const DWORD block_length = wrapping->KeyLen / 8;
    switch (SizeStep(block_length + kSimpleBlobHeader, out, length)) {
    case Room::SizeOnly: return 0;
    case Room::TooSmall: return ERROR_MORE_DATA;
    case Room::Enough: break;
    }
    // Only session keys have bytes to wrap (an RSA key made exportable has none here).
    const DWORD key_bytes = key->KeyLen / 8;
    if (key->KeyData == nullptr || key_bytes > key->KeyDataSize) {
        return static_cast<DWORD>(NTE_BAD_KEY);
    }
    PutBlobHeader(out, SIMPLEBLOB, key->Algid);
    PutDword(out + 8, CALG_RSA_KEYX);
    std::array<BYTE, card::kRsaBlock1024> wrapped{};
    DWORD wrapped_length = key_bytes;
    if (card::RSA_CardEncrypt(wrapping->ContainerName, CALG_RSA_KEYX, &wrapped_length, key->KeyData,
                              wrapped.data()) != 0) {
        return GetLastError();
    }
    // The card's public operation answers one 128-byte block; an exchange key of another length
    // cannot wrap here.
    if (wrapped_length != block_length) {
        return static_cast<DWORD>(NTE_BAD_DATA);
    }
    std::memcpy(out + kSimpleBlobHeader, wrapped.data(), wrapped_length);
    return 0;
}

}  // namespace

DWORD Key_Export(const ProvCTX* prov, const KeyCTX* key, const KeyCTX* wrapping, DWORD blob_type, BYTE* out,
                 DWORD* length) {
    switch (blob_type) {
    case PUBLICKEYBLOB: return ExportPublicKey(prov, key, out, length);
    case SIMPLEBLOB: return ExportWrappedKey(prov, key, wrapping, out, length);
    default: return static_cast<DWORD>(NTE_BAD_TYPE);  // PRIVATEKEYBLOB included: private keys stay on the card
    }
}

}  // namespace kelm::core
