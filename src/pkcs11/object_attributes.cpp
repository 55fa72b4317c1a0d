// Attribute values of the private key, public key and certificate objects.
#include "pkcs11/object_attributes.h"

#include <algorithm>

#include "card/card_files.h"
#include "crypto/hash_engine.h"
#include "pkcs11/certificate_fields.h"

namespace kelm::pkcs11 {
namespace {

constexpr size_t kCheckValueLength = 3;

AttributeAnswer Value(std::vector<BYTE> value) { return {CKR_OK, std::move(value)}; }
AttributeAnswer Bool(bool value) { return Value(BoolValue(value)); }
AttributeAnswer Ulong(CK_ULONG value) { return Value(UlongValue(value)); }
AttributeAnswer Text(const std::string& text) { return Value(std::vector<BYTE>(text.begin(), text.end())); }
AttributeAnswer Invalid() { return {CKR_ATTRIBUTE_TYPE_INVALID, {}}; }
AttributeAnswer Sensitive() { return {CKR_ATTRIBUTE_SENSITIVE, {}}; }

// Attributes every object has.
bool StorageAttribute(ObjectKind kind, const CardKey& key, CK_ATTRIBUTE_TYPE type, AttributeAnswer* answer) {
    const CK_OBJECT_CLASS classes[] = {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY, CKO_CERTIFICATE};
    switch (type) {
    case CKA_CLASS:
        *answer = Ulong(classes[static_cast<int>(kind)]);
        return true;
    case CKA_TOKEN:
        *answer = Bool(true);
        return true;
    case CKA_PRIVATE:
        *answer = Bool(IsPrivateObject(kind));
        return true;
    case CKA_MODIFIABLE:
    case CKA_COPYABLE:
        *answer = Bool(false);
        return true;
    case CKA_DESTROYABLE:
        *answer = Bool(kind == ObjectKind::PrivateKey);
        return true;
    case CKA_LABEL:
        *answer = Text(ObjectLabel(key.Where.Container, key.Where.Slot));
        return true;
    case CKA_ID:
        *answer = Value(ObjectId(key.Where.Container, key.Where.Slot));
        return true;
    case CKA_START_DATE:
    case CKA_END_DATE:
        *answer = Value({});
        return true;
    default:
        return false;
    }
}

std::vector<BYTE> CertificateSubject(const CardKey& key) {
    CertificateFields fields;
    if (key.Certificate.empty() || !ParseCertificate(key.Certificate.data(), key.Certificate.size(), &fields)) {
        return {};
    }
    return fields.Subject;
}

// Attributes both keys have.
bool KeyAttribute(const CardKey& key, CK_ATTRIBUTE_TYPE type, AttributeAnswer* answer) {
    switch (type) {
    case CKA_KEY_TYPE:
        *answer = Ulong(CKK_RSA);
        return true;
    case CKA_SUBJECT:
        *answer = Value(CertificateSubject(key));
        return true;
    case CKA_DERIVE:
        *answer = Bool(false);
        return true;
    case CKA_LOCAL:
        *answer = Bool(true);  // the card makes its keys; none comes from outside
        return true;
    case CKA_KEY_GEN_MECHANISM:
        *answer = Ulong(CKM_RSA_PKCS_KEY_PAIR_GEN);
        return true;
    case CKA_MODULUS:
        *answer = Value(key.Modulus);
        return true;
    case CKA_PUBLIC_EXPONENT:
        *answer = Value(key.Exponent);
        return true;
    default:
        return false;
    }
}

AttributeAnswer PrivateKeyAttribute(const CardKey& key, CK_ATTRIBUTE_TYPE type) {
    switch (type) {
    case CKA_SENSITIVE:
    case CKA_SIGN:
    case CKA_ALWAYS_SENSITIVE:
    case CKA_NEVER_EXTRACTABLE:
        return Bool(true);
    case CKA_DECRYPT:
        return Bool(key.Where.Slot == card::SLOT_EXCHANGE);
    case CKA_SIGN_RECOVER:
    case CKA_UNWRAP:
    case CKA_EXTRACTABLE:
    case CKA_WRAP_WITH_TRUSTED:
    case CKA_ALWAYS_AUTHENTICATE:
        return Bool(false);
    case CKA_PRIVATE_EXPONENT:
    case CKA_PRIME_1:
    case CKA_PRIME_2:
    case CKA_EXPONENT_1:
    case CKA_EXPONENT_2:
    case CKA_COEFFICIENT:
        return Sensitive();
    default:
        return Invalid();
    }
}

AttributeAnswer PublicKeyAttribute(const CardKey& key, CK_ATTRIBUTE_TYPE type) {
    switch (type) {
    case CKA_ENCRYPT:
    case CKA_VERIFY:
    case CKA_VERIFY_RECOVER:
    case CKA_WRAP:
    case CKA_TRUSTED:
        return Bool(false);  // the module does no public-key operations
    case CKA_MODULUS_BITS:
        return Ulong(key.Where.KeyBits);
    default:
        return Invalid();
    }
}

AttributeAnswer CertificateAttribute(const CardKey& key, CK_ATTRIBUTE_TYPE type) {
    switch (type) {
    case CKA_CERTIFICATE_TYPE:
        return Ulong(CKC_X_509);
    case CKA_TRUSTED:
        return Bool(false);
    case CKA_CERTIFICATE_CATEGORY:
    case CKA_JAVA_MIDP_SECURITY_DOMAIN:
        return Ulong(0);
    case CKA_URL:
    case CKA_HASH_OF_SUBJECT_PUBLIC_KEY:
    case CKA_HASH_OF_ISSUER_PUBLIC_KEY:
        return Value({});
    case CKA_VALUE:
        return Value(key.Certificate);
    case CKA_CHECK_VALUE: {
        BYTE digest[20] = {};
        crypto::SHA1_Digest(static_cast<DWORD>(key.Certificate.size()), key.Certificate.data(), digest);
        return Value(std::vector<BYTE>(digest, digest + kCheckValueLength));
    }
    default:
        break;
    }
    CertificateFields fields;
    const bool parsed = ParseCertificate(key.Certificate.data(), key.Certificate.size(), &fields);
    switch (type) {
    case CKA_SUBJECT:
        return Value(parsed ? fields.Subject : std::vector<BYTE>{});
    case CKA_ISSUER:
        return Value(parsed ? fields.Issuer : std::vector<BYTE>{});
    case CKA_SERIAL_NUMBER:
        return Value(parsed ? fields.SerialNumber : std::vector<BYTE>{});
    default:
        return Invalid();
    }
}

}  // namespace

std::vector<BYTE> ObjectId(const std::string& container, BYTE slot) {
    std::vector<BYTE> id(1 + container.size());
    id[0] = slot;
    std::copy(container.begin(), container.end(), id.begin() + 1);
    return id;
}

std::string ObjectLabel(const std::string& container, BYTE slot) {
    return container + (slot == card::SLOT_SIGNATURE ? kSignatureSuffix : kExchangeSuffix);
}

bool IsPrivateObject(ObjectKind kind) { return kind == ObjectKind::PrivateKey; }

AttributeNeeds NeedsOf(ObjectKind kind, const CardKey& key, CK_ATTRIBUTE_TYPE type) {
    AttributeNeeds needs;
    if (kind == ObjectKind::Certificate) {
        needs.Certificate = type == CKA_VALUE || type == CKA_CHECK_VALUE || type == CKA_SUBJECT ||
                            type == CKA_ISSUER || type == CKA_SERIAL_NUMBER;
    } else {
        needs.PublicKey = type == CKA_MODULUS || type == CKA_PUBLIC_EXPONENT;
        needs.Certificate = type == CKA_SUBJECT && key.Where.CertificateLength != 0;
    }
    return needs;
}

AttributeAnswer AttributeValue(ObjectKind kind, const CardKey& key, CK_ATTRIBUTE_TYPE type) {
    AttributeAnswer answer{};
    if (StorageAttribute(kind, key, type, &answer)) {
        return answer;
    }
    if (kind == ObjectKind::Certificate) {
        return CertificateAttribute(key, type);
    }
    if (KeyAttribute(key, type, &answer)) {
        return answer;
    }
    return kind == ObjectKind::PrivateKey ? PrivateKeyAttribute(key, type) : PublicKeyAttribute(key, type);
}

}  // namespace kelm::pkcs11
