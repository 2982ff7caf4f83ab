// Finder patterns: a run-length scan of every row for dark-light-dark-light-dark runs
// in the proportions 1:1:3:1:1, confirmed by walks down the column, back along the
// row and along both diagonals through the candidate centre.
//
// Every walk is bounded by the width of the row match that started it (a finder is
// about as tall as it is wide in any rotation), so vertical stripes or noise cost a
// constant per match and a match costs at most a few times its own width: the scan
// stays linear in the pixels. Repeated detections of one finder (every row through
// its core matches) are merged through a grid of cells; a row match that falls on a
// known finder only counts a hit and skips the walks.

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <initializer_list>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64)
#include <emmintrin.h>
#define HALVERN_SSE2 1
#endif

#include "stages.hpp"

// The row matches' tests and the confirmation walks' steps inlined into their callers:
// called, a walk's calls and set-up cost more than its pixels (eight on a 50% noise page).
#if defined(_MSC_VER) && !defined(__clang__)
#define HALVERN_ALWAYS_INLINE __forceinline
#else
#define HALVERN_ALWAYS_INLINE inline __attribute__((always_inline))
#endif

namespace halvern::engine {

namespace {

// First x >= from whose pixel is not `colour` (0 or 1); width when the run reaches
// the row's end. Eight bytes a step: the first differing byte of a word is found from
// its lowest set bit (little-endian) or highest (big-endian), so a run of a few pixels,
// the common case in a code, costs one step rather than one per pixel.
int run_end(const std::uint8_t *row, int from, int width, std::uint8_t colour) noexcept {
    const std::uint64_t uniform = colour != 0 ? 0x0101010101010101ull : 0;
    int x = from;
    while (x + 8 <= width) {
        std::uint64_t word;
        std::memcpy(&word, row + x, 8);
        const std::uint64_t diff = word ^ uniform;
        if (diff != 0) {
            if constexpr (std::endian::native == std::endian::little) {
                return x + std::countr_zero(diff) / 8;
            } else {
                return x + std::countl_zero(diff) / 8;
            }
        }
        x += 8;
    }
    while (x < width && row[x] == colour) ++x;
    return x;
}

// The narrowest finder looked for: 10 pixels across is 1.4 pixels a module, below
// the 2 a module that reads; on noise at one pixel a module the 7 to 9 pixel
// matches are most of the work (a row match every 80 pixels of 50% noise).
constexpr std::int64_t kMinTotal = 10;

// True when five runs of `total` pixels read 1:1:3:1:1: unit runs within 0.6 module
// (0.75 loose) and the core within 1 module (1.5 loose) of their ideal, at least
// kMinTotal pixels.
HALVERN_ALWAYS_INLINE bool proportions(const int runs[5], std::int64_t total, bool loose) noexcept {
    if (total < kMinTotal) return false;
    const std::int64_t unit_den = loose ? 4 : 5;
    for (int i : {0, 1, 3, 4}) {
        const std::int64_t gap = 7 * static_cast<std::int64_t>(runs[i]) - total;
        if ((gap < 0 ? -gap : gap) * unit_den > 3 * total) return false;
    }
    const std::int64_t core = 7 * static_cast<std::int64_t>(runs[2]) - 3 * total;
    const std::int64_t core_abs = core < 0 ? -core : core;
    return loose ? core_abs * 2 <= 3 * total : core_abs <= total;
}

bool finder_ratio(const int runs[5], bool loose) noexcept {
    std::int64_t total = 0;
    for (int i = 0; i < 5; ++i) total += runs[i];
    return proportions(runs, total, loose);
}

// ---------------------------------------------------------------- row scan

// The run sums of a row, as the scan needs them: how many runs, how many one pixel long,
// and whether a row match (either polarity) was seen.
struct RowStats {
    std::int64_t runs = 0;
    std::int64_t specks = 0;
    bool matched = false;
    bool bits = true;  // false: checked, a byte was neither 0 nor 1, and the runs were not tested
};

// The five runs ending with the newest, as one test: the core wider than each other run
// (a strict match has it, at least 2 modules against at most 1.6, and most runs of a busy
// row fail it; taken test by test each was a branch mispredicted at random), then the
// proportions.
bool row_match(const int runs[5]) noexcept {
    const bool widest = (runs[2] > runs[0]) & (runs[2] > runs[1]) & (runs[2] > runs[3]) & (runs[2] > runs[4]);
    return widest && finder_ratio(runs, false);
}

// The plain scan, run by run from run_end: the tests' reference for scan_row_edges. Calls
// match(core_start, core, total, colour) for each row match, in x order.
template <typename Match>
RowStats scan_row_reference(const std::uint8_t *row, int width, Match &&match) noexcept {
    RowStats stats;
    int runs[5] = {0, 0, 0, 0, 0};
    int starts[5] = {0, 0, 0, 0, 0};
    int seen = 0;
    int x = 0;
    while (x < width) {
        const std::uint8_t colour = row[x];
        const int end = run_end(row, x, width, colour);
        for (int i = 0; i < 4; ++i) {
            runs[i] = runs[i + 1];
            starts[i] = starts[i + 1];
        }
        runs[4] = end - x;
        starts[4] = x;
        ++seen;
        x = end;
        ++stats.runs;
        stats.specks += runs[4] == 1 ? 1 : 0;
        if (seen < 5 || !row_match(runs)) continue;
        stats.matched = true;
        match(starts[2], runs[2], runs[0] + runs[1] + runs[2] + runs[3] + runs[4], colour);
    }
    return stats;
}

#if !defined(HALVERN_SSE2)
// Eight bytes to eight bits: bit i set when byte i is nonzero (byte 0 the lowest in
// memory). The multiply gathers the bytes' low bits into the top byte without carries.
inline std::uint64_t nonzero_mask8(std::uint64_t v) noexcept {
    return ((nonzero_bytes(v) >> 7) * 0x0102040810204080ull) >> 56;
}
#endif

// What row_edges ORs together for its bilevel test: the bytes its compares load.
struct SeenBytes {
#if defined(HALVERN_SSE2)
    __m128i vector = _mm_setzero_si128();
#endif
    std::uint64_t words = 0;
};

// The edges among pixels p[0..64] (p[i] against p[i + 1], i < 64), each at x + 1 + i,
// appended to `edges` from n on; returns the new n. With Check the bytes loaded go into
// `seen`.
template <bool Check>
HALVERN_ALWAYS_INLINE int edges_of_64(const std::uint8_t *p, int x, std::int32_t *edges, int n,
                                      SeenBytes &seen) noexcept {
#if defined(HALVERN_SSE2)
    // Sixteen compares an instruction (x86-64 always has SSE2): the row's edges cost a
    // text page a third of its scan with eight bytes a step. The four groups written
    // out: as a loop GCC kept its counter and variable shifts, 10 instructions a group
    // where 6 do (a white 12 MP page's row edges 4.9M to 2.9M).
    const auto same = [&](int g) -> std::uint64_t {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * g));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * g + 1));
        if constexpr (Check) seen.vector = _mm_or_si128(seen.vector, a);
        return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, b)));
    };
    std::uint64_t differ = ~(same(0) | same(1) << 16 | same(2) << 32 | same(3) << 48);
