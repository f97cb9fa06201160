#pragma once

#include <array>
#include <cstdint>

// Bytes that print as themselves in both printer command sets: ASCII from blank to '~', and
// everything from 0x80 (the upper half of a code table, or part of a multi-byte character).
// DEL is left out: it prints nothing, and ICU's IBM tables decode it as SUB.
inline constexpr std::array<bool, 256> kPrintable = [] {
    std::array<bool, 256> table{};
    for (int c = 0x20; c < 0x7F; ++c) {
        table[c] = true;
    }
    for (int c = 0x80; c < 0x100; ++c) {
        table[c] = true;
    }
    return table;
}();
