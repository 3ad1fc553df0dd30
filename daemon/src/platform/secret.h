// Platform seam, pure: secret bytes (the identity) that are wiped from memory
// when released and never printed.
#pragma once

#include <string>
#include <string_view>

namespace kavo {

// Overwrites the bytes of `text` in a way the optimiser may not drop, then
// empties it.
void wipe_string(std::string& text);

class SecretBytes {
  public:
    SecretBytes() = default;
    explicit SecretBytes(std::string_view bytes) : bytes_(bytes) {}
    ~SecretBytes() { wipe_string(bytes_); }
    SecretBytes(const SecretBytes& other) : bytes_(other.bytes_) {}
    SecretBytes& operator=(const SecretBytes& other) {
        if (this != &other) {
            wipe_string(bytes_);
            bytes_ = other.bytes_;
        }
        return *this;
    }
    // A moved-from string may keep its bytes in the small-string buffer, so a
    // move is a copy followed by a wipe of the source.
    SecretBytes(SecretBytes&& other) noexcept : bytes_(other.bytes_) { wipe_string(other.bytes_); }
    SecretBytes& operator=(SecretBytes&& other) noexcept {
        if (this != &other) {
            wipe_string(bytes_);
            bytes_ = other.bytes_;
            wipe_string(other.bytes_);
        }
        return *this;
    }

    std::string_view view() const { return bytes_; }
    std::size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }

  private:
    std::string bytes_;
};

}  // namespace kavo