#else
    std::uint64_t differ = 0;
    for (int g = 0; g < 8; ++g) {
        std::uint64_t a, b;
        std::memcpy(&a, p + 8 * g, 8);
        std::memcpy(&b, p + 8 * g + 1, 8);
        differ |= nonzero_mask8(a ^ b) << (8 * g);
        if constexpr (Check) seen.words |= a;
    }
#endif
    while (differ != 0) {
        edges[n++] = x + 1 + std::countr_zero(differ);
        differ &= differ - 1;
    }
    return n;
}

// Writes 0, then every x in [1, width) where row[x] differs from row[x - 1] (the start of
// each run), then width; returns the number of runs (the entries written less one).
// Sixty-four pixels a step: each pixel compared with its right neighbour through two
// overlapping loads, the differences packed to one bit a pixel and the set bits taken
// lowest first (std::countr_zero); a run costs a few instructions rather than a
// dependent loop over its bytes. The row's last pixels take the same step from a copy
// padded with the last pixel, which differs from nothing: compared one by one, with a
// branch on each pair, they were a fifth of the scan of a small code (perf; a row of
// 350 pixels ends in 30 on average). `edges` holds width + 1 entries. With Check,
// `bits` says whether every byte is 0 or 1, from an OR of the bytes the compares load
// (the scan's bilevel test, see find_finders).
// Inlined into each scan of a row (four of them: checked or not, dark cores only or not;
// left out of line, it cost a 1 MP page of 5% noise 4% more instructions).
template <bool Check>
HALVERN_ALWAYS_INLINE int row_edges(const std::uint8_t *row, int width, std::int32_t *edges, bool &bits) noexcept {
    int n = 0;
    edges[n++] = 0;
    int x = 0;  // pixels x + i and x + i + 1 compared, i < 64
    SeenBytes seen;
    if constexpr (std::endian::native == std::endian::little) {
        for (; x + 65 <= width; x += 64) n = edges_of_64<Check>(row + x, x, edges, n, seen);
        if (x + 1 < width) {
            std::uint8_t tail[65];
            const int left = width - x;  // 2 to 64 pixels
            std::memcpy(tail, row + x, static_cast<std::size_t>(left));
            std::memset(tail + left, row[width - 1], sizeof(tail) - static_cast<std::size_t>(left));
            n = edges_of_64<Check>(tail, x, edges, n, seen);
            x = width;
        }
    }
    if constexpr (Check) {
        bool high = false;  // a byte with a bit above the lowest
#if defined(HALVERN_SSE2)
        high = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(seen.vector, _mm_set1_epi8(-2)), _mm_setzero_si128())) !=
               0xFFFF;
#endif
        for (int i = x; i < width; ++i) seen.words |= row[i];
        bits = !high && (seen.words & ~kEachByte<std::uint64_t>) == 0;
    }
    for (; x + 1 < width; ++x) {
        if (row[x] != row[x + 1]) edges[n++] = x + 1;
    }
    edges[n] = width;
    return n;
}

// The five runs around core c (edges[c] to edges[c + 1]) to `match` when they read as a
// row match; true then. Inlined into the scan's loop over the cores that pass its first
// test (called, each cost ten instructions more: 15% of a 50% noise page's cores).
template <typename Match>
HALVERN_ALWAYS_INLINE bool match_core(const std::uint8_t *row, const std::int32_t *edges, int c, Match &match) noexcept {
    const std::int64_t total = edges[c + 3] - edges[c - 2];
    // row_match's tests with the sum known, inline and without a branch each (called out
    // of line, finder_ratio cost a text page's scan 1.0M instructions), each bound pair
    // as one unsigned compare: |7 run - total| * 5 <= 3 total is 2 total <= 35 run <= 8
    // total, |7 core - 3 total| <= total is 2 total <= 7 core <= 4 total. The core
    // wider than the others follows (35 core >= 10 total > 8 total >= 35 run) and is not
    // tested again. With the absolute values and that test, a core was 30 instructions.
    // The least total is one more term, not a branch of its own: on 50% noise it failed
    // at random for the cores offered, and as a branch the page's read took 3% longer
    // (for 4% fewer instructions).
    // Each test as 0 or 1 in an unsigned, so that they combine with & and no branch.
    const auto within = [](std::int64_t v, std::int64_t low, std::int64_t span) -> unsigned {
        return static_cast<std::uint64_t>(v - low) <= static_cast<std::uint64_t>(span) ? 1u : 0u;
    };
    const auto unit = [&](int i) {
        return within(35 * static_cast<std::int64_t>(edges[c + i + 1] - edges[c + i]), 2 * total, 6 * total);
    };
    const int core = edges[c + 1] - edges[c];
    if (!((total >= kMinTotal ? 1u : 0u) & unit(-2) & unit(-1) & unit(1) & unit(2) &
          within(7 * static_cast<std::int64_t>(core), 2 * total, 2 * total))) {
        return false;
    }
    match(edges[c], core, static_cast<int>(total), row[edges[c]]);
    return true;
}

