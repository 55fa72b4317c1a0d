// Key pairs generated on the card (CKM_RSA_PKCS_KEY_PAIR_GEN), of the size the card makes, in a
// container the label names (made when the card does not hold it yet) or in a new one. The
// label's ":signature" or ":exchange" names the key; without it, a key asked to decrypt or
// unwrap is the exchange key and any other the signature key.
#include <algorithm>
#include <cstring>

#include "card/apdu_transport.h"
#include "card/card_files.h"
#include "card/card_inventory.h"
#include "card/key_generation.h"
#include "pkcs11/attribute_template.h"
#include "pkcs11/entry_points.h"
#include "pkcs11/object_attributes.h"
#include "pkcs11/objects.h"
#include "pkcs11/token_card.h"

namespace kelm::pkcs11 {
namespace {

constexpr size_t kMaxText = 256;
constexpr size_t kMaxDate = 8;
constexpr BYTE kCardExponent[] = {0x01, 0x00, 0x01};  // the card's keys have e = 65537

// Attributes either template may carry besides those of its own kind; the ones the card cannot
// keep (CKA_ID, CKA_SUBJECT, dates, usage flags) are accepted and have no effect.
constexpr AttributeRule kPublicRules[] = {
    {CKA_CLASS, ValueKind::Ulong},       {CKA_KEY_TYPE, ValueKind::Ulong},
    {CKA_TOKEN, ValueKind::Bool},        {CKA_PRIVATE, ValueKind::Bool},
    {CKA_MODIFIABLE, ValueKind::Bool},   {CKA_COPYABLE, ValueKind::Bool},
    {CKA_DESTROYABLE, ValueKind::Bool},  {CKA_LABEL, ValueKind::Bytes, kMaxText},
    {CKA_ID, ValueKind::Bytes, kMaxText}, {CKA_SUBJECT, ValueKind::Bytes, 4 * kMaxText},
    {CKA_START_DATE, ValueKind::Bytes, kMaxDate}, {CKA_END_DATE, ValueKind::Bytes, kMaxDate},
    {CKA_DERIVE, ValueKind::Bool},       {CKA_ENCRYPT, ValueKind::Bool},
    {CKA_VERIFY, ValueKind::Bool},       {CKA_VERIFY_RECOVER, ValueKind::Bool},
    {CKA_WRAP, ValueKind::Bool},         {CKA_TRUSTED, ValueKind::Bool},
    {CKA_MODULUS_BITS, ValueKind::Ulong}, {CKA_PUBLIC_EXPONENT, ValueKind::Bytes, 8},
};
constexpr AttributeRule kPrivateRules[] = {
    {CKA_CLASS, ValueKind::Ulong},       {CKA_KEY_TYPE, ValueKind::Ulong},
    {CKA_TOKEN, ValueKind::Bool},        {CKA_PRIVATE, ValueKind::Bool},
    {CKA_MODIFIABLE, ValueKind::Bool},   {CKA_COPYABLE, ValueKind::Bool},
    {CKA_DESTROYABLE, ValueKind::Bool},  {CKA_LABEL, ValueKind::Bytes, kMaxText},
    {CKA_ID, ValueKind::Bytes, kMaxText}, {CKA_SUBJECT, ValueKind::Bytes, 4 * kMaxText},
    {CKA_START_DATE, ValueKind::Bytes, kMaxDate}, {CKA_END_DATE, ValueKind::Bytes, kMaxDate},
    {CKA_DERIVE, ValueKind::Bool},       {CKA_SENSITIVE, ValueKind::Bool},
    {CKA_EXTRACTABLE, ValueKind::Bool},  {CKA_DECRYPT, ValueKind::Bool},
    {CKA_UNWRAP, ValueKind::Bool},       {CKA_SIGN, ValueKind::Bool},
    {CKA_SIGN_RECOVER, ValueKind::Bool}, {CKA_ALWAYS_AUTHENTICATE, ValueKind::Bool},
    {CKA_WRAP_WITH_TRUSTED, ValueKind::Bool},
};

bool Is(const Template& attributes, CK_ATTRIBUTE_TYPE type, bool value) {
    const std::optional<bool> given = attributes.Bool(type);
    return given.has_value() && *given == value;
}

// What the templates ask for that the card cannot do: CKR_ATTRIBUTE_VALUE_INVALID; a template
// of another class or key type: CKR_TEMPLATE_INCONSISTENT.
CK_RV CheckTemplates(const Template& public_key, const Template& private_key) {
    const std::optional<CK_ULONG> public_class = public_key.Ulong(CKA_CLASS);
    const std::optional<CK_ULONG> private_class = private_key.Ulong(CKA_CLASS);
    const std::optional<CK_ULONG> public_type = public_key.Ulong(CKA_KEY_TYPE);
    const std::optional<CK_ULONG> private_type = private_key.Ulong(CKA_KEY_TYPE);
    if ((public_class && *public_class != CKO_PUBLIC_KEY) || (private_class && *private_class != CKO_PRIVATE_KEY) ||
        (public_type && *public_type != CKK_RSA) || (private_type && *private_type != CKK_RSA)) {
        return CKR_TEMPLATE_INCONSISTENT;
    }
    // Token objects only; the private key is private, sensitive and stays on the card.
    if (Is(public_key, CKA_TOKEN, false) || Is(private_key, CKA_TOKEN, false) || Is(public_key, CKA_PRIVATE, true) ||
        Is(private_key, CKA_PRIVATE, false) || Is(private_key, CKA_SENSITIVE, false) ||
        Is(private_key, CKA_EXTRACTABLE, true) || Is(private_key, CKA_ALWAYS_AUTHENTICATE, true)) {
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    if (const std::vector<BYTE>* exponent = public_key.Find(CKA_PUBLIC_EXPONENT)) {
        const std::vector<BYTE> expected(std::begin(kCardExponent), std::end(kCardExponent));
        const auto first = std::find_if(exponent->begin(), exponent->end(), [](BYTE b) { return b != 0; });
        if (!std::equal(first, exponent->end(), expected.begin(), expected.end())) {
            return CKR_ATTRIBUTE_VALUE_INVALID;
        }
    }
    return public_key.Ulong(CKA_MODULUS_BITS).has_value() ? CKR_OK : CKR_TEMPLATE_INCOMPLETE;
}

// The container and slot the templates name. CKR_TEMPLATE_INCONSISTENT for two different labels;
// CKR_ATTRIBUTE_VALUE_INVALID for a name the card cannot hold (empty, longer than 36 bytes, or
// with a NUL byte).
CK_RV ChooseKey(const Template& public_key, const Template& private_key, const Token& token, std::string* container,
                BYTE* slot) {
    const std::vector<BYTE>* public_label = public_key.Find(CKA_LABEL);
    const std::vector<BYTE>* private_label = private_key.Find(CKA_LABEL);
    if (public_label != nullptr && private_label != nullptr && *public_label != *private_label) {
        return CKR_TEMPLATE_INCONSISTENT;
    }
    const std::vector<BYTE>* label = private_label != nullptr ? private_label : public_label;
    *slot = Is(private_key, CKA_DECRYPT, true) || Is(private_key, CKA_UNWRAP, true) ? card::SLOT_EXCHANGE
                                                                                     : card::SLOT_SIGNATURE;
    if (label == nullptr) {
        // A new container: the first free name of key1, key2, ...
        for (int n = 1;; ++n) {
            *container = "key" + std::to_string(n);
            if (std::find(token.Containers.begin(), token.Containers.end(), *container) == token.Containers.end()) {
                return CKR_OK;
            }
        }
    }
    std::string name(label->begin(), label->end());
    for (const auto& [suffix, named_slot] :
         {std::pair{std::string(kSignatureSuffix), card::SLOT_SIGNATURE}, {std::string(kExchangeSuffix), card::SLOT_EXCHANGE}}) {
        if (name.size() > suffix.size() && name.ends_with(suffix)) {
            name.resize(name.size() - suffix.size());
            *slot = named_slot;
            break;
        }
    }
    if (name.empty() || name.size() > card::kContainerNameBytes || name.find('\0') != std::string::npos) {
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    *container = name;
    return CKR_OK;
}

}  // namespace

CK_RV GenerateKeyPair(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism, CK_ATTRIBUTE_PTR public_template,
                      CK_ULONG public_count, CK_ATTRIBUTE_PTR private_template, CK_ULONG private_count,
                      CK_OBJECT_HANDLE_PTR public_handle, CK_OBJECT_HANDLE_PTR private_handle) {
    EntryLock lock(true);
    Session* session = nullptr;
    Token* token = nullptr;
    CK_RV rv = FindSession(handle, &session, &token);
    if (rv != CKR_OK) {
        return rv;
    }
    if (mechanism == nullptr || public_handle == nullptr || private_handle == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    if (mechanism->mechanism != CKM_RSA_PKCS_KEY_PAIR_GEN) {
        return CKR_MECHANISM_INVALID;
    }
    if (mechanism->pParameter != nullptr || mechanism->ulParameterLen != 0) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    Template public_key;
    Template private_key;
    rv = ParseTemplate(public_template, public_count, kPublicRules, &public_key);
    if (rv == CKR_OK) {
        rv = ParseTemplate(private_template, private_count, kPrivateRules, &private_key);
    }
    if (rv == CKR_OK) {
        rv = CheckTemplates(public_key, private_key);
    }
    if (rv != CKR_OK) {
        return rv;
    }
    if ((session->Flags & CKF_RW_SESSION) == 0) {
        return CKR_SESSION_READ_ONLY;
    }
    if (!LoginHolds(*token)) {
        return CKR_USER_NOT_LOGGED_IN;
    }
    rv = ReadKeys(*token);
    std::string container;
    BYTE slot = 0;
    if (rv == CKR_OK) {
        rv = ChooseKey(public_key, private_key, *token, &container, &slot);
    }
    if (rv != CKR_OK) {
        return rv;
    }
    const CardKey* existing = FindKey(*token, container, slot);
    if (existing != nullptr && existing->Where.HasKey) {
        return CKR_ATTRIBUTE_VALUE_INVALID;  // the slot holds a key: destroy it first
    }
    DWORD bits = 0;
    rv = CardWork(*token, Work::NeedsLogin, [&] { return card::Card_NewKeyBits(container.c_str(), slot, &bits); });
    if (rv != CKR_OK) {
        return rv;
    }
    if (*public_key.Ulong(CKA_MODULUS_BITS) != bits) {
        return CKR_KEY_SIZE_RANGE;  // the card makes keys of its key file's size only
    }
    const bool new_container =
        std::find(token->Containers.begin(), token->Containers.end(), container) == token->Containers.end();
    rv = CardWork(*token, Work::NeedsLogin, [&] {
        DWORD status = new_container ? card::Card_CreateContainer(container.c_str(), nullptr, 0) : 0;
        if (!card::Card_StatusSucceeded(status)) {
            return status;
        }
        BYTE container_status[card::kContainerStatusBytes] = {};
        status = card::Card_GenerateRSAKey(container.c_str(), slot, 0, container_status);
        if (!card::Card_StatusSucceeded(status) && new_container) {
            card::Card_DeleteContainer(container.c_str());  // nothing half made stays behind
        }
        return status;
    });
    ForgetKeys(*token);
    if (rv != CKR_OK) {
        return rv;
    }
    rv = ReadKeys(*token);
    if (rv != CKR_OK) {
        return rv;
    }
    const CardKey* made = FindKey(*token, container, slot);
    if (made == nullptr || !made->Where.HasKey) {
        return CKR_DEVICE_ERROR;
    }
    *public_handle = HandleOf(State(), {token->Id, container, slot, ObjectKind::PublicKey});
    *private_handle = HandleOf(State(), {token->Id, container, slot, ObjectKind::PrivateKey});
    return CKR_OK;
}

}  // namespace kelm::pkcs11
