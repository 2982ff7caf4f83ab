// The facts of QR model 2 symbols, each written once and used by every stage: sizes
// and versions, the field GF(256), block structure per version and level, alignment
// positions, the format and version codewords, the level and mask of a format word,
// where the version bits sit, the mode indicators and the alphanumeric character set.
// Tables are computed by the compiler.
#pragma once

#include <array>
#include <cstdint>

namespace halvern::engine {

constexpr int kMinVersion = 1;
constexpr int kMaxVersion = 40;
constexpr int kMinSize = 21;
constexpr int kMaxSize = 177;
constexpr int kMaxModules = kMaxSize * kMaxSize;
// Versions from this one on carry version information.
constexpr int kFirstVersionWithInfo = 7;
// Both BCH codes have distance 7 (format) and 8 (version): 3 bit errors decode uniquely.
constexpr int kMaxInfoBitErrors = 3;
// Codewords of a version 40 symbol, the largest count of any symbol.
constexpr int kMaxCodewords = 3706;
// The most EC codewords of any block and the longest block (data plus EC).
constexpr int kMaxEcPerBlock = 30;
constexpr int kMaxBlockLength = 153;
constexpr int kMaxBlocks = 81;
// Data codewords of a version 40-L symbol, the longest bit stream.
constexpr int kMaxDataCodewords = 2956;

constexpr int size_for_version(int version) noexcept { return 17 + 4 * version; }

// The version of a symbol `modules` wide as a real number: a measured width's estimate.
constexpr double version_estimate(double modules) noexcept { return (modules - 17.0) / 4.0; }

// The version of a symbol `size` modules wide, or 0 when no symbol has that width.
constexpr int version_for_size(long long size) noexcept {
    if (size < kMinSize || size > kMaxSize || (size - 17) % 4 != 0) return 0;
    return static_cast<int>((size - 17) / 4);
}

// ---------------------------------------------------------------------------------
// GF(256) with the reducing polynomial x^8 + x^4 + x^3 + x^2 + 1 (0x11D).

struct FieldTables {
    // exp[i] = alpha^i for i < 510 (doubled so that log a + log b needs no reduction).
    std::array<std::uint8_t, 512> exp{};
    // log[a] for a != 0; log[0] is unused.
    std::array<std::uint8_t, 256> log{};
};

constexpr FieldTables make_field_tables() noexcept {
    FieldTables t{};
    unsigned x = 1;
    for (int i = 0; i < 255; ++i) {
        t.exp[i] = static_cast<std::uint8_t>(x);
        t.exp[i + 255] = static_cast<std::uint8_t>(x);
        t.log[x] = static_cast<std::uint8_t>(i);
        x <<= 1;
        if (x & 0x100u) x ^= 0x11Du;
    }
    return t;
}

inline constexpr FieldTables kField = make_field_tables();

constexpr std::uint8_t gf_mul(std::uint8_t a, std::uint8_t b) noexcept {
    if (a == 0 || b == 0) return 0;
    return kField.exp[kField.log[a] + kField.log[b]];
}

// x * alpha and x / alpha: a shift and the reducing polynomial.
constexpr std::uint8_t times_alpha(std::uint8_t x) noexcept {
    return static_cast<std::uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1D : 0));
}
constexpr std::uint8_t over_alpha(std::uint8_t x) noexcept {
    return static_cast<std::uint8_t>((x >> 1) ^ ((x & 1) ? 0x8E : 0));
}

// times_alpha[j][x] = x * alpha^j for j < kMaxEcPerBlock: one lookup per step of the
// syndrome recurrence s_j = s_j * alpha^j + c. Each row is the last one times alpha,
// which keeps the compile-time work small (MSVC counts constexpr steps).
using RootProducts = std::array<std::array<std::uint8_t, 256>, kMaxEcPerBlock>;

constexpr RootProducts make_root_products() noexcept {
    RootProducts t{};
    for (int x = 0; x < 256; ++x) t[0][x] = static_cast<std::uint8_t>(x);
    for (int j = 1; j < kMaxEcPerBlock; ++j)
        for (int x = 0; x < 256; ++x) t[j][x] = times_alpha(t[j - 1][x]);
    return t;
}

inline constexpr RootProducts kTimesAlpha = make_root_products();