// Runs one pixel long among the `count` runs between `edges`.
HALVERN_ALWAYS_INLINE std::int64_t count_specks(const std::int32_t *edges, int count) noexcept {
    std::int64_t specks = 0;
    int k = 0;
#if defined(HALVERN_SSE2)
    const auto at = [edges](int i) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(edges + i)); };
    __m128i minus = _mm_setzero_si128();  // minus the count in each lane
    for (; k + 4 <= count; k += 4) {
        minus = _mm_add_epi32(minus, _mm_cmpeq_epi32(_mm_sub_epi32(at(k + 1), at(k)), _mm_set1_epi32(1)));
    }
    std::int32_t lanes[4];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lanes), minus);
    specks -= static_cast<std::int64_t>(lanes[0]) + lanes[1] + lanes[2] + lanes[3];
#endif
    for (; k < count; ++k) specks += edges[k + 1] - edges[k] == 1 ? 1 : 0;
    return specks;
}

// The row's runs from row_edges, tested as scan_row_reference tests them, with the same
// matches in the same order: cores c from 2 to count - 3, each with two runs either side.
// With SSE2, four cores a step: their runs and the neighbours' from six overlapping loads
// of the edges, "core wider than its four neighbours" as one mask, the proportions only
// for the cores it keeps (on 50% noise the runs' bookkeeping was 30 instructions a run).
// With Check, a row whose bytes are not all 0 and 1 stops after its edges (stats.bits).
// `dark_only` (the fast mode's one pass, which has no inverted pass to log for): only
// dark cores are tested, and the specks are not counted (only the fallbacks read them).
// On 5% noise every light run between two specks was a core to test, and the scan of a
// row cost twice its edges. A template argument, so that the full scan's loop is
// compiled as it was without it.
template <bool Check = false, bool dark_only = false, typename Match>
RowStats scan_row_edges(const std::uint8_t *row, int width, std::int32_t *edges, Match &&match) noexcept {
    RowStats stats;
    if (width <= 0) return stats;
    const int count = row_edges<Check>(row, width, edges, stats.bits);
    if (!stats.bits) return stats;
    stats.runs = count;
    if constexpr (!dark_only) stats.specks = count_specks(edges, count);
    // Runs alternate in colour from the first: the dark cores' parity, and cores c of
    // that parity (lane bits 0101 from an even c, 1010 from an odd one).
    const int dark_parity = row[0] != 0 ? 0 : 1;
    int c = 2;
#if defined(HALVERN_SSE2)
    const unsigned tested = !dark_only ? 0xFu : dark_parity == 0 ? 0x5u : 0xAu;
    const auto at = [edges](int i) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(edges + i)); };
    for (; c + 4 <= count - 2; c += 4) {
        const __m128i e0 = at(c - 2), e1 = at(c - 1), e2 = at(c), e3 = at(c + 1), e4 = at(c + 2), e5 = at(c + 3);
        const __m128i core = _mm_sub_epi32(e3, e2);
        const __m128i wider = _mm_and_si128(
            _mm_and_si128(_mm_cmpgt_epi32(core, _mm_sub_epi32(e1, e0)), _mm_cmpgt_epi32(core, _mm_sub_epi32(e2, e1))),
            _mm_and_si128(_mm_cmpgt_epi32(core, _mm_sub_epi32(e4, e3)), _mm_cmpgt_epi32(core, _mm_sub_epi32(e5, e4))));
        for (unsigned lanes = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(wider))) & tested; lanes != 0;
             lanes &= lanes - 1) {
            stats.matched |= match_core(row, edges, c + std::countr_zero(lanes), match);
        }
    }
#endif
    for (; c <= count - 3; ++c) {
        if (!dark_only || (c & 1) == dark_parity) stats.matched |= match_core(row, edges, c, match);
    }
    return stats;
}

// Rows advanced after a row without any row match, or with matches among specks.
constexpr int kRowStep = 2;

// A row with a run of one pixel in every kSpeckyRow pixels or more is noise where it is
// not a symbol under two pixels a module: half-dark noise has one in four, sensor noise
// thresholded over a flat area one in five, 5% salt and pepper one in twenty, a text page
// or a symbol of two pixels a module none.
constexpr std::int64_t kSpeckyRow = 8;

// The least row match (four pixels a module) whose walks pass specks: below it a ring
// of one pixel may be real (a thin light ring of a blurred finder at two or three
// pixels a module); from it such a ring would fail the proportions anyway.
constexpr int kMinSpeckTotal = 28;

// Which bits value is the finder's light: 0 for dark finders on light (1 dark), 1 for
// light finders on dark, which the scan finds in the same pass.
struct Ink {
    std::uint8_t light = 0;
    // From four pixels a module a dark finder may be confirmed on one diagonal (see
    // confirm()); not the inverted pass's light finders.
    bool one_diagonal = true;
};

// How many pixels from (x, y) on along (dx, dy), each -1, 0 or 1, lie inside the image:
// 0 when (x, y) does not.
HALVERN_ALWAYS_INLINE int steps_inside(const ImageView &bits, int x, int y, int dx, int dy) noexcept {
    if (!bits.contains(x, y)) return 0;
    int n = INT_MAX;
    if (dx != 0) n = dx > 0 ? bits.width - x : x + 1;
    if (dy != 0) n = std::min(n, dy > 0 ? bits.height - y : y + 1);
    return n;
}

// One walk's path: the image's bytes from the start pixel on along a step of `delta`,
// `stop` steps at most, `inside` of them within the image.
struct WalkPath {
    const std::uint8_t *data;
    std::ptrdiff_t delta;
    int stop;
    int inside;
    std::uint8_t light;
    bool specks;
};

