// The current user's "My" certificate store, through crypt32. A certificate put there carries
// the key provider information (container, "KELM CSP V5", PROV_RSA_FULL, the key's kind) from
// which crypt32 finds its key on the card, and the description `kAddedDescription`, by which
// --remove knows what this tool added. Every change is committed on its own and undone when
// the store refuses it, so no certificate is left in the store without its key information.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "card_certificates.h"

namespace kelm::certprop {

inline constexpr wchar_t kAddedDescription[] = L"From the KELM card, added by kelm-certprop";

enum class Outcome {
    Added,         // it was not in the store
    AlreadyThere,  // in the store with this key's information
    Linked,        // in the store before, now with this key's information
    Unreadable,    // the card's bytes are no certificate
    Refused,       // the store refused the change; the store is as it was
    Removed,       // taken out again (--remove)
};

struct StoreResult {
    Outcome outcome = Outcome::Refused;
    std::wstring subject;    // the certificate's display name
    std::wstring expiry;     // "YYYY-MM-DD", with " (expired)" once past
    std::wstring container;  // from the key provider information, for removals
    DWORD key_spec = 0;
    DWORD error = 0;
};

class UserStore {
public:
    UserStore();
    ~UserStore();
    UserStore(const UserStore&) = delete;
    UserStore& operator=(const UserStore&) = delete;

    bool IsOpen() const { return store_ != nullptr; }
    DWORD OpenError() const { return open_error_; }

    StoreResult Put(const CardCertificate& certificate);
    // Takes out every certificate carrying this tool's description. `failures` counts those the
    // store refused to let go.
    std::vector<StoreResult> RemoveAdded(int* failures);

private:
    HCERTSTORE store_ = nullptr;
    DWORD open_error_ = 0;
};

}  // namespace kelm::certprop
