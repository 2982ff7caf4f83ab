// rMQR: the layout and decoding of a sampled symbol, then the symbol around a lone
// finder: its frame from the finder's square, its size from the format information
// beside the finder, its grid fitted through the timing patterns along both long
// edges, which must alternate before anything is decoded.

#include <bit>
#include <cstring>

#include "decode_stages.hpp"
#include "rmqr_tables.hpp"
#include "symbologies.hpp"

namespace halvern::engine {

// ===================================================================================
// Layout and decoding
// ===================================================================================

namespace {

// Module of bit i (0 the lowest) of a format copy: beside the finder, columns 8 to 10
// from row 1 down, then column 11; beside the sub-finder, columns columns - 8 to
// columns - 6 from row rows - 6 down, then row rows - 6 to the right.
void rmqr_format_cell(bool sub, int rows, int columns, int i, int &r, int &c) noexcept {
    if (i < 15) {
        r = (sub ? rows - 6 : 1) + i % 5;
        c = (sub ? columns - 8 : 8) + i / 5;
    } else {
        r = sub ? rows - 6 : 1 + (i - 15);
        c = sub ? columns - 5 + (i - 15) : 11;
    }
}

// The 6 format bits whose word is nearest `word` within 3 bit errors, or -1.
int nearest_rmqr_format(std::uint32_t word, bool sub, int &errors) noexcept {
    const auto &words = sub ? kRmqrSubFinderWords : kRmqrFinderWords;
    int best = -1;
    errors = kMaxInfoBitErrors + 1;
    for (int d = 0; d < 64; ++d) {
        const int distance = std::popcount(word ^ words[d]);
        if (distance < errors) {
            errors = distance;
            best = d;
        }
    }
    return best;
}

template <typename Dark>
int read_rmqr_format(bool sub, int rows, int columns, Dark &&dark, int &errors) noexcept {
    std::uint32_t word = 0;
    for (int i = 0; i < 18; ++i) {
        int r, c;
        rmqr_format_cell(sub, rows, columns, i, r, c);
        word |= (dark(r, c) ? 1u : 0u) << i;
    }
    return nearest_rmqr_format(word, sub, errors);
}

// The codewords in placement order, unmasked: two-column strips from the column left
// of the right edge, upward first, right module before left.
void rmqr_codewords(const std::uint8_t *modules, int rows, int columns, int count, std::uint8_t *out) noexcept {
    int bit = 0;
    bool upward = true;
    std::memset(out, 0, static_cast<std::size_t>(count));
    for (int right = columns - 2; right >= 1; right -= 2) {
        for (int i = 0; i < rows; ++i) {
            const int r = upward ? rows - 1 - i : i;
            for (int c = right; c >= right - 1; --c) {
                if (rmqr_function(rows, columns, r, c)) continue;
                const bool dark = (modules[r * columns + c] != 0) != rmqr_mask(r, c);
                if (bit < 8 * count && dark) out[bit / 8] |= static_cast<std::uint8_t>(0x80 >> (bit % 8));
                ++bit;
            }
        }
        upward = !upward;
    }
}

BlockLayout rmqr_layout(const RmqrVersion &v, int level) noexcept {
    return split_blocks(v.codewords, v.ec[level], v.blocks[level], v.ec[level] / 2);
}

StreamSyntax rmqr_syntax(const RmqrVersion &v) noexcept {
    StreamSyntax syntax;
    syntax.indicator_bits = syntax.terminator_bits = 3;
    // 001 numeric, 010 alphanumeric, 011 byte, 100 kanji, 101 FNC1 first, 110 FNC1
    // second, 111 ECI: the QR mode each stands for.
    constexpr std::uint8_t kModes[8] = {0xFF,           kModeNumeric,   kModeAlphanumeric, kModeByte,
                                        kModeKanji,     kModeFnc1First, kModeFnc1Second,   kModeEci};
    for (int i = 0; i < 8; ++i) syntax.mode_of[i] = kModes[i];
    for (int i = 0; i < 4; ++i) syntax.count_bits[i] = v.count_bits[i];
    return syntax;
}

}  // namespace

DecodeError decode_rmqr(const std::uint8_t *modules, int rows, int columns, DecodedSymbol &out) noexcept {
    clear_decoded(out);
    const int index = rmqr_index(rows, columns);
    if (index < 0) return out.error = DecodeError::bad_size;
    const auto dark = [&](int r, int c) { return modules[r * columns + c] != 0; };
    int errors[2];
    const int copies[2] = {read_rmqr_format(false, rows, columns, dark, errors[0]),
                           read_rmqr_format(true, rows, columns, dark, errors[1])};
    int format = -1, best = kMaxInfoBitErrors + 1;
    for (int k = 0; k < 2; ++k) {
        if (copies[k] >= 0 && (copies[k] & 31) == index && errors[k] < best) {
            format = copies[k];
            best = errors[k];
        }
    }
    if (format < 0) return out.error = DecodeError::format;
    const RmqrVersion &v = kRmqr[index];
    out.symbology = Symbology::rmqr;
    out.model = 0;
    out.rows = rows;
    out.columns = columns;
    out.version = index + 1;
    out.level = format >> 5 ? 3 : 1;  // H or M
    const BlockLayout layout = rmqr_layout(v, format >> 5);
    std::uint8_t stream[kRmqrMaxCodewords], blocks[kRmqrMaxCodewords], data[kRmqrMaxCodewords];
    rmqr_codewords(modules, rows, columns, v.codewords, stream);
    deinterleave(stream, layout, blocks);
    const int corrected = correct_blocks(blocks, layout, 0, nullptr, data);
    if (corrected < 0) return out.error = DecodeError::too_many_errors;
    out.corrected = corrected;
    parse_stream(data, 8 * static_cast<std::int64_t>(layout.data_codewords), rmqr_syntax(v), out);
    return out.error;
}

// ===================================================================================
// Locating around a lone finder
// ===================================================================================

namespace {

// Fixed modules beside the finder that may be wrong in a frame worth following (of 12).
constexpr int kMaxRmqrMisses = 2;
constexpr double kMinRmqrTiming = 0.8;
constexpr int kRmqrTries = 2;

// How well the frame's fixed modules beside the finder hold (the separator column, the
// first timing modules of the top edge), and the format information there, which names
// the size.
void check_rmqr_frame(const ImageView &bits, LoneFrame &f) noexcept {
    const Homography &h = f.frame.module_to_image;
    const auto dark = [&](int r, int c) { return dark_at(bits, h.apply({c + 0.5, r + 0.5})); };
    int misses = 0;
    for (int r = 0; r < 7; ++r) misses += dark(r, 7) ? 1 : 0;
    for (int c = 8; c <= 12; ++c) misses += dark(0, c) != (c % 2 == 0) ? 1 : 0;
    f.misses = misses;
    f.format = read_rmqr_format(false, 0, 0, dark, f.format_errors);
}

// Whether column c of a symbol `columns` wide lies on an alignment pattern's columns.
bool near_alignment(int columns, int c) noexcept {
    for (std::uint8_t a : rmqr_alignment(columns)) {
        if (a != 0 && c >= a - 1 && c <= a + 1) return true;
    }
    return false;
}

// Share of the timing modules along the top and bottom edges that alternate through
// h, alignment and corner patterns left out.
double rmqr_timing(const ImageView &bits, const Homography &h, int rows, int columns) noexcept {
    int good = 0, total = 0;
    for (int c = 8; c < columns - 5; ++c) {
        if (near_alignment(columns, c)) continue;
        const bool expected = c % 2 == 0;
        good += dark_at(bits, h.apply({c + 0.5, 0.5})) == expected ? 1 : 0;
        good += dark_at(bits, h.apply({c + 0.5, rows - 0.5})) == expected ? 1 : 0;
        total += 2;
    }
    return total > 0 ? static_cast<double>(good) / total : 0.0;
}

constexpr int kRmqrPoints = 4 + kRmqrMaxRows + 2 * kRmqrMaxColumns;
constexpr int kRmqrPerspectivePoints = 16;

// The finder's corners and the measured edges of the dark timing modules: down the
// left edge below the finder, then along the top and bottom edges outward from the
// finder, each predicted through the affine fit of the points before it (a 139-module
// symbol runs twenty finders beyond its finder). Returns the count.
int rmqr_points(const ImageView &bits, const Homography &h, int rows, int columns, double module, Point *src,
                Point *dst) noexcept {
    int n = finder_corner_points(h, src, dst);
    Homography fit = h;
    // Affine while the points lie near the finder, where perspective terms fit their
    // noise; with perspective once both edges have a few points, since a tilt along
    // the symbol changes its module size from end to end (R7x139 tilted 30 degrees: 3
    // to 5 px a module).
    const auto refit = [&](int before) noexcept {
        return n == before || fit_homography(src, dst, n, fit, n < kRmqrPerspectivePoints);
    };
    for (int r = 8; r < rows - 2; r += 2) {
        const int before = n;
        n += edge_point(bits, fit, {0.5, r + 0.5}, {-1, 0}, module, src[n], dst[n]) ? 1 : 0;
        if (!refit(before)) return 0;
    }
    for (int c = 8; c < columns - 5; c += 2) {
        if (near_alignment(columns, c)) continue;
        const int before = n;
        n += edge_point(bits, fit, {c + 0.5, 0.5}, {0, -1}, module, src[n], dst[n]) ? 1 : 0;
        n += edge_point(bits, fit, {c + 0.5, rows - 0.5}, {0, 1}, module, src[n], dst[n]) ? 1 : 0;
        if (!refit(before)) return 0;
    }
    return n;
}

}  // namespace

bool read_rmqr(const ImageView &bits, const Finder &finder, const Point corners[4], DecodedSymbol &decoded,
               std::uint8_t *modules, LoneRead &where) noexcept {
    LoneFrame frames[8];
    const int count = lone_frames(corners, kMaxRmqrMisses, [&](LoneFrame &f) { check_rmqr_frame(bits, f); }, frames);
    Point src[kRmqrPoints], dst[kRmqrPoints];
    for (int i = 0; i < count && i < kRmqrTries; ++i) {
        const RmqrVersion &v = kRmqr[frames[i].format & 31];
        const int n = rmqr_points(bits, frames[i].frame.module_to_image, v.rows, v.columns, finder.module, src, dst);
        Homography grids[2];
        const int tries = fitted_grids(src, dst, n, grids);
        const auto timing = [&](const Homography &h) noexcept { return rmqr_timing(bits, h, v.rows, v.columns); };
        const int g = first_decoded(grids, tries, kMinRmqrTiming, timing, [&](const Homography &h) noexcept {
            sample_grid(bits, h, v.columns, finder.module, modules, v.rows);
            return decode_rmqr(modules, v.rows, v.columns, decoded) == DecodeError::none;
        });
        if (g < 0) continue;
        where = {grids[g], v.columns, v.rows, frames[i].frame.mirrored, Symbology::rmqr};
        return true;
    }
    return false;
}

}  // namespace halvern::engine
