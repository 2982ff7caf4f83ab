// Reading a sampled symbol: from a module matrix to its content. This header is the
// contract between the reader's grid stage and the decoder.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "tables.hpp"

namespace halvern::engine {

// Why a symbol did not decode. The reader retries on some of these (a bad format may
// mean a mirrored grid, a version mismatch the neighbouring version).
enum class DecodeError : std::uint8_t {
    none = 0,
    bad_size,         // size is not 21, 25, ..., 177
    format,           // neither format copy is within 3 bits of a codeword
    version,          // version information does not match the size
    too_many_errors,  // a block is beyond the correction limit
    data,             // the corrected bit stream is malformed (see StreamFault)
};

// What is wrong with a malformed bit stream (DecodeError::data), with
// DecodedSymbol::fault_value holding the offending value where there is one.
enum class StreamFault : std::uint8_t {
    none = 0,
    unknown_mode,      // a mode indicator no segment has (value: the 4 bits)
    past_end,          // a segment or header runs past the end of the data
    numeric,           // a digit group above 999, 99 or 9
    alphanumeric,      // a character pair above 44 * 45 + 44 or a single above 44
    hanzi,             // a Hanzi value outside the GB 2312 double-byte rows
    hanzi_subset,      // a Hanzi subset other than GB 2312 (value: the 4 bits)
    eci_designator,    // a designator whose first byte starts 111
    unsupported_eci,   // an assignment without a known character set (value: the number)
    fnc1_repeated,     // a second FNC1 indicator
    fnc1_application,  // an application indicator that is neither two digits nor a letter (value)
    sa_index,          // a structured-append index not below its total
    sa_repeated,       // a second structured-append header
    mask_only,         // every data codeword 0: the data modules are the mask pattern itself
};

}  // namespace halvern::engine

namespace halvern::engine {

// The largest payload of any symbol: 7089 digits of a numeric version 40-L symbol,
// one byte each; kanji and Hanzi characters take two bytes and byte segments one.
constexpr int kMaxPayload = 7168;
// A segment header costs at least 12 bits (an ECI designator); 23648 data bits of a
// version 40-L symbol hold fewer than 2048 of them.
constexpr int kMaxSegments = 2048;

// A segment's mode, by its QR mode indicator.
enum class SegmentMode : std::uint8_t {
    numeric = kModeNumeric,
    alphanumeric = kModeAlphanumeric,
    byte = kModeByte,
    kanji = kModeKanji,
    hanzi = kModeHanzi,
};

// One data segment: its bytes are data[offset, offset + length) of the symbol's
// payload. Numeric and alphanumeric segments hold ASCII, byte segments their bytes,
// kanji segments two Shift JIS bytes per character, Hanzi two GB 2312 bytes. Under
// FNC1 an alphanumeric segment holds its text with "%" already turned into the group
// separator 0x1D and "%%" into "%".
struct SegmentInfo {
    SegmentMode mode = SegmentMode::byte;
    std::int32_t eci = -1;  // the ECI designator in force, -1 when none was announced
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
};

// The family a symbol belongs to; bit `1 << value` of ReadOptions::symbologies asks
// for it.
enum class Symbology : std::uint8_t { qr = 0, micro_qr = 1, rmqr = 2 };

// Everything a decoded symbol carries. Plain fixed-size data (about 50 kB): the
// caller allocates it before the lock is released.
struct DecodedSymbol {
    DecodeError error = DecodeError::none;
    Symbology symbology = Symbology::qr;
    int model = 2;    // a QR symbol's model, 1 or 2; 0 for the other families
    int version = 0;  // QR 1..40, Micro QR 1..4 (M1..M4); rMQR names its size instead
    int rows = 0, columns = 0;  // modules down and across
    int level = 0;  // 0..3 for L, M, Q, H
    int mask = 0;
    int corrected = 0;  // codewords changed by error correction
    int fnc1 = 0;       // 0 none, 1 in first position (GS1), 2 in second position
    int fnc1_application = -1;  // the application indicator of FNC1 in second position
    bool structured_append = false;
    int sa_index = 0;  // 0-based position of this symbol in the sequence
    int sa_total = 0;
    int sa_parity = 0;
    StreamFault fault = StreamFault::none;
    std::int32_t fault_value = 0;
    int segment_count = 0;
    std::uint32_t payload_length = 0;
    SegmentInfo segments[kMaxSegments];
    std::uint8_t payload[kMaxPayload];
};

// `to` = `from` as far as it is read: its fields, its segment_count segments and its
// payload_length payload bytes (the arrays' tails are never read). A record took the
// whole 50 kB, some 20k instructions a decoded small code (the 60 small codes' fast
// reads 41.1M to 38.8M instructions, callgrind).
inline void copy_decoded(const DecodedSymbol &from, DecodedSymbol &to) noexcept {
    static_assert(std::is_trivially_copyable_v<DecodedSymbol> && std::is_standard_layout_v<DecodedSymbol>);
    // Through void *: GCC's -Wclass-memaccess takes the member initializers for a
    // non-trivial type and warns of a partial copy, which is what is meant here.
    std::memcpy(static_cast<void *>(&to), &from, offsetof(DecodedSymbol, segments));
    const int segments = std::clamp(from.segment_count, 0, kMaxSegments);
    std::memcpy(to.segments, from.segments, static_cast<std::size_t>(segments) * sizeof(SegmentInfo));
    std::memcpy(to.payload, from.payload, std::min<std::size_t>(from.payload_length, kMaxPayload));
}

// Whether the corrected data codewords are all zero. No encoder writes that (an empty
// message still pads with 0xEC 0x11), but a grid laid over a checkerboard or stripes
// samples exactly the mask pattern, which unmasks to zeros: a valid Reed-Solomon
// codeword with an empty message (the soak's checkerboard #76213 read as '' that way).
bool mask_only(const std::uint8_t *data, int count) noexcept;

// Decodes a sampled symbol: modules[r * size + c] nonzero is dark (row r, column c as
// the symbol reads). Fills `out` and returns out.error; DecodeError::none on success.
// With `doubts` (doubts[r * size + c] how uncertain module (c, r)'s reading is, 0 for
// sure), a block beyond errors-only correction is retried with its least certain
// codewords erased: e errors beside f erasures are corrected when 2e + f leaves the
// reserved codewords, and the chance that a wrong block passes stays below 2^-32.
DecodeError decode_symbol(const std::uint8_t *modules, int size, DecodedSymbol &out,
                          const std::uint8_t *doubts = nullptr) noexcept;

// The version (7..40) whose 18-bit version word is nearest `word`, within 3 bit
// errors, or 0.
int decode_version_word(std::uint32_t word) noexcept;

// The 5 format bits (level indicator and mask) whose 15-bit masked format word is
// nearest `word`, within 3 bit errors, or -1.
int decode_format_word(std::uint32_t word) noexcept;

}  // namespace halvern::engine
