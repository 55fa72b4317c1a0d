// The Reg… functions' way into whichever store is selected (memory or files). Each call runs
// under the store's mutex; a failure's description is kept for RegistryLastProblem().
#pragma once

#include <functional>

#include "platform/registry/registry_tree.h"

namespace kelm::platform {

// Runs `read` on the current contents of `root` (re-read from disk for the file store).
LONG ReadRegistryRoot(RegistryRoot root, const std::function<LONG(const RegistryKey&)>& read);

// Applies `change` to `root`; the store keeps the result only when the change succeeds.
LONG ChangeRegistryRoot(RegistryRoot root, const RegistryChange& change);

}  // namespace kelm::platform
