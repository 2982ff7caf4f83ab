// Binarization: gray or bilevel pixels to one byte per pixel, 1 dark.
//
// The local threshold works on 8x8 blocks: one pass gathers each block's sum, minimum
// and maximum (and the histogram of every eighth row), a second writes the bits. A
// block whose levels span at least kMinContrast levels and clearly more than the noise
// (see min_contrast) is "contrasting"; a pixel is dark when it is below the mean of the
// block means of the contrasting blocks in the 5x5 blocks around its own (for a
// contrasting block, within its own levels). Blocks with no contrasting neighbour
// (paper, sky, the inside of a large module far from any edge) fall back to the global
// (Otsu) threshold of the rows counted. Integer arithmetic only, so the tests' NumPy
// version reproduces it bit for bit.

#include <cstring>

#if defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64)
#include <emmintrin.h>
#define HALVERN_SSE2 1
#endif

#include "stages.hpp"

namespace halvern::engine {

namespace {

// Levels a block must span to carry an edge; below it the block is sensor noise.
constexpr int kMinContrast = 24;
// Blocks on each side of the window that sets a block's threshold.
constexpr int kWindow = 2;
// The local threshold's histogram counts every eighth row. It sets the split between the
// image's dark and light (the fallback of blocks without contrast, and the class means
// that cap the least contrast), which a sample of the rows estimates within a level or
// so; counted over every pixel, one store a pixel, it was half the binarizer's time
// (93 of 141 us of a 0.2 MP camera scene's fast read went to binarizing, 52 with every
// fourth row, where it was still 8% of the median camera scenes' reads).
constexpr int kHistogramRowStep = 8;

struct BlockGrid {
    int cols = 0;
    int rows = 0;
    std::size_t count() const noexcept { return static_cast<std::size_t>(cols) * rows; }
};

BlockGrid blocks_of(int width, int height) noexcept {
    return {(width + kBlock - 1) / kBlock, (height + kBlock - 1) / kBlock};
}

// Scratch: sums (u32), minima, maxima (u8), the limits (a block row's limits as one
// byte a pixel column: each block's limit repeated kBlock times, so the threshold pass
// reads them beside the pixels), then the prefix sums of contrasting means and counts
// (u32, packed: see contrast_prefix) over a (cols + 1) x (rows + 1) grid with kWindow
// more on each side.
struct BlockScratch {
    std::uint32_t *sum;
    std::uint8_t *low;
    std::uint8_t *high;
    std::uint8_t *limits;
    std::uint32_t *prefix;
};

std::size_t scratch_layout(const BlockGrid &g, void *base, BlockScratch *out) noexcept {
    const std::size_t n = g.count();
    const std::size_t prefix = static_cast<std::size_t>(g.cols + 1 + 2 * kWindow) * (g.rows + 1 + 2 * kWindow);
    const std::size_t sizes[5] = {n * 4, n, n, n * kBlock, prefix * 4};
    std::size_t offset = 0;
    std::size_t offsets[5];
    for (int i = 0; i < 5; ++i) {
        offsets[i] = offset;
        offset += align16(sizes[i]);
    }
    if (out != nullptr) {
        auto *b = static_cast<unsigned char *>(base);
        out->sum = reinterpret_cast<std::uint32_t *>(b + offsets[0]);
        out->low = b + offsets[1];
        out->high = b + offsets[2];
        out->limits = b + offsets[3];
        out->prefix = reinterpret_cast<std::uint32_t *>(b + offsets[4]);
    }
    return offset;
}

// The histogram of rows 0, row_step, 2 row_step, ... Eight interleaved counts: on a
// uniform image one count per pixel would wait on its own last store (7 ns a pixel
// measured; 1.5 ns with four counts, and eight took the 41 camera scenes' binarizer
// from 10.3 to 9.3 ms). The counts are flushed only before a row could overflow one of
// 32 bits: flushed every row, the 256 sums and the clearing made a read of a gray image
// one pixel wide 8 times slower per pixel than a square one.
void histogram_of(const ImageView &image, int row_step, std::uint64_t histogram[256]) noexcept {
    constexpr int kParts = 8;
    std::uint32_t parts[kParts][256];
    std::memset(parts, 0, sizeof(parts));
    std::memset(histogram, 0, 256 * sizeof(std::uint64_t));
    const auto flush = [&]() noexcept {
        for (int v = 0; v < 256; ++v) {
            std::uint64_t total = 0;
            for (int k = 0; k < kParts; ++k) total += parts[k][v];
            histogram[v] += total;
        }
        std::memset(parts, 0, sizeof(parts));
    };
    const auto count4 = [&parts](const std::uint8_t *p, int k) noexcept {
        ++parts[k][p[0]];
        ++parts[k + 1][p[1]];
        ++parts[k + 2][p[2]];
        ++parts[k + 3][p[3]];
    };
    // Pixels counted since the last flush: a bound on every count.
    std::uint64_t pending = 0;
    // In 64 bits: the last step may pass INT_MAX on an image one pixel wide.
    for (std::int64_t y = 0; y < image.height; y += row_step) {
        if (pending + static_cast<std::uint64_t>(image.width) > 0xFFFFFFFFull) {
            flush();
            pending = 0;
        }
        const std::uint8_t *row = image.row(static_cast<int>(y));
        int x = 0;
        // Sixteen a step: the loop's own three instructions a step were a quarter of the
        // count's 2.75 instructions a pixel (41M of the 41 camera scenes' 117M).
        for (; x + 16 <= image.width; x += 16) {
            count4(row + x, 0);
            count4(row + x + 4, 4);
            count4(row + x + 8, 0);
            count4(row + x + 12, 4);
        }
        for (; x + 4 <= image.width; x += 4) count4(row + x, 0);
        for (; x < image.width; ++x) ++parts[0][row[x]];
        pending += static_cast<std::uint64_t>(image.width);
    }
    flush();
}

constexpr std::uint64_t kHigh = kTopBits<std::uint64_t>;
constexpr std::uint64_t kOnes = kEachByte<std::uint64_t>;

// Pixels of the row that are neither `a` nor `b`, as a nonzero value; 0 when none.
std::uint64_t other_levels(const std::uint8_t *row, int width, std::uint8_t a, std::uint8_t b) noexcept {
    const std::uint64_t ra = a * kOnes, rb = b * kOnes;
    std::uint64_t other = 0;
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        std::uint64_t v;
        std::memcpy(&v, row + x, 8);
        other |= nonzero_bytes(v ^ ra) & nonzero_bytes(v ^ rb);
    }
    for (; x < width; ++x) other |= (row[x] != a && row[x] != b) ? 1 : 0;
    return other;
}

// True when every pixel of the row is `a`: a plain OR of differences, 32 bytes a step,
// with no per-byte mask (the one-level page is the common case, and the two-mask test
// below cost 2.5 times as much there).
bool all_level(const std::uint8_t *row, int width, std::uint8_t a) noexcept {
    const std::uint64_t ra = a * kOnes;
    std::uint64_t d0 = 0, d1 = 0, d2 = 0, d3 = 0;
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        std::uint64_t v[4];
        std::memcpy(v, row + x, 32);
        d0 |= v[0] ^ ra;
        d1 |= v[1] ^ ra;
        d2 |= v[2] ^ ra;
        d3 |= v[3] ^ ra;
    }
    for (; x + 8 <= width; x += 8) {
        std::uint64_t v;
        std::memcpy(&v, row + x, 8);
        d0 |= v ^ ra;
    }
    for (; x < width; ++x) d0 |= row[x] ^ a;
    return (d0 | d1 | d2 | d3) == 0;
}