// The steps after one run of a walk: from `steps` (the pixel at index `at`) on while the
// pixels read Dark (not the light value) or, with specks, one odd pixel has the run's
// colour on both sides (1% salt and pepper broke a walk across a finder of 8 pixels a
// module every other time, and four walks confirm it). The run's colour is a template
// argument and the speck test comes only where a run would end: with one loop of the
// three colours and the speck test in its condition, a walk's overhead was a hundred
// instructions for eight pixels on a 50% noise page.
template <bool Dark>
HALVERN_ALWAYS_INLINE int run_steps(const WalkPath &p, std::ptrdiff_t &at, int steps) noexcept {
    const std::uint8_t *const data = p.data;
    const std::ptrdiff_t delta = p.delta;
    const std::uint8_t light = p.light;
    const auto in_run = [data, light](std::ptrdiff_t i) { return (data[i] != light) == Dark; };
    const int first = steps;
    for (;;) {
        // One counter a pixel: the index follows from the count once the run ends (with
        // the step count, the index and the run's first step kept apart, the loop was ten
        // instructions a pixel).
        const int most = p.stop - steps;
        std::ptrdiff_t i = at;
        int n = 0;
        while (n < most && in_run(i)) {
            ++n;
            i += delta;
        }
        steps += n;
        at = i;
        if (steps >= p.stop || !p.specks || steps == first || steps + 1 >= p.inside || !in_run(at + delta)) {
            return steps;
        }
        ++steps;
        at += delta;
    }
}

// Walks from (x, y) along (dx, dy) over the dark core, the light ring and the dark
// ring, counting each one's pixels (the start pixel is part of the core). True when the
// dark ring ends (at a light pixel or the image edge) within `limit` steps. Run by run,
// each run a loop of one compare a pixel; the steps that stay inside the image found
// once (tested step by step, with each pixel's address formed from (x, y), the walks
// were 600 instructions a light match of a text page).
HALVERN_ALWAYS_INLINE bool walk(const ImageView &bits, int x, int y, int dx, int dy, int limit, Ink ink, bool specks,
                                int counts[3], bool *exhausted = nullptr) noexcept {
    const int inside = steps_inside(bits, x, y, dx, dy);
    const WalkPath p{bits.data, dy * bits.stride + dx, limit < inside ? limit + 1 : inside, inside, ink.light,
                     specks};
    std::ptrdiff_t at = inside > 0 ? static_cast<std::ptrdiff_t>(y) * bits.stride + x : 0;
    // The walk's verdict where it ran out of steps in run `state` of n pixels: at the
    // image's edge the ring closes there, before the limit the walk is exhausted.
    const auto ran_out = [&](int state, int n) {
        if (inside <= limit) return state == 2 && n > 0;
        if (exhausted != nullptr) *exhausted = true;
        return false;
    };
    const int core = run_steps<true>(p, at, 0);
    counts[0] = core;
    counts[1] = counts[2] = 0;
    if (core >= p.stop) return ran_out(0, core);
    if (core == 0) return false;
    const int ring = run_steps<false>(p, at, core);
    counts[1] = ring - core;
    if (ring >= p.stop) return ran_out(1, ring - core);
    if (ring == core) return false;
    const int outer = run_steps<true>(p, at, ring);
    counts[2] = outer - ring;
    if (outer >= p.stop) return ran_out(2, outer - ring);
    return true;
}

// The narrowest finder whose centre may be confirmed on a neighbouring row: two
// pixels a module.
constexpr int kMinNeighbourTotal = 14;

struct CrossCheck {
    int runs[5];
    int total;
    double offset;  // the core's centre, in steps from the start pixel's centre
};

// The five runs through the start pixel from the walks back and ahead (each starts on
// it, so it counts once).
HALVERN_ALWAYS_INLINE void compose(const int back[3], const int ahead[3], CrossCheck &out) noexcept {
    out.runs[0] = back[2];
    out.runs[1] = back[1];
    out.runs[2] = back[0] + ahead[0] - 1;
    out.runs[3] = ahead[1];
    out.runs[4] = ahead[2];
    out.total = back[0] + back[1] + back[2] + ahead[0] + ahead[1] + ahead[2] - 1;
    out.offset = (ahead[0] - back[0]) / 2.0;
}

// Runs through (x, y) along +-(dx, dy); false when they do not close within `limit`
// steps each way or do not read as a finder.
bool cross_check(const ImageView &bits, int x, int y, int dx, int dy, int limit, bool loose, Ink ink,
                 bool specks, CrossCheck &out, bool *exhausted = nullptr) noexcept {
    if (!bits.contains(x, y) || bits.at(x, y) == ink.light) return false;
    int back[3], ahead[3];
    if (!walk(bits, x, y, -dx, -dy, limit, ink, specks, back, exhausted) ||
        !walk(bits, x, y, dx, dy, limit, ink, specks, ahead, exhausted)) {
        return false;
    }
    compose(back, ahead, out);
    return proportions(out.runs, out.total, loose);
}

class FinderIndex {
public:
    FinderIndex(int width, int height, void *scratch, Finder *finders, int capacity) noexcept
        : cols_((width + kFinderCell - 1) / kFinderCell),
          rows_((height + kFinderCell - 1) / kFinderCell),
          heads_(static_cast<std::int32_t *>(scratch)),
          next_(heads_ + static_cast<std::size_t>(cols_) * rows_),
          row_count_(next_ + kMaxFinders),
          finders_(finders),
          capacity_(capacity) {
        for (std::size_t i = 0; i < static_cast<std::size_t>(cols_) * rows_; ++i) heads_[i] = -1;
        for (int r = 0; r < rows_; ++r) row_count_[r] = 0;
    }

    int count() const noexcept { return count_; }

