// The stages of decode_symbol, each reachable from the binding so that the tests can
// compare it with a plain reference: format and version information, restoration,
// placement and codeword gathering, de-interleaving, Reed-Solomon, the segment parser.
#pragma once

#include <cstdint>

#include "decode.hpp"
#include "tables.hpp"

namespace halvern::engine {

// Corrects every block of `blocks` (as deinterleave writes them) in place and gathers
// their data codewords into data, in block order; with `doubts` (per codeword, in
// block order) a block beyond errors-only correction is retried with erasures, keeping
// `reserved` codewords back. Returns the codewords changed, or -1 when a block is
// beyond the limit.
int correct_blocks(std::uint8_t *blocks, const BlockLayout &layout, int reserved, const std::uint8_t *doubts,
                   std::uint8_t *data) noexcept;

// Resets what a decode reports, as for a QR symbol (the large payload and segment
// arrays are left as they are: the counts say how much of them holds).
void clear_decoded(DecodedSymbol &out) noexcept;

// ---------------------------------------------------------------------------------
// format.cpp

// The format information of a matrix: the 5 data bits of the better copy and its bit
// errors; data is -1 when neither copy is within 3 bits of a codeword.
struct FormatReading {
    int data = -1;
    int errors = 0;
};

// Reads both format copies of a size x size matrix (nonzero is dark); the copy with
// fewer bit errors wins, the first (around the top-left finder) on a tie.
FormatReading read_format(const std::uint8_t *modules, int size) noexcept;

// Bit errors of the format copy farther from the codeword of `data` (0..31).
int worse_format_errors(const std::uint8_t *modules, int size, int data) noexcept;

// Fewest bit errors between a version copy and the word of the version `size`
// implies: 0 below version 7, -1 when both copies are more than 3 bits off.
int version_errors(const std::uint8_t *modules, int size) noexcept;

// Writes the restored matrix to out (size * size bytes of 0/1): every function module
// ideal, the format copies encoding `format_data`, every data module as sampled.
void restore_matrix(const std::uint8_t *modules, int size, int format_data, std::uint8_t *out) noexcept;

// Sets every function module of a size x size matrix (size * size bytes) to `value`,
// leaving the data modules alone: finders with separators, timing, alignment patterns,
// the dark module, format and version information.
void mark_function_modules(int size, std::uint8_t *cells, std::uint8_t value) noexcept;

// Flips along a row that repeat every 24 columns (a multiple of the masks' period 6 and
// of the 8 bytes dark_bits handles at a time): bytes[c % 24] is the flip (0 or 1) of
// column c.
struct FlipPattern {
    std::uint8_t bytes[24];
};

// out[c] = (in[c] != 0) ^ flip of column c, for c < n (flip may be null: no flips).
// Eight bytes at a time: byte loops over uint8_t pointers, which may alias, are not
// vectorised at -O2, and the matrix pass of a version 40 decode took 34 us that way.
void dark_bits(const std::uint8_t *in, const FlipPattern *flip, std::uint8_t *out, int n) noexcept;

// ---------------------------------------------------------------------------------
// bitstream.cpp

// Calls visit(index) for every module outside the vertical timing column, in the
// order codeword bits are placed: two-column strips from the right edge, alternately
// upward and downward, right module before left.
// strip_done() is called after each strip.
template <typename Visit, typename StripDone>
void walk_all_modules(int size, Visit &&visit, StripDone &&strip_done) noexcept {
    bool upward = true;
    for (int right = size - 1; right > 0; right -= 2) {
        if (right == 6) right = 5;
        const int step = upward ? -size : size;
        int index = upward ? (size - 1) * size + right : right;
        for (int i = 0; i < size; ++i, index += step) {
            visit(index);
            visit(index - 1);
        }
        strip_done();
        upward = !upward;
    }
}

// Calls visit(index) for every data module (is_data(index) true) in placement order.
template <typename IsData, typename Visit>
void walk_data_modules(int size, IsData &&is_data, Visit &&visit) noexcept {
    walk_all_modules(
        size,
        [&](int index) {
            if (is_data(index)) visit(index);
        },
        [] {});
}

// Scratch of one codeword read: the unmasked matrix with function modules marked.
struct CodewordScratch {
    std::uint8_t cells[kMaxModules];
};

// Unmasks the matrix with `mask` (0..7) and writes the codeword_count(version)
// codewords in placement order to out.
void read_codewords(const std::uint8_t *modules, int size, int mask, CodewordScratch &scratch,
                    std::uint8_t *out) noexcept;

// How uncertain each of the codeword_count(version) codewords is, in placement order:
// the sum of its modules' squared doubts (doubts[index] 0 for a sure reading), at most
// 255. One very uncertain module makes a codeword likelier wrong than several slightly
// uncertain ones.
void read_codeword_doubts(const std::uint8_t *doubts, int size, CodewordScratch &scratch,
                          std::uint8_t *out) noexcept;

// Splits the interleaved codeword stream of a layout into blocks, stored one after
// another (data then EC codewords) in blocks_out; the inverse of the encoder's
// round-robin interleaving.
void deinterleave(const std::uint8_t *stream, const BlockLayout &layout, std::uint8_t *blocks_out) noexcept;

// How a symbology writes its data bit stream: mode indicators `indicator_bits` wide
// (0: every segment numeric, as in the smallest Micro QR symbol), each standing for a
// mode by its 4-bit QR indicator (mode_of; an indicator of no mode maps to 0xFF or
// another unused code), `terminator_bits` zeros at the end, and the character count's
// bits for numeric, alphanumeric, byte and kanji (Hanzi as kanji) segments.
struct StreamSyntax {
    int indicator_bits = 4;
    int terminator_bits = 4;
    std::uint8_t mode_of[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::uint8_t count_bits[4] = {};
};

// The syntax of a QR symbol of `version`.
StreamSyntax qr_syntax(int version) noexcept;

// Parses the first bit_length bits of data as `syntax` writes them, as parse_segments.
void parse_stream(const std::uint8_t *data, std::int64_t bit_length, const StreamSyntax &syntax,
                  DecodedSymbol &out) noexcept;

// Parses the data bit stream data[0, length) of a symbol of `version` into out's
// segments, payload, FNC1 and structured-append fields; sets out.error to
// DecodeError::data and out.fault on a malformed stream. The stream ends at a
// terminator or when fewer than 4 bits remain.
void parse_segments(const std::uint8_t *data, int length, int version, DecodedSymbol &out) noexcept;

// ---------------------------------------------------------------------------------
// rs.cpp

// Corrects block[0, length) (data then `ec` EC codewords, 1 <= ec <= kMaxEcPerBlock,
// ec < length <= 255) in place when it lies within `limit` codeword errors of a
// codeword: returns the codewords changed, or -1 with the block untouched.
int rs_correct(std::uint8_t *block, int length, int ec, int limit) noexcept;

// As rs_correct, with the f codewords at block[erasures[k]] (distinct, inside the
// block) erased: their values are not trusted. Corrects e errors beside them when
// 2e + f <= budget (at most ec); returns the codewords changed, or -1 with the block
// untouched (also for bad erasures).
int rs_correct_erasures(std::uint8_t *block, int length, int ec, const int *erasures, int f, int budget) noexcept;

}  // namespace halvern::engine
