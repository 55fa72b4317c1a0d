// Checking and copying templates; writing attribute values back.
#include "pkcs11/attribute_template.h"

#include <algorithm>
#include <cstring>

namespace kelm::pkcs11 {
namespace {

const AttributeRule* RuleFor(std::span<const AttributeRule> rules, CK_ATTRIBUTE_TYPE type) {
    for (const AttributeRule& rule : rules) {
        if (rule.Type == type) {
            return &rule;
        }
    }
    return nullptr;
}

bool ValueFits(const AttributeRule& rule, const CK_ATTRIBUTE& attribute) {
    switch (rule.Kind) {
    case ValueKind::Bool: {
        if (attribute.ulValueLen != sizeof(CK_BBOOL)) {
            return false;
        }
        const CK_BBOOL value = *static_cast<const CK_BBOOL*>(attribute.pValue);
        return value == CK_TRUE || value == CK_FALSE;
    }
    case ValueKind::Ulong:
        return attribute.ulValueLen == sizeof(CK_ULONG);
    case ValueKind::Bytes:
        return attribute.ulValueLen <= rule.MaxLength;
    }
    return false;
}

std::vector<BYTE> CopyValue(const CK_ATTRIBUTE& attribute) {
    if (attribute.ulValueLen == 0) {
        return {};
    }
    const BYTE* bytes = static_cast<const BYTE*>(attribute.pValue);
    return std::vector<BYTE>(bytes, bytes + attribute.ulValueLen);
}

}  // namespace

const std::vector<BYTE>* Template::Find(CK_ATTRIBUTE_TYPE type) const {
    for (const auto& [listed, value] : Values) {
        if (listed == type) {
            return &value;
        }
    }
    return nullptr;
}

std::optional<bool> Template::Bool(CK_ATTRIBUTE_TYPE type) const {
    const std::vector<BYTE>* value = Find(type);
    if (value == nullptr || value->size() != sizeof(CK_BBOOL)) {
        return std::nullopt;
    }
    return (*value)[0] == CK_TRUE;
}

std::optional<CK_ULONG> Template::Ulong(CK_ATTRIBUTE_TYPE type) const {
    const std::vector<BYTE>* value = Find(type);
    if (value == nullptr || value->size() != sizeof(CK_ULONG)) {
        return std::nullopt;
    }
    CK_ULONG number = 0;
    std::memcpy(&number, value->data(), sizeof number);
    return number;
}

CK_RV ParseTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count, std::span<const AttributeRule> rules,
                    Template* out) {
    out->Values.clear();
    if (attributes == nullptr && count != 0) {
        return CKR_ARGUMENTS_BAD;
    }
    // Each rule admits one attribute, so a template with more than the rules hold has a
    // duplicate or a stranger among its first rules.size() + 1 attributes and ends there.
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& attribute = attributes[i];
        const AttributeRule* rule = RuleFor(rules, attribute.type);
        if (rule == nullptr) {
            return CKR_ATTRIBUTE_TYPE_INVALID;
        }
        if (out->Find(attribute.type) != nullptr) {
            return CKR_TEMPLATE_INCONSISTENT;
        }
        if ((attribute.pValue == nullptr && attribute.ulValueLen != 0) || !ValueFits(*rule, attribute)) {
            return CKR_ATTRIBUTE_VALUE_INVALID;
        }
        out->Values.emplace_back(attribute.type, CopyValue(attribute));
    }
    return CKR_OK;
}

CK_RV ParseSearchTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count, Template* out, bool* matches_nothing) {
    out->Values.clear();
    *matches_nothing = false;
    if (attributes == nullptr && count != 0) {
        return CKR_ARGUMENTS_BAD;
    }
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& attribute = attributes[i];
        if (attribute.pValue == nullptr && attribute.ulValueLen != 0) {
            return CKR_ARGUMENTS_BAD;
        }
        if (attribute.ulValueLen > kMaxSearchValue) {
            *matches_nothing = true;
            continue;
        }
        out->Values.emplace_back(attribute.type, CopyValue(attribute));
    }
    return CKR_OK;
}

CK_RV WriteAttribute(CK_ATTRIBUTE& attribute, const AttributeAnswer& answer) {
    if (answer.Status != CKR_OK) {
        attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        return answer.Status;
    }
    if (attribute.pValue == nullptr) {
        attribute.ulValueLen = answer.Value.size();
        return CKR_OK;
    }
    if (attribute.ulValueLen < answer.Value.size()) {
        attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        return CKR_BUFFER_TOO_SMALL;
    }
    if (!answer.Value.empty()) {
        std::memcpy(attribute.pValue, answer.Value.data(), answer.Value.size());
    }
    attribute.ulValueLen = answer.Value.size();
    return CKR_OK;
}

std::vector<BYTE> BoolValue(bool value) { return {value ? BYTE{CK_TRUE} : BYTE{CK_FALSE}}; }

std::vector<BYTE> UlongValue(CK_ULONG value) {
    std::vector<BYTE> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

}  // namespace kelm::pkcs11
