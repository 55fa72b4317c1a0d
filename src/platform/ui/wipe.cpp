// Wiping of strings that held a secret.
#include <cstring>
#include <string>

#include "platform/ui/ui_responders.h"

namespace kelm::platform {

void WipeString(std::string& text) {
    // Grow to the whole allocation first, so bytes beyond the current length are covered too.
    text.resize(text.capacity());
    volatile char* bytes = text.data();
    for (size_t i = 0; i < text.size(); ++i) bytes[i] = 0;
    text.clear();
}

}  // namespace kelm::platform