// The image's two levels (low < high) when it has at most two (high == low for one).
// Eight pixels a step: the check is a full pass over every bilevel image. Until a
// second level shows up a row is only compared with the first.
bool two_levels(const ImageView &image, int &low, int &high) noexcept {
    const std::uint8_t a = image.row(0)[0];
    int b = -1;
    for (int y = 0; y < image.height; ++y) {
        const std::uint8_t *row = image.row(y);
        if (b < 0) {
            if (all_level(row, image.width, a)) continue;
        } else if (other_levels(row, image.width, a, static_cast<std::uint8_t>(b)) == 0) {
            continue;
        }
        if (b >= 0) return false;
        for (int x = 0; x < image.width; ++x) {
            if (row[x] != a) {
                b = row[x];
                break;
            }
        }
        --y;  // the row again, now with both levels known
    }
    low = b < 0 || a < b ? a : b;
    high = b < 0 ? a : (a < b ? b : a);
    return true;
}

// Writes one 0/1 byte per pixel, eight pixels at a time: word(v) maps eight packed
// pixels to their 0/1 bytes, byte(p) does the same for the row's tail.
template <typename Word, typename Byte>
void map_to_bits(const ImageView &image, std::uint8_t *bits, Word word, Byte byte) noexcept {
    for (int y = 0; y < image.height; ++y) {
        const std::uint8_t *row = image.row(y);
        std::uint8_t *out = bits + static_cast<std::size_t>(y) * image.width;
        int x = 0;
        for (; x + 8 <= image.width; x += 8) {
            std::uint64_t v;
            std::memcpy(&v, row + x, 8);
            const std::uint64_t ones = word(v);
            std::memcpy(out + x, &ones, 8);
        }
        for (; x < image.width; ++x) out[x] = byte(row[x]);
    }
}

