#include "FreedMemoryWatch.h"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<const std::span<const std::uint8_t>*> watched{nullptr};
std::atomic<int> seen{0};
} // namespace

FreedMemoryWatch::FreedMemoryWatch(std::span<const std::uint8_t> secret)
{
    seen = 0;
    watched = new std::span<const std::uint8_t>(secret);
}

FreedMemoryWatch::~FreedMemoryWatch() { delete watched.exchange(nullptr); }

int FreedMemoryWatch::sightings() const { return seen.load(); }

void FreedMemoryWatch::inspect(const void* block, std::size_t size) noexcept
{
    const auto* secret = watched.load();
    const auto* first = static_cast<const std::uint8_t*>(block);
    if (secret && first && !secret->empty() &&
        std::search(first, first + size, secret->begin(), secret->end()) != first + size)
        ++seen;
}

// The replacements every allocation of this test program goes through (new too, so that delete frees what
// malloc gave, also under the sanitizers).
void* operator new(std::size_t size)
{
    if (void* block = std::malloc(size == 0 ? 1 : size))
        return block;
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept
{
    if (block)
        FreedMemoryWatch::inspect(block, malloc_usable_size(block));
    std::free(block);
}

void operator delete(void* block, std::size_t size) noexcept
{
    FreedMemoryWatch::inspect(block, size);
    std::free(block);
}
