// Constant tables of rMQR symbols (R7x43 to R17x139): the 32 sizes with their
// codewords, blocks and character-count widths, the alignment columns of each width,
// the format words of both copies and the fixed data mask.
#pragma once

#include <array>
#include <cstdint>

#include "tables.hpp"

namespace halvern::engine {

constexpr int kRmqrVersions = 32;
constexpr int kRmqrMaxRows = 17;
constexpr int kRmqrMaxColumns = 139;
constexpr int kRmqrMaxModules = kRmqrMaxRows * kRmqrMaxColumns;
constexpr int kRmqrMaxCodewords = 232;

// One size: rows and columns, codewords, and per level (M, H) the blocks and EC
// codewords per block; count bits for numeric, alphanumeric, byte and kanji.
struct RmqrVersion {
    std::uint8_t rows, columns, codewords;
    std::uint8_t blocks[2], ec[2];
    std::uint8_t count_bits[4];
};

inline constexpr RmqrVersion kRmqr[kRmqrVersions] = {
    {7, 43, 13, {1, 1}, {7, 10}, {4, 3, 3, 2}},       {7, 59, 21, {1, 1}, {9, 14}, {5, 5, 4, 3}},
    {7, 77, 32, {1, 1}, {12, 22}, {6, 5, 5, 4}},      {7, 99, 44, {1, 1}, {16, 30}, {7, 6, 5, 5}},
    {7, 139, 68, {1, 2}, {24, 22}, {7, 6, 6, 5}},     {9, 43, 21, {1, 1}, {9, 14}, {5, 5, 4, 3}},
    {9, 59, 33, {1, 1}, {12, 22}, {6, 5, 5, 4}},      {9, 77, 49, {1, 2}, {18, 16}, {7, 6, 5, 5}},
    {9, 99, 66, {1, 2}, {24, 22}, {7, 6, 6, 5}},      {9, 139, 99, {2, 3}, {18, 22}, {8, 7, 6, 6}},
    {11, 27, 15, {1, 1}, {8, 10}, {4, 4, 3, 2}},      {11, 43, 31, {1, 1}, {12, 20}, {6, 5, 5, 4}},
    {11, 59, 47, {1, 2}, {16, 16}, {7, 6, 5, 5}},     {11, 77, 67, {1, 2}, {24, 22}, {7, 6, 6, 5}},
    {11, 99, 89, {2, 2}, {16, 30}, {8, 7, 6, 6}},     {11, 139, 132, {2, 3}, {24, 30}, {8, 7, 7, 6}},
    {13, 27, 21, {1, 1}, {9, 14}, {5, 5, 4, 3}},      {13, 43, 41, {1, 1}, {14, 28}, {6, 6, 5, 5}},
    {13, 59, 60, {1, 2}, {22, 20}, {7, 6, 6, 5}},     {13, 77, 85, {2, 2}, {16, 28}, {7, 7, 6, 6}},
    {13, 99, 113, {2, 3}, {20, 26}, {8, 7, 7, 6}},    {13, 139, 166, {3, 4}, {20, 28}, {8, 8, 7, 7}},
    {15, 43, 51, {1, 2}, {18, 18}, {7, 6, 6, 5}},     {15, 59, 74, {1, 2}, {26, 24}, {7, 7, 6, 5}},
    {15, 77, 103, {2, 3}, {18, 24}, {8, 7, 7, 6}},    {15, 99, 136, {2, 4}, {24, 22}, {8, 7, 7, 6}},
    {15, 139, 199, {3, 5}, {24, 26}, {9, 8, 7, 7}},   {17, 43, 61, {1, 2}, {22, 20}, {7, 6, 6, 5}},
    {17, 59, 88, {2, 2}, {16, 30}, {8, 7, 6, 6}},     {17, 77, 122, {2, 3}, {22, 28}, {8, 7, 7, 6}},
    {17, 99, 160, {3, 4}, {20, 26}, {8, 8, 7, 6}},    {17, 139, 232, {4, 6}, {20, 26}, {9, 8, 8, 7}},
};

// The version index of a rows x columns symbol, or -1.
constexpr int rmqr_index(int rows, int columns) noexcept {
    for (int i = 0; i < kRmqrVersions; ++i) {
        if (kRmqr[i].rows == rows && kRmqr[i].columns == columns) return i;
    }
    return -1;
}

// The centre columns of the alignment patterns (and the timing columns through them)
// of a symbol `columns` wide, 0-terminated.
constexpr std::array<std::uint8_t, 5> rmqr_alignment(int columns) noexcept {
    switch (columns) {
        case 43: return {21, 0, 0, 0, 0};
        case 59: return {19, 39, 0, 0, 0};
        case 77: return {25, 51, 0, 0, 0};
        case 99: return {23, 49, 75, 0, 0};
        case 139: return {27, 55, 83, 111, 0};
        default: return {0, 0, 0, 0, 0};
    }
}

// Whether module (r, c) of a rows x columns symbol belongs to a function pattern: the
// finder and its separator, the timing patterns along all four edges and down the
// alignment columns, the alignment patterns, the corner patterns (top right and bottom
// left), the sub-finder (bottom right) and both format copies.
constexpr bool rmqr_function(int rows, int columns, int r, int c) noexcept {
    if (r < 8 && c < 8) return true;
    if (r == 0 || r == rows - 1 || c == 0 || c == columns - 1) return true;
    for (std::uint8_t a : rmqr_alignment(columns)) {
        if (a == 0) break;
        if (c == a || (c >= a - 1 && c <= a + 1 && (r < 3 || r >= rows - 3))) return true;
    }
    if ((r <= 1 && c >= columns - 2) || (r >= rows - 2 && c <= 1)) return true;
    if (r >= rows - 5 && c >= columns - 5) return true;
    if ((r >= 1 && r <= 5 && c >= 8 && c <= 10) || (r >= 1 && r <= 3 && c == 11)) return true;
    return (r >= rows - 6 && r <= rows - 2 && c >= columns - 8 && c <= columns - 6) ||
           (r == rows - 6 && c >= columns - 5 && c <= columns - 3);
}

// The 18-bit format word: 6 data bits (level bit, H = 1, above the version index) and
// 12 BCH bits with the version information's generator, XORed with a mask per copy.
constexpr std::uint32_t kRmqrFinderMask = 0b011111101010110010;
constexpr std::uint32_t kRmqrSubFinderMask = 0b100000101001111011;

constexpr std::array<std::uint32_t, 64> rmqr_format_words(std::uint32_t mask) noexcept {
    std::array<std::uint32_t, 64> t{};
    for (std::uint32_t d = 0; d < 64; ++d) t[d] = bch_codeword(d, kVersionGenerator, 12) ^ mask;
    return t;
}
inline constexpr auto kRmqrFinderWords = rmqr_format_words(kRmqrFinderMask);
inline constexpr auto kRmqrSubFinderWords = rmqr_format_words(kRmqrSubFinderMask);

// The one data mask: true flips module (r, c).
constexpr bool rmqr_mask(int r, int c) noexcept { return (r / 2 + c / 3) % 2 == 0; }

}  // namespace halvern::engine
