// What the native fuzz targets share: the input reader, the invariant check that
// stops the run, the checks every decoded content and every read record must pass,
// and the pictures the read targets draw from their bytes.
//
// Each target links the engine's sources directly (not the Python module), built with
// -fsanitize=fuzzer,address,undefined (see build.sh), so that the coverage guidance
// sees the engine's own branches.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "../../src/engine/decode.hpp"
#include "../../src/engine/decode_stages.hpp"
#include "../../src/engine/rmqr_tables.hpp"
#include "../../src/engine/stages.hpp"
#include "../../src/engine/symbologies.hpp"
#include "../../src/engine/tables.hpp"

namespace fuzz {

using namespace halvern::engine;

// A broken invariant aborts: libFuzzer then keeps the input as a crash.
[[noreturn]] inline void broken(const char *what, const char *file, int line) {
    std::fprintf(stderr, "invariant broken at %s:%d: %s\n", file, line, what);
    std::abort();
}

#define FUZZ_CHECK(cond) ((cond) ? static_cast<void>(0) : ::fuzz::broken(#cond, __FILE__, __LINE__))

// The fuzzer's bytes read front to back; past the end every read is 0, so that every
// byte string is an input.
class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) noexcept : data_(data), size_(size) {}

    std::uint8_t byte() noexcept { return at_ < size_ ? data_[at_++] : 0; }
    int u16() noexcept { return byte() | byte() << 8; }
    // The bytes not read yet.
    const std::uint8_t *rest() const noexcept { return data_ + at_; }
    std::size_t left() const noexcept { return size_ - at_; }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// ===================================================================================
// Decoded content
// ===================================================================================

inline bool is_alphanumeric(std::uint8_t c, bool fnc1) noexcept {
    return std::memchr(kAlphanumeric, c, 45) != nullptr || (fnc1 && c == 0x1D);
}

// The bytes of one segment are what its mode can produce.
inline void check_segment_bytes(const SegmentInfo &s, const std::uint8_t *p, bool fnc1) {
    switch (s.mode) {
        case SegmentMode::numeric:
            for (std::uint32_t i = 0; i < s.length; ++i) FUZZ_CHECK(p[i] >= '0' && p[i] <= '9');
            break;
        case SegmentMode::alphanumeric:
            for (std::uint32_t i = 0; i < s.length; ++i) FUZZ_CHECK(is_alphanumeric(p[i], fnc1));
            break;
        case SegmentMode::byte: break;
        case SegmentMode::kanji:
            FUZZ_CHECK(s.length % 2 == 0);
            for (std::uint32_t i = 0; i < s.length; i += 2) {
                FUZZ_CHECK((p[i] >= 0x81 && p[i] <= 0x9F) || (p[i] >= 0xE0 && p[i] <= 0xEB));
            }
            break;
        case SegmentMode::hanzi:
            // GB 2312's double-byte rows A1-AA and B0-FA, cells A1-FE.
            FUZZ_CHECK(s.length % 2 == 0);
            for (std::uint32_t i = 0; i < s.length; i += 2) {
                FUZZ_CHECK((p[i] >= 0xA1 && p[i] <= 0xAA) || (p[i] >= 0xB0 && p[i] <= 0xFA));
                FUZZ_CHECK(p[i + 1] >= 0xA1 && p[i + 1] <= 0xFE);
            }
            break;
        default: broken("segment mode", __FILE__, __LINE__);
    }
}

// The fields a parsed bit stream fills: segments that tile the payload in order, each
// holding only what its mode encodes; FNC1 and structured-append fields in range; a
// fault exactly when the stream was refused.
inline void check_stream(const DecodedSymbol &d) {
    if (d.error == DecodeError::data) {
        FUZZ_CHECK(d.fault != StreamFault::none);
        return;
    }
    FUZZ_CHECK(d.error == DecodeError::none && d.fault == StreamFault::none);
    FUZZ_CHECK(d.segment_count >= 0 && d.segment_count <= kMaxSegments);
    FUZZ_CHECK(d.payload_length <= static_cast<std::uint32_t>(kMaxPayload));
    std::uint32_t end = 0;
    for (int i = 0; i < d.segment_count; ++i) {
        const SegmentInfo &s = d.segments[i];
        FUZZ_CHECK(s.offset == end && s.length <= d.payload_length - s.offset);
        FUZZ_CHECK(s.eci == -1 || (s.eci >= 0 && eci_supported(static_cast<std::uint32_t>(s.eci))));
        check_segment_bytes(s, d.payload + s.offset, d.fnc1 != 0);
        end += s.length;
    }
    FUZZ_CHECK(end == d.payload_length);
    FUZZ_CHECK(d.fnc1 >= 0 && d.fnc1 <= 2);
    FUZZ_CHECK((d.fnc1 == 2) == (d.fnc1_application >= 0));
    FUZZ_CHECK(d.fnc1_application < 223);
    if (d.structured_append) {
        FUZZ_CHECK(d.sa_total >= 1 && d.sa_total <= 16 && d.sa_index >= 0 && d.sa_index < d.sa_total);
        FUZZ_CHECK(d.sa_parity >= 0 && d.sa_parity <= 255);
    }
}

