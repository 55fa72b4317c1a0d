// The token's objects and their handles, and the entry points that find objects and read their
// attributes.
#include "pkcs11/objects.h"

#include "pkcs11/attribute_template.h"
#include "pkcs11/entry_points.h"
#include "pkcs11/object_attributes.h"
#include "pkcs11/token_card.h"

namespace kelm::pkcs11 {

std::vector<ObjectRef> TokenObjects(const Token& token) {
    std::vector<ObjectRef> objects;
    for (const CardKey& key : token.Keys) {
        if (key.Where.HasKey) {
            objects.push_back({token.Id, key.Where.Container, key.Where.Slot, ObjectKind::PrivateKey});
            objects.push_back({token.Id, key.Where.Container, key.Where.Slot, ObjectKind::PublicKey});
        }
        if (key.Where.CertificateLength != 0) {
            objects.push_back({token.Id, key.Where.Container, key.Where.Slot, ObjectKind::Certificate});
        }
    }
    return objects;
}

CK_OBJECT_HANDLE HandleOf(Module& module, const ObjectRef& object) {
    const auto found = module.Handles.find(object);
    if (found != module.Handles.end()) {
        return found->second;
    }
    const CK_OBJECT_HANDLE handle = module.NextObject++;
    module.Handles.emplace(object, handle);
    module.Objects.emplace(handle, object);
    return handle;
}

void ForgetHandle(Module& module, const ObjectRef& object) {
    const auto found = module.Handles.find(object);
    if (found != module.Handles.end()) {
        module.Objects.erase(found->second);
        module.Handles.erase(found);
    }
}

CK_RV ResolveObject(Module& module, Token& token, CK_OBJECT_HANDLE handle, ObjectRef* object, CardKey** key) {
    const CK_RV rv = ReadKeys(token);
    if (rv != CKR_OK) {
        return rv;
    }
    // Reading the keys may have made a new connection, which forgets the token's handles.
    const auto found = module.Objects.find(handle);
    if (found == module.Objects.end() || found->second.Slot != token.Id) {
        return CKR_OBJECT_HANDLE_INVALID;
    }
    *object = found->second;
    if (IsPrivateObject(object->Kind) && !LoginHolds(token)) {
        return CKR_OBJECT_HANDLE_INVALID;
    }
    for (const ObjectRef& held : TokenObjects(token)) {
        if (held == *object) {
            *key = FindKey(token, object->Container, object->KeySlot);
            return CKR_OK;
        }
    }
    return CKR_OBJECT_HANDLE_INVALID;
}

CK_RV ReadForAttributes(Token& token, CardKey& key, ObjectKind kind, const std::vector<CK_ATTRIBUTE_TYPE>& types) {
    AttributeNeeds needs;
    for (const CK_ATTRIBUTE_TYPE type : types) {
        const AttributeNeeds one = NeedsOf(kind, key, type);
        needs.PublicKey = needs.PublicKey || one.PublicKey;
        needs.Certificate = needs.Certificate || one.Certificate;
    }
    CK_RV rv = needs.PublicKey ? ReadPublicKey(token, key) : CKR_OK;
    if (rv == CKR_OK && needs.Certificate) {
        rv = ReadCertificate(token, key);
    }
    return rv;
}

CK_RV FindObjectsInit(CK_SESSION_HANDLE handle, CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
    EntryLock lock(true);
    Session* session = nullptr;
    Token* token = nullptr;
    CK_RV rv = FindSession(handle, &session, &token);
    if (rv != CKR_OK) {
        return rv;
    }
    if (session->Find.Active) {
        return CKR_OPERATION_ACTIVE;
    }
    Template search;
    bool matches_nothing = false;
    rv = ParseSearchTemplate(attributes, count, &search, &matches_nothing);
    if (rv == CKR_OK) {
        rv = ReadKeys(*token);
    }
    if (rv != CKR_OK) {
        return rv;
    }
    std::vector<CK_ATTRIBUTE_TYPE> types;
    for (const auto& [type, value] : search.Values) {
        types.push_back(type);
    }
    FindOperation find;
    find.Active = true;
    const bool logged_in = LoginHolds(*token);
    for (const ObjectRef& object : matches_nothing ? std::vector<ObjectRef>{} : TokenObjects(*token)) {
        if (IsPrivateObject(object.Kind) && !logged_in) {
            continue;
        }
        CardKey* key = FindKey(*token, object.Container, object.KeySlot);
        rv = ReadForAttributes(*token, *key, object.Kind, types);
        if (rv != CKR_OK) {
            return rv;
        }
        bool matches = true;
        for (const auto& [type, value] : search.Values) {
            const AttributeAnswer answer = AttributeValue(object.Kind, *key, type);
            matches = matches && answer.Status == CKR_OK && answer.Value == value;
        }
        if (matches) {
            find.Found.push_back(HandleOf(State(), object));
        }
    }
    session->Find = std::move(find);
    return CKR_OK;
}

CK_RV FindObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE_PTR objects, CK_ULONG max_count, CK_ULONG_PTR count) {
    EntryLock lock(false);
    Session* session = nullptr;
    Token* token = nullptr;
    const CK_RV rv = FindSession(handle, &session, &token);
    if (rv != CKR_OK) {
        return rv;
    }
    if (!session->Find.Active) {
        return CKR_OPERATION_NOT_INITIALIZED;
    }
    if (count == nullptr || (objects == nullptr && max_count != 0)) {
        return CKR_ARGUMENTS_BAD;
    }
    FindOperation& find = session->Find;
    CK_ULONG delivered = 0;
    while (delivered < max_count && find.Next < find.Found.size()) {
        objects[delivered++] = find.Found[find.Next++];
    }
    *count = delivered;
    return CKR_OK;
}

