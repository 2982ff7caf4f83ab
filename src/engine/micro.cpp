// Micro QR: the layout and decoding of a sampled symbol, then the symbol around a lone
// finder (its frame from the finder's square, its size from the format information,
// held to the timing patterns before anything is decoded).

#include <bit>
#include <cstring>

#include "decode_stages.hpp"
#include "micro_tables.hpp"
#include "symbologies.hpp"

namespace halvern::engine {

// ===================================================================================
// Layout and decoding
// ===================================================================================

namespace {

// Finder, separator and format information fill the 9 x 9 block at the top left; the
// timing patterns run along row 0 and column 0.
bool micro_function(int r, int c) noexcept { return (r <= 8 && c <= 8) || r == 0 || c == 0; }

// Bit 14 - k of the format word: row 8 from column 1 for k < 8, then column 8 upward
// from row 7.
void format_cell(int k, int &r, int &c) noexcept {
    if (k < 8) {
        r = 8;
        c = k + 1;
    } else {
        r = 15 - k;
        c = 8;
    }
}

std::uint32_t micro_format_word(const std::uint8_t *modules, int size) noexcept {
    std::uint32_t word = 0;
    for (int k = 0; k < 15; ++k) {
        int r, c;
        format_cell(k, r, c);
        word = (word << 1) | (modules[r * size + c] != 0 ? 1u : 0u);
    }
    return word;
}

// The 5 format bits nearest `word` within 3 bit errors, or -1; `errors` gets the
// distance.
int decode_micro_format(std::uint32_t word, int &errors) noexcept {
    int best = -1;
    errors = kMaxInfoBitErrors + 1;
    for (int d = 0; d < 32; ++d) {
        const int distance = std::popcount(word ^ static_cast<std::uint32_t>(kMicroFormatWords[d]));
        if (distance < errors) {
            errors = distance;
            best = d;
        }
    }
    return best;
}

// The data modules' bits (unmasked) in placement order: two-column strips from the
// right edge, upward first, right module before left. Returns the count.
int micro_bits(const std::uint8_t *modules, int size, int mask, std::uint8_t *bits) noexcept {
    int n = 0;
    bool upward = true;
    for (int right = size - 1; right >= 1; right -= 2) {
        for (int i = 0; i < size; ++i) {
            const int r = upward ? size - 1 - i : i;
            for (int c = right; c >= right - 1; --c) {
                if (micro_function(r, c)) continue;
                bits[n++] = static_cast<std::uint8_t>((modules[r * size + c] != 0) ^ micro_mask(mask, r, c));
            }
        }
        upward = !upward;
    }
    return n;
}

std::uint8_t byte_at(const std::uint8_t *bits, int from, int count) noexcept {
    unsigned v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 1) | (i < count ? bits[from + i] : 0u);
    return static_cast<std::uint8_t>(v);
}

StreamSyntax micro_syntax(int version) noexcept {
    StreamSyntax syntax;
    syntax.indicator_bits = micro_indicator_bits(version);
    syntax.terminator_bits = micro_terminator_bits(version);
    constexpr std::uint8_t kModes[4] = {kModeNumeric, kModeAlphanumeric, kModeByte, kModeKanji};
    for (int i = 0; i < 4; ++i) {
        syntax.count_bits[i] = kMicroCountBits[version - 1][i];
        if (syntax.count_bits[i] != 0) syntax.mode_of[i] = kModes[i];
    }
    return syntax;
}

}  // namespace

DecodeError decode_micro(const std::uint8_t *modules, int size, DecodedSymbol &out) noexcept {
    clear_decoded(out);
    const int version = micro_version(size);
    if (version == 0) return out.error = DecodeError::bad_size;
    int errors = 0;
    const int format = decode_micro_format(micro_format_word(modules, size), errors);
    if (format < 0) return out.error = DecodeError::format;
    const MicroSymbol &symbol = kMicroSymbols[format >> 2];
    if (symbol.version != version) return out.error = DecodeError::format;
    out.symbology = Symbology::micro_qr;
    out.model = 0;
    out.rows = out.columns = size;
    out.version = version;
    out.level = symbol.level;
    out.mask = format & 3;
    std::uint8_t bits[kMicroModules];
    micro_bits(modules, size, out.mask, bits);
    // The block: data codewords (a last one of 4 bits as its high nibble), then EC.
    std::uint8_t block[kMicroMaxCodewords];
    const int ec = symbol.codewords - symbol.data;
    for (int i = 0; i < symbol.data; ++i) {
        const int from = 8 * i;
        block[i] = byte_at(bits, from, symbol.data_bits - from < 8 ? symbol.data_bits - from : 8);
    }
    for (int i = 0; i < ec; ++i) block[symbol.data + i] = byte_at(bits, symbol.data_bits + 8 * i, 8);
    const int corrected = rs_correct(block, symbol.codewords, ec, symbol.correctable);
    if (corrected < 0) return out.error = DecodeError::too_many_errors;
    out.corrected = corrected;
    if (mask_only(block, symbol.data)) {
        out.fault = StreamFault::mask_only;
        return out.error = DecodeError::data;
    }
    parse_stream(block, symbol.data_bits, micro_syntax(version), out);
    return out.error;
}

// ===================================================================================
// Locating around a lone finder
// ===================================================================================