// A symbol's decode: the stream's fields, and a version (0: any), level, mask and
// correction count the symbol can have (the count's bound from QR's block layouts).
inline void check_decoded(const DecodedSymbol &d, int expected_version) {
    if (d.error != DecodeError::none && d.error != DecodeError::data) {
        FUZZ_CHECK(d.fault == StreamFault::none);
        return;
    }
    check_stream(d);
    FUZZ_CHECK(expected_version == 0 || d.version == expected_version);
    FUZZ_CHECK(d.level >= 0 && d.level <= 3 && d.mask >= 0 && d.mask <= 7 && d.corrected >= 0);
    if (d.symbology != Symbology::qr) return;
    const BlockLayout layout = block_layout(d.version, d.level);
    FUZZ_CHECK(d.corrected >= 0 && d.corrected <= layout.blocks * layout.ec_per_block);
}

// Two decodes of the same content agree on everything they report.
inline bool same_content(const DecodedSymbol &a, const DecodedSymbol &b) noexcept {
    if (a.error != b.error || a.symbology != b.symbology || a.model != b.model || a.rows != b.rows ||
        a.columns != b.columns || a.version != b.version || a.level != b.level || a.mask != b.mask ||
        a.corrected != b.corrected || a.fault != b.fault || a.fnc1 != b.fnc1 ||
        a.fnc1_application != b.fnc1_application || a.structured_append != b.structured_append ||
        a.sa_index != b.sa_index || a.sa_total != b.sa_total || a.sa_parity != b.sa_parity ||
        a.segment_count != b.segment_count || a.payload_length != b.payload_length) {
        return false;
    }
    for (int i = 0; i < a.segment_count; ++i) {
        const SegmentInfo &s = a.segments[i], &t = b.segments[i];
        if (s.mode != t.mode || s.eci != t.eci || s.offset != t.offset || s.length != t.length) return false;
    }
    return std::memcmp(a.payload, b.payload, a.payload_length) == 0;
}

// ===================================================================================
// Read records
// ===================================================================================

inline bool finite(Point p) noexcept { return std::isfinite(p.x) && std::isfinite(p.y); }

// One record: a symbol size, finite geometry with the finder centres on the image,
// 0/1 modules, and for a decoded one content that decodes again from its own modules
// (or, read with erasures from its modules' doubts, is beyond errors-only correction
// without them).
inline void check_record(const SymbolRecord &r, int width, int height, const ReadOptions &options) {
    FUZZ_CHECK(((options.symbologies >> static_cast<int>(r.decoded.symbology)) & 1) != 0);
    const bool qr = r.decoded.symbology == Symbology::qr;
    FUZZ_CHECK(!qr || version_for_size(r.size) != 0);
    FUZZ_CHECK(r.size > 0 && r.size <= kMaxSize);
    for (const Point &c : r.position.corner) FUZZ_CHECK(finite(c));
    for (const Point &c : r.centres) FUZZ_CHECK(finite(c) && c.x >= 0 && c.y >= 0 && c.x <= width && c.y <= height);
    FUZZ_CHECK(r.orientation >= 0 && r.orientation < 360);
    FUZZ_CHECK(std::isfinite(r.module_size) && r.module_size > 0);
    FUZZ_CHECK(options.try_invert || !r.inverted);
    const std::size_t modules = static_cast<std::size_t>(r.size) * r.size;
    for (std::size_t i = 0; i < modules; ++i) FUZZ_CHECK(r.modules[i] <= 1);
    if (r.decoded.error != DecodeError::none || !qr) return;
    check_decoded(r.decoded, version_for_size(r.size));
    static DecodedSymbol again;
    decode_symbol(r.modules, r.size, again);
    FUZZ_CHECK(same_content(again, r.decoded) || again.error == DecodeError::too_many_errors);
}

// The records of one read: at most the capacity, decoded ones first, failures only
// when asked for, each well formed.
inline void check_records(const SymbolRecord *records, int count, int capacity, int width, int height,
                          const ReadOptions &options) {
    FUZZ_CHECK(count >= 0 && count <= capacity);
    bool failed = false;
    for (int i = 0; i < count; ++i) {
        const bool decoded = records[i].decoded.error == DecodeError::none;
        FUZZ_CHECK(!(decoded && failed));
        FUZZ_CHECK(decoded || options.keep_errors);
        failed = failed || !decoded;
        check_record(records[i], width, height, options);
    }
}