CK_RV FindObjectsFinal(CK_SESSION_HANDLE handle) {
    EntryLock lock(false);
    Session* session = nullptr;
    Token* token = nullptr;
    const CK_RV rv = FindSession(handle, &session, &token);
    if (rv != CKR_OK) {
        return rv;
    }
    if (!session->Find.Active) {
        return CKR_OPERATION_NOT_INITIALIZED;
    }
    session->Find = FindOperation{};
    return CKR_OK;
}

CK_RV GetAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object_handle, CK_ATTRIBUTE_PTR attributes,
                        CK_ULONG count) {
    EntryLock lock(true);
    Session* session = nullptr;
    Token* token = nullptr;
    CK_RV rv = FindSession(handle, &session, &token);
    if (rv != CKR_OK) {
        return rv;
    }
    if (attributes == nullptr && count != 0) {
        return CKR_ARGUMENTS_BAD;
    }
    ObjectRef object{};
    CardKey* key = nullptr;
    rv = ResolveObject(State(), *token, object_handle, &object, &key);
    if (rv != CKR_OK) {
        return rv;
    }
    std::vector<CK_ATTRIBUTE_TYPE> types;
    for (CK_ULONG i = 0; i < count; ++i) {
        types.push_back(attributes[i].type);
    }
    rv = ReadForAttributes(*token, *key, object.Kind, types);
    if (rv != CKR_OK) {
        return rv;
    }
    // Every attribute is answered; the call reports the last of the problems it met.
    CK_RV result = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_RV one = WriteAttribute(attributes[i], AttributeValue(object.Kind, *key, attributes[i].type));
        if (one != CKR_OK) {
            result = one;
        }
    }
    return result;
}

CK_RV SetAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object_handle, CK_ATTRIBUTE_PTR attributes,
                        CK_ULONG count) {
    EntryLock lock(true);
    Session* session = nullptr;
    Token* token = nullptr;
    CK_RV rv = FindSession(handle, &session, &token);
    if (rv != CKR_OK) {
        return rv;
    }
    if (attributes == nullptr && count != 0) {
        return CKR_ARGUMENTS_BAD;
    }
    ObjectRef object{};
    CardKey* key = nullptr;
    rv = ResolveObject(State(), *token, object_handle, &object, &key);
    // The card keeps no attributes of its own: every one follows from the container and the key.
    return rv != CKR_OK ? rv : count == 0 ? CKR_OK : CKR_ATTRIBUTE_READ_ONLY;
}

CK_RV GetObjectSize(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object_handle, CK_ULONG_PTR size) {
    EntryLock lock(true);
    Session* session = nullptr;
    Token* token = nullptr;
    CK_RV rv = FindSession(handle, &session, &token);
    if (rv != CKR_OK) {
        return rv;
    }
    if (size == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    ObjectRef object{};
    CardKey* key = nullptr;
    rv = ResolveObject(State(), *token, object_handle, &object, &key);
    if (rv == CKR_OK) {
        *size = CK_UNAVAILABLE_INFORMATION;
    }
    return rv;
}

}  // namespace kelm::pkcs11
