#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Looks at every heap block this program frees while it lives, and counts the blocks that still hold the given
// bytes: a secret's buffer must be wiped before it goes back to the heap. The test program's operator delete
// reports to it, before the block is released, so nothing is read that is not still allocated.
class FreedMemoryWatch {
public:
    explicit FreedMemoryWatch(std::span<const std::uint8_t> secret);
    ~FreedMemoryWatch();
    FreedMemoryWatch(const FreedMemoryWatch&) = delete;
    FreedMemoryWatch& operator=(const FreedMemoryWatch&) = delete;

    int sightings() const; // freed blocks that held the secret since the watch began
    static void inspect(const void* block, std::size_t size) noexcept;
};