namespace {

// Fixed modules near the finder that may be wrong in a frame worth decoding (of 21):
// blur and a tilted finder's corner cost one or two.
constexpr int kMaxFrameMisses = 3;
// Timing modules that must alternate along both edges out to the size the format
// states.
constexpr double kMinMicroTiming = 0.8;
// Frames decoded per finder at most.
constexpr int kMicroTries = 2;

// Share of timing modules in cols 8 .. size - 1 of row 0 and rows of column 0 that
// alternate through h, the quiet zone's first module beyond each end included.
double micro_timing(const ImageView &bits, const Homography &h, int size) noexcept {
    int good = 0, total = 0;
    for (int i = 8; i <= size; ++i) {
        const bool expected = i < size && i % 2 == 0;
        good += dark_at(bits, h.apply({i + 0.5, 0.5})) == expected ? 1 : 0;
        good += dark_at(bits, h.apply({0.5, i + 0.5})) == expected ? 1 : 0;
        total += 2;
    }
    return static_cast<double>(good) / total;
}

// How well the frame's fixed modules near the finder hold: the separator (15 light
// modules) and the first three timing modules of each edge. The format information
// read there says which symbol it is.
void check_frame(const ImageView &bits, LoneFrame &f) noexcept {
    const Homography &h = f.frame.module_to_image;
    int misses = 0;
    for (int i = 0; i < 8; ++i) {
        misses += dark_at(bits, h.apply({i + 0.5, 7.5})) ? 1 : 0;
        if (i < 7) misses += dark_at(bits, h.apply({7.5, i + 0.5})) ? 1 : 0;
    }
    for (int i = 8; i <= 10; ++i) {
        const bool expected = i % 2 == 0;
        misses += dark_at(bits, h.apply({i + 0.5, 0.5})) != expected ? 1 : 0;
        misses += dark_at(bits, h.apply({0.5, i + 0.5})) != expected ? 1 : 0;
    }
    f.misses = misses;
    std::uint32_t word = 0;
    for (int k = 0; k < 15; ++k) {
        int r, c;
        format_cell(k, r, c);
        word = (word << 1) | (dark_at(bits, h.apply({c + 0.5, r + 0.5})) ? 1u : 0u);
    }
    f.format = decode_micro_format(word, f.format_errors);
}

// Points that fix a symbol's transform better than its finder alone, whose edges lie
// on whole pixels of the binarized image and put the far end of a symbol of 15 modules
// at 3 px a module half a module off: the finder's corners and the measured edges of
// the dark timing modules out to `size`. Each pair of timing modules is predicted
// through the fit of the ones before it. Returns the count (at most kMicroPoints).
constexpr int kMicroPoints = 4 + 2 * (kMicroMaxSize / 2) + 2;

int micro_points(const ImageView &bits, const Homography &h, int size, double module, Point *src,
                 Point *dst) noexcept {
    int n = finder_corner_points(h, src, dst);
    Homography fit = h;
    for (int i = 8; i < size; i += 2) {
        const int before = n;
        n += edge_point(bits, fit, {i + 0.5, 0.5}, {0, -1}, module, src[n], dst[n]) ? 1 : 0;
        n += edge_point(bits, fit, {0.5, i + 0.5}, {-1, 0}, module, src[n], dst[n]) ? 1 : 0;
        if (n > before && n >= 6 && !fit_homography(src, dst, n, fit)) return 0;
    }
    const double last = size - 0.5;
    n += edge_point(bits, fit, {last, 0.5}, {1, 0}, module, src[n], dst[n]) ? 1 : 0;
    n += edge_point(bits, fit, {0.5, last}, {0, 1}, module, src[n], dst[n]) ? 1 : 0;
    return n;
}

// The grids worth sampling for a frame, best first: through the timing points, then
// the finder's own. Returns the count.
int micro_grids(const ImageView &bits, const Homography &frame, int size, double module,
                Homography grids[3]) noexcept {
    Point src[kMicroPoints], dst[kMicroPoints];
    const int count = fitted_grids(src, dst, micro_points(bits, frame, size, module, src, dst), grids);
    grids[count] = frame;
    return count + 1;
}

}  // namespace

bool read_micro(const ImageView &bits, const Finder &finder, const Point corners[4], DecodedSymbol &decoded,
                std::uint8_t *modules, LoneRead &where) noexcept {
    LoneFrame frames[8];
    const int count = lone_frames(corners, kMaxFrameMisses, [&](LoneFrame &f) { check_frame(bits, f); }, frames);
    for (int i = 0; i < count && i < kMicroTries; ++i) {
        const LoneFrame &f = frames[i];
        const int size = micro_size(kMicroSymbols[f.format >> 2].version);
        Homography grids[3];
        const int tries = micro_grids(bits, f.frame.module_to_image, size, finder.module, grids);
        const auto timing = [&](const Homography &h) noexcept { return micro_timing(bits, h, size); };
        const int g = first_decoded(grids, tries, kMinMicroTiming, timing, [&](const Homography &h) noexcept {
            sample_grid(bits, h, size, finder.module, modules);
            return decode_micro(modules, size, decoded) == DecodeError::none;
        });
        if (g < 0) continue;
        where = {grids[g], size, size, f.frame.mirrored, Symbology::micro_qr};
        return true;
    }
    return false;
}

}  // namespace halvern::engine
