// Objects of a token: the ones the card holds now, their handles, the object behind a handle,
// and what must be read before its attributes can be answered.
#pragma once

#include <vector>

#include "pkcs11/module.h"

namespace kelm::pkcs11 {

// The objects the card holds, from the token's keys (read already): for each key slot that
// holds a key its private and public key, and for each that keeps a certificate the certificate.
std::vector<ObjectRef> TokenObjects(const Token& token);

// The handle of an object: the one it was given, or a new one (never reused in this module).
CK_OBJECT_HANDLE HandleOf(Module& module, const ObjectRef& object);
// Forgets an object's handle, so that it never stands for anything again.
void ForgetHandle(Module& module, const ObjectRef& object);

// The object behind a handle of the session's token, as the card holds it now (its keys read
// first): CKR_OBJECT_HANDLE_INVALID for a handle of no object, of another token's, of an
// object the card no longer holds, or of a private object while the login does not hold.
CK_RV ResolveObject(Module& module, Token& token, CK_OBJECT_HANDLE handle, ObjectRef* object, CardKey** key);

// Reads from the card what answering `types` for the object needs.
CK_RV ReadForAttributes(Token& token, CardKey& key, ObjectKind kind, const std::vector<CK_ATTRIBUTE_TYPE>& types);

}  // namespace kelm::pkcs11