// bits = (pixel == level).
void level_bits(const ImageView &image, std::uint8_t level, std::uint8_t *bits) noexcept {
    const std::uint64_t rl = level * kOnes;
    map_to_bits(
        image, bits, [rl](std::uint64_t v) { return (nonzero_bytes(v ^ rl) ^ kHigh) >> 7; },
        [level](std::uint8_t p) -> std::uint8_t { return p == level ? 1 : 0; });
}

}  // namespace

bool bits_row(const std::uint8_t *row, int width) noexcept {
    constexpr std::uint64_t high7 = ~kOnes;
    std::uint64_t other = 0;
    int x = 0;
#if defined(HALVERN_SSE2)
    // Sixty-four bytes a step into four ORs, tested once a row: the test of a bilevel
    // 1 MP page cost 0.59M instructions with sixteen bytes a step, a tenth of its read.
    __m128i a = _mm_setzero_si128(), b = a, c = a, d = a;
    for (; x + 64 <= width; x += 64) {
        const auto *at = reinterpret_cast<const __m128i *>(row + x);
        a = _mm_or_si128(a, _mm_loadu_si128(at));
        b = _mm_or_si128(b, _mm_loadu_si128(at + 1));
        c = _mm_or_si128(c, _mm_loadu_si128(at + 2));
        d = _mm_or_si128(d, _mm_loadu_si128(at + 3));
    }
    const __m128i all = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(all, _mm_set1_epi8(-2)), _mm_setzero_si128())) != 0xFFFF) {
        return false;
    }
#endif
    for (; x + 8 <= width; x += 8) {
        std::uint64_t v;
        std::memcpy(&v, row + x, 8);
        other |= v & high7;
    }
    for (; x < width; ++x) other |= row[x] & 0xFEu;
    return other == 0;
}

bool is_bits(const ImageView &image) noexcept {
    if (image.width <= 0 || image.height <= 0) return true;
    for (int y = 0; y < image.height; ++y) {
        if (!bits_row(image.row(y), image.width)) return false;
    }
    return true;
}

