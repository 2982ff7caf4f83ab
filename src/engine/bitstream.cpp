// From modules to data: unmasking, the placement order, de-interleaving of the blocks,
// and the segment parser of the data bit stream.

#include <bit>
#include <cstdint>
#include <cstring>

#include "decode.hpp"
#include "decode_stages.hpp"
#include "tables.hpp"

namespace halvern::engine {

namespace {

// ===================================================================================
// Data masks
// ===================================================================================

// Whether mask m inverts module (r, c). Every mask repeats with period 12 along the
// rows and 6 along the columns, which the patterns below rely on.
constexpr bool mask_inverts(int m, int r, int c) noexcept {
    switch (m) {
        case 0: return (r + c) % 2 == 0;
        case 1: return r % 2 == 0;
        case 2: return c % 3 == 0;
        case 3: return (r + c) % 3 == 0;
        case 4: return (r / 2 + c / 3) % 2 == 0;
        case 5: return (r * c) % 2 + (r * c) % 3 == 0;
        case 6: return ((r * c) % 2 + (r * c) % 3) % 2 == 0;
        default: return ((r + c) % 2 + (r * c) % 3) % 2 == 0;
    }
}

constexpr int kMaskRows = 12;

// The flips of mask m along rows r mod 12.
using MaskPatterns = std::array<std::array<FlipPattern, kMaskRows>, 8>;

constexpr MaskPatterns make_mask_patterns() noexcept {
    MaskPatterns t{};
    for (int m = 0; m < 8; ++m)
        for (int r = 0; r < kMaskRows; ++r)
            for (int c = 0; c < 24; ++c) t[m][r].bytes[c] = mask_inverts(m, r, c) ? 1 : 0;
    return t;
}

constexpr MaskPatterns kMaskPatterns = make_mask_patterns();

// Eight bit-bytes into one codeword, first bit highest: the product moves the bit of
// the k-th byte in memory to bit 63 - k, and no two partial products share a bit, so
// nothing carries (the factor depends on where a load puts byte k).
std::uint8_t pack_bits(const std::uint8_t *bits) noexcept {
    constexpr std::uint64_t kGather =
        std::endian::native == std::endian::little ? 0x8040201008040201ULL : 0x0102040810204080ULL;
    std::uint64_t x;
    std::memcpy(&x, bits, 8);
    return static_cast<std::uint8_t>((x * kGather) >> 56);
}

}  // namespace

// ===================================================================================
// Codewords
// ===================================================================================

void read_codewords(const std::uint8_t *modules, int size, int mask, CodewordScratch &scratch,
                    std::uint8_t *out) noexcept {
    const int version = version_for_size(size);
    std::uint8_t *cells = scratch.cells;
    // cells: 0/1 the unmasked bit of a data module, 2 a function module.
    for (int r = 0; r < size; ++r) {
        const std::ptrdiff_t start = static_cast<std::ptrdiff_t>(r) * size;
        dark_bits(modules + start, &kMaskPatterns[mask & 7][r % kMaskRows], cells + start, size);
    }
    mark_function_modules(size, cells, 2);
    // The data bits of a strip in placement order, one byte each, after the bits left
    // over from the strips before: every cell is stored and the write position
    // advances past data cells only (no branch per module). At most 7 bits are left
    // over and a strip has 2 * size cells.
    std::uint8_t run[2 * kMaxSize + 8];
    int k = 0;
    int written = 0;
    const int total = codeword_count(version);
    walk_all_modules(
        size,
        [&](int index) {
            const std::uint8_t cell = cells[index];
            run[k] = cell;
            k += cell < 2;
        },
        [&] {
            const int whole = k / 8;
            for (int w = 0; w < whole && written < total; ++w) out[written++] = pack_bits(run + 8 * w);
            const int rest = k - 8 * whole;
            std::memmove(run, run + 8 * whole, static_cast<std::size_t>(rest));
            k = rest;
        });
}

void read_codeword_doubts(const std::uint8_t *doubts, int size, CodewordScratch &scratch,
                          std::uint8_t *out) noexcept {
    const int version = version_for_size(size);
    std::uint8_t *cells = scratch.cells;
    std::memset(cells, 0, static_cast<std::size_t>(size) * size);
    mark_function_modules(size, cells, 1);
    const int total = codeword_count(version);
    int bit = 0;
    int sum = 0;
    walk_data_modules(
        size, [&](int index) { return cells[index] == 0; },
        [&](int index) {
            if (bit / 8 >= total) return;
            const int d = doubts[index];
            sum += d * d;
            if (++bit % 8 == 0) {
                out[bit / 8 - 1] = static_cast<std::uint8_t>(sum < 255 ? sum : 255);
                sum = 0;
            }
        });
}

void deinterleave(const std::uint8_t *stream, const BlockLayout &layout, std::uint8_t *blocks_out) noexcept {
    const int count = layout.blocks;
    int starts[kMaxBlocks];
    int start = 0;
    for (int b = 0; b < count; ++b) {
        starts[b] = start;
        start += layout.data_of(b) + layout.ec_per_block;
    }
    int k = 0;
    for (int i = 0; i < layout.short_data; ++i)
        for (int b = 0; b < count; ++b) blocks_out[starts[b] + i] = stream[k++];
    for (int b = count - layout.long_blocks; b < count; ++b) blocks_out[starts[b] + layout.short_data] = stream[k++];
    for (int i = 0; i < layout.ec_per_block; ++i) {
        for (int b = 0; b < count; ++b) {
            blocks_out[starts[b] + layout.data_of(b) + i] = stream[k++];
        }
    }
}

// ===================================================================================
// Segments
// ===================================================================================

namespace {

constexpr std::uint32_t kHanziGb2312 = 0b0001;

// Bits of a byte array, most significant first; reads past the end are refused.
class BitReader {
public:
    // The first `bits` bits of data[0, (bits + 7) / 8).
    BitReader(const std::uint8_t *data, std::int64_t bits) noexcept
        : data_(data), length_((bits + 7) / 8), total_(bits) {}

