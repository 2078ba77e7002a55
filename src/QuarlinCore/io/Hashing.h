// Combines field hashes in order, so records hash over all their fields in declaration order.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>

namespace quarlin {

template <class T>
void hashCombine(std::size_t& seed, const T& value) {
    seed ^= std::hash<T>{}(value) + 0x9E3779B97F4A7C15ULL + (seed << 6) + (seed >> 2);
}

// An optional contributes a presence marker, then its value when present.
template <class T>
void hashCombine(std::size_t& seed, const std::optional<T>& value) {
    hashCombine(seed, value.has_value());
    if (value) hashCombine(seed, *value);
}

}  // namespace quarlin