    // The finder near p (centres within dx, dy) of a module size within a factor 2 of
    // `module`, or -1.
    // Rows of cells without a finder are passed over before the columns are found: on a
    // page without a code nearly every row match asks, of an index that holds nothing
    // near (a 12 MP text page's lookups 4.4M instructions).
    HALVERN_ALWAYS_INLINE int near(Point p, double dx, double dy, double module) const noexcept {
        int r0 = cell(p.y - dy, rows_);
        const int r1 = cell(p.y + dy, rows_);
        while (r0 <= r1 && row_count_[r0] == 0) ++r0;
        if (r0 > r1) return -1;
        const int c0 = cell(p.x - dx, cols_), c1 = cell(p.x + dx, cols_);
        for (int r = r0; r <= r1; ++r) {
            if (row_count_[r] == 0) continue;
            for (int c = c0; c <= c1; ++c) {
                for (int i = heads_[static_cast<std::size_t>(r) * cols_ + c]; i >= 0; i = next_[i]) {
                    const Finder &f = finders_[i];
                    if (std::fabs(f.centre.x - p.x) <= dx && std::fabs(f.centre.y - p.y) <= dy &&
                        f.module <= 2 * module && module <= 2 * f.module) {
                        return i;
                    }
                }
            }
        }
        return -1;
    }

    void add(Point p, double module, bool skewed) noexcept {
        if (count_ >= capacity_) return;
        const int row = cell(p.y, rows_);
        const std::size_t c = static_cast<std::size_t>(row) * cols_ + cell(p.x, cols_);
        ++row_count_[row];
        finders_[count_] = Finder{p, module, 1, skewed};
        next_[count_] = heads_[c];
        heads_[c] = count_;
        ++count_;
    }

    // Skewed only while every row match read it so.
    void merge(int i, Point p, double module, bool skewed) noexcept {
        Finder &f = finders_[i];
        f.skewed = f.skewed && skewed;
        const double w = f.hits;
        f.centre = {(f.centre.x * w + p.x) / (w + 1), (f.centre.y * w + p.y) / (w + 1)};
        f.module = (f.module * w + module) / (w + 1);
        ++f.hits;
    }

private:
    static int cell(double v, int limit) noexcept {
        if (!(v > 0)) return 0;
        const double c = v / kFinderCell;
        return c >= limit - 1 ? limit - 1 : static_cast<int>(c);
    }

    int cols_, rows_;
    std::int32_t *heads_;
    std::int32_t *next_;
    std::int32_t *row_count_;  // finders in each row of cells
    Finder *finders_;
    int capacity_;
    int count_ = 0;
};

// Column chords from half to twice the row match are a square's in any rotation; up
// to kMaxChordRatio either way, a foreshortened one's, held to the consistency below.
// Slack on that consistency for chords rounded to whole pixels and moved by blur.
constexpr double kChordSlack = 1.25;

// Whether the four chords (steps along the row, the column and both diagonals) can be
// one square's under an affine map. A line through the centre in direction e meets the
// square's outline where |B e| = 1 (B the map back to module units, max norm), so the
// inverse chords x = 1 / steps obey |B e| norms' triangle inequalities: each diagonal's
// within the sum and the difference of the row's and the column's, and those within
// the diagonals' mean and half their difference.
bool affine_square(int row, int column, int down, int up) noexcept {
    const double xh = 1.0 / row, xv = 1.0 / column, x1 = 1.0 / down, x2 = 1.0 / up;
    const double k = kChordSlack;
    for (double xd : {x1, x2}) {
        if (xd > k * (xh + xv) || k * xd < std::fabs(xh - xv)) return false;
    }
    return std::fmax(xh, xv) <= k * (x1 + x2) / 2 && std::fabs(x1 - x2) <= 2 * k * std::fmin(xh, xv);
}

// What a row match's walks say. Only the walk down the column depends on the row it
// starts from (through its step limit); a match rejected otherwise is rejected from
// any row of the same column run, which lets the rows below skip it.
enum class Verdict : std::uint8_t { found, rejected, undecided };

// The column's verdict from its chord `v` for a row match of `total` pixels (`long_column`:
// the chord reached beyond a square's).
Verdict chord_fits(const CrossCheck &v, int total, bool long_column, bool &skewed) noexcept {
    if (v.total * kMaxChordRatio < total || v.total > kMaxChordRatio * total) return Verdict::rejected;
    skewed = long_column || v.total * 2 < total || v.total > 2 * total;
    return Verdict::found;
}

// The column's verdict from walks that both stopped within a square's chord: read
// strictly, or loosely when it is under half the row's.
Verdict square_column(const int back[3], const int ahead[3], bool ahead_closed, int total, CrossCheck &v,
                      bool &skewed) noexcept {
    if (!ahead_closed) return Verdict::rejected;
    compose(back, ahead, v);
    if (!proportions(v.runs, v.total, false) && !(2 * v.total < total && proportions(v.runs, v.total, true))) {
        return Verdict::rejected;
    }
    return chord_fits(v, total, false, skewed);
}

// The chord down the column through x from row y, for a row match of `total` pixels:
// as far as a square's chords reach first; where that runs out, on as far as a chord
// kMaxChordRatio times the row match reaches from a start anywhere in its core (5/7
// of it on one side), and the finder is skewed. A longer first walk let two stray
// finders into a tilted page's triples, 45 of them tried to 59. A chord under half
// the row's is a foreshortened finder's, two or three pixels a module where its row
// has eight: rounding and blur move its runs by a good part of a module, and it is
// read loosely, as a skewed finder held to a square's chords after.
Verdict column_chord(const ImageView &bits, int x, int y, int total, Ink ink, bool specks, CrossCheck &v,
                     bool &skewed) noexcept {
    if (bits.at(x, y) == ink.light) return Verdict::rejected;
    // Each way walked once, as far as the longer chord may reach: a walk to fewer steps
    // takes the same pixels up to its limit, so the walk to `total` steps is this one
    // when it took at most `total` steps and ran out of them otherwise. (Walked to
    // `total` first and again from the start where that ran out, the second walks cost
    // a text page an eighth of its read.)
    const int longest = kMaxChordRatio * total * 5 / 7 + 1;
    const auto beyond = [total](const int counts[3]) { return counts[0] + counts[1] + counts[2] > total; };
    int back[3], ahead[3];
    // A walk back that does not close fails from every row below in the same column run
    // as well (it walks the same pixels after one more of the core, to the same limit):
    // the match is rejected, not undecided, even where it ran out of steps. On a 12 MP
    // text page the light matches' walks up into the blank above ran out 9.0K times, and
    // the rows below each walked them again.
    if (!walk(bits, x, y, 0, -1, longest, ink, specks, back)) return Verdict::rejected;
    bool ahead_out = false;
    const bool ahead_closed = walk(bits, x, y, 0, 1, longest, ink, specks, ahead, &ahead_out);
    if (!beyond(back) && !beyond(ahead)) return square_column(back, ahead, ahead_closed, total, v, skewed);
    // The walk to `total` steps ran out: the chord as far as the longest reaches.
    if (!ahead_closed) return ahead_out ? Verdict::undecided : Verdict::rejected;
    compose(back, ahead, v);
    if (!proportions(v.runs, v.total, false)) return Verdict::rejected;
    return chord_fits(v, total, true, skewed);
}