    std::int64_t remaining() const noexcept { return total_ - pos_; }
    bool has(std::int64_t bits) const noexcept { return bits <= remaining(); }

    // The next n (0..24) bits; the caller has checked has(n). The four bytes from the
    // current one hold them all (at most 7 + 24 bits); bytes past the end read as 0.
    std::uint32_t take(int n) noexcept {
        if (n <= 0) return 0;
        const std::int64_t first = pos_ >> 3;
        std::uint32_t window = 0;
        for (int i = 0; i < 4; ++i) window = (window << 8) | (first + i < length_ ? data_[first + i] : 0u);
        const std::uint32_t value = (window << (pos_ & 7)) >> (32 - n);
        pos_ += n;
        return value;
    }

private:
    const std::uint8_t *data_;
    std::int64_t length_;
    std::int64_t total_;
    std::int64_t pos_ = 0;
};

// The state of one parse: the reader, the symbol being filled, the ECI in force.
struct Parser {
    BitReader bits;
    DecodedSymbol &out;
    const StreamSyntax &syntax;
    std::int32_t eci = -1;

    bool fail(StreamFault fault, std::int32_t value = 0) noexcept {
        out.error = DecodeError::data;
        out.fault = fault;
        out.fault_value = value;
        return false;
    }

    // Reserves n payload bytes; false (a fault) when the payload would overflow.
    bool room(std::int64_t n) noexcept {
        if (static_cast<std::int64_t>(out.payload_length) + n > kMaxPayload) return fail(StreamFault::past_end);
        return true;
    }

    void put(std::uint8_t byte) noexcept { out.payload[out.payload_length++] = byte; }

    bool digits(std::uint32_t value, int count) noexcept {
        char text[3];
        for (int i = count - 1; i >= 0; --i) {
            text[i] = static_cast<char>('0' + value % 10);
            value /= 10;
        }
        for (int i = 0; i < count; ++i) put(static_cast<std::uint8_t>(text[i]));
        return true;
    }

    bool numeric(std::uint32_t count) noexcept {
        const std::int64_t groups = count / 3;
        const int rest = static_cast<int>(count % 3);
        constexpr int kRestBits[3] = {0, 4, 7};
        constexpr std::uint32_t kRestLimit[3] = {1, 10, 100};
        if (!bits.has(10 * groups + kRestBits[rest])) return fail(StreamFault::past_end);
        if (!room(count)) return false;
        for (std::int64_t g = 0; g < groups; ++g) {
            const std::uint32_t v = bits.take(10);
            if (v > 999) return fail(StreamFault::numeric);
            digits(v, 3);
        }
        if (rest) {
            const std::uint32_t v = bits.take(kRestBits[rest]);
            if (v >= kRestLimit[rest]) return fail(StreamFault::numeric);
            digits(v, rest);
        }
        return true;
    }

    bool alphanumeric(std::uint32_t count) noexcept {
        const std::int64_t pairs = count / 2;
        const bool odd = count % 2;
        if (!bits.has(11 * pairs + 6 * odd)) return fail(StreamFault::past_end);
        if (!room(count)) return false;
        for (std::int64_t p = 0; p < pairs; ++p) {
            const std::uint32_t v = bits.take(11);
            if (v >= 45 * 45) return fail(StreamFault::alphanumeric);
            put(static_cast<std::uint8_t>(kAlphanumeric[v / 45]));
            put(static_cast<std::uint8_t>(kAlphanumeric[v % 45]));
        }
        if (odd) {
            const std::uint32_t v = bits.take(6);
            if (v >= 45) return fail(StreamFault::alphanumeric);
            put(static_cast<std::uint8_t>(kAlphanumeric[v]));
        }
        return true;
    }

