#pragma once

#include <cstddef>

// Folds one more hash into a running seed, so records can hash their fields in order.
inline void hashCombine(std::size_t& seed, std::size_t value)
{
    seed ^= value + 0x9E3779B97F4A7C15ull + (seed << 6) + (seed >> 2);
}