// ---------------------------------------------------------------------------------
// Block structure.

// EC codewords per block and number of blocks, for levels L, M, Q, H, indexed by
// version - 1. When the data codewords do not divide evenly over the blocks, the
// last blocks hold one more.
struct EcBlocks {
    std::uint8_t ec_per_block;
    std::uint8_t blocks;
};

inline constexpr EcBlocks kEcBlocks[kMaxVersion][4] = {
    {{7, 1}, {10, 1}, {13, 1}, {17, 1}},     {{10, 1}, {16, 1}, {22, 1}, {28, 1}},
    {{15, 1}, {26, 1}, {18, 2}, {22, 2}},    {{20, 1}, {18, 2}, {26, 2}, {16, 4}},
    {{26, 1}, {24, 2}, {18, 4}, {22, 4}},    {{18, 2}, {16, 4}, {24, 4}, {28, 4}},
    {{20, 2}, {18, 4}, {18, 6}, {26, 5}},    {{24, 2}, {22, 4}, {22, 6}, {26, 6}},
    {{30, 2}, {22, 5}, {20, 8}, {24, 8}},    {{18, 4}, {26, 5}, {24, 8}, {28, 8}},
    {{20, 4}, {30, 5}, {28, 8}, {24, 11}},   {{24, 4}, {22, 8}, {26, 10}, {28, 11}},
    {{26, 4}, {22, 9}, {24, 12}, {22, 16}},  {{30, 4}, {24, 9}, {20, 16}, {24, 16}},
    {{22, 6}, {24, 10}, {30, 12}, {24, 18}}, {{24, 6}, {28, 10}, {24, 17}, {30, 16}},
    {{28, 6}, {28, 11}, {28, 16}, {28, 19}}, {{30, 6}, {26, 13}, {28, 18}, {28, 21}},
    {{28, 7}, {26, 14}, {26, 21}, {26, 25}}, {{28, 8}, {26, 16}, {30, 20}, {28, 25}},
    {{28, 8}, {26, 17}, {28, 23}, {30, 25}}, {{28, 9}, {28, 17}, {30, 23}, {24, 34}},
    {{30, 9}, {28, 18}, {30, 25}, {30, 30}}, {{30, 10}, {28, 20}, {30, 27}, {30, 32}},
    {{26, 12}, {28, 21}, {30, 29}, {30, 35}}, {{28, 12}, {28, 23}, {28, 34}, {30, 37}},
    {{30, 12}, {28, 25}, {30, 34}, {30, 40}}, {{30, 13}, {28, 26}, {30, 35}, {30, 42}},
    {{30, 14}, {28, 28}, {30, 38}, {30, 45}}, {{30, 15}, {28, 29}, {30, 40}, {30, 48}},
    {{30, 16}, {28, 31}, {30, 43}, {30, 51}}, {{30, 17}, {28, 33}, {30, 45}, {30, 54}},
    {{30, 18}, {28, 35}, {30, 48}, {30, 57}}, {{30, 19}, {28, 37}, {30, 51}, {30, 60}},
    {{30, 19}, {28, 38}, {30, 53}, {30, 63}}, {{30, 20}, {28, 40}, {30, 56}, {30, 66}},
    {{30, 21}, {28, 43}, {30, 59}, {30, 70}}, {{30, 22}, {28, 45}, {30, 62}, {30, 74}},
    {{30, 24}, {28, 47}, {30, 65}, {30, 77}}, {{30, 25}, {28, 49}, {30, 68}, {30, 81}},
};

// Codewords the small symbols keep back from correction so that noise is not
// "corrected" into a different codeword: versions 1 to 3 at the listed levels.
constexpr int misdecode_protection(int version, int level) noexcept {
    constexpr std::uint8_t kProtected[3][4] = {{3, 2, 1, 1}, {2, 0, 0, 0}, {1, 0, 0, 0}};
    return version <= 3 ? kProtected[version - 1][level] : 0;
}

// Codewords (data plus EC) of a symbol of `version`: its data modules, from the sizes
// of the function patterns, divided into whole codewords (the 0, 3, 4 or 7 remainder
// bits belong to none).
constexpr int codeword_count(int version) noexcept {
    int modules = (16 * version + 128) * version + 64;
    if (version >= 2) {
        const int per_side = version / 7 + 2;
        modules -= (25 * per_side - 10) * per_side - 55;
        if (version >= kFirstVersionWithInfo) modules -= 36;
    }
    return modules / 8;
}

