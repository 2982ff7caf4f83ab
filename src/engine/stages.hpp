// The reader's stages, in pipeline order: binarize, finders, triples, grid, read.
// Every stage works on caller-provided memory sized up front and never allocates;
// each is also reachable from the binding's test entry points.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decode.hpp"
#include "image.hpp"
#include "tables.hpp"

namespace halvern::engine {

// n rounded up to a multiple of 16: scratch blocks are carved at such offsets.
inline std::size_t align16(std::size_t n) noexcept { return (n + 15) & ~static_cast<std::size_t>(15); }

// ===================================================================================
// Binarization (binarize.cpp)
// ===================================================================================

enum class Binarizer : std::uint8_t { automatic = 0, local = 1, global = 2, none = 3 };

// Pixels per side of a block of the local threshold's statistics.
constexpr int kBlock = 8;

// Bytes of scratch binarize() needs for an image of this size (block statistics).
std::size_t binarize_scratch_bytes(int width, int height) noexcept;

// Writes width * height bytes to `bits` (row-major, no padding), 1 for dark, 0 for
// light. `automatic` uses an image of at most two levels as it is (the darker level
// is dark, except levels 0 and 1: a bits image, 1 dark) and thresholds any other
// locally. Returns true when the image was bilevel
// (at most two levels, or `none`). `scratch` holds binarize_scratch_bytes() bytes.
bool binarize(const ImageView &image, Binarizer mode, std::uint8_t *bits,
              void *scratch) noexcept;

// True when every pixel is 0 or 1: a bits image, which the reader can read as it is.
bool is_bits(const ImageView &image) noexcept;
// True when each of the row's `width` bytes is 0 or 1.
bool bits_row(const std::uint8_t *row, int width) noexcept;

// to = each pixel of the 0/1 image `from` the majority of its 3x3 neighbourhood
// (outside the image counts as light), which mends salt-and-pepper noise; `to` is
// `from` (in place) or an image of its own. `rows` holds denoise_scratch_bytes(width)
// bytes.
std::size_t denoise_scratch_bytes(int width) noexcept;
void denoise(const std::uint8_t *from, std::uint8_t *to, int width, int height, std::uint8_t *rows) noexcept;

// The downscale fallback's image, for the tests: (width / 4) x (height / 4) means of
// 4 x 4 blocks to `out`; with `bits` (a stride of width) nonzero bytes count as dark
// (0) and zero as light (255).
void shrink_image(const ImageView &image, bool bits, std::uint8_t *out) noexcept;

// The gray level t that best splits levels <= t from levels > t (Otsu); the single
// level of a one-level histogram.
int otsu_threshold(const std::uint64_t histogram[256]) noexcept;

// ===================================================================================
// Finder patterns (finder.cpp)
// ===================================================================================

struct Finder {
    Point centre;       // continuous pixel coordinates
    double module = 0;  // pixels per module
    int hits = 0;       // row matches merged into this finder
    // Foreshortened beyond any square's chords (a closeup's far finder): in steep
    // triples only, which keeps the other triples and their cost as they were.
    bool skewed = false;
};

// Chords through a finder seen steeply differ: its far side is foreshortened along one
// axis, up to 2.6:1 on a phone held close at 60 degrees (3.4 by 8.7 pixels a module)
// and 4.5:1 at 70 degrees (2.6 by 11). The longest chord a skewed finder may have, in
// its shortest ones.
constexpr int kMaxChordRatio = 5;

// A cap on finders per image: beyond it new ones are dropped, which bounds the
// later stages on adversarial pages (a real page holds a few dozen at most).
constexpr int kMaxFinders = 1024;
// Side of a cell of the spatial index that merges repeated detections.
constexpr int kFinderCell = 32;

std::size_t finder_scratch_bytes(int width, int height) noexcept;

struct FinderScan {
    int count = 0;            // finders written
    int rows = 0;             // rows scanned (busy stretches every row, others every other)
    std::int64_t runs = 0;    // row runs scanned: how busy the image is
    std::int64_t specks = 0;  // runs one pixel long: how speckled it is
    std::int64_t matches = 0; // row matches of either polarity
    bool bits = true;         // false: checked, a byte was neither 0 nor 1, the scan stopped there
};

// A row match of a light finder on dark: its core spans [core_start, core_start +
// core) on row y, its five runs `total` pixels.
struct RowMatch {
    int y = 0, core_start = 0, core = 0, total = 0;
};

// The light finders' row matches of a scan, in scan order; `overflow` when more were
// met than fit.
struct InverseLog {
    RowMatch *matches = nullptr;
    std::size_t capacity = 0;
    std::size_t count = 0;
    bool overflow = false;
};

// Pixels of an image per logged row match, at most: 50% noise makes one every 80.
constexpr std::size_t kPixelsPerLogged = 64;
std::size_t inverse_log_capacity(int width, int height) noexcept;

// Finder patterns of a bits image (1 dark), at most `capacity`, in no particular order.
// With `log`, the scan also records the row matches of light finders on dark. `carry`
// false walks every row match (the same finders, slower: the tests compare the two).
// `one_diagonal` false holds every finder to both diagonals, as the inverted pass is.
// `check` takes pixels not known to be bits: every byte is checked, and at the first row
// with one other than 0 and 1 the scan stops (bits false, no finders).
// `sparse` (the fast mode's one pass) scans rows three apart until a row meets a finder,
// then every row about it: a busy page costs a third of its rows, and a finder needs two
// pixels a module. The rows it meets depend on the dark finders, so its log is not the
// inverted bits' scan.
FinderScan find_finders(const ImageView &bits, Finder *out, int capacity, void *scratch,
                        InverseLog *log = nullptr, bool carry = true, bool one_diagonal = true,
                        bool check = false, bool sparse = false) noexcept;

// One row as the finder scan reads it, for the tests: writes its row matches of either
// polarity in x order to `out` (y holding the core's pixel value), its runs and its runs
// one pixel long, and returns the number of matches. `reference` takes the plain run-by-run scan; else
// `edges` holds width + 1 entries, and `dark_only` keeps the dark cores' matches and counts
// no specks, as the sparse scan does. `out` holds width / 2 + 1 entries (cores are distinct
// runs of two pixels or more).
int row_scan_matches(const std::uint8_t *row, int width, bool reference, std::int32_t *edges, RowMatch *out,
                     std::int64_t *runs, std::int64_t *specks, bool dark_only = false) noexcept;

// One walk of a finder's confirmation, for the tests: from (x, y) along (dx, dy), each
// -1, 0 or 1, over the core, the ring of `light` and the outer ring, their pixels in
// `counts`; true when the outer ring ends within `limit` steps, `exhausted` when the
// walk ran out of steps.
bool finder_walk(const ImageView &bits, int x, int y, int dx, int dy, int limit, std::uint8_t light, bool specks,
                 int counts[3], bool &exhausted) noexcept;

// Keeps, in order, the first `count` finders whose row matches are at least their
// module size in pixels; returns how many. A finder of m pixels a module matches on
// some 2m rows or more in any rotation (3m upright), once its runs are whole: in bits
// that a 3x3 majority mended, a finder with fewer is noise clumped by the majority
// (see Pass::run_denoised).
int keep_solid(Finder *finders, int count) noexcept;

// The light finders on dark of a scan's log (which must not have overflowed), at most
// `capacity`: exactly those find_finders(..., one_diagonal = false) finds in the
// inverted bits.
int inverse_finders(const ImageView &bits, const InverseLog &log, Finder *out, int capacity, void *scratch,
                    bool carry = true) noexcept;

// ===================================================================================
// Triples of finders (symbols.cpp)
// ===================================================================================

struct Triple {
    int tl = 0, tr = 0, bl = 0;  // finder indices; tr/bl as an upright, unmirrored symbol
    double cost = 0;            // lower is more symbol-like
    bool steep = false;         // from find_steep_triples
};

constexpr int kMaxTriples = 256;

// Plausible symbol corners among `finders`, cheapest first; at most `capacity`.
int find_triples(const Finder *finders, int count, Triple *out, int capacity) noexcept;

// Triples of a symbol seen close and steeply, which find_triples does not pass: finders
// up to 3.5x apart in module size, the corner angle and the legs far from a square's,
// the three sides agreeing in modules measured along them. The cheapest `capacity`
// from the best-confirmed finders, cheapest first.
int find_steep_triples(const ImageView &bits, const Finder *finders, int count, Triple *out,
                       int capacity) noexcept;

// ===================================================================================
// Grid (grid.cpp)
// ===================================================================================

struct Line {
    Point origin;
    Point direction;  // unit
};

// The least-squares line through points (total least squares: the principal axis);
// false for fewer than three.
bool fit_line(const Point *points, int count, Line &out) noexcept;

// As fit_line, then again without the point farthest off the line when it lies more
// than `limit` off (the points are reordered).
bool fit_line_without_worst(Point *points, int count, double limit, Line &out) noexcept;

// out = the adjugate of the 3x3 m: its inverse up to a scale, which a homography ignores.
void adjugate(const double m[9], double out[9]) noexcept;

// out = a b, both 3x3 row-major.
void multiply(const double a[9], const double b[9], double out[9]) noexcept;

// The transform sending src[i] to dst[i] (i = 0..3); false when a quad is degenerate.
bool homography_from_points(const Point src[4], const Point dst[4], Homography &out) noexcept;

// The alignment pattern nearest `predicted`, within `radius` pixels; false when none.
bool find_alignment(const ImageView &bits, Point predicted, double module, double radius,
                    Point &found) noexcept;

// Pixels per module of a finder measured along `direction` (any length): its chord
// from outer edge to outer edge through the centre, over 7. Under perspective it
// differs from the finder's narrowest reading. 0 when the rings do not close within 12
// modules. With `specks`, a pixel of the other colour inside a ring does not end it.
double module_along(const ImageView &bits, const Finder &finder, Point direction, bool specks = false) noexcept;

// The symbol's bottom-right corner as the crossing of the top-right finder's right
// edge and the bottom-left finder's bottom edge: exact under perspective, where the
// parallelogram of the three centres is not. False when an edge is not found, or the
// corner lies far from the parallelogram's; with `steep` (a triple from
// find_steep_triples, whose corner lies far from it by nature) the finders' modules
// are read along each walk instead of their narrowest reading.
bool estimate_corner(const ImageView &bits, const Finder &tl, const Finder &tr, const Finder &bl,
                     Point &corner, bool steep = false) noexcept;

// modules[r * size + c] = the bits pixel under module (c, r)'s centre (0 outside the
// image); from 3 pixels per module a majority of five points inside the module.
// With `rows` the grid is `rows` by size (rMQR).
void sample_grid(const ImageView &bits, const Homography &module_to_image, int size,
                 double module, std::uint8_t *modules, int rows = 0) noexcept;

// Fits the one transform of a symbol of `size` modules that `start` roughly maps (within
// half a module) to the colour changes between its modules, `module` pixels each, over
// a few rounds, each reading the symbol through the fit before (into `modules`, size *
// size): cost linear in the modules, at most some 130 samples a module. False when too
// few edges are found or the fit leaves the start by more than a module and a half at a
// corner.
bool fit_to_edges(const ImageView &bits, const Homography &start, int size, double module, std::uint8_t *modules,
                  Homography &out) noexcept;

// Anchor lines per axis of a local grid: the alignment rows of version 40.
constexpr int kMaxAnchorLines = 7;

// A symbol sampled through its located alignment patterns: each module point maps by
// quadratic interpolation over the 3 x 3 anchors nearest it, which follows a symbol
// that bends (a cylinder's sine) where one transform drifts off by modules.
struct LocalGrid {
    int lines = 0;                            // anchor lines per axis
    double coordinate[kMaxAnchorLines] = {};  // module coordinate of each line
    Point anchor[kMaxAnchorLines * kMaxAnchorLines];  // image point of (line i, line j) at [j * lines + i]
    int size = 0;                             // modules with a timing shift (0: none)
    double shift_u[kMaxSize] = {};            // per column, from the timing row
    double shift_v[kMaxSize] = {};            // per row, from the timing column
};

// Locates the alignment patterns of a symbol of `version` whose grid `global` roughly
// fits and whose finder centres are finders[0..2] (top-left, top-right, bottom-left).
// Returns the number of patterns located (0 when the version has fewer than three
// alignment lines, or on bad input); the search stops, short of `needed`, once the
// patterns left to search cannot bring the count to `needed`.
int local_grid(const ImageView &bits, const Homography &global, const Point finders[3], int version,
               double module, int needed, LocalGrid &out) noexcept;

// As sample_grid, through the local grid, each module first moved to the middle of
// its colour changes in the timing patterns as the grid maps them (a cylinder's bend
// along a row is a smooth shift of its columns the anchors alone leave by half a
// module). Fills the grid's shifts.
void sample_local(const ImageView &bits, LocalGrid &grid, int size, double module,
                  std::uint8_t *modules) noexcept;
// The two steps of sample_local: the grid's shifts filled for a symbol of `size`
// modules (false, the grid left empty, for a size no symbol has), then module (c, r)
// as sample_local reads it, or every module of the grid's size.
bool shift_local(const ImageView &bits, LocalGrid &grid, int size) noexcept;
std::uint8_t local_module(const ImageView &bits, const LocalGrid &grid, int c, int r, double module) noexcept;
void sample_shifted(const ImageView &bits, const LocalGrid &grid, double module, std::uint8_t *modules) noexcept;

// doubts[r * size + c] = how many of nine points spread over the middle of module
// (c, r) disagree with modules[r * size + c] as sampled through the grid (0 to 9): the
// decoder erases the least certain codewords when errors-only correction fails.
void grid_doubts(const ImageView &bits, const Homography &module_to_image, int size, const std::uint8_t *modules,
                 std::uint8_t *doubts) noexcept;
// As grid_doubts, through a local grid sample_local has filled.
void local_doubts(const ImageView &bits, const LocalGrid &grid, int size, const std::uint8_t *modules,
                  std::uint8_t *doubts) noexcept;

// The image point of module point p through a local grid sample_local has filled (its
// timing shifts applied).
Point local_point(const LocalGrid &grid, Point p) noexcept;

// The vote of a module's five points from its centre's reading and corner(k), the
// points a quarter module off it, k = 0..3: (-, -), (+, -), (-, +), (+, +). The centre
// counts twice and three of the six win: a dark centre needs one dark corner, a light
// one three. Two corners are read before anything branches on the pixels: where they
// agree with the centre (a clean module) they are the vote, dark or light, and that
// test goes the same way module after module. Branching on the centre first took the
// module's colour, which is random: callgrind's branch model gave sample_grid 43.7K
// mispredictions over the 60 small codes' fast reads, 6.4K so, and the reads took 5.35
// against 4.6 ms. Written out, so that each corner's k is a constant where corner is
// inlined (as a loop, 8 instructions more a point in sample_grid).
template <typename Corner>
std::uint8_t corner_vote(bool centre, Corner &&corner) noexcept {
    const bool first = corner(0), second = corner(1);
    if (first == centre && second == centre) return centre ? 1 : 0;
    if (centre) return first || second || corner(2) || corner(3) ? 1 : 0;
    // A light centre and one or two dark corners so far: three are needed.
    return (first && second ? corner(2) || corner(3) : corner(2) && corner(3)) ? 1 : 0;
}

// Module (c, r) read through `dark` (dark(x, y) reads module point (x, y)): the point
// under its centre, from 3 pixels per module (`vote`) a majority of five points inside
// it.
template <typename Dark>
std::uint8_t vote_module(Dark &&dark, int c, int r, bool vote) noexcept {
    const double x = c + 0.5, y = r + 0.5;
    const bool centre = dark(x, y);
    if (!vote) return centre ? 1 : 0;
    return corner_vote(centre, [&](int k) noexcept {
        return dark(k & 1 ? x + 0.25 : x - 0.25, k >> 1 ? y + 0.25 : y - 0.25);
    });
}

// doubts[i] = how many of nine points over module i's middle (a third of a module
// apart) disagree with its reading modules[i]: 0 in a clean module, 4 or more where the
// grid straddles an edge or the module is a smudge. dark(x, y) reads module point (x, y).
template <typename Dark>
void doubts_by(Dark &&dark, int size, const std::uint8_t *modules, std::uint8_t *doubts) noexcept {
    constexpr double kSpread[3] = {-1.0 / 3.0, 0.0, 1.0 / 3.0};
    for (int r = 0; r < size; ++r) {
        for (int c = 0; c < size; ++c) {
            int dark_points = 0;
            for (const double dy : kSpread)
                for (const double dx : kSpread) dark_points += dark(c + 0.5 + dx, r + 0.5 + dy) ? 1 : 0;
            const std::size_t i = static_cast<std::size_t>(r) * size + c;
            doubts[i] = static_cast<std::uint8_t>(modules[i] ? 9 - dark_points : dark_points);
        }
    }
}

// ===================================================================================
// Fitted grid (refine.cpp): a grid fitted to the symbol rather than assumed
// ===================================================================================

// Knots per axis of a fitted grid's lattice at most.
constexpr int kMaxKnots = 16;

// The three points a module's fit cost reads along one axis (its centre and a third of
// a module to either side, moved by its column's or row's shift) as knot cells and
// offsets in them; finite false where a coordinate leaves the lattice's reach (the
// point reads light).
struct AxisPoints {
    int cell[3] = {};
    double fraction[3] = {};
    bool finite[3] = {};
};

// A symbol's grid as a lattice of knots over its module square, each knot's image
// point moved until the symbol's function patterns and the purity of its modules
// agree with it best, and a shift per column and per row (module widths that a
// printer jittered). Module point (x, y) moves by its column's and row's shift, then
// maps by bilinear interpolation between the four knots round it.
struct FittedGrid {
    int size = 0;     // modules across
    int knots = 0;    // per axis
    double step = 1;  // modules between knots
    Point knot[kMaxKnots * kMaxKnots];  // image point of module point (i, j) * step at [j * knots + i]
    double shift_u[kMaxSize] = {};       // per column, modules
    double shift_v[kMaxSize] = {};       // per row, modules
    // What each module should read (0 light, 1 dark) where a function pattern fixes
    // it, 2 for a data module: scratch of the fit.
    std::uint8_t expected[kMaxSize * kMaxSize];
    std::uint8_t sampled[kMaxSize * kMaxSize];
    // The cost points of columns and rows -1 to size (at [m + 1]) through the shifts as
    // they stand: scratch of the fit, which moves knots far more often than shifts.
    AxisPoints column_points[kMaxSize + 2];
    AxisPoints row_points[kMaxSize + 2];
};

// The image point of module point p through a fitted grid.
Point fitted_point(const FittedGrid &grid, Point p) noexcept;

// Fits the grid of a symbol of `size` modules that `global` (or, when given, `local`)
// roughly maps, by a fixed number of sweeps: cost linear in the modules, at most
// about 300 samples a module. False on bad input (a size no version has, a map that
// leaves the plane) and when the starting grid reads no format within a bit error.
bool fit_grid(const ImageView &bits, const Homography &global, const LocalGrid *local, int size,
              FittedGrid &out) noexcept;

// fit_grid's two searches, on a grid whose knots are placed and whose expected modules
// are set: every knot's moves, coarse to fine; then every column's and row's shift
// from where the shifts stand.
void fit_knots(const ImageView &bits, FittedGrid &grid) noexcept;
void fit_line_shifts(const ImageView &bits, FittedGrid &grid) noexcept;

// As sample_grid, through a fitted grid.
void sample_fitted(const ImageView &bits, const FittedGrid &grid, double module, std::uint8_t *modules) noexcept;

// As grid_doubts, through a fitted grid.
void fitted_doubts(const ImageView &bits, const FittedGrid &grid, const std::uint8_t *modules,
                   std::uint8_t *doubts) noexcept;

// ===================================================================================
// The read (reader.cpp, passes.cpp, candidates.cpp)
// ===================================================================================

// Bits of ReadOptions::symbologies: 1 << Symbology.
constexpr std::uint8_t kReadQr = 1u << static_cast<int>(Symbology::qr);
constexpr std::uint8_t kReadMicroQr = 1u << static_cast<int>(Symbology::micro_qr);
constexpr std::uint8_t kReadRmqr = 1u << static_cast<int>(Symbology::rmqr);
constexpr std::uint8_t kReadAll = kReadQr | kReadMicroQr | kReadRmqr;

struct Trace;

struct ReadOptions {
    Binarizer binarizer = Binarizer::automatic;
    std::uint8_t symbologies = kReadAll;  // the families searched for
    bool try_invert = true;
    bool keep_errors = false;  // also report located symbols that did not decode
    Trace *trace = nullptr;    // what the read saw, written there when given (trace.cpp)
    // False: one pass and nothing more, for video frames: no inverted, denoised or
    // shrunk pass and no retry of a grid (erasures, a nudged anchor, a local grid).
    bool try_harder = true;
};

// One located symbol. `decoded.error` is none when it was read.
struct SymbolRecord {
    DecodedSymbol decoded;
    int size = 0;         // modules across (decoded.columns; decoded.rows down)
    Quad position;        // symbol corners in caller pixels, as the symbol reads
    Point centres[3];     // finder centres: top-left, top-right, bottom-left (one finder:
                          // the centres a QR symbol of its size would have there)
    double orientation = 0;  // degrees, the top edge's direction in the image
    double module_size = 0;
    bool mirrored = false;
    bool inverted = false;
    std::uint8_t modules[kMaxSize * kMaxSize];  // decoded.rows * size, as sampled, in the symbol's frame
    // What complete_record (record.cpp) adds for the caller after the read:
    bool restorable = false;  // `restored`, level, mask and finder_score hold
    int level = 0;            // 0..3 for L, M, Q, H: the decode's, else the format information's
    int mask = 0;
    double finder_score = 0;  // the share of the 147 finder modules sampled right (1 off QR)
    std::uint8_t restored[kMaxSize * kMaxSize];  // size * size, every function module ideal
};

// Fills what a record reports beyond its decode. A QR symbol whose format information
// reads and whose version information matches its size is restored (restore_matrix
// with that format) and scored on its three finders; a decoded Micro QR or rMQR symbol
// keeps its sampled modules, scored 1. Any other record is not restorable.
void complete_record(SymbolRecord &record) noexcept;

// Records the read may fill for an image of this size (at least one).
int read_capacity(int width, int height) noexcept;
std::size_t read_scratch_bytes(int width, int height) noexcept;

// Reads every symbol of `image`: decoded ones first, then (with keep_errors) the
// located ones that failed. Returns the number of records written.
int read_symbols(const ImageView &image, const ReadOptions &options, void *scratch,
                 SymbolRecord *records, int capacity) noexcept;

// ===================================================================================
// The read's trace (trace.cpp): what a read saw, for pictures of why it failed
// ===================================================================================

// The passes of a read, in the order they run.
enum class TracePass : std::uint8_t { first = 0, inverted = 1, denoised = 2, shrunk = 3, enlarged = 4, global = 5 };

// A finder a pass found, in the image's pixels.
struct TraceFinder {
    Finder finder;
    TracePass pass = TracePass::first;
};

// A triple a pass tried: its finder centres (top-left, top-right, bottom-left as the
// triple ranks them) in the image's pixels, and how far it got: none when it decoded,
// bad_size when no grid of it was worth decoding (timing at chance, no version fits).
struct TraceTriple {
    Point centres[3];
    double cost = 0;
    TracePass pass = TracePass::first;
    DecodeError outcome = DecodeError::bad_size;
};

// A symbol a pass located: the grid it was sampled through, in the image's pixels,
// and how far it got (none: decoded).
struct TraceSymbol {
    Homography module_to_image;
    int size = 0;
    TracePass pass = TracePass::first;
    DecodeError outcome = DecodeError::none;
};

// Finders and triples a trace holds: every pass's, four passes at most (the enlarged
// pass needs at most 2^17 pixels, the shrunk one 512 a side: never both). Symbols: the
// first few located, enough for a person to look at (a noise page locates hundreds).
constexpr int kTraceFinders = 4 * kMaxFinders;
constexpr int kTraceTriples = 4 * kMaxTriples;
constexpr int kTraceSymbols = 64;
constexpr int kTraceModules = kMaxSize * kMaxSize;

// Caller memory a read writes what it saw into: the caller sizes every array before
// the read (the lock is released by then) and the read never writes past them.
struct Trace {
    std::uint8_t *bits = nullptr;        // width * height: the first pass's bits, 1 dark
    TraceFinder *finders = nullptr;      // kTraceFinders
    TraceTriple *triples = nullptr;      // kTraceTriples
    TraceSymbol *symbols = nullptr;      // kTraceSymbols
    std::uint8_t *confidence = nullptr;  // kTraceModules per symbol, see trace_symbol
    std::uint8_t *modules = nullptr;     // kTraceModules: a symbol as sampled, scratch
    int finder_count = 0;
    int triple_count = 0;
    int symbol_count = 0;
    // The running pass, and the scale from its pixels to the image's.
    TracePass pass = TracePass::first;
    double scale = 1.0;
};

// Sets the running pass; nothing when `trace` is null.
void trace_pass(Trace *trace, TracePass pass, double scale) noexcept;

// Copies the first pass's bits (width * height, no padding).
void trace_bits(Trace &trace, const ImageView &bits) noexcept;

// Appends a pass's finders, as many as fit.
void trace_finders(Trace &trace, const Finder *finders, int count) noexcept;

// Appends a triple the running pass tried, when it fits.
void trace_triple(Trace &trace, const Finder *finders, const Triple &triple, DecodeError outcome) noexcept;

// Appends a located symbol, when it fits, and per module (row-major, in the grid's
// frame) how many of the nine points of grid_doubts agree with its reading (0 to 9).
void trace_symbol(Trace &trace, const ImageView &bits, const Homography &module_to_image, int size,
                  double module, DecodeError outcome) noexcept;

}  // namespace halvern::engine