namespace {

// bits = pixel != 0.
void nonzero_bits(const ImageView &image, std::uint8_t *bits) noexcept {
    map_to_bits(
        image, bits, [](std::uint64_t v) { return nonzero_bytes(v) >> 7; },
        [](std::uint8_t p) -> std::uint8_t { return p != 0 ? 1 : 0; });
}

// Writes bits = pixel < limit (limit 0: all light, 256: all dark).
void threshold_all(const ImageView &image, int limit, std::uint8_t *bits) noexcept {
    if (limit <= 0 || limit > 255) {
        // One value everywhere (a one-level page lands here): no compare per pixel.
        std::memset(bits, limit <= 0 ? 0 : 1, static_cast<std::size_t>(image.width) * image.height);
        return;
    }
    for (int y = 0; y < image.height; ++y) {
        const std::uint8_t *row = image.row(y);
        std::uint8_t *out = bits + static_cast<std::size_t>(y) * image.width;
        for (int x = 0; x < image.width; ++x) out[x] = row[x] < limit ? 1 : 0;
    }
}

// The least span of a contrasting block. Sensor noise alone spans 40 levels in a block
// at a deviation of 8; counted as contrast it split the light around large modules into
// salt and pepper (a code at 20 px a module under a light gradient did not read). Most
// blocks of a photo away from the code are background, so the lowest eighth of the
// block spans measures the noise: a block must span twice as much, and at least
// kMinContrast, but need not span more than half the gap between the image's dark and
// light means (the two Otsu classes), or codes in a shadow would lose their edges.
// (The lower quartile served until a code filled four fifths of the frame: then it
// was the span of the code's shadowed half, and that half went all dark.)
int min_contrast(const std::uint64_t histogram[256], int split, const BlockGrid &g,
                 const BlockScratch &s) noexcept {
    std::uint64_t spans[256] = {};
    const std::size_t n = g.count();
    for (std::size_t i = 0; i < n; ++i) ++spans[s.high[i] - s.low[i]];
    int eighth = 0;
    std::uint64_t seen = 0;
    for (; eighth < 255; ++eighth) {
        seen += spans[eighth];
        if (8 * seen >= n) break;
    }
    double below = 0, weighted_below = 0, above = 0, weighted_above = 0;
    for (int v = 0; v < 256; ++v) {
        const double count = static_cast<double>(histogram[v]);
        if (v <= split) {
            below += count;
            weighted_below += v * count;
        } else {
            above += count;
            weighted_above += v * count;
        }
    }
    int floor = 2 * eighth;
    if (below > 0 && above > 0) {
        const int half_gap = static_cast<int>((weighted_above / above - weighted_below / below) / 2.0);
        floor = floor < half_gap ? floor : half_gap;
    }
    return floor > kMinContrast ? floor : kMinContrast;
}

// The dark-limit of the histogram's Otsu split `split`; 0 (all light) for an image of
// one level.
int global_limit(const std::uint64_t histogram[256], int split) noexcept {
    int levels = 0;
    for (int v = 0; v < 256; ++v) levels += histogram[v] != 0 ? 1 : 0;
    return levels < 2 ? 0 : split + 1;
}

// Adds the pixels [x0, x1) of `row` to one block's sum, minimum and maximum.
void gather_span(const std::uint8_t *row, int x0, int x1, const BlockScratch &s, std::size_t i) noexcept {
    std::uint32_t sum = 0;
    int low = s.low[i], high = s.high[i];
    for (int x = x0; x < x1; ++x) {
        const int v = row[x];
        sum += static_cast<std::uint32_t>(v);
        low = v < low ? v : low;
        high = v > high ? v : high;
    }
    s.sum[i] += sum;
    s.low[i] = static_cast<std::uint8_t>(low);
    s.high[i] = static_cast<std::uint8_t>(high);
}

#if defined(HALVERN_SSE2)
static_assert(kBlock == 8, "a 16-byte vector holds two blocks of a row");

// Two blocks side by side (16 columns from x) over the rows of one block row: lane-wise
// minima and maxima down the rows, then across each half; the sums of each half from
// _mm_sad_epu8. A scalar pass cost a camera scene a fifth of its read.
void gather_pair(const std::uint8_t *const rows[kBlock], int count, int x, const BlockScratch &s,
                 std::size_t i) noexcept {
    __m128i low = _mm_set1_epi8(static_cast<char>(0xFF)), high = _mm_setzero_si128(), sum = _mm_setzero_si128();
    const auto add_row = [&](int r) noexcept {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(rows[r] + x));
        low = _mm_min_epu8(low, v);
        high = _mm_max_epu8(high, v);
        sum = _mm_add_epi64(sum, _mm_sad_epu8(v, _mm_setzero_si128()));
    };
    // A full block row written out: the loop's counter was 3M of the 41 camera scenes'
    // 10M instructions of gathering.
    if (count == kBlock) {
        add_row(0);
        add_row(1);
        add_row(2);
        add_row(3);
        add_row(4);
        add_row(5);
        add_row(6);
        add_row(7);
    } else {
        for (int r = 0; r < count; ++r) add_row(r);
    }
    const auto fold = [&](int shift) noexcept {
        low = _mm_min_epu8(low, _mm_srli_epi64(low, shift));
        high = _mm_max_epu8(high, _mm_srli_epi64(high, shift));
    };
    fold(32);
    fold(16);
    fold(8);
    const auto lows = static_cast<std::uint32_t>(_mm_cvtsi128_si32(low)) & 0xFFu;
    const auto highs = static_cast<std::uint32_t>(_mm_cvtsi128_si32(high)) & 0xFFu;
    s.low[i] = static_cast<std::uint8_t>(lows);
    s.high[i] = static_cast<std::uint8_t>(highs);
    s.sum[i] = static_cast<std::uint32_t>(_mm_cvtsi128_si32(sum));
    s.low[i + 1] = static_cast<std::uint8_t>(_mm_cvtsi128_si32(_mm_srli_si128(low, 8)) & 0xFF);
    s.high[i + 1] = static_cast<std::uint8_t>(_mm_cvtsi128_si32(_mm_srli_si128(high, 8)) & 0xFF);
    s.sum[i + 1] = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(sum, 8)));
}
#endif

