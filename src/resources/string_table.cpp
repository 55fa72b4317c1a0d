// The string table as the Linux platform serves it, stored as UTF-8. The column for a language
// is chosen at load time.
#include "resources/resource_data.h"
#include "resources/resources.h"

namespace kelm::resources {

#define KELM_STRING_ROW(id, text) {id, text},
extern const platform::StringResource kStringTable[] = {KELM_STRING_TABLE(KELM_STRING_ROW)};
#undef KELM_STRING_ROW
extern const size_t kStringTableSize = sizeof(kStringTable) / sizeof(kStringTable[0]);

}  // namespace kelm::resources