// How the codewords of one version and level split into blocks.
struct BlockLayout {
    int ec_per_block = 0;
    int blocks = 0;
    int short_data = 0;   // data codewords of the first blocks
    int long_blocks = 0;  // the last blocks, which hold short_data + 1
    int data_codewords = 0;
    int correctable = 0;  // codeword errors each block may have corrected

    // Data codewords of block b (0 = first).
    constexpr int data_of(int b) const noexcept { return short_data + (b >= blocks - long_blocks ? 1 : 0); }
};

// `codewords` split into `blocks` blocks of `ec_per_block` EC codewords each, the data
// spread evenly with the remainder on the last blocks.
constexpr BlockLayout split_blocks(int codewords, int ec_per_block, int blocks, int correctable) noexcept {
    BlockLayout b{};
    b.ec_per_block = ec_per_block;
    b.blocks = blocks;
    b.data_codewords = codewords - ec_per_block * blocks;
    b.short_data = b.data_codewords / blocks;
    b.long_blocks = b.data_codewords % blocks;
    b.correctable = correctable;
    return b;
}

constexpr BlockLayout block_layout(int version, int level) noexcept {
    const EcBlocks e = kEcBlocks[version - 1][level];
    return split_blocks(codeword_count(version), e.ec_per_block, e.blocks,
                        (e.ec_per_block - misdecode_protection(version, level)) / 2);
}

// ---------------------------------------------------------------------------------
// Alignment patterns: row/column coordinates of the centres, indexed by version - 1,
// 0-terminated. Every pair is a centre except the three on the finders.

inline constexpr std::uint8_t kAlignment[kMaxVersion][8] = {
    {0},
    {6, 18},
    {6, 22},
    {6, 26},
    {6, 30},
    {6, 34},
    {6, 22, 38},
    {6, 24, 42},
    {6, 26, 46},
    {6, 28, 50},
    {6, 30, 54},
    {6, 32, 58},
    {6, 34, 62},
    {6, 26, 46, 66},
    {6, 26, 48, 70},
    {6, 26, 50, 74},
    {6, 30, 54, 78},
    {6, 30, 56, 82},
    {6, 30, 58, 86},
    {6, 34, 62, 90},
    {6, 28, 50, 72, 94},
    {6, 26, 50, 74, 98},
    {6, 30, 54, 78, 102},
    {6, 28, 54, 80, 106},
    {6, 32, 58, 84, 110},
    {6, 30, 58, 86, 114},
    {6, 34, 62, 90, 118},
    {6, 26, 50, 74, 98, 122},
    {6, 30, 54, 78, 102, 126},
    {6, 26, 52, 78, 104, 130},
    {6, 30, 56, 82, 108, 134},
    {6, 34, 60, 86, 112, 138},
    {6, 30, 58, 86, 114, 142},
    {6, 34, 62, 90, 118, 146},
    {6, 30, 54, 78, 102, 126, 150},
    {6, 24, 50, 76, 102, 128, 154},
    {6, 28, 54, 80, 106, 132, 158},
    {6, 32, 58, 84, 110, 136, 162},
    {6, 26, 54, 82, 110, 138, 166},
    {6, 30, 58, 86, 114, 142, 170},
};

constexpr int alignment_count(int version) noexcept {
    int n = 0;
    while (n < 8 && kAlignment[version - 1][n] != 0) ++n;
    return n;
}

// Calls visit(row, col) for the centre of every alignment pattern of `version`: each
// pair of listed coordinates except the three that fall on a finder pattern.
template <typename Visit>
constexpr void for_each_alignment(int version, Visit &&visit) noexcept {
    const int n = alignment_count(version);
    if (n == 0) return;
    const int first = kAlignment[version - 1][0];
    const int last = kAlignment[version - 1][n - 1];
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            const int row = kAlignment[version - 1][i];
            const int col = kAlignment[version - 1][j];
            const bool on_finder = (row == first && col == first) || (row == first && col == last) ||
                                   (row == last && col == first);
            if (!on_finder) visit(row, col);
        }
    }
}

// ---------------------------------------------------------------------------------
// Format and version information: BCH codewords.