// Confirms a row match whose core spans [core_start, core_end) on row y and measures
// the finder: centre and module size (the shortest of the four chords through the
// centre, which is within 8% of the side in any rotation). False when a check fails.
Verdict confirm(const ImageView &bits, int core_start, int core_end, int y, int total, Ink ink,
                Point &centre, double &module, bool &skewed_out) noexcept {
    const int x = (core_start + core_end) / 2;
    const bool specks = total >= kMinSpeckTotal;
    CrossCheck v{}, h{}, d1{}, d2{};
    bool skewed = false;
    if (const Verdict column = column_chord(bits, x, y, total, ink, specks, v, skewed); column != Verdict::found) {
        return column;
    }
    const double cy = y + 0.5 + v.offset;
    const int yc = static_cast<int>(cy);
    // Back along the row through the core's middle, or a row next to it where a thin
    // light ring broke there (a blurred, tilted finder thresholded dark: its core ran
    // into the outer ring on the middle row alone). Not for a finder under two pixels
    // a module, on the row or in its chords: on noise at one pixel a module, where the
    // neighbour is often the row that matched, that let finders through.
    const bool centred = cross_check(bits, x, yc, 1, 0, 2 * total, false, ink, specks, h);
    if (!centred && (total < kMinNeighbourTotal ||
                     (!cross_check(bits, x, yc - 1, 1, 0, 2 * total, false, ink, specks, h) &&
                      !cross_check(bits, x, yc + 1, 1, 0, 2 * total, false, ink, specks, h)))) {
        return Verdict::rejected;
    }
    const double cx = x + 0.5 + h.offset;
    const int xc = static_cast<int>(cx);
    // Both diagonals, or from four pixels a module one of them: where dark surroundings
    // touch a corner of the finder (a hard shadow's edge) the diagonal through that
    // corner runs on into them. Not in the inverted pass (ink.one_diagonal false): the
    // counters of a text page's glyphs passed so as light finders, thirteen on a 6 MP
    // page where there had been one, and each cost that pass its grids. A skewed
    // finder's diagonals reach as far as its longer chord, and both must agree with the
    // row and the column as one square's would.
    const int reach = 2 * (skewed && v.total > total ? v.total : total);
    const bool down = cross_check(bits, xc, yc, 1, 1, reach, true, ink, specks, d1);
    const bool up = cross_check(bits, xc, yc, 1, -1, reach, true, ink, specks, d2);
    if (skewed && !(down && up && affine_square(h.total, v.total, d1.total, d2.total))) return Verdict::rejected;
    const bool one_will_do = ink.one_diagonal && total >= kMinSpeckTotal;
    if (!(down && up) && !((down || up) && one_will_do)) return Verdict::rejected;
    double chord = h.total < v.total ? h.total : v.total;
    const int shorter = down && up ? (d1.total < d2.total ? d1.total : d2.total) : down ? d1.total : d2.total;
    const double diagonal = shorter * 1.4142135623730951;
    chord = diagonal < chord ? diagonal : chord;
    if (!centred && chord < kMinNeighbourTotal) return Verdict::rejected;
    centre = {cx, cy};
    module = chord / 7.0;
    skewed_out = skewed;
    return Verdict::found;
}

}  // namespace

namespace {

// The row matches rejected (see Verdict), on the previous row and this one, by core
// middle and width. A match right below a rejected one (same middle, same width) starts
// its walks in the same dark column run and is rejected the same way: in a symbol's
// data at 9 pixels a module each false match repeats on nine rows, and its walks cost a
// fifth of a read.
class Rejections {
public:
    // `carry` false: nothing is skipped (the tests' reference for the skipping).
    Rejections(std::int32_t *scratch, int per_row, bool carry) noexcept
        : above_(scratch), here_(scratch + 2 * static_cast<std::size_t>(per_row)), capacity_(per_row), carry_(carry) {}

    // Starts row y; the previous row's rejections count only when it was y - 1.
    void start_row(int y) noexcept {
        std::int32_t *swap = above_;
        above_ = here_;
        here_ = swap;
        above_count_ = y == row_ + 1 ? here_count_ : 0;
        here_count_ = 0;
        cursor_ = 0;
        row_ = y;
    }

    // Matches come in increasing x within a row.
    bool rejected_above(int x, int total) noexcept {
        if (!carry_) return false;
        while (cursor_ < above_count_ && above_[2 * cursor_] < x) ++cursor_;
        return cursor_ < above_count_ && above_[2 * cursor_] == x && above_[2 * cursor_ + 1] == total;
    }