// Each block's sum, minimum and maximum, a block row at a time.
void gather_blocks(const ImageView &image, const BlockGrid &g, const BlockScratch &s) noexcept {
    const std::size_t n = g.count();
    std::memset(s.sum, 0, n * sizeof(std::uint32_t));
    std::memset(s.low, 255, n);
    std::memset(s.high, 0, n);
    for (int by = 0; by < g.rows; ++by) {
        const int y0 = by * kBlock;
        const int count = y0 + kBlock <= image.height ? kBlock : image.height - y0;
        const std::uint8_t *rows[kBlock];
        for (int r = 0; r < count; ++r) rows[r] = image.row(y0 + r);
        const std::size_t base = static_cast<std::size_t>(by) * g.cols;
        int bx = 0;
#if defined(HALVERN_SSE2)
        for (; (bx + 2) * kBlock <= image.width; bx += 2) gather_pair(rows, count, bx * kBlock, s, base + bx);
#endif
        for (; bx < g.cols; ++bx) {
            const int x0 = bx * kBlock;
            const int x1 = x0 + kBlock < image.width ? x0 + kBlock : image.width;
            for (int r = 0; r < count; ++r) gather_span(rows[r], x0, x1, s, base + bx);
        }
    }
}

// One contrasting block in a packed prefix sum (see below).
constexpr std::uint32_t kCountOne = 1u << 16;
static_assert((2 * kWindow + 1) * (2 * kWindow + 1) * 255 < kCountOne, "a window's mean sum fits below its count");

