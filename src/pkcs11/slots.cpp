// Slots and tokens: a slot for every PC/SC reader (or only the reader "sReaderName" names), a
// token in it when a supported card is there; what the card says about itself and its PIN; and
// the mechanisms the card's keys serve.
#include <algorithm>
#include <cstring>

#include "card/card_files.h"
#include "card/pin_verify.h"
#include "card/reader_access.h"
#include "pkcs11/entry_points.h"
#include "pkcs11/module.h"
#include "pkcs11/token_card.h"

namespace kelm::pkcs11 {
namespace {

constexpr char kManufacturer[] = "KELM";
constexpr char kTokenLabel[] = "KELM card";
constexpr DWORD kPinTries = 3;  // the card's try counter when full
constexpr CK_ULONG kMinPinLength = 6;
constexpr DWORD kPinLocked = 0x6620;
constexpr DWORD kWrongPinClass = 0x63C0;

// Takes the reader list anew; a reader seen before keeps its slot number.
void ListReaders(Module& module) {
    std::vector<std::string> readers;
    card::Card_ListReaderNames(&readers);  // none (or no service) leaves the list empty
    const std::string configured = card::Card_ConfiguredReader();
    if (!configured.empty()) {
        const bool attached = std::find(readers.begin(), readers.end(), configured) != readers.end();
        readers = attached ? std::vector<std::string>{configured} : std::vector<std::string>{};
    }
    for (auto& [id, token] : module.Tokens) {
        token.Listed = std::find(readers.begin(), readers.end(), token.Reader) != readers.end();
    }
    for (const std::string& reader : readers) {
        const bool known = std::any_of(module.Tokens.begin(), module.Tokens.end(),
                                       [&](const auto& entry) { return entry.second.Reader == reader; });
        if (!known) {
            Token token;
            token.Id = module.NextSlot++;
            token.Reader = reader;
            module.Tokens.emplace(token.Id, std::move(token));
        }
    }
}

// The slot's token, or CKR_SLOT_ID_INVALID (also for a reader that has gone away).
CK_RV FindSlot(CK_SLOT_ID slot, Token** token) {
    Module* module = Initialized();
    if (module == nullptr) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    const auto found = module->Tokens.find(slot);
    if (found == module->Tokens.end() || !found->second.Listed) {
        return CKR_SLOT_ID_INVALID;
    }
    *token = &found->second;
    return CKR_OK;
}

CK_FLAGS PinFlags(DWORD pin_state) {
    if (pin_state == kPinLocked) {
        return CKF_USER_PIN_LOCKED;
    }
    if ((pin_state & 0xFFF0) != kWrongPinClass) {
        return 0;  // verified, or nothing to tell
    }
    const DWORD left = pin_state & 0x0F;
    if (left == 0) {
        return CKF_USER_PIN_LOCKED;
    }
    CK_FLAGS flags = left < kPinTries ? CKF_USER_PIN_COUNT_LOW : 0;
    return left == 1 ? flags | CKF_USER_PIN_FINAL_TRY : flags;
}

// Key sizes by card type: 2048 bits on type 6, 1024 or 2048 on type 5, 1024 elsewhere.
CK_ULONG MinKeyBits(DWORD card_type) { return card_type == 6 ? 2048 : 1024; }
CK_ULONG MaxKeyBits(DWORD card_type) { return card_type == 5 || card_type == 6 ? 2048 : 1024; }

struct MechanismEntry {
    CK_MECHANISM_TYPE Type;
    CK_FLAGS Flags;
};
constexpr MechanismEntry kMechanisms[] = {
    {CKM_RSA_PKCS_KEY_PAIR_GEN, CKF_HW | CKF_GENERATE_KEY_PAIR},
    {CKM_RSA_PKCS, CKF_HW | CKF_SIGN | CKF_DECRYPT},
    {CKM_MD5_RSA_PKCS, CKF_HW | CKF_SIGN},
    {CKM_SHA1_RSA_PKCS, CKF_HW | CKF_SIGN},
    {CKM_SHA256_RSA_PKCS, CKF_HW | CKF_SIGN},
};

}  // namespace

CK_RV GetSlotList(CK_BBOOL token_present, CK_SLOT_ID_PTR slots, CK_ULONG_PTR count) {
    EntryLock lock(true);
    Module* module = Initialized();
    if (module == nullptr) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    if (count == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    // The list is taken anew when the caller asks for its length, so that the call with a buffer
    // that follows sees the same list.
    if (slots == nullptr || module->Tokens.empty()) {
        ListReaders(*module);
    }
    std::vector<CK_SLOT_ID> listed;
    for (auto& [id, token] : module->Tokens) {
        TokenFacts facts;
        if (token.Listed && (token_present == CK_FALSE || ExamineToken(token, &facts))) {
            listed.push_back(id);
        }
    }
    const CK_ULONG room = *count;
    *count = listed.size();
    if (slots == nullptr) {
        return CKR_OK;
    }
    if (room < listed.size()) {
        return CKR_BUFFER_TOO_SMALL;
    }
    std::copy(listed.begin(), listed.end(), slots);
    return CKR_OK;
}

CK_RV GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
    EntryLock lock(true);
    Token* token = nullptr;
    const CK_RV rv = FindSlot(slot, &token);
    if (rv != CKR_OK) {
        return rv;
    }
    if (info == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    std::memset(info, 0, sizeof *info);
    PadText(info->slotDescription, sizeof info->slotDescription, token->Reader);
    PadText(info->manufacturerID, sizeof info->manufacturerID, kManufacturer);
    TokenFacts facts;
    info->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (ExamineToken(*token, &facts) ? CKF_TOKEN_PRESENT : 0);
    return CKR_OK;
}

CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    EntryLock lock(true);
    Token* token = nullptr;
    const CK_RV rv = FindSlot(slot, &token);
    if (rv != CKR_OK) {
        return rv;
    }
    if (info == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    TokenFacts facts;
    if (!ExamineToken(*token, &facts)) {
        return CKR_TOKEN_NOT_PRESENT;
    }
    std::memset(info, 0, sizeof *info);
    PadText(info->label, sizeof info->label, kTokenLabel);
    PadText(info->manufacturerID, sizeof info->manufacturerID, kManufacturer);
    PadText(info->model, sizeof info->model, "card type " + std::to_string(facts.CardType));
    PadText(info->serialNumber, sizeof info->serialNumber, "");  // the card tells none
    info->flags = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED |
                  PinFlags(facts.PinState) | (facts.PinPad ? CKF_PROTECTED_AUTHENTICATION_PATH : 0);
    CK_ULONG sessions = 0;
    CK_ULONG rw_sessions = 0;
    for (const auto& [handle, session] : State().Sessions) {
        if (session->Slot == slot) {
            ++sessions;
            rw_sessions += (session->Flags & CKF_RW_SESSION) != 0 ? 1 : 0;
        }
    }
    info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
    info->ulSessionCount = sessions;
    info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
    info->ulRwSessionCount = rw_sessions;
    info->ulMaxPinLen = card::kPinMaxLength;
    info->ulMinPinLen = kMinPinLength;
    info->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info->hardwareVersion = {0, 0};  // the card tells no versions
    info->firmwareVersion = {0, 0};
    PadText(info->utcTime, sizeof info->utcTime, "");  // the card has no clock
    return CKR_OK;
}

CK_RV GetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR mechanisms, CK_ULONG_PTR count) {
    EntryLock lock(true);
    Token* token = nullptr;
    const CK_RV rv = FindSlot(slot, &token);
    if (rv != CKR_OK) {
        return rv;
    }
    if (count == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    TokenFacts facts;
    if (!ExamineToken(*token, &facts)) {
        return CKR_TOKEN_NOT_PRESENT;
    }
    const CK_ULONG room = *count;
    *count = std::size(kMechanisms);
    if (mechanisms == nullptr) {
        return CKR_OK;
    }
    if (room < std::size(kMechanisms)) {
        return CKR_BUFFER_TOO_SMALL;
    }
    for (const MechanismEntry& entry : kMechanisms) {
        *mechanisms++ = entry.Type;
    }
    return CKR_OK;
}

CK_RV GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
    EntryLock lock(true);
    Token* token = nullptr;
    const CK_RV rv = FindSlot(slot, &token);
    if (rv != CKR_OK) {
        return rv;
    }
    if (info == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    TokenFacts facts;
    if (!ExamineToken(*token, &facts)) {
        return CKR_TOKEN_NOT_PRESENT;
    }
    for (const MechanismEntry& entry : kMechanisms) {
        if (entry.Type == type) {
            info->ulMinKeySize = MinKeyBits(facts.CardType);
            info->ulMaxKeySize = MaxKeyBits(facts.CardType);
            info->flags = entry.Flags;
            return CKR_OK;
        }
    }
    return CKR_MECHANISM_INVALID;
}

}  // namespace kelm::pkcs11