    void reject(int x, int total) noexcept {
        if (here_count_ >= capacity_) return;
        here_[2 * here_count_] = x;
        here_[2 * here_count_ + 1] = total;
        ++here_count_;
    }

private:
    std::int32_t *above_;
    std::int32_t *here_;
    int capacity_;
    bool carry_;
    int above_count_ = 0, here_count_ = 0, cursor_ = 0;
    int row_ = -2;
};

// Rejections kept per row: a polarity's matches end at distinct runs of its dark.
int rejections_per_row(int width) noexcept { return width / 2 + 2; }

std::size_t index_ints(int width, int height) noexcept {
    const std::size_t cols = (static_cast<std::size_t>(width) + kFinderCell - 1) / kFinderCell;
    const std::size_t rows = (static_cast<std::size_t>(height) + kFinderCell - 1) / kFinderCell;
    return cols * rows + kMaxFinders + rows;
}

// A row match found, or counted on the finder it falls on: its core spans
// [core_start, core_start + core) on row y, its five runs `total` pixels.
// True when the match counted on a finder or confirmed one.
bool add_match(const ImageView &bits, FinderIndex &index, Rejections &rejections, Finder *found, int y,
               int core_start, int core, int total, Ink ink) noexcept {
    const double row_module = total / 7.0;
    const Point guess{core_start + core / 2.0, y + 0.5};
    if (const int known = index.near(guess, 1.5 * row_module, 3.5 * row_module, row_module); known >= 0) {
        ++found[known].hits;
        return true;
    }
    const int middle = core_start + core / 2;
    if (rejections.rejected_above(middle, total)) {
        rejections.reject(middle, total);
        return false;
    }
    Point centre;
    double module = 0;
    bool skewed = false;
    if (const Verdict verdict = confirm(bits, core_start, core_start + core, y, total, ink, centre, module, skewed);
        verdict != Verdict::found) {
        if (verdict == Verdict::rejected) rejections.reject(middle, total);
        return false;
    }
    const int same = index.near(centre, 1.5 * module, 1.5 * module, module);
    if (same >= 0) {
        index.merge(same, centre, module, skewed);
    } else {
        index.add(centre, module, skewed);
    }
    return true;
}

// A finder of two pixels a module or more has a core at least 6 rows tall, and most of
// them match; a lone row match that passed every walk is noise (50% noise at one pixel
// a module makes a few per 40,000 pixels).
int keep_confirmed(Finder *found, int count) noexcept {
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        if (found[i].hits >= 2) found[kept++] = found[i];
    }
    return kept;
}

}  // namespace

int keep_solid(Finder *finders, int count) noexcept {
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        if (finders[i].hits >= finders[i].module) finders[kept++] = finders[i];
    }
    return kept;
}

std::size_t finder_scratch_bytes(int width, int height) noexcept {
    const std::size_t edges = static_cast<std::size_t>(width < 0 ? 0 : width) + 1;
    return (index_ints(width, height) + 4 * static_cast<std::size_t>(rejections_per_row(width)) + edges) *
           sizeof(std::int32_t);
}

std::size_t inverse_log_capacity(int width, int height) noexcept {
    if (width <= 0 || height <= 0) return 0;
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) / kPixelsPerLogged + 16;
}

namespace {

// Five runs ending in a light one: a row match of a light finder on dark, kept for the
// inverted pass, which rarely runs (confirmed here, they cost a small code a fifth more
// time).
void log_light_match(InverseLog &log, int y, int core_start, int core, int total) noexcept {
    if (log.count < log.capacity) {
        log.matches[log.count++] = RowMatch{y, core_start, core, total};
    } else {
        log.overflow = true;
    }
}

// What a scanned row held: a row match of either polarity; a dark one that counted on a
// finder or confirmed one.
struct RowFound {
    bool matched = false;
    bool finder = false;
    bool specky = false;  // a run of one pixel in every kSpeckyRow or more
};

// Row y's runs into `scan`, its dark row matches confirmed into the index and its light
// ones logged. With `check`, a row with a byte other than 0 and 1 clears scan.bits and
// is not tested. Inlined into both loops of find_finders (called, it cost a blank page's
// scan 40 instructions a row).
HALVERN_ALWAYS_INLINE RowFound scan_row(const ImageView &bits, int y, FinderIndex &index, Rejections &rejections,
                                        Finder *out, InverseLog *log, bool one_diagonal, bool dark_only,
                                        FinderScan &scan, std::int32_t *edges, bool check) noexcept {
    bool finder = false;
    const auto match = [&](int core_start, int core, int total, std::uint8_t colour) noexcept {
        ++scan.matches;
        if (colour != 0) {
            finder |= add_match(bits, index, rejections, out, y, core_start, core, total, Ink{0, one_diagonal});
        } else if (log != nullptr) {
            log_light_match(*log, y, core_start, core, total);
        }
    };
    rejections.start_row(y);
    ++scan.rows;
    const std::uint8_t *pixels = bits.row(y);
    const RowStats stats = check ? (dark_only ? scan_row_edges<true, true>(pixels, bits.width, edges, match)
                                              : scan_row_edges<true, false>(pixels, bits.width, edges, match))
                                 : (dark_only ? scan_row_edges<false, true>(pixels, bits.width, edges, match)
                                              : scan_row_edges<false, false>(pixels, bits.width, edges, match));
    scan.bits = scan.bits && stats.bits;
    scan.runs += stats.runs;
    scan.specks += stats.specks;
    return RowFound{stats.matched, finder, stats.specks * kSpeckyRow > bits.width};
}

// Rows advanced by the sparse scan while rows meet no finder. A row match needs the
// row through the core (3 modules tall upright); turned 45 degrees, only rows within
// about a module of the centre read 1:1:3:1:1, so a finder of m pixels a module
// matches on some 2m rows in any rotation: three rows apart, one of two pixels a module
// is met with a row to spare for blur. Four apart cost the fast mode 2 of 16 blurred
// camera symbols (a finder at 3 pixels a module matched on 5 of its 9 core rows) and
// read 81.1% of the camera-like scenes' 1344 symbols against 81.2% every other row;
// three apart read 81.2%, and 81.0% with the rows past a finder of scan_sparse (which
// read one photo more of run.py's 41 scenes). A 1 MP text page cost 1.73M instructions
// at three, 1.41M at four, 4.92M every row.
constexpr int kSparseStep = 3;

// The sparse scan's rows: kSparseStep apart until a row meets a finder (a row match
// counted on one or confirming one: a busy page's row matches alone would make it every
// row); then the rows skipped above it, and every row on until kSparseStep rows in a row
// meet none, so the finder has its core's rows much as the dense scan gives them (and the
// two hits that keep it, even when the row met is its core's last). A blurred camera
// finder at 3 pixels a module matched on rows 179 and 181 alone: met on 179, it was lost
// when the scan went back to every third row at 180.
// False as soon as `bits_between(from, to)` finds rows skipped that are not bits.
template <typename Row, typename Bits>
bool scan_sparse(int height, Row &&row, Bits &&bits_between) noexcept {
    int last = -1;           // the lowest row scanned so far
    int met = -kSparseStep;  // the last row that met a finder
    for (int y = 0; y < height;) {
        if (row(y).finder) {
            for (int skipped = last + 1; skipped < y; ++skipped) row(skipped);
            met = y;
        }
        last = y;
        const int step = y - met < kSparseStep ? 1 : kSparseStep;
        if (!bits_between(y + 1, y + step)) return false;
        y += step;
    }
    return true;
}

// True when every byte of rows [from, to) (those inside the image) is 0 or 1.
bool bits_rows(const ImageView &image, int from, int to) noexcept {
    for (int y = from; y < to && y < image.height; ++y) {
        if (!bits_row(image.row(y), image.width)) return false;
    }
    return true;
}

// The row scan's edges after the index and the rejections.
std::int32_t *edges_of(void *scratch, int width, int height) noexcept {
    return static_cast<std::int32_t *>(scratch) + index_ints(width, height) +
           4 * static_cast<std::size_t>(rejections_per_row(width));
}

}  // namespace