// The prefix sums over the block grid of the contrasting blocks' means and of their
// count, packed in 32 bits as mean + (count << 16): a window's sums (25 means of at
// most 255, 25 blocks) stay below 1 << 16 each, so they are exact from differences of
// prefixes even where those wrap, and one sum serves both. A full block's mean is a
// shift of its sum; only the last column and row divide (two divisions a block, one
// of 64 bits, were the window's slowest instructions). The grid has kWindow more
// columns and rows on each side, zero before the first and repeating the last after
// it, so a window reaching over an edge sums what is inside with no clamp a block
// (the window cost 52 instructions a block with the sums apart and clamped, 28 so).
void contrast_prefix(const ImageView &image, const BlockGrid &g, const BlockScratch &s, int contrast) noexcept {
    constexpr std::uint32_t kFull = kBlock * kBlock;
    const std::size_t pw = static_cast<std::size_t>(g.cols) + 1 + 2 * kWindow;
    std::memset(s.prefix, 0, (kWindow + 1) * pw * sizeof(std::uint32_t));
    const auto last_w = static_cast<std::uint32_t>(image.width - (g.cols - 1) * kBlock);
    for (int by = 0; by < g.rows; ++by) {
        const auto h = static_cast<std::uint32_t>((by + 1) * kBlock <= image.height ? kBlock : image.height - by * kBlock);
        const std::uint32_t area = kBlock * h, last_area = last_w * h;
        std::uint32_t row_sum = 0;
        std::uint32_t *p = s.prefix + (static_cast<std::size_t>(by) + 1 + kWindow) * pw + kWindow;
        for (int k = -kWindow; k <= 0; ++k) p[k] = 0;
        for (int bx = 0; bx < g.cols; ++bx) {
            const std::size_t i = static_cast<std::size_t>(by) * g.cols + bx;
            if (s.high[i] - s.low[i] >= contrast) {
                const std::uint32_t pixels = bx + 1 < g.cols ? area : last_area;
                row_sum += (pixels == kFull ? s.sum[i] / kFull : s.sum[i] / pixels) + kCountOne;
            }
            p[bx + 1] = p[static_cast<std::ptrdiff_t>(bx) + 1 - static_cast<std::ptrdiff_t>(pw)] + row_sum;
        }
        for (int k = 1; k <= kWindow; ++k) p[g.cols + k] = p[g.cols];
    }
    std::uint32_t *last = s.prefix + (static_cast<std::size_t>(g.rows) + kWindow) * pw;
    for (int k = 1; k <= kWindow; ++k) std::memcpy(last + k * pw, last, pw * sizeof(std::uint32_t));
}

// Block thresholds from the 5x5 windows of contrasting block means.
void block_thresholds(const BlockGrid &g, const BlockScratch &s, int fallback, int contrast) noexcept {
    const std::size_t pw = static_cast<std::size_t>(g.cols) + 1 + 2 * kWindow;
    constexpr int kSpan = 2 * kWindow + 1;
    for (int by = 0; by < g.rows; ++by) {
        const std::uint32_t *a = s.prefix + static_cast<std::size_t>(by) * pw;
        const std::uint32_t *b = a + kSpan * pw;
        for (int bx = 0; bx < g.cols; ++bx) {
            const std::uint32_t sums = b[bx + kSpan] - a[bx + kSpan] - b[bx] + a[bx];
            const std::uint32_t mean = sums & (kCountOne - 1), count = sums / kCountOne;
            // pixel < mean / count  <=>  pixel < ceil(mean / count) for integer pixels.
            int limit = count == 0 ? fallback : static_cast<int>((mean + count - 1) / count);
            // A block of twice the least contrast is never made all dark or all light: by
            // a hard shadow's edge the window mixes lit and shadowed blocks, and its mean
            // fell above every level of the shadowed ones (a finder in the shadow went
            // black). Such a block is split at the middle of its own levels. Not a block
            // of less: inside a large dark module sensor noise alone spans the least
            // contrast, and split it turned the module to salt and pepper.
            const std::size_t i = static_cast<std::size_t>(by) * g.cols + bx;
            const int low = s.low[i], high = s.high[i];
            if (high - low >= 2 * contrast && (limit > high || limit <= low)) limit = (low + high + 1) / 2;
            // Every limit is a level in [0, 255]: a ceiling of a mean of block means, the
            // middle of a block's levels, or Otsu's split + 1 (a level with pixels above
            // it), so one byte holds it.
            std::memset(s.limits + i * kBlock, limit, kBlock);
        }
    }
}

