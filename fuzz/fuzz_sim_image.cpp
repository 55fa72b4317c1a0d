// The card-image reader: any text is either refused with a message or read into an image that
// writes back to text which reads again to the same image.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sim/card_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    kelm::sim::CardImage image;
    std::string error;
    if (!kelm::sim::ImageFromJson(text, &image, &error)) {
        if (error.empty()) std::abort();
        return 0;
    }
    std::string written = kelm::sim::ImageToJson(image);
    kelm::sim::CardImage again;
    if (!kelm::sim::ImageFromJson(written, &again, &error) || kelm::sim::ImageToJson(again) != written) std::abort();
    return 0;
}