constexpr std::uint32_t bch_codeword(std::uint32_t data, std::uint32_t generator, int check_bits) noexcept {
    std::uint32_t remainder = data << check_bits;
    for (int bit = 31; bit >= check_bits; --bit)
        if (remainder & (1u << bit)) remainder ^= generator << (bit - check_bits);
    return (data << check_bits) | remainder;
}

constexpr std::uint32_t kFormatGenerator = 0b10100110111;
constexpr std::uint32_t kVersionGenerator = 0b1111100100101;
// XORed onto the format word so that no valid word is all light.
constexpr std::uint32_t kFormatXorMask = 0b101010000010010;

// The 15-bit format words of 5 data bits, as stored (XORed with `mask`).
constexpr std::array<std::uint16_t, 32> format_words(std::uint32_t mask) noexcept {
    std::array<std::uint16_t, 32> t{};
    for (std::uint32_t d = 0; d < 32; ++d) t[d] = static_cast<std::uint16_t>(bch_codeword(d, kFormatGenerator, 10) ^ mask);
    return t;
}

// Indexed by the 5 data bits (2 level bits, 3 mask bits), as stored (masked).
inline constexpr auto kFormatWords = format_words(kFormatXorMask);

// Indexed by version; entries below version 7 are 0.
inline constexpr auto kVersionWords = [] {
    std::array<std::uint32_t, kMaxVersion + 1> t{};
    for (std::uint32_t v = kFirstVersionWithInfo; v <= kMaxVersion; ++v) t[v] = bch_codeword(v, kVersionGenerator, 12);
    return t;
}();

// The level (0..3 for L, M, Q, H) and the mask of a format word's 5 data bits (the
// level bits above the mask's).
constexpr int format_level(int data) noexcept {
    constexpr std::uint8_t kLevelOfBits[4] = {1, 0, 3, 2};
    return kLevelOfBits[(data >> 3) & 3];
}
constexpr int format_mask(int data) noexcept { return data & 7; }

// A module of the symbol, by row and column.
struct Cell {
    int row;
    int col;
};

// Module of bit `bit` (0 = least significant) of version copy `copy` (0: the block
// above the top-right finder, 1: its transpose beside the bottom-left finder).
constexpr Cell version_cell(int size, int copy, int bit) noexcept {
    const Cell top_right{bit / 3, size - 11 + bit % 3};
    return copy == 0 ? top_right : Cell{top_right.col, top_right.row};
}

// ---------------------------------------------------------------------------------
// Segments.

// The 4-bit mode indicators of QR symbols; Micro QR and rMQR indicators map to these.
constexpr std::uint8_t kModeTerminator = 0b0000;
constexpr std::uint8_t kModeNumeric = 0b0001;
constexpr std::uint8_t kModeAlphanumeric = 0b0010;
constexpr std::uint8_t kModeStructuredAppend = 0b0011;
constexpr std::uint8_t kModeByte = 0b0100;
constexpr std::uint8_t kModeFnc1First = 0b0101;
constexpr std::uint8_t kModeEci = 0b0111;
constexpr std::uint8_t kModeKanji = 0b1000;
constexpr std::uint8_t kModeFnc1Second = 0b1001;
constexpr std::uint8_t kModeHanzi = 0b1101;

inline constexpr char kAlphanumeric[46] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ $%*+-./:";

// Bits of the character count for versions 1-9, 10-26 and 27-40.
struct CountBits {
    std::uint8_t bits[3];
};
inline constexpr CountBits kNumericCount{{10, 12, 14}};
inline constexpr CountBits kAlphanumericCount{{9, 11, 13}};
inline constexpr CountBits kByteCount{{8, 16, 16}};
inline constexpr CountBits kKanjiCount{{8, 10, 12}};  // Hanzi uses the same lengths

constexpr int count_band(int version) noexcept { return version <= 9 ? 0 : version <= 26 ? 1 : 2; }

// The ECI assignments whose character sets the Python side can turn into text.
inline constexpr std::uint16_t kSupportedEci[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 15, 16,
                                                  17, 18, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 170};

constexpr bool eci_supported(std::uint32_t value) noexcept {
    for (std::uint16_t e : kSupportedEci)
        if (e == value) return true;
    return false;
}

}  // namespace halvern::engine
