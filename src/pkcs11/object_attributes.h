// The attributes of the three objects every key slot of a container shows: the private key
// (private, sensitive, never extractable; it signs, and the exchange key decrypts too), the
// public key (modulus and exponent from the card's public-key record) and the certificate the
// card keeps for the slot. The three share CKA_ID; CKA_LABEL names the container and the key's
// kind ("alice:signature", "alice:exchange").
#pragma once

#include <string>
#include <vector>

#include "pkcs11/attribute_template.h"
#include "pkcs11/module.h"

namespace kelm::pkcs11 {

constexpr char kSignatureSuffix[] = ":signature";
constexpr char kExchangeSuffix[] = ":exchange";

std::vector<BYTE> ObjectId(const std::string& container, BYTE slot);
std::string ObjectLabel(const std::string& container, BYTE slot);

bool IsPrivateObject(ObjectKind kind);

// What must be read from the card before AttributeValue can answer for `type`.
struct AttributeNeeds {
    bool PublicKey = false;
    bool Certificate = false;
};
AttributeNeeds NeedsOf(ObjectKind kind, const CardKey& key, CK_ATTRIBUTE_TYPE type);

// The attribute of the object, from what is read of its key (NeedsOf says what must be).
AttributeAnswer AttributeValue(ObjectKind kind, const CardKey& key, CK_ATTRIBUTE_TYPE type);

}  // namespace kelm::pkcs11
