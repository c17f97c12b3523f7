#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// A byte buffer for secrets (PINs, PIN hashes, shared secrets, tokens): its storage is wiped whenever it is
// freed, replaced or shrunk. Growth reallocates through a wiping path, so no copy of a secret is left behind
// in freed heap memory.
class SecureBytes {
public:
    SecureBytes() = default;
    explicit SecureBytes(std::size_t n) : data_(n, 0) {}
    SecureBytes(std::initializer_list<std::uint8_t> init) : data_(init) {}
    explicit SecureBytes(std::span<const std::uint8_t> bytes) : data_(bytes.begin(), bytes.end()) {}
    explicit SecureBytes(std::string_view text) : data_(text.begin(), text.end()) {}
    SecureBytes(const SecureBytes& other) : data_(other.data_) {}
    SecureBytes(SecureBytes&& other) noexcept : data_(std::move(other.data_)) { other.data_.clear(); }
    SecureBytes& operator=(const SecureBytes& other)
    {
        if (this != &other) {
            wipe();
            data_ = other.data_;
        }
        return *this;
    }
    SecureBytes& operator=(SecureBytes&& other) noexcept
    {
        if (this != &other) {
            wipe();
            data_ = std::move(other.data_);
            other.data_.clear();
        }
        return *this;
    }
    ~SecureBytes() { wipe(); }

    void clear() { wipe(); }
    void resize(std::size_t n)
    {
        if (n <= data_.size()) {
            if (n < data_.size())
                OPENSSL_cleanse(data_.data() + n, data_.size() - n);
            data_.resize(n);
            return;
        }
        SecureBytes bigger(n);
        std::copy(data_.begin(), data_.end(), bigger.data_.begin());
        *this = std::move(bigger);
    }
    void append(std::span<const std::uint8_t> more)
    {
        const std::size_t old = data_.size();
        if (data_.capacity() < old + more.size()) {
            SecureBytes bigger;
            bigger.data_.reserve(old + more.size());
            bigger.data_.assign(data_.begin(), data_.end());
            *this = std::move(bigger);
        }
        data_.insert(data_.end(), more.begin(), more.end());
    }

    std::uint8_t* data() { return data_.data(); }
    const std::uint8_t* data() const { return data_.data(); }
    std::size_t size() const { return data_.size(); }
    bool empty() const { return data_.empty(); }
    std::uint8_t& operator[](std::size_t i) { return data_[i]; }
    const std::uint8_t& operator[](std::size_t i) const { return data_[i]; }
    auto begin() const { return data_.begin(); }
    auto end() const { return data_.end(); }
    std::span<const std::uint8_t> span() const { return {data_.data(), data_.size()}; }
    operator std::span<const std::uint8_t>() const { return span(); }
    // A plain copy for code that must hand the bytes on (a request being sent); the caller owns its fate.
    Bytes toBytes() const { return Bytes(data_.begin(), data_.end()); }

    friend bool operator==(const SecureBytes& a, const SecureBytes& b) { return a.data_ == b.data_; }

private:
    void wipe()
    {
        if (!data_.empty())
            OPENSSL_cleanse(data_.data(), data_.size());
        data_.clear();
    }
    std::vector<std::uint8_t> data_;
};
