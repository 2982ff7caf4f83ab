// Format and version information (BCH codes) and strict restoration of the function
// patterns around them.

#include <bit>
#include <cstdint>
#include <cstring>

#include "decode.hpp"
#include "decode_stages.hpp"
#include "image.hpp"
#include "tables.hpp"

namespace halvern::engine {

namespace {

// ===================================================================================
// Where the information bits sit
// ===================================================================================

// Module of bit `bit` (0 = least significant) of format copy `copy` (0: around the
// top-left finder; 1: split between the top-right and bottom-left finders).
Cell format_cell(int size, int copy, int bit) noexcept {
    if (copy == 0) {
        if (bit < 6) return {bit, 8};
        if (bit < 9) return bit == 6 ? Cell{7, 8} : bit == 7 ? Cell{8, 8} : Cell{8, 7};
        return {8, 14 - bit};
    }
    if (bit < 8) return {8, size - 1 - bit};
    return {size - 15 + bit, 8};
}

template <typename CellOf>
std::uint32_t read_word(const std::uint8_t *modules, int size, int bits, CellOf cell_of) noexcept {
    std::uint32_t word = 0;
    for (int bit = 0; bit < bits; ++bit) {
        const Cell c = cell_of(bit);
        if (modules[c.row * size + c.col] != 0) word |= 1u << bit;
    }
    return word;
}

// (data bits, bit errors) of the format codeword nearest `word`.
FormatReading nearest_format(std::uint32_t word) noexcept {
    FormatReading best{0, 16};
    for (int data = 0; data < 32; ++data) {
        const int errors = std::popcount(word ^ kFormatWords[data]);
        if (errors < best.errors) best = {data, errors};
    }
    return best;
}

// ===================================================================================
// The ideal function patterns
// ===================================================================================

// The value of the finder (dist 0..3 from its centre: dark, dark, light, dark) and of
// the alignment pattern (0..2: dark, light, dark) by Chebyshev distance.
constexpr std::uint8_t kFinderRings[4] = {1, 1, 0, 1};
constexpr std::uint8_t kAlignmentRings[3] = {1, 0, 1};

int chebyshev(int dr, int dc) noexcept {
    dr = dr < 0 ? -dr : dr;
    dc = dc < 0 ? -dc : dc;
    return dr > dc ? dr : dc;
}

// Draws an 8 x 8 corner square: the finder whose top-left module is (row, col) and its
// light separator, clipped to the symbol.
void draw_finder(std::uint8_t *out, int size, int row, int col) noexcept {
    for (int r = row - 1; r <= row + 7; ++r) {
        for (int c = col - 1; c <= col + 7; ++c) {
            if (r < 0 || c < 0 || r >= size || c >= size) continue;
            const int d = chebyshev(r - (row + 3), c - (col + 3));
            out[r * size + c] = d <= 3 ? kFinderRings[d] : 0;
        }
    }
}

void draw_alignments(std::uint8_t *out, int size, int version) noexcept {
    for_each_alignment(version, [&](int cr, int cc) {
        for (int r = cr - 2; r <= cr + 2; ++r)
            for (int c = cc - 2; c <= cc + 2; ++c) out[r * size + c] = kAlignmentRings[chebyshev(r - cr, c - cc)];
    });
}

}  // namespace

// ===================================================================================
// Format and version words
// ===================================================================================

int decode_format_word(std::uint32_t word) noexcept {
    const FormatReading r = nearest_format(word & 0x7FFFu);
    return r.errors <= kMaxInfoBitErrors ? r.data : -1;
}

int decode_version_word(std::uint32_t word) noexcept {
    word &= 0x3FFFFu;
    for (int v = kFirstVersionWithInfo; v <= kMaxVersion; ++v)
        if (std::popcount(word ^ kVersionWords[v]) <= kMaxInfoBitErrors) return v;
    return 0;
}

FormatReading read_format(const std::uint8_t *modules, int size) noexcept {
    FormatReading best{};
    for (int copy = 0; copy < 2; ++copy) {
        const std::uint32_t word =
            read_word(modules, size, 15, [&](int bit) { return format_cell(size, copy, bit); });
        const FormatReading r = nearest_format(word);
        // Strictly fewer errors to replace: the first copy wins ties.
        if (r.errors <= kMaxInfoBitErrors && (best.data < 0 || r.errors < best.errors)) best = r;
    }
    return best;
}

int worse_format_errors(const std::uint8_t *modules, int size, int data) noexcept {
    int worst = 0;
    for (int copy = 0; copy < 2; ++copy) {
        const std::uint32_t word =
            read_word(modules, size, 15, [&](int bit) { return format_cell(size, copy, bit); });
        const int errors = std::popcount(word ^ kFormatWords[data & 31]);
        if (errors > worst) worst = errors;
    }
    return worst;
}

int version_errors(const std::uint8_t *modules, int size) noexcept {
    const int version = version_for_size(size);
    if (version < kFirstVersionWithInfo) return 0;
    int fewest = 18;
    for (int copy = 0; copy < 2; ++copy) {
        const std::uint32_t word =
            read_word(modules, size, 18, [&](int bit) { return version_cell(size, copy, bit); });
        const int errors = std::popcount(word ^ kVersionWords[version]);
        if (errors < fewest) fewest = errors;
    }
    return fewest <= kMaxInfoBitErrors ? fewest : -1;
}

// ===================================================================================
// Restoration
// ===================================================================================

void restore_matrix(const std::uint8_t *modules, int size, int format_data, std::uint8_t *out) noexcept {
    const int version = version_for_size(size);
    const int n = size * size;
    dark_bits(modules, nullptr, out, n);
    draw_finder(out, size, 0, 0);
    draw_finder(out, size, 0, size - 7);
    draw_finder(out, size, size - 7, 0);
    // The timing patterns are dark on even coordinates.
    for (int i = 8; i < size - 8; ++i) out[6 * size + i] = out[i * size + 6] = static_cast<std::uint8_t>(1 - i % 2);
    draw_alignments(out, size, version);
    out[(size - 8) * size + 8] = 1;
    const std::uint32_t format_word = kFormatWords[format_data & 31];
    for (int copy = 0; copy < 2; ++copy) {
        for (int bit = 0; bit < 15; ++bit) {
            const Cell c = format_cell(size, copy, bit);
            out[c.row * size + c.col] = (format_word >> bit) & 1u;
        }
    }
    if (version >= kFirstVersionWithInfo) {
        for (int copy = 0; copy < 2; ++copy) {
            for (int bit = 0; bit < 18; ++bit) {
                const Cell c = version_cell(size, copy, bit);
                out[c.row * size + c.col] = (kVersionWords[version] >> bit) & 1u;
            }
        }
    }
}

void dark_bits(const std::uint8_t *in, const FlipPattern *flip, std::uint8_t *out, int n) noexcept {
    int c = 0;
    for (int offset = 0; c + 8 <= n; c += 8, offset = offset == 16 ? 0 : offset + 8) {
        std::uint64_t x;
        std::memcpy(&x, in + c, 8);
        // Each nonzero byte's top bit moved down to bit 0.
        std::uint64_t bits = nonzero_bytes(x) >> 7;
        if (flip != nullptr) {
            std::uint64_t f;
            std::memcpy(&f, flip->bytes + offset, 8);
            bits ^= f;
        }
        std::memcpy(out + c, &bits, 8);
    }
    for (; c < n; ++c) out[c] = static_cast<std::uint8_t>((in[c] != 0) ^ (flip != nullptr ? flip->bytes[c % 24] : 0));
}

void mark_function_modules(int size, std::uint8_t *cells, std::uint8_t value) noexcept {
    const int version = version_for_size(size);
    auto mark = [&](int row, int col, int height, int width) {
        for (int r = row; r < row + height; ++r)
            std::memset(cells + r * size + col, value, static_cast<std::size_t>(width));
    };
    mark(0, 0, 9, 9);  // finder, separator and the first format copy
    mark(0, size - 8, 9, 8);
    mark(size - 8, 0, 8, 9);  // the dark module included
    mark(6, 8, 1, size - 16);
    mark(8, 6, size - 16, 1);
    for_each_alignment(version, [&](int cr, int cc) { mark(cr - 2, cc - 2, 5, 5); });
    if (version >= kFirstVersionWithInfo) {
        mark(0, size - 11, 6, 3);
        mark(size - 11, 0, 3, 6);
    }
}

}  // namespace halvern::engine