    bool bytes(std::uint32_t count) noexcept {
        if (!bits.has(8 * static_cast<std::int64_t>(count))) return fail(StreamFault::past_end);
        if (!room(count)) return false;
        for (std::uint32_t i = 0; i < count; ++i) put(static_cast<std::uint8_t>(bits.take(8)));
        return true;
    }

    // `count` characters of 13 bits, two bytes each: code(v) gives a character's two
    // bytes (first byte high), or -1 when v stands for none (a `fault`).
    template <typename Code>
    bool two_byte(std::uint32_t count, StreamFault fault, Code &&code) noexcept {
        if (!bits.has(13 * static_cast<std::int64_t>(count))) return fail(StreamFault::past_end);
        if (!room(2 * static_cast<std::int64_t>(count))) return false;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::int32_t c = code(bits.take(13));
            if (c < 0) return fail(fault);
            put(static_cast<std::uint8_t>(c >> 8));
            put(static_cast<std::uint8_t>(c & 0xFF));
        }
        return true;
    }

    // Kanji: the two Shift JIS ranges 0x8140-0x9FFC and 0xE040-0xEBBF, shifted down to
    // meet below and above 0x1F00, in 13 bits as high * 0xC0 + low.
    bool kanji(std::uint32_t count) noexcept {
        return two_byte(count, StreamFault::none, [](std::uint32_t v) noexcept {
            const std::uint32_t packed = (v / 0xC0) << 8 | v % 0xC0;
            return static_cast<std::int32_t>(packed + (packed < 0x1F00 ? 0x8140 : 0xC140));
        });
    }

    // Hanzi: GB 2312 rows 0xA1A1-0xAAFE and 0xB0A1-0xFAFE, shifted down to meet at
    // 0x0A00, in 13 bits as high * 0x60 + low. A low part above 0x5D would leave the
    // second byte's range, a high part above 0x54 the rows (13 bits reach 0x55, whose
    // first byte 0xFB the native fuzzer found let through).
    bool hanzi(std::uint32_t count) noexcept {
        return two_byte(count, StreamFault::hanzi, [](std::uint32_t v) noexcept {
            const std::uint32_t high = v / 0x60;
            const std::uint32_t low = v % 0x60;
            if (low > 0x5D || high > 0x54) return std::int32_t{-1};
            return static_cast<std::int32_t>((high + (high < 0x0A ? 0xA1 : 0xA6)) << 8 | (low + 0xA1));
        });
    }

    // Under FNC1, "%%" in an alphanumeric segment stands for "%" and a single "%" for
    // the group separator 0x1D. Rewrites the segment's bytes in place (never longer).
    void fnc1_percents(SegmentInfo &segment) noexcept {
        std::uint8_t *p = out.payload + segment.offset;
        std::uint32_t w = 0;
        for (std::uint32_t r = 0; r < segment.length; ++r) {
            if (p[r] == '%') {
                if (r + 1 < segment.length && p[r + 1] == '%') {
                    p[w++] = '%';
                    ++r;
                } else {
                    p[w++] = 0x1D;
                }
            } else {
                p[w++] = p[r];
            }
        }
        out.payload_length -= segment.length - w;
        segment.length = w;
    }

    bool segment(std::uint32_t mode) noexcept {
        const int count_bits = syntax.count_bits[mode == kModeNumeric        ? 0
                                                 : mode == kModeAlphanumeric ? 1
                                                 : mode == kModeByte         ? 2
                                                                             : 3];
        if (mode == kModeHanzi) {
            if (!bits.has(4)) return fail(StreamFault::past_end);
            const std::uint32_t subset = bits.take(4);
            if (subset != kHanziGb2312) return fail(StreamFault::hanzi_subset, static_cast<std::int32_t>(subset));
        }
        if (!bits.has(count_bits)) return fail(StreamFault::past_end);
        const std::uint32_t count = bits.take(count_bits);
        if (out.segment_count >= kMaxSegments) return fail(StreamFault::past_end);
        SegmentInfo &info = out.segments[out.segment_count];
        info.mode = static_cast<SegmentMode>(mode);
        info.eci = eci;
        info.offset = out.payload_length;
        const bool ok = mode == kModeNumeric        ? numeric(count)
                        : mode == kModeAlphanumeric ? alphanumeric(count)
                        : mode == kModeByte         ? bytes(count)
                        : mode == kModeKanji        ? kanji(count)
                                                    : hanzi(count);
        if (!ok) return false;
        info.length = out.payload_length - info.offset;
        if (mode == kModeAlphanumeric && out.fnc1 != 0) fnc1_percents(info);
        ++out.segment_count;
        return true;
    }