// bits = pixel < limit of its column. Sixteen pixels a step where SSE2 is: dark where
// the saturated limit - pixel is nonzero. Packing two blocks' limits into a vector on
// every row cost the 41 camera scenes 32M instructions of their binarizer's 117M.
void threshold_blocks(const ImageView &image, const BlockGrid &g, const BlockScratch &s,
                      std::uint8_t *bits) noexcept {
    const std::size_t limit_row = static_cast<std::size_t>(g.cols) * kBlock;
    for (int y = 0; y < image.height; ++y) {
        const std::uint8_t *row = image.row(y);
        std::uint8_t *out = bits + static_cast<std::size_t>(y) * image.width;
        const std::uint8_t *limits = s.limits + static_cast<std::size_t>(y / kBlock) * limit_row;
        int x = 0;
#if defined(HALVERN_SSE2)
        const __m128i ones = _mm_set1_epi8(1), zero = _mm_setzero_si128();
        for (; x + 16 <= image.width; x += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + x));
            const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i *>(limits + x));
            const __m128i light = _mm_cmpeq_epi8(_mm_subs_epu8(t, v), zero);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + x), _mm_andnot_si128(light, ones));
        }
#endif
        for (; x < image.width; ++x) out[x] = row[x] < limits[x] ? 1 : 0;
    }
}

}  // namespace

int otsu_threshold(const std::uint64_t histogram[256]) noexcept {
    double total = 0, weighted_total = 0;
    for (int v = 0; v < 256; ++v) {
        total += static_cast<double>(histogram[v]);
        weighted_total += static_cast<double>(v) * static_cast<double>(histogram[v]);
    }
    int best = -1;
    double best_between = -1.0;
    double below = 0, weighted_below = 0;
    for (int v = 0; v < 256; ++v) {
        below += static_cast<double>(histogram[v]);
        weighted_below += static_cast<double>(v) * static_cast<double>(histogram[v]);
        const double above = total - below;
        if (below == 0 || above == 0) continue;
        const double gap = weighted_below / below - (weighted_total - weighted_below) / above;
        const double between = below * above * gap * gap;
        if (between > best_between) {
            best = v;
            best_between = between;
        }
    }
    if (best >= 0) return best;
    for (int v = 0; v < 256; ++v) {
        if (histogram[v] != 0) return v;
    }
    return 0;
}

namespace {

#if defined(HALVERN_SSE2)
__m128i load16(const std::uint8_t *p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
#endif

// sums = above + current + below (no row below: null), byte by byte. Sixteen pixels a
// step where SSE2 is (a 5% noise page's denoise 3.1M instructions with eight), else
// eight: column sums of three 0/1 rows are at most 3 a byte, so bytes never carry.
void column_sums(const std::uint8_t *above, const std::uint8_t *current, const std::uint8_t *below,
                 std::uint8_t *sums, std::size_t w) noexcept {
    std::size_t x = 0;
#if defined(HALVERN_SSE2)
    for (; x + 16 <= w; x += 16) {
        __m128i sum = _mm_add_epi8(load16(above + x), load16(current + x));
        if (below != nullptr) sum = _mm_add_epi8(sum, load16(below + x));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(sums + x), sum);
    }
#endif
    for (; x + 8 <= w; x += 8) {
        std::uint64_t a, c, b = 0;
        std::memcpy(&a, above + x, 8);
        std::memcpy(&c, current + x, 8);
        if (below != nullptr) std::memcpy(&b, below + x, 8);
        const std::uint64_t sum = a + c + b;
        std::memcpy(sums + x, &sum, 8);
    }
    for (; x < w; ++x) sums[x] = static_cast<std::uint8_t>(above[x] + current[x] + (below != nullptr ? below[x] : 0));
}

// row[x] = 1 where sums[x - 1] + sums[x] + sums[x + 1] reach 5 (sums[-1] and sums[w]
// zero). The sum of three column sums is at most 9, so bytes never carry; a byte's top
// bit after adding 128 - 5 is set exactly when it reaches 5.
void majority_row(const std::uint8_t *sums, std::uint8_t *row, std::size_t w) noexcept {
    constexpr std::uint64_t kTop = 0x8080808080808080ull, kBias = 0x7B7B7B7B7B7B7B7Bull;
    std::size_t x = 0;
#if defined(HALVERN_SSE2)
    for (; x + 16 <= w; x += 16) {
        const __m128i three = _mm_add_epi8(_mm_add_epi8(load16(sums + x - 1), load16(sums + x)), load16(sums + x + 1));
        const __m128i votes = _mm_srli_epi16(
            _mm_and_si128(_mm_add_epi8(three, _mm_set1_epi8(0x7B)), _mm_set1_epi8(static_cast<char>(0x80))), 7);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(row + x), votes);
    }
#endif
    for (; x + 8 <= w; x += 8) {
        std::uint64_t left, middle, right;
        std::memcpy(&left, sums + x - 1, 8);
        std::memcpy(&middle, sums + x, 8);
        std::memcpy(&right, sums + x + 1, 8);
        const std::uint64_t votes = ((left + middle + right + kBias) & kTop) >> 7;
        std::memcpy(row + x, &votes, 8);
    }
    // Through a pointer to the column: sums[x - 1] at x = 0 wraps the unsigned index
    // (UBSan's pointer-overflow check on a row narrower than 8 pixels).
    for (; x < w; ++x) {
        const std::uint8_t *column = sums + x;
        row[x] = column[-1] + column[0] + column[1] >= 5 ? 1 : 0;
    }
}

}  // namespace