inline bool same_point(Point a, Point b) noexcept { return a.x == b.x && a.y == b.y; }

// Two reads found the same symbols at the same places with the same content.
inline bool same_records(const SymbolRecord *a, const SymbolRecord *b, int count) noexcept {
    for (int i = 0; i < count; ++i) {
        const SymbolRecord &r = a[i], &s = b[i];
        if (r.size != s.size || r.mirrored != s.mirrored || r.inverted != s.inverted ||
            !same_content(r.decoded, s.decoded)) {
            return false;
        }
        for (int k = 0; k < 4; ++k) {
            if (!same_point(r.position.corner[k], s.position.corner[k])) return false;
        }
    }
    return true;
}

// ===================================================================================
// Pictures and reads
// ===================================================================================

// Side and pixel bounds of a drawn picture: large enough for a few symbols at two to
// four pixels a module, small enough for thousands of reads a minute.
constexpr int kMaxSide = 512;
constexpr std::int64_t kMaxPixels = std::int64_t{1} << 18;

// A picture laid out at a stride, with filler past each row's end that the read must
// never look at.
struct Picture {
    int width = 0, height = 0;
    std::ptrdiff_t stride = 0;
    std::vector<std::uint8_t> pixels;

    ImageView view() const noexcept { return {pixels.data(), width, height, stride}; }
};

// A picture of cells `scale` pixels square: cell (x, y) of the canvas, cw cells wide,
// is cell(x + y * cw). The canvas is as tall as the cells the input holds.
template <typename Cell>
Picture canvas_picture(int cw, std::int64_t cells, int scale, int pad, std::uint8_t filler, Cell cell) {
    Picture p;
    const std::int64_t rows = (cells + cw - 1) / cw;
    int ch = static_cast<int>(rows < 1 ? 1 : rows > kMaxSide ? kMaxSide : rows);
    if (cw * scale > kMaxSide) cw = kMaxSide / scale;
    if (ch * scale > kMaxSide) ch = kMaxSide / scale;
    p.width = cw * scale;
    p.height = ch * scale;
    if (static_cast<std::int64_t>(p.width) * p.height > kMaxPixels) p.height = static_cast<int>(kMaxPixels / p.width);
    p.stride = p.width + pad;
    // The buffer ends with the last pixel, so that a read past it is caught.
    p.pixels.assign(static_cast<std::size_t>(p.height - 1) * p.stride + p.width, filler);
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x) {
            p.pixels[static_cast<std::size_t>(y) * p.stride + x] = cell(x / scale + static_cast<std::int64_t>(y / scale) * cw);
        }
    }
    return p;
}

// The same picture without row padding.
inline Picture packed(const Picture &p) {
    Picture q{p.width, p.height, p.width, {}};
    q.pixels.resize(static_cast<std::size_t>(p.width) * p.height);
    for (int y = 0; y < p.height; ++y) {
        std::memcpy(q.pixels.data() + static_cast<std::size_t>(y) * p.width, p.view().row(y), p.width);
    }
    return q;
}

// The records of one read, checked; the scratch sized as the binding sizes it.
struct Read {
    int count = 0;
    int capacity = 0;
    std::unique_ptr<SymbolRecord[]> records;
};

inline Read read_checked(const Picture &picture, const ReadOptions &options) {
    Read r;
    r.capacity = read_capacity(picture.width, picture.height);
    r.records = std::make_unique<SymbolRecord[]>(r.capacity);
    std::vector<std::uint8_t> scratch(read_scratch_bytes(picture.width, picture.height));
    r.count = read_symbols(picture.view(), options, scratch.data(), r.records.get(), r.capacity);
    check_records(r.records.get(), r.count, r.capacity, picture.width, picture.height, options);
    return r;
}

inline void check_same_reads(const Read &a, const Read &b) {
    FUZZ_CHECK(a.count == b.count);
    FUZZ_CHECK(same_records(a.records.get(), b.records.get(), a.count));
}

// Read options from one byte: invert pass, failures kept, binarizer (when `gray`),
// the families searched for (none drawn: all).
inline ReadOptions read_options(std::uint8_t flags, bool gray) noexcept {
    ReadOptions o;
    o.try_invert = (flags & 1) != 0;
    o.keep_errors = (flags & 2) != 0;
    o.binarizer = gray ? static_cast<Binarizer>((flags >> 2) % 3) : Binarizer::automatic;
    const std::uint8_t families = (flags >> 4) & kReadAll;
    o.symbologies = families != 0 ? families : kReadAll;
    return o;
}

}  // namespace fuzz