    bool eci_designator() noexcept {
        if (!bits.has(8)) return fail(StreamFault::past_end);
        const std::uint32_t first = bits.take(8);
        std::uint32_t value;
        if ((first & 0x80) == 0) {
            value = first;
        } else if ((first & 0xC0) == 0x80) {
            if (!bits.has(8)) return fail(StreamFault::past_end);
            value = (first & 0x3F) << 8 | bits.take(8);
        } else if ((first & 0xE0) == 0xC0) {
            if (!bits.has(16)) return fail(StreamFault::past_end);
            value = (first & 0x1F) << 16 | bits.take(16);
        } else {
            return fail(StreamFault::eci_designator);
        }
        if (!eci_supported(value)) return fail(StreamFault::unsupported_eci, static_cast<std::int32_t>(value));
        eci = static_cast<std::int32_t>(value);
        return true;
    }

    bool structured_append() noexcept {
        if (!bits.has(16)) return fail(StreamFault::past_end);
        const std::uint32_t v = bits.take(16);
        if (out.structured_append) return fail(StreamFault::sa_repeated);
        const int index = static_cast<int>(v >> 12);
        const int total = static_cast<int>((v >> 8) & 0xF) + 1;
        if (index >= total) return fail(StreamFault::sa_index, index);
        out.structured_append = true;
        out.sa_index = index;
        out.sa_total = total;
        out.sa_parity = static_cast<int>(v & 0xFF);
        return true;
    }

    // The application indicator of FNC1 in second position: two digits (0-99) or a
    // letter plus 100 (165-190 upper case, 197-222 lower case).
    bool fnc1(std::uint32_t mode) noexcept {
        int application = -1;
        if (mode == kModeFnc1Second) {
            if (!bits.has(8)) return fail(StreamFault::past_end);
            const std::uint32_t v = bits.take(8);
            const bool valid = v < 100 || (v >= 165 && v <= 190) || (v >= 197 && v <= 222);
            if (!valid) return fail(StreamFault::fnc1_application, static_cast<std::int32_t>(v));
            application = static_cast<int>(v);
        }
        if (out.fnc1 != 0) return fail(StreamFault::fnc1_repeated);
        out.fnc1 = mode == kModeFnc1First ? 1 : 2;
        out.fnc1_application = application;
        return true;
    }

    // The stream ends at its terminator, or where fewer bits than one remain (an
    // encoder drops a terminator that does not fit).
    bool at_end() const noexcept {
        if (!bits.has(syntax.terminator_bits)) return true;
        BitReader probe = bits;
        return probe.take(syntax.terminator_bits) == kModeTerminator;
    }

    void run() noexcept {
        while (!at_end() && bits.has(syntax.indicator_bits)) {
            const std::uint32_t indicator = bits.take(syntax.indicator_bits);
            const std::uint32_t mode = syntax.mode_of[indicator];
            bool ok;
            switch (mode) {
                case kModeNumeric:
                case kModeAlphanumeric:
                case kModeByte:
                case kModeKanji:
                case kModeHanzi: ok = segment(mode); break;
                case kModeEci: ok = eci_designator(); break;
                case kModeStructuredAppend: ok = structured_append(); break;
                case kModeFnc1First:
                case kModeFnc1Second: ok = fnc1(mode); break;
                default: ok = fail(StreamFault::unknown_mode, static_cast<std::int32_t>(indicator)); break;
            }
            if (!ok) return;
        }
    }
};

}  // namespace

StreamSyntax qr_syntax(int version) noexcept {
    StreamSyntax syntax;
    syntax.indicator_bits = syntax.terminator_bits = 4;
    for (std::uint8_t i = 0; i < 16; ++i) syntax.mode_of[i] = i;
    const int band = count_band(version);
    syntax.count_bits[0] = kNumericCount.bits[band];
    syntax.count_bits[1] = kAlphanumericCount.bits[band];
    syntax.count_bits[2] = kByteCount.bits[band];
    syntax.count_bits[3] = kKanjiCount.bits[band];
    return syntax;
}

void parse_segments(const std::uint8_t *data, int length, int version, DecodedSymbol &out) noexcept {
    parse_stream(data, 8 * static_cast<std::int64_t>(length), qr_syntax(version), out);
}

void parse_stream(const std::uint8_t *data, std::int64_t bit_length, const StreamSyntax &syntax,
                  DecodedSymbol &out) noexcept {
    out.error = DecodeError::none;
    out.fault = StreamFault::none;
    out.fault_value = 0;
    out.segment_count = 0;
    out.payload_length = 0;
    out.fnc1 = 0;
    out.fnc1_application = -1;
    out.structured_append = false;
    out.sa_index = out.sa_total = out.sa_parity = 0;
    Parser parser{BitReader(data, bit_length), out, syntax};
    parser.run();
}

}  // namespace halvern::engine
