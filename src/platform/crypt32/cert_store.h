// The certificate store's own seam, beside its Windows functions (kelm/cert_store.h).
#pragma once

#include <string>
#include <vector>

#include "kelm/cert_store.h"
#include "platform/export.h"

namespace kelm::platform {

// The registry entries that opening `store` passed over because they hold no certificate
// that can be read, each as "<key name>: <what is wrong>"; empty for an unknown handle.
KELM_PLATFORM_API std::vector<std::string> SkippedStoreEntries(HCERTSTORE store);

}  // namespace kelm::platform
