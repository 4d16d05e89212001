// Imbrix platform layer: a hash that is the same on every machine.
#pragma once

#include <cstdint>
#include <string_view>

namespace imbrix::platform {

/// 64-bit FNV-1a of `bytes`: start at 14695981039346656037, then for each byte
/// xor it in and multiply by 1099511628211 (mod 2^64). A fixed function of the
/// bytes alone, so every machine, build and version agrees on it (unlike
/// std::hash); not for anything an adversary may aim at.
constexpr std::uint64_t fnv1a64(std::string_view bytes) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

}  // namespace imbrix::platform