std::size_t denoise_scratch_bytes(int width) noexcept {
    // The row above, the current row, and the column sums with a zero byte either side.
    return 3 * static_cast<std::size_t>(width < 0 ? 0 : width) + 16;
}

void denoise(const std::uint8_t *from, std::uint8_t *to, int width, int height, std::uint8_t *rows) noexcept {
    if (width <= 0 || height <= 0) return;
    const std::size_t w = static_cast<std::size_t>(width);
    // In place, each row is copied before its majority overwrites it and kept as the
    // next row's above; from another image, the rows are read where they lie (the
    // reader's copy of a caller's bits before the pass, and each row's copy, saved).
    const bool in_place = from == to;
    std::uint8_t *above = rows, *current = rows + w, *sums = rows + 2 * w + 8;
    std::memset(above, 0, w);
    sums[-1] = 0;
    sums[w] = 0;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t *row = from + static_cast<std::size_t>(y) * w;
        const std::uint8_t *below = y + 1 < height ? row + w : nullptr;
        if (in_place) {
            std::memcpy(current, row, w);
            column_sums(above, current, below, sums, w);
            std::uint8_t *swap = above;
            above = current;
            current = swap;
        } else {
            column_sums(y > 0 ? row - w : rows, row, below, sums, w);
        }
        majority_row(sums, to + static_cast<std::size_t>(y) * w, w);
    }
}

std::size_t binarize_scratch_bytes(int width, int height) noexcept {
    return scratch_layout(blocks_of(width, height), nullptr, nullptr);
}

bool binarize(const ImageView &image, Binarizer mode, std::uint8_t *bits, void *scratch) noexcept {
    if (image.width <= 0 || image.height <= 0) return true;
    if (mode == Binarizer::none) {
        nonzero_bits(image, bits);
        return true;
    }
    int low = 0, high = 0;
    if (mode == Binarizer::automatic && two_levels(image, low, high)) {
        if (low == 0 && high == 1) {
            nonzero_bits(image, bits);  // a bits image: 1 is dark
        } else if (high > low) {
            level_bits(image, static_cast<std::uint8_t>(low), bits);
        } else {
            threshold_all(image, 0, bits);
        }
        return true;
    }
    std::uint64_t histogram[256];
    if (mode == Binarizer::global) {
        histogram_of(image, 1, histogram);
        threshold_all(image, global_limit(histogram, otsu_threshold(histogram)), bits);
        return false;
    }
    histogram_of(image, kHistogramRowStep, histogram);
    const BlockGrid g = blocks_of(image.width, image.height);
    BlockScratch s{};
    scratch_layout(g, scratch, &s);
    gather_blocks(image, g, s);
    const int split = otsu_threshold(histogram);
    const int contrast = min_contrast(histogram, split, g, s);
    contrast_prefix(image, g, s, contrast);
    block_thresholds(g, s, global_limit(histogram, split), contrast);
    threshold_blocks(image, g, s, bits);
    return false;
}

}  // namespace halvern::engine
