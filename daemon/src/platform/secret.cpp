#include "platform/secret.h"

namespace kavo {

void wipe_string(std::string& text) {
    // Wipe the whole capacity: earlier, longer contents may linger past size().
    text.resize(text.capacity());
    volatile char* bytes = text.data();
    for (std::size_t i = 0; i < text.size(); ++i) {
        bytes[i] = 0;
    }
    text.clear();
}

}  // namespace kavo
