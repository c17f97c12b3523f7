#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Text that holds a secret (a PIN as typed). Its bytes live on the heap, never in the object itself (no
// short-string storage), and are wiped whenever they are replaced or freed. It never grows in place, so no
// copy of the text is left behind in a buffer that was given up.
class SecureString {
public:
    SecureString() = default;
    SecureString(std::string_view text) : bytes_(text.begin(), text.end()) {} // NOLINT: implicit by design
    SecureString(const std::string& text) : SecureString(std::string_view(text)) {}
    SecureString(const char* text) : SecureString(std::string_view(text)) {}
    SecureString(const SecureString& other) : bytes_(other.bytes_) {}
    SecureString(SecureString&& other) noexcept : bytes_(std::move(other.bytes_)) { other.bytes_.clear(); }
    SecureString& operator=(const SecureString& other)
    {
        if (this != &other) {
            std::vector<char> copy(other.bytes_);
            wipe();
            bytes_ = std::move(copy);
        }
        return *this;
    }
    SecureString& operator=(SecureString&& other) noexcept
    {
        if (this != &other) {
            wipe();
            bytes_ = std::move(other.bytes_);
            other.bytes_.clear();
        }
        return *this;
    }
    ~SecureString() { wipe(); }

    std::string_view view() const { return {bytes_.data(), bytes_.size()}; }
    bool empty() const { return bytes_.empty(); }
    std::size_t size() const { return bytes_.size(); }
    void clear() { wipe(); }

    bool operator==(const SecureString& other) const { return view() == other.view(); }
    bool operator==(const char* other) const { return view() == std::string_view(other); }

private:
    void wipe()
    {
        if (!bytes_.empty())
            OPENSSL_cleanse(bytes_.data(), bytes_.size());
        bytes_.clear();
        bytes_.shrink_to_fit();
    }

    std::vector<char> bytes_;
};
