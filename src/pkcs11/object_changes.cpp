// Objects made and destroyed as the card allows. A certificate is written into the key slot of
// the key it certifies (matched by modulus and exponent), replacing the one the card kept there;
// one that certifies no key on the card is refused. Destroying a private key erases the key pair
// (the card keeps the certificate, and a container left with nothing is removed); the card has
// no way to remove a certificate, nor a public key apart from its private key.
#include <algorithm>
#include <cstring>

#include "card/apdu_transport.h"
#include "card/card_files.h"
#include "card/certificate_der.h"
#include "card/reader_session.h"
#include "card/rsa_operations.h"
#include "core/contexts.h"
#include "core/key_params.h"
#include "pkcs11/attribute_template.h"
#include "pkcs11/certificate_fields.h"
#include "pkcs11/entry_points.h"
#include "pkcs11/objects.h"
#include "pkcs11/token_card.h"

namespace kelm::pkcs11 {
namespace {

constexpr size_t kMaxText = 256;
constexpr size_t kMaxDer = 64 * 1024;
constexpr size_t kMaxDate = 8;
constexpr DWORD kStagingCardType = 7;

// What a certificate template may carry. The card keeps the certificate's bytes only: the
// label, id, category and the like are accepted and have no effect; the DER fields, when given,
// must be the certificate's own.
constexpr AttributeRule kCertificateRules[] = {
    {CKA_CLASS, ValueKind::Ulong},
    {CKA_CERTIFICATE_TYPE, ValueKind::Ulong},
    {CKA_TOKEN, ValueKind::Bool},
    {CKA_PRIVATE, ValueKind::Bool},
    {CKA_MODIFIABLE, ValueKind::Bool},
    {CKA_COPYABLE, ValueKind::Bool},
    {CKA_DESTROYABLE, ValueKind::Bool},
    {CKA_TRUSTED, ValueKind::Bool},
    {CKA_CERTIFICATE_CATEGORY, ValueKind::Ulong},
    {CKA_JAVA_MIDP_SECURITY_DOMAIN, ValueKind::Ulong},
    {CKA_LABEL, ValueKind::Bytes, kMaxText},
    {CKA_ID, ValueKind::Bytes, kMaxText},
    {CKA_CHECK_VALUE, ValueKind::Bytes, 3},
    {CKA_START_DATE, ValueKind::Bytes, kMaxDate},
    {CKA_END_DATE, ValueKind::Bytes, kMaxDate},
    {CKA_URL, ValueKind::Bytes, kMaxText},
    {CKA_HASH_OF_SUBJECT_PUBLIC_KEY, ValueKind::Bytes, kMaxText},
    {CKA_HASH_OF_ISSUER_PUBLIC_KEY, ValueKind::Bytes, kMaxText},
    {CKA_SUBJECT, ValueKind::Bytes, kMaxDer},
    {CKA_ISSUER, ValueKind::Bytes, kMaxDer},
    {CKA_SERIAL_NUMBER, ValueKind::Bytes, kMaxDer},
    {CKA_VALUE, ValueKind::Bytes, kMaxDer},
};

bool Is(const Template& attributes, CK_ATTRIBUTE_TYPE type, bool value) {
    const std::optional<bool> given = attributes.Bool(type);
    return given.has_value() && *given == value;
}

bool Disagrees(const Template& attributes, CK_ATTRIBUTE_TYPE type, const std::vector<BYTE>& actual) {
    const std::vector<BYTE>* given = attributes.Find(type);
    return given != nullptr && *given != actual;
}

// The class a creation template asks for, found before the template is checked by its class's
// rules. CKR_TEMPLATE_INCOMPLETE without one.
CK_RV ClassOf(const CK_ATTRIBUTE* attributes, CK_ULONG count, CK_OBJECT_CLASS* object_class) {
    if (attributes == nullptr && count != 0) {
        return CKR_ARGUMENTS_BAD;
    }
    for (CK_ULONG i = 0; i < count; ++i) {
        if (attributes[i].type == CKA_CLASS) {
            if (attributes[i].pValue == nullptr || attributes[i].ulValueLen != sizeof(CK_OBJECT_CLASS)) {
                return CKR_ATTRIBUTE_VALUE_INVALID;
            }
            std::memcpy(object_class, attributes[i].pValue, sizeof *object_class);
            return CKR_OK;
        }
    }
    return CKR_TEMPLATE_INCOMPLETE;
}

// The certificate's bytes and fields, checked against what the template says and what the card
// can store.
CK_RV CheckCertificate(const Template& certificate, CertificateFields* fields) {
    const std::optional<CK_ULONG> type = certificate.Ulong(CKA_CERTIFICATE_TYPE);
    const std::vector<BYTE>* der = certificate.Find(CKA_VALUE);
    if (!type.has_value() || der == nullptr) {
        return CKR_TEMPLATE_INCOMPLETE;
    }
    // A token object, public and untrusted (trust is the security officer's, whom the card has
    // not); a template without CKA_TOKEN gets one too, since the card keeps nothing else.
    if (*type != CKC_X_509 || Is(certificate, CKA_TOKEN, false) || Is(certificate, CKA_PRIVATE, true) ||
        Is(certificate, CKA_TRUSTED, true)) {
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    // The whole value one certificate with an RSA key, whose validity dates the card can take
    // (it finds them past the version field, which a version 1 certificate lacks).
    BYTE validity[card::kValidityLong] = {};
    if (!ParseCertificate(der->data(), der->size(), fields) || fields->Length != der->size() ||
        fields->Modulus.empty() || card::Cert_GetValidity(der->data(), der->size(), validity, 1) != 0) {
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    if (Disagrees(certificate, CKA_SUBJECT, fields->Subject) || Disagrees(certificate, CKA_ISSUER, fields->Issuer) ||
        Disagrees(certificate, CKA_SERIAL_NUMBER, fields->SerialNumber)) {
        return CKR_TEMPLATE_INCONSISTENT;
    }
    return der->size() > core::kMaxKeyCertificate ? CKR_DEVICE_MEMORY : CKR_OK;
}

// The key the certificate certifies, by modulus and exponent; null when the card holds none.
CK_RV FindCertifiedKey(Token& token, const CertificateFields& fields, CardKey** found) {
    *found = nullptr;
    const std::vector<BYTE> modulus = WithoutLeadingZeros(fields.Modulus);
    const std::vector<BYTE> exponent = WithoutLeadingZeros(fields.Exponent);
    for (CardKey& key : token.Keys) {
        if (!key.Where.HasKey) {
            continue;
        }
        const CK_RV rv = ReadPublicKey(token, key);
        if (rv != CKR_OK) {
            return rv;
        }
        if (WithoutLeadingZeros(key.Modulus) == modulus && WithoutLeadingZeros(key.Exponent) == exponent) {
            *found = &key;
            return CKR_OK;
        }
    }
    return CKR_OK;
}

// The records the certificate functions take: the container with its status as the card
// holds it now, and a key object naming the slot.
struct CardRecords {
    core::ContainerCTX Container{};
    core::KeyCTX Key{};
    DWORD Open(const std::string& name, BYTE slot) {
        std::memcpy(Container.Name, name.data(), std::min(name.size(), card::kContainerNameBytes));
        std::memcpy(Key.ContainerName, name.data(), std::min(name.size(), sizeof Key.ContainerName));
        Key.Algid = slot == card::SLOT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX;
        const DWORD status = card::Card_OpenContainer(Container.Name, Container.Card_ContainerStatus);
        std::memcpy(Key.Card_ContainerStatus, Container.Card_ContainerStatus, sizeof Key.Card_ContainerStatus);
        return status;
    }
};

// Whether a container keeps nothing once the slot's key is erased: neither a certificate in
// that slot nor a key or certificate in the other (its status as read before the erasure).
bool NothingLeftWithout(const BYTE* status, BYTE erased_slot) {
    for (const BYTE slot : {card::SLOT_SIGNATURE, card::SLOT_EXCHANGE}) {
        const BYTE* entry = status + card::kSlotEntryOffset[slot];
        if ((slot != erased_slot && entry[1] == card::kSlotStatusUsed) || entry[7] != 0 || entry[8] != 0) {
            return false;
        }
    }
    return true;
}

CK_RV CreateCertificate(Token& token, const Template& certificate, const CertificateFields& fields,
                        CK_OBJECT_HANDLE* handle) {
    CK_RV rv = ReadKeys(token);
    CardKey* key = nullptr;
    if (rv == CKR_OK) {
        rv = FindCertifiedKey(token, fields, &key);
    }
    if (rv != CKR_OK) {
        return rv;
    }
    if (key == nullptr) {
        return CKR_ATTRIBUTE_VALUE_INVALID;  // it certifies no key on the card
    }
    // Card type 7 writes every certificate beside the container's signature key: one for an
    // exchange key would replace the signature key's.
    if (card::Session().CardType == kStagingCardType && key->Where.Slot == card::SLOT_EXCHANGE &&
        FindKey(token, key->Where.Container, card::SLOT_SIGNATURE) != nullptr) {
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    const std::string container = key->Where.Container;
    const BYTE slot = key->Where.Slot;
    const std::vector<BYTE>& der = *certificate.Find(CKA_VALUE);
    rv = CardWork(token, Work::Once, [&] {
        CardRecords records;
        const DWORD status = records.Open(container, slot);
        if (!card::Card_StatusSucceeded(status)) {
            return status;
        }
        const DWORD written = core::KeyCertificate_Write(&records.Key, &records.Container, der.data());
        // The certificate was checked: a refusal before the card is asked means the slot's file
        // has no room for it.
        return written == static_cast<DWORD>(NTE_FAIL) ? static_cast<DWORD>(NTE_NO_MEMORY) : written;
    });
    ForgetKeys(token);
    if (rv != CKR_OK) {
        return rv;
    }
    // The certificate the slot held before is gone: its handle stands for nothing any more.
    const ObjectRef object{token.Id, container, slot, ObjectKind::Certificate};
    ForgetHandle(State(), object);
    *handle = HandleOf(State(), object);
    return CKR_OK;
}

}  // namespace

CK_RV CreateObject(CK_SESSION_HANDLE handle, CK_ATTRIBUTE_PTR attributes, CK_ULONG count, CK_OBJECT_HANDLE_PTR object) {
    EntryLock lock(true);
    Session* session = nullptr;
    Token* token = nullptr;
    CK_RV rv = FindSession(handle, &session, &token);
    if (rv != CKR_OK) {
        return rv;
    }
    if (object == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    CK_OBJECT_CLASS object_class = 0;
    rv = ClassOf(attributes, count, &object_class);
    if (rv != CKR_OK) {
        return rv;
    }
    if (object_class != CKO_CERTIFICATE) {
        return CKR_ATTRIBUTE_VALUE_INVALID;  // keys are made on the card, never brought to it
    }
    Template certificate;
    CertificateFields fields;
    rv = ParseTemplate(attributes, count, kCertificateRules, &certificate);
    if (rv == CKR_OK) {
        rv = CheckCertificate(certificate, &fields);
    }
    if (rv != CKR_OK) {
        return rv;
    }
    if ((session->Flags & CKF_RW_SESSION) == 0) {
        return CKR_SESSION_READ_ONLY;
    }
    return CreateCertificate(*token, certificate, fields, object);
}

CK_RV DestroyObject(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object_handle) {
    EntryLock lock(true);
    Session* session = nullptr;
    Token* token = nullptr;
    CK_RV rv = FindSession(handle, &session, &token);
    if (rv != CKR_OK) {
        return rv;
    }
    ObjectRef object{};
    CardKey* key = nullptr;
    rv = ResolveObject(State(), *token, object_handle, &object, &key);
    if (rv != CKR_OK) {
        return rv;
    }
    if ((session->Flags & CKF_RW_SESSION) == 0) {
        return CKR_SESSION_READ_ONLY;
    }
    if (object.Kind != ObjectKind::PrivateKey) {
        return CKR_ACTION_PROHIBITED;
    }
    rv = CardWork(*token, Work::NeedsLogin, [&] {
        CardRecords records;
        DWORD status = records.Open(object.Container, object.KeySlot);
        if (!card::Card_StatusSucceeded(status)) {
            return status;
        }
        const bool nothing_left = NothingLeftWithout(records.Key.Card_ContainerStatus, object.KeySlot);
        status = card::Card_DeleteRSAKey(records.Container.Name, object.KeySlot, 0,
                                         records.Container.Card_ContainerStatus);
        if (card::Card_StatusSucceeded(status) && nothing_left) {
            status = card::Card_DeleteContainer(records.Container.Name);
        }
        return status;
    });
    ForgetKeys(*token);
    if (rv == CKR_OK) {
        ForgetHandle(State(), object);
        ForgetHandle(State(), {object.Slot, object.Container, object.KeySlot, ObjectKind::PublicKey});
    }
    return rv;
}

}  // namespace kelm::pkcs11
