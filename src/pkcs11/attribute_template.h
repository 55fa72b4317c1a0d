// Attribute templates as callers hand them over: checked against the attributes an operation
// understands (type, size, value) and copied, so that nothing the caller changes later reaches
// the card; and attribute values written back into a caller's template with the size queries
// and short buffers of C_GetAttributeValue.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "pkcs11/cryptoki.h"

namespace kelm::pkcs11 {

enum class ValueKind { Bool, Ulong, Bytes };

// An attribute an operation understands: its type, the kind of its value and, for bytes, the
// longest value accepted.
struct AttributeRule {
    CK_ATTRIBUTE_TYPE Type;
    ValueKind Kind;
    size_t MaxLength = 0;
};

// A checked template: each attribute once, its value copied.
struct Template {
    std::vector<std::pair<CK_ATTRIBUTE_TYPE, std::vector<BYTE>>> Values;

    const std::vector<BYTE>* Find(CK_ATTRIBUTE_TYPE type) const;
    // The value of a Bool or Ulong attribute, when the template has it.
    std::optional<bool> Bool(CK_ATTRIBUTE_TYPE type) const;
    std::optional<CK_ULONG> Ulong(CK_ATTRIBUTE_TYPE type) const;
};

// Checks and copies `count` attributes. CKR_ARGUMENTS_BAD for a null template with attributes;
// CKR_ATTRIBUTE_TYPE_INVALID for a type no rule names; CKR_TEMPLATE_INCONSISTENT for a type
// given twice; CKR_ATTRIBUTE_VALUE_INVALID for a null value with a length, a CK_BBOOL that is not
// one byte of CK_TRUE or CK_FALSE, a CK_ULONG of another size, or bytes longer than the rule's
// maximum.
CK_RV ParseTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count, std::span<const AttributeRule> rules,
                    Template* out);

// A search template: any type, each value copied (at most kMaxSearchValue bytes; a longer one
// can match nothing the card holds and makes the search find nothing). CKR_ARGUMENTS_BAD for a
// null template with attributes or a null value with a length.
constexpr size_t kMaxSearchValue = 4096;
CK_RV ParseSearchTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count, Template* out, bool* matches_nothing);

// What an object answers for one attribute.
struct AttributeAnswer {
    CK_RV Status;                // CKR_OK, CKR_ATTRIBUTE_SENSITIVE or CKR_ATTRIBUTE_TYPE_INVALID
    std::vector<BYTE> Value;     // when CKR_OK
};

// Writes one answer into the caller's attribute as C_GetAttributeValue does: a null pValue gets
// the length; a buffer at least that long gets the value and the length; a shorter one, a
// sensitive or an unknown attribute gets CK_UNAVAILABLE_INFORMATION. Returns CKR_OK,
// CKR_BUFFER_TOO_SMALL, CKR_ATTRIBUTE_SENSITIVE or CKR_ATTRIBUTE_TYPE_INVALID.
CK_RV WriteAttribute(CK_ATTRIBUTE& attribute, const AttributeAnswer& answer);

// Values as PKCS #11 lays them out in memory.
std::vector<BYTE> BoolValue(bool value);
std::vector<BYTE> UlongValue(CK_ULONG value);

}  // namespace kelm::pkcs11
