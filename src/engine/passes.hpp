// The read's passes, shared by the files of the read: the scratch a read carves
// (reader.cpp), a pass over one bits image (passes.cpp) and the candidate grids it
// tries for each triple of finders (candidates.cpp).
//
// A triple is tried with the version its finder spacing gives (or its version
// information, from version 7), then the neighbouring versions; each version with the
// transform anchored on the alignment pattern, then on the estimated fourth corner;
// each grid as sampled and transposed (a mirrored image). A grid whose timing patterns
// do not alternate is not decoded at all. Finders of a decoded symbol are not used
// again, so every symbol of the image is read once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "stages.hpp"
#include "symbologies.hpp"

namespace halvern::engine {

constexpr int kModules = kMaxSize * kMaxSize;
// Timing modules that must alternate before a grid is worth decoding.
constexpr double kMinTiming = 0.7;
// Below this on every global grid (chance is 0.5) a symbol is not tried locally.
constexpr double kMinLocalTiming = 0.45;
// Separator modules that must read light before a symbol is tried locally.
constexpr double kMinSeparator = 0.7;
// Steep triples (see find_steep_triples) a pass that decoded nothing tries at most,
// when it may retry: a closeup at 50 degrees shows the far finder a third the near
// one's size and the corner at up to 65 degrees. Each is a full try.
constexpr int kMaxSteepTriples = 8;
// Local grids tried per triple at most: each costs a sampling of the whole symbol.
constexpr int kMaxLocal = 3;
// Pixels of alignment search windows a pass may scan: kSearchPasses times the image,
// and kSearchFloor more for small images.
constexpr std::int64_t kSearchPasses = 4;
constexpr std::int64_t kSearchFloor = std::int64_t{1} << 20;
// Local grids per pass at most: a page of noise offers hundreds of finder triples whose
// timing is at chance, and their local grids cost a 3 MP noise page 600 ms.
constexpr int kMaxLocalPerPass = 24;
// Grids whose fourth point is nudged, per pass at most: eight samplings each.
constexpr int kMaxJitter = 4;
// Module sizes of a triple and a decoded symbol holding its centre beyond which the
// triple is another symbol, nested in it or holding it.
constexpr double kNestedRatio = 1.3;
// Grids retried with erasures per pass at most: each samples nine points a module.
constexpr int kMaxSoft = 8;
// Grids fitted to their module edges, per pass at most: each samples some 130 points
// a module.
constexpr int kMaxEdgeFits = 4;
// Fitted grids per read at most, shared by its passes: each costs some 300 samples a
// module. A 1 MP page of near-symbols (every one located, none decoded) read in 90 ms
// with four fits a pass and 54 ms with two a read; the scenes read the same with two
// (the fitted symbols are alone in their image and fit at most twice).
constexpr int kMaxFits = 2;
// And each at most kMaxFitSamplesPerPixel samples a pixel of its pass's image, at some
// kFitSamplesPerModule a module, lest a fit cost more than the rest of the read: a
// version 31 at 3.5 pixels a module in a 0.37 MP scan (16 samples a pixel) took 119 ms,
// 0.88G of its 1.34G instructions, and did not read. The fits that read a scene took
// at most 6.6; a symbol filling its image is fitted from 6 pixels a module, one that
// fills a quarter of it from 3.
constexpr double kFitSamplesPerModule = 300;
constexpr double kMaxFitSamplesPerPixel = 8;
// Timing a grid that read no format needs for a fit: chance is 0.5.
constexpr double kMinFitTiming = 0.6;
// Versions tried for a triple at most.
constexpr int kMaxVersions = 7;
// How far a version stated in the version blocks may lie from the estimate it was
// read through.
constexpr int kMaxStatedShift = 4;

// A located symbol that did not decode, kept to report it.
struct Failure {
    Homography module_to_image;
    int size = 0;
    DecodeError error = DecodeError::format;
    bool mirrored = false;
    bool inverted = false;
    int finders[3] = {0, 0, 0};
    Point centres[3];
    double module = 0;
};

// The read's scratch, carved from one block (reader.cpp).
struct Scratch {
    std::uint8_t *bits = nullptr;
    void *binarize = nullptr;
    void *finder_index = nullptr;
    Finder *finders = nullptr;
    Finder *inverse = nullptr;  // light finders on dark, from the first scan's log
    RowMatch *matches = nullptr;  // that log
    Triple *triples = nullptr;
    std::uint8_t *used = nullptr;  // per finder: taken by a decoded symbol
    std::uint8_t *modules = nullptr;
    std::uint8_t *transposed = nullptr;
    std::uint8_t *rows = nullptr;  // three image rows for the denoise
    Failure *failures = nullptr;   // this pass's
    DecodedSymbol *attempt = nullptr;  // decode attempts; a success is copied out
    LocalGrid *local = nullptr;
    std::uint8_t *small = nullptr;  // the image box-averaged kShrink times down
    std::uint8_t *doubts = nullptr;  // per module as sampled and transposed, then a centre reading and its transpose
    std::uint8_t *large = nullptr;   // the bits kEnlarge times larger (small images only)
    FittedGrid *fitted = nullptr;
    int *fits = nullptr;  // fitted grids tried so far in this read, by every pass
    Trace *trace = nullptr;         // the caller's, not carved: null unless asked for
};

// Fourth points of a symbol's grid besides the alignment pattern.
struct Anchors {
    Point corner;         // the symbol's bottom-right corner, from finder edges
    bool has_corner = false;
    Point parallelogram;  // the fourth finder centre the other three imply
};

// The grids of one version of a triple, the likeliest first (candidates.cpp): each with
// its fourth point `anchor` showing module point `at`.
struct VersionGrids {
    Homography grid[3];
    Point anchor[3], at[3];
    int count = 0;
    bool aligned = false;  // grid[0] is anchored on a located alignment pattern
};

// The grid of a triple's versions whose timing came closest, a fit's start once every
// version has failed.
struct FitStart {
    Homography grid;
    int size = 0;  // 0: none
    double module = 0;
    double timing = 0;
};

// out = in (size x size) transposed.
void transpose(const std::uint8_t *in, int size, std::uint8_t *out) noexcept;

// How far a decode got: a later failure means a likelier symbol.
int progress(DecodeError e) noexcept;

// Appends the pass's `failures` (in s.failures) that lie outside every symbol already
// recorded, sampled from the bits the pass read; returns the new count.
int report_failures(const ImageView &bits, const Scratch &s, int failures, SymbolRecord *records,
                    int count, int capacity) noexcept;

// What a checked pass (Pass::run) returns for pixels that are not bits.
constexpr int kNotBits = -1;

class Pass {
public:
    // A pass over `bits` through the finders in `finders` (s.finders or s.inverse).
    // `retry` false decodes each grid once: no erasures, nudges or local grids.
    Pass(const ImageView &bits, const Scratch &s, Finder *finders, SymbolRecord *records, int capacity,
         bool inverted, std::uint8_t symbologies, bool retry = true) noexcept
        : bits_(bits), s_(s), finders_(finders), records_(records), capacity_(capacity), inverted_(inverted),
          symbologies_(symbologies), retry_(retry),
          search_budget_(kSearchPasses * static_cast<std::int64_t>(bits.width) * bits.height + kSearchFloor) {}

