// Constant tables of Micro QR symbols (M1 to M4): the symbol numbers of the format
// information, the codewords of each, the format codewords and the bit-stream syntax.
#pragma once

#include <array>
#include <cstdint>

#include "tables.hpp"

namespace halvern::engine {

constexpr int kMicroMinSize = 11;
constexpr int kMicroMaxSize = 17;
constexpr int kMicroModules = kMicroMaxSize * kMicroMaxSize;
constexpr int kMicroMaxCodewords = 24;

constexpr int micro_size(int version) noexcept { return 9 + 2 * version; }

// The version (1..4 for M1..M4) of a symbol `size` modules wide, or 0.
constexpr int micro_version(int size) noexcept {
    return size >= kMicroMinSize && size <= kMicroMaxSize && size % 2 == 1 ? (size - 9) / 2 : 0;
}

// What a symbol number (the format information's 3 high bits) stands for: version,
// level (0..2 for L, M, Q; M1 detects errors only and reads as L), codewords, data
// codewords, the data stream's bits (M1 and M3 end their data on a 4-bit codeword) and
// the codeword errors correction may fix (some EC codewords are kept back so that noise
// does not turn into another codeword).
struct MicroSymbol {
    std::uint8_t version, level, codewords, data, data_bits, correctable;
};

inline constexpr MicroSymbol kMicroSymbols[8] = {
    {1, 0, 5, 3, 20, 0},   {2, 0, 10, 5, 40, 1},  {2, 1, 10, 4, 32, 2},  {3, 0, 17, 11, 84, 2},
    {3, 1, 17, 9, 68, 4},  {4, 0, 24, 16, 128, 3}, {4, 1, 24, 14, 112, 5}, {4, 2, 24, 10, 80, 7},
};

// XORed onto the Micro QR format word.
constexpr std::uint32_t kMicroFormatXorMask = 0b100010001000101;

// Indexed by the 5 data bits (symbol number, mask), as stored (masked).
inline constexpr auto kMicroFormatWords = format_words(kMicroFormatXorMask);

// Character-count bits per version for numeric, alphanumeric, byte and kanji (0: the
// mode is not available), and the mode indicator's and terminator's widths.
inline constexpr std::uint8_t kMicroCountBits[4][4] = {{3, 0, 0, 0}, {4, 3, 0, 0}, {5, 4, 4, 3}, {6, 5, 5, 4}};
constexpr int micro_indicator_bits(int version) noexcept { return version - 1; }
constexpr int micro_terminator_bits(int version) noexcept { return 2 * version + 1; }

// The four data masks of Micro QR, by row and column: true flips the module.
constexpr bool micro_mask(int mask, int r, int c) noexcept {
    switch (mask) {
        case 0: return r % 2 == 0;
        case 1: return (r / 2 + c / 3) % 2 == 0;
        case 2: return ((r * c) % 2 + (r * c) % 3) % 2 == 0;
        default: return ((r + c) % 2 + (r * c) % 3) % 2 == 0;
    }
}

}  // namespace halvern::engine