FinderScan find_finders(const ImageView &bits, Finder *out, int capacity, void *scratch, InverseLog *log,
                        bool carry, bool one_diagonal, bool check, bool sparse) noexcept {
    FinderScan scan;
    if (log != nullptr) {
        log->count = 0;
        log->overflow = false;
    }
    if (bits.width <= 0 || bits.height <= 0) return scan;
    if (capacity > kMaxFinders) capacity = kMaxFinders;
    FinderIndex index(bits.width, bits.height, scratch, out, capacity);
    Rejections rejections(static_cast<std::int32_t *>(scratch) + index_ints(bits.width, bits.height),
                          rejections_per_row(bits.width), carry);
    std::int32_t *edges = edges_of(scratch, bits.width, bits.height);
    const auto row = [&](int y) {
        return scan_row(bits, y, index, rejections, out, log, one_diagonal, sparse && log == nullptr, scan, edges,
                        check);
    };
    // The rows skipped are checked next to the row scanned, so that the image is read
    // from memory once (a separate bilevel test first read a 12 MP page twice).
    const auto skipped_bits = [&](int from, int to) { return !check || (scan.bits && bits_rows(bits, from, to)); };
    if (sparse) {
        // The sparse scan logs nothing (the fast mode has no inverted pass).
        if (!scan_sparse(bits.height, row, skipped_bits)) {
            scan.bits = false;
            return scan;
        }
    } else {
        // Every other row while rows hold no row match of either polarity; every row from a
        // match on. A finder of two pixels a module has a core six rows tall, so one of its
        // rows is met, and the rows after it are all scanned; the choice of rows does not
        // depend on the polarity, so a scan of the inverted bits meets the same rows. Not
        // from a match on a specky row: every row of 50% noise matches, and scanning them
        // all (with their light matches logged and confirmed for the inverted pass) was
        // three fifths of such a page's read. A finder among such rows is still met on
        // every other row (one of two pixels a module on three of its core rows), and one
        // broken by the noise is the denoised pass's. The accuracy tables are unchanged
        // (a megapixel of 50% noise 35M instructions to 21M).
        int step = 1;
        for (int y = 0; y < bits.height; y += step) {
            const RowFound f = row(y);
            step = f.matched && !f.specky ? 1 : kRowStep;
            if (!skipped_bits(y + 1, y + step)) {
                scan.bits = false;
                return scan;
            }
        }
    }
    scan.count = keep_confirmed(out, index.count());
    return scan;
}

int row_scan_matches(const std::uint8_t *row, int width, bool reference, std::int32_t *edges, RowMatch *out,
                     std::int64_t *runs, std::int64_t *specks, bool dark_only) noexcept {
    int count = 0;
    const auto keep = [&](int core_start, int core, int total, std::uint8_t colour) noexcept {
        out[count++] = RowMatch{colour, core_start, core, total};
    };
    const RowStats stats =
        reference  ? scan_row_reference(row, width, keep)
        : dark_only ? scan_row_edges<false, true>(row, width, edges, keep)
                    : scan_row_edges<false, false>(row, width, edges, keep);
    *runs = stats.runs;
    *specks = stats.specks;
    return count;
}

bool finder_walk(const ImageView &bits, int x, int y, int dx, int dy, int limit, std::uint8_t light, bool specks,
                 int counts[3], bool &exhausted) noexcept {
    exhausted = false;
    return walk(bits, x, y, dx, dy, limit, Ink{light, true}, specks, counts, &exhausted);
}

int inverse_finders(const ImageView &bits, const InverseLog &log, Finder *out, int capacity, void *scratch,
                    bool carry) noexcept {
    if (bits.width <= 0 || bits.height <= 0) return 0;
    if (capacity > kMaxFinders) capacity = kMaxFinders;
    FinderIndex index(bits.width, bits.height, scratch, out, capacity);
    Rejections rejections(static_cast<std::int32_t *>(scratch) + index_ints(bits.width, bits.height),
                          rejections_per_row(bits.width), carry);
    int row = -1;
    for (std::size_t i = 0; i < log.count; ++i) {
        const RowMatch &m = log.matches[i];
        if (m.y != row) {
            row = m.y;
            rejections.start_row(row);
        }
        add_match(bits, index, rejections, out, m.y, m.core_start, m.core, m.total, Ink{1, false});
    }
    return keep_confirmed(out, index.count());
}

}  // namespace halvern::engine