    // Scans for finders (with `log`, logging the light ones' row matches) and decodes
    // what it can; returns the number of decoded records. `check` takes pixels not known
    // to be bits: on a byte other than 0 and 1 the scan stops and the pass returns
    // kNotBits, having decoded nothing.
    int run(InverseLog *log = nullptr, bool check = false) noexcept;

    // run() over bits a 3x3 majority mended: rows scanned sparsely, as in the fast mode
    // (the majority leaves no symbol under two pixels a module, the least that scan
    // meets), and only the solid finders kept (keep_solid).
    int run_denoised() noexcept;

    // Decodes what the first `count` finders hold, without a scan.
    int decode(int count) noexcept;

    int failures() const noexcept { return failures_; }
    const FinderScan &scan() const noexcept { return scan_; }

private:
    // passes.cpp: triples and lone finders, decoding, records.
    bool taken(const Triple &t) const noexcept;
    void trace_failures() const noexcept;
    void try_triples(int count) noexcept;
    void try_traced(const Triple &t) noexcept;
    void try_lone(int index) noexcept;
    void accept_lone(int index, const LoneRead &where) noexcept;
    DecodeError decode_soft(const Homography &h, const LocalGrid *local, const FittedGrid *fitted, int size,
                            double module, bool mirrored, const std::uint8_t *&modules) noexcept;
    DecodeError decode_doubted(const Homography &h, const LocalGrid *local, const FittedGrid *fitted, int size,
                               const std::uint8_t *sampled, const std::uint8_t *modules, std::uint8_t *doubts,
                               bool known, std::uint8_t *transposed) noexcept;
    bool try_grid(const Triple &t, const Homography &h, int size, double module, Failure &failure,
                  const LocalGrid *local = nullptr, const FittedGrid *fitted = nullptr) noexcept;
    void set_centres(Point centres[3], const Triple &t, bool mirrored) const noexcept;
    void accept(const Triple &t, const Homography &h, int size, double module, bool mirrored,
                const std::uint8_t *modules) noexcept;

    // candidates.cpp: the versions and grids tried for a triple.
    void try_triple(const Triple &t) noexcept;
    int stated_version(const Triple &t, const Anchors &anchors, const int *versions, int count) const noexcept;
    double along(const Finder &f, Point direction) const noexcept;
    double leg_module(const Finder &a, const Finder &b, Point direction, bool steep) const noexcept;
    bool first_grid(const Triple &t, const Anchors &a, int size, Homography &h) const noexcept;
    void version_grids(const Triple &t, const Anchors &a, int version, double module, VersionGrids &out) noexcept;
    bool try_version(const Triple &t, const Anchors &a, int version, double span, Failure &failure) noexcept;
    double separator_share(const Triple &t) const noexcept;
    bool try_local(const Triple &t, const Homography &global, int version, double module,
                   Failure &failure) noexcept;
    bool try_fitted(const Triple &t, const Homography &h, const LocalGrid *local, int size, double module,
                    Failure &failure) noexcept;
    bool try_edge_fitted(const Triple &t, const Homography &h, int size, double module, Failure &failure) noexcept;
    bool try_nudged(const Triple &t, Point anchor, Point at, const Homography &h, int size, double module,
                    Failure &failure) noexcept;
    bool afford_search(double radius) noexcept;
    bool affords_fit(int size) const noexcept;

    ImageView bits_;
    const Scratch &s_;
    Finder *finders_;
    SymbolRecord *records_;
    int capacity_;
    int decoded_ = 0;
    bool inverted_;
    std::uint8_t symbologies_;
    bool retry_;
    int failures_ = 0;
    int local_tries_ = 0;
    int local_grids_ = 0;
    std::int64_t search_budget_;
    int jitters_ = 0;
    int edge_fits_ = 0;
    int soft_tries_ = 0;
    // What the unmirrored soft try of the current grid left in the scratch for the
    // mirrored one: 0 nothing, 1 its reading's doubts, 2 also the centre reading and
    // its doubts.
    int soft_kept_ = 0;
    FitStart fit_start_;
    FinderScan scan_;
};

}  // namespace halvern::engine
