// The read: binarize, find finders, rank triples, fit each symbol's grid, sample and
// decode; then the fallbacks, each only when the passes before decoded nothing.
//
// A triple is tried with the version its finder spacing gives (or its version
// information, from version 7), then the neighbouring versions; each version with the
// transform anchored on the alignment pattern, then on the estimated fourth corner;
// each grid as sampled and transposed (a mirrored image). A grid whose timing patterns
// do not alternate is not decoded at all. Finders of a decoded symbol are not used
// again, so every symbol of the image is read once.

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "stages.hpp"
#include "symbologies.hpp"

namespace halvern::engine {

namespace {

constexpr int kModules = kMaxSize * kMaxSize;
// Timing modules that must alternate before a grid is worth decoding.
constexpr double kMinTiming = 0.7;
// Below this on every global grid (chance is 0.5) a symbol is not tried locally.
constexpr double kMinLocalTiming = 0.45;
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

// The downscale fallback's factor, and the shorter side an image needs for it: a
// symbol of 21 modules at 25 pixels a module and more.
constexpr int kShrink = 4;
static_assert(kShrink == 4, "shrink() counts a block's dark bits four bytes at a time");
constexpr int kMinShrinkSide = 512;

// Whole-image symbols at one pixel a module (screenshots, generated images, crops):
// their finders are 7 pixels across, below the narrowest the scan takes (10) lest one
// pixel noise swamp it. An image of at most kMaxEnlarged pixels that read nothing is
// read again kEnlarge times larger, where they are 3 pixels a module (a version 40 at
// one pixel a module fills 177 x 177).
constexpr int kEnlarge = 3;
constexpr std::int64_t kMaxEnlarged = std::int64_t{1} << 17;

bool enlargeable(int width, int height) noexcept {
    return static_cast<std::int64_t>(width) * height <= kMaxEnlarged;
}

// The read's scratch, carved from one block.
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
    Trace *trace = nullptr;         // the caller's, not carved: null unless asked for
};

std::size_t layout(int width, int height, void *base, Scratch *out) noexcept {
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    const std::size_t large = enlargeable(width, height) ? kEnlarge * kEnlarge * pixels : 0;
    const int scan_width = large > 0 ? kEnlarge * width : width, scan_height = large > 0 ? kEnlarge * height : height;
    const std::size_t sizes[17] = {
        pixels,
        binarize_scratch_bytes(width, height),
        finder_scratch_bytes(scan_width, scan_height),
        sizeof(Finder) * kMaxFinders,
        sizeof(Finder) * kMaxFinders,
        sizeof(RowMatch) * inverse_log_capacity(width, height),
        sizeof(Triple) * kMaxTriples,
        kMaxFinders,
        kModules,
        kModules,
        denoise_scratch_bytes(width),
        sizeof(Failure) * kMaxTriples,
        sizeof(DecodedSymbol),
        sizeof(LocalGrid),
        static_cast<std::size_t>(width / kShrink) * static_cast<std::size_t>(height / kShrink),
        4 * kModules,
        large,
    };
    std::size_t offsets[17];
    std::size_t total = 0;
    for (int i = 0; i < 17; ++i) {
        offsets[i] = total;
        total += align16(sizes[i]);
    }
    if (out != nullptr) {
        auto *b = static_cast<unsigned char *>(base);
        out->bits = b + offsets[0];
        out->binarize = b + offsets[1];
        out->finder_index = b + offsets[2];
        out->finders = reinterpret_cast<Finder *>(b + offsets[3]);
        out->inverse = reinterpret_cast<Finder *>(b + offsets[4]);
        out->matches = reinterpret_cast<RowMatch *>(b + offsets[5]);
        out->triples = reinterpret_cast<Triple *>(b + offsets[6]);
        out->used = b + offsets[7];
        out->modules = b + offsets[8];
        out->transposed = b + offsets[9];
        out->rows = b + offsets[10];
        out->failures = reinterpret_cast<Failure *>(b + offsets[11]);
        out->attempt = reinterpret_cast<DecodedSymbol *>(b + offsets[12]);
        out->local = reinterpret_cast<LocalGrid *>(b + offsets[13]);
        out->small = b + offsets[14];
        out->doubts = b + offsets[15];
        out->large = b + offsets[16];
    }
    return total;
}

double distance(Point a, Point b) noexcept { return std::sqrt(dot(a - b, a - b)); }

// Share of timing modules that alternate, sampled straight from the image.
double timing_through(const ImageView &bits, const Homography &h, int size) noexcept {
    int good = 0, total = 0;
    for (int i = 8; i < size - 8; ++i) {
        const bool expected = i % 2 == 0;
        good += dark_at(bits, h.apply({i + 0.5, 6.5})) == expected ? 1 : 0;
        good += dark_at(bits, h.apply({6.5, i + 0.5})) == expected ? 1 : 0;
        total += 2;
    }
    return total > 0 ? static_cast<double>(good) / total : 0.0;
}

// The version in the symbol's version blocks (either copy), or 0.
int version_from_info(const ImageView &bits, const Homography &h, int size) noexcept {
    std::uint32_t upper = 0, lower = 0;
    for (int i = 0; i < 6; ++i) {
        for (int j = 0; j < 3; ++j) {
            const int bit = i * 3 + j;
            const double far = size - 11 + j + 0.5, near = i + 0.5;
            upper |= static_cast<std::uint32_t>(dark_at(bits, h.apply({far, near}))) << bit;
            lower |= static_cast<std::uint32_t>(dark_at(bits, h.apply({near, far}))) << bit;
        }
    }
    const int version = decode_version_word(upper);
    return version != 0 ? version : decode_version_word(lower);
}

// The transform of a symbol of `size` modules whose finder centres are tl, tr, bl and
// whose fourth point `anchor` shows module point `at`.
bool grid_transform(Point tl, Point tr, Point bl, Point anchor, Point at, int size,
                    Homography &out) noexcept {
    const double near = 3.5, far = size - 3.5;
    const Point src[4] = {{near, near}, {far, near}, at, {near, far}};
    const Point dst[4] = {tl, tr, anchor, bl};
    return homography_from_points(src, dst, out);
}

void transpose(const std::uint8_t *in, int size, std::uint8_t *out) noexcept {
    for (int r = 0; r < size; ++r) {
        for (int c = 0; c < size; ++c) out[c * size + r] = in[r * size + c];
    }
}

// True when p lies inside the convex quad q (either winding).
bool inside(const Quad &q, Point p) noexcept {
    int positive = 0, negative = 0;
    for (int i = 0; i < 4; ++i) {
        const double turn = cross(q.corner[(i + 1) % 4] - q.corner[i], p - q.corner[i]);
        positive += turn > 0 ? 1 : 0;
        negative += turn < 0 ? 1 : 0;
    }
    return positive == 0 || negative == 0;
}

// How far a decode got: a later failure means a likelier symbol.
int progress(DecodeError e) noexcept {
    switch (e) {
        case DecodeError::none: return 5;
        case DecodeError::data: return 4;
        case DecodeError::too_many_errors: return 3;
        case DecodeError::version: return 2;
        case DecodeError::format: return 1;
        default: return 0;
    }
}

void describe(const Homography &h, int size, bool mirrored, Quad &position, double &orientation,
              int rows = 0) noexcept {
    const double s = size, t = rows > 0 ? rows : size;
    const Point tl = h.apply({0, 0}), tr = h.apply({s, 0}), br = h.apply({s, t}), bl = h.apply({0, t});
    position.corner[0] = tl;
    position.corner[1] = mirrored ? bl : tr;
    position.corner[2] = br;
    position.corner[3] = mirrored ? tr : bl;
    const Point top = position.corner[1] - position.corner[0];
    double degrees = std::atan2(top.y, top.x) * (180.0 / 3.14159265358979323846);
    if (!std::isfinite(degrees)) degrees = 0;
    if (degrees < 0) degrees += 360.0;
    orientation = degrees >= 360.0 ? 0.0 : degrees;
}

// Versions tried for a triple at most.
constexpr int kMaxVersions = 7;
// How far a version stated in the version blocks may lie from the estimate it was
// read through.
constexpr int kMaxStatedShift = 4;

// Versions between the two legs' estimates (a module either side), the nearest to
// their mean first. Perspective makes the legs disagree: a finder's module size is
// read across its narrowest chord. Returns the count.
int candidate_versions(double across, double down, int out[kMaxVersions]) noexcept {
    const double mid = (across + down) / 2.0;
    const double low = std::fmin(across, down) - 1.0, high = std::fmax(across, down) + 1.0;
    int count = 0;
    int centre = static_cast<int>(std::lround(mid));
    for (int step = 0; step <= 2 * kMaxVersions && count < kMaxVersions; ++step) {
        const int v = centre + (step % 2 == 0 ? step / 2 : -(step + 1) / 2);
        if (v < 1 || v > 40) continue;
        if (step > 2 && (v < low - 0.5 || v > high + 0.5)) continue;
        out[count++] = v;
    }
    return count;
}

// Fourth points of a symbol's grid besides the alignment pattern.
struct Anchors {
    Point corner;         // the symbol's bottom-right corner, from finder edges
    bool has_corner = false;
    Point parallelogram;  // the fourth finder centre the other three imply
};

// Whether failure i shares a finder with an earlier one.
bool shares_finder(const Failure *failures, int i) noexcept {
    for (int j = 0; j < i; ++j) {
        for (int a = 0; a < 3; ++a) {
            for (int b = 0; b < 3; ++b) {
                if (failures[i].finders[a] == failures[j].finders[b]) return true;
            }
        }
    }
    return false;
}

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
    // what it can; returns the number of decoded records.
    int run(InverseLog *log = nullptr) noexcept {
        // The inverted pass holds its finders to both diagonals, as its log does.
        scan_ = find_finders(bits_, finders_, kMaxFinders, s_.finder_index, log, true, !inverted_);
        return decode(scan_.count);
    }

    // Decodes what the first `count` finders hold, without a scan.
    int decode(int count) noexcept {
        std::memset(s_.used, 0, kMaxFinders);
        if (symbologies_ & kReadQr) {
            const int triples = find_triples(finders_, count, s_.triples, kMaxTriples);
            if (s_.trace != nullptr) trace_finders(*s_.trace, finders_, count);
            for (int i = 0; i < triples && decoded_ < capacity_; ++i) {
                if (s_.trace != nullptr) {
                    try_traced(s_.triples[i]);
                } else {
                    try_triple(s_.triples[i]);
                }
            }
            if (s_.trace != nullptr) trace_failures();
        }
        if (symbologies_ & (kReadMicroQr | kReadRmqr)) {
            for (int i = 0; i < count && decoded_ < capacity_; ++i) try_lone(i);
        }
        return decoded_;
    }

    int failures() const noexcept { return failures_; }
    const FinderScan &scan() const noexcept { return scan_; }

private:
    // Whether a decoded symbol holds the triple: its finders, or its centre at a module
    // size like the symbol's. A symbol printed inside another's data area has modules
    // 0.7 times the other's or smaller, and its centre may be the other's: both are read.
    bool taken(const Triple &t) const noexcept {
        if (s_.used[t.tl] || s_.used[t.tr] || s_.used[t.bl]) return true;
        const Point centre = (finders_[t.tr].centre + finders_[t.bl].centre) * 0.5;
        const double module = (finders_[t.tl].module + finders_[t.tr].module + finders_[t.bl].module) / 3.0;
        for (int i = 0; i < decoded_; ++i) {
            const double ratio = module / records_[i].module_size;
            if (ratio > 1.0 / kNestedRatio && ratio < kNestedRatio && inside(records_[i].position, centre)) return true;
        }
        return false;
    }

    // The pass's failures to the trace, each finder in one symbol as report_failures
    // has them, whether or not the read reports them.
    void trace_failures() const noexcept {
        for (int i = 0; i < failures_; ++i) {
            const Failure &f = s_.failures[i];
            if (!shares_finder(s_.failures, i)) {
                trace_symbol(*s_.trace, bits_, f.module_to_image, f.size, f.module, f.error);
            }
        }
    }

    // try_triple, with how far the triple got written to the trace.
    void try_traced(const Triple &t) noexcept {
        if (taken(t)) return;
        const int decoded = decoded_, failures = failures_;
        try_triple(t);
        const DecodeError outcome = decoded_ > decoded    ? DecodeError::none
                                    : failures_ > failures ? s_.failures[failures_ - 1].error
                                                           : DecodeError::bad_size;
        trace_triple(*s_.trace, finders_, t, outcome);
    }

    // A finder no decoded symbol holds, read as the finder of a Micro QR or rMQR symbol.
    void try_lone(int index) noexcept {
        const Finder &f = finders_[index];
        if (s_.used[index]) return;
        for (int i = 0; i < decoded_; ++i) {
            if (inside(records_[i].position, f.centre)) return;
        }
        Point corners[4];
        if (!finder_square(bits_, f, corners)) return;
        LoneRead where;
        if (((symbologies_ & kReadMicroQr) && read_micro(bits_, f, corners, *s_.attempt, s_.modules, where)) ||
            ((symbologies_ & kReadRmqr) && read_rmqr(bits_, f, corners, *s_.attempt, s_.modules, where))) {
            accept_lone(index, where);
        }
    }

    void accept_lone(int index, const LoneRead &where) noexcept {
        SymbolRecord &rec = records_[decoded_++];
        rec.decoded = *s_.attempt;
        rec.size = where.width;
        rec.mirrored = where.mirrored;
        rec.inverted = inverted_;
        rec.module_size = finders_[index].module;
        describe(where.module_to_image, where.width, false, rec.position, rec.orientation, where.height);
        const Homography &h = where.module_to_image;
        rec.centres[0] = finders_[index].centre;
        rec.centres[1] = h.apply({where.width - 3.5, 3.5});
        rec.centres[2] = h.apply({3.5, where.height - 3.5});
        std::memcpy(rec.modules, s_.modules, static_cast<std::size_t>(where.width) * where.height);
        s_.used[index] = 1;
    }

    void try_triple(const Triple &t) noexcept {
        if (taken(t)) return;
        local_tries_ = 0;
        const Finder &ftl = finders_[t.tl], &ftr = finders_[t.tr], &fbl = finders_[t.bl];
        // Each leg in modules measured along it at its two ends: under perspective the
        // finders are foreshortened one way, and their narrowest reading misjudged a
        // leg by a third (a symbol tilted 40 degrees read as version 28 instead of 22).
        const Point u = ftr.centre - ftl.centre, v = fbl.centre - ftl.centre;
        const double across = distance(ftl.centre, ftr.centre) /
                              ((along(ftl, u) + along(ftr, u)) / 2.0);
        const double down = distance(ftl.centre, fbl.centre) / ((along(ftl, v) + along(fbl, v)) / 2.0);
        const double span = (distance(ftl.centre, ftr.centre) + distance(ftl.centre, fbl.centre)) / 2.0;
        const double estimate = ((across + down) / 2.0 + 7.0 - 17.0) / 4.0;
        if (!(estimate > -1.0 && estimate < 42.0)) return;
        Anchors anchors;
        anchors.has_corner = estimate_corner(bits_, ftl, ftr, fbl, anchors.corner);
        anchors.parallelogram = ftr.centre + fbl.centre - ftl.centre;
        int versions[kMaxVersions];
        int count = candidate_versions((across + 7.0 - 17.0) / 4.0, (down + 7.0 - 17.0) / 4.0, versions);
        if (const int stated = stated_version(t, anchors, versions, count); stated != 0) {
            versions[0] = stated;
            count = 1;
        }
        Failure failure;
        failure.error = DecodeError::bad_size;
        for (int i = 0; i < count; ++i) {
            if (versions[i] < 1 || versions[i] > 40) continue;
            if (try_version(t, anchors, versions[i], span, failure)) return;
        }
        if (failure.error != DecodeError::bad_size && failures_ < kMaxTriples) {
            failure.finders[0] = t.tl;
            failure.finders[1] = t.tr;
            failure.finders[2] = t.bl;
            failure.inverted = inverted_;
            s_.failures[failures_++] = failure;
        }
    }

    // From version 7 the symbol states its version; the first candidate grid that
    // reads its own version there settles the question. A grid of the wrong size reads
    // noise, and noise is within 3 bits of some version word 13% of the time. The
    // version blocks sit 5 to 8 modules from the top-right finder, so a grid a few
    // versions off still reads them (a version 35 under strong perspective measured as
    // 33): a stated version near the candidate is tried too, and settles when its own
    // grid reads it back. 0 when nothing settles.
    int stated_version(const Triple &t, const Anchors &anchors, const int *versions, int count) const noexcept {
        for (int i = 0; i < count; ++i) {
            Homography h;
            const int size = 17 + 4 * versions[i];
            if (versions[i] < 7 || !first_grid(t, anchors, size, h)) continue;
            const int stated = version_from_info(bits_, h, size);
            if (stated == versions[i]) return stated;
            if (stated < 7 || std::abs(stated - versions[i]) > kMaxStatedShift) continue;
            const int stated_size = 17 + 4 * stated;
            if (first_grid(t, anchors, stated_size, h) && version_from_info(bits_, h, stated_size) == stated) {
                return stated;
            }
        }
        return 0;
    }

    // A finder's module size along `direction`, its narrowest reading when that fails.
    double along(const Finder &f, Point direction) const noexcept {
        const double m = module_along(bits_, f, direction);
        return m > 0 ? m : f.module;
    }

    // The grid from the symbol's corner where it was found, else from the parallelogram.
    bool first_grid(const Triple &t, const Anchors &a, int size, Homography &h) const noexcept {
        const Point tl = finders_[t.tl].centre, tr = finders_[t.tr].centre, bl = finders_[t.bl].centre;
        if (a.has_corner && grid_transform(tl, tr, bl, a.corner, {1.0 * size, 1.0 * size}, size, h)) return true;
        return grid_transform(tl, tr, bl, a.parallelogram, {size - 3.5, size - 3.5}, size, h);
    }

    // Grids of one version, the likeliest first: anchored on the alignment pattern (found
    // near where the first grid puts it), on the symbol's corner, on the parallelogram.
    bool try_version(const Triple &t, const Anchors &a, int version, double span, Failure &failure) noexcept {
        const int size = 17 + 4 * version;
        const Point tl = finders_[t.tl].centre, tr = finders_[t.tr].centre, bl = finders_[t.bl].centre;
        const double module = span / (size - 7);
        Homography grids[3];
        Point anchors[3], at[3];
        int count = 0;
        Homography first;
        bool aligned = false;
        if (version >= 2 && first_grid(t, a, size, first)) {
            const Point predicted = first.apply({size - 6.5, size - 6.5});
            const double radius = module * (size < 100 ? 4.0 + size / 20.0 : 9.0);
            Point found;
            if (afford_search(radius) && find_alignment(bits_, predicted, module, radius, found)) {
                anchors[count] = found;
                at[count] = {size - 6.5, size - 6.5};
                aligned = grid_transform(tl, tr, bl, anchors[count], at[count], size, grids[count]);
                count += aligned ? 1 : 0;
            }
        }
        if (a.has_corner) {
            anchors[count] = a.corner;
            at[count] = {1.0 * size, 1.0 * size};
            if (grid_transform(tl, tr, bl, anchors[count], at[count], size, grids[count])) ++count;
        }
        anchors[count] = a.parallelogram;
        at[count] = {size - 3.5, size - 3.5};
        if (grid_transform(tl, tr, bl, anchors[count], at[count], size, grids[count])) ++count;
        int best = -1;
        double best_timing = kMinLocalTiming;
        for (int g = 0; g < count; ++g) {
            const double timing = timing_through(bits_, grids[g], size);
            if (timing > best_timing) {
                best = g;
                best_timing = timing;
            }
            if (timing < kMinTiming) continue;
            sample_grid(bits_, grids[g], size, module, s_.modules);
            if (try_grid(t, grids[g], size, module, failure)) return true;
        }
        // Without an alignment pattern the fourth point is an estimate, and under
        // perspective it can sit half a module or more off (a version 1 tilted 10
        // degrees: its corner 0.6 module out, five modules wrong near it, too many for
        // its three correctable codewords). A grid that read its format is close: its
        // anchor moved half a module each way, a few times a pass.
        if (retry_ && !aligned && best >= 0 && best_timing >= kMinTiming && jitters_ < kMaxJitter &&
            progress(failure.error) >= progress(DecodeError::too_many_errors)) {
            ++jitters_;
            if (try_nudged(t, anchors[best], at[best], grids[best], size, module, failure)) return true;
        }
        // A bent or large symbol drifts off any single transform between its alignment
        // patterns (a version 36 wrapped round a cylinder: timing 0.5 on every global
        // grid); through all of them it is followed. From the grid whose timing came
        // closest, at most kMaxLocal times a triple, and decoded only when the timing
        // patterns hold on the local grid.
        if (retry_ && best >= 0 && alignment_count(version) > 2 && local_tries_ < kMaxLocal &&
            local_grids_ < kMaxLocalPerPass) {
            ++local_tries_;
            ++local_grids_;
            const Point finders[3] = {tl, tr, bl};
            // Half the alignment patterns or more must be there: a triple of stray
            // finder-like patterns has none, and skips the sampling.
            const int lines = alignment_count(version);
            if (2 * local_grid(bits_, grids[best], finders, version, module, *s_.local) >= lines * lines - 3) {
                sample_local(bits_, *s_.local, size, module, s_.modules);
                if (timing_of(s_.modules, size) >= kMinTiming &&
                    try_grid(t, grids[best], size, module, failure, s_.local)) {
                    return true;
                }
            }
        }
        return false;
    }

    // The grid with its fourth point `anchor` (module point `at`) moved half a module
    // to each of its eight neighbours, decoded where the timing holds.
    bool try_nudged(const Triple &t, Point anchor, Point at, const Homography &h, int size, double module,
                    Failure &failure) noexcept {
        const Point base = h.apply(at);
        const Point ex = h.apply({at.x + 0.5, at.y}) - base, ey = h.apply({at.x, at.y + 0.5}) - base;
        const Point tl = finders_[t.tl].centre, tr = finders_[t.tr].centre, bl = finders_[t.bl].centre;
        for (int dy = -1; dy <= 1; ++dy) {
            for (int dx = -1; dx <= 1; ++dx) {
                if (dx == 0 && dy == 0) continue;
                Homography nudged;
                if (!grid_transform(tl, tr, bl, anchor + ex * dx + ey * dy, at, size, nudged)) continue;
                if (timing_through(bits_, nudged, size) < kMinTiming) continue;
                sample_grid(bits_, nudged, size, module, s_.modules);
                if (try_grid(t, nudged, size, module, failure)) return true;
            }
        }
        return false;
    }

    // Whether the pass can still afford an alignment search of `radius`, charged to its
    // budget when it can. A search's window grows with the module, and a page of large
    // finder-like patterns offered hundreds of triples of 60-pixel modules: their
    // searches, a megapixel each, were four fifths of a 9 MP read (1 s). The budget is a
    // few passes over the image; a real page spends a small part of it.
    bool afford_search(double radius) noexcept {
        const double side = 2.0 * radius;
        const double area = side * side;
        if (!(area <= static_cast<double>(search_budget_))) return false;
        search_budget_ -= static_cast<std::int64_t>(area);
        return true;
    }

    // Share of the sampled grid's timing modules that alternate.
    static double timing_of(const std::uint8_t *modules, int size) noexcept {
        int good = 0, total = 0;
        for (int i = 8; i < size - 8; ++i) {
            const int expected = i % 2 == 0 ? 1 : 0;
            good += modules[static_cast<std::size_t>(6) * size + i] == expected ? 1 : 0;
            good += modules[static_cast<std::size_t>(i) * size + 6] == expected ? 1 : 0;
            total += 2;
        }
        return total > 0 ? static_cast<double>(good) / total : 0.0;
    }

    // A grid beyond errors-only correction decoded again with its modules' doubts, at
    // most kMaxSoft times a pass: the doubts cost nine samples a module, spent only on
    // a located symbol that read its format and failed. From 3 pixels a module, where
    // the reading is a vote of five points, then also read at the module centres alone:
    // round dots of half the pitch leave the vote's four outer points light (dots
    // scenes: 13 of 48 located and failed so). `local` when it was sampled through the
    // local grid, h otherwise; `modules` becomes the reading that decoded.
    DecodeError decode_soft(const Homography &h, const LocalGrid *local, int size, double module, bool mirrored,
                            const std::uint8_t *&modules) noexcept {
        if (!retry_ || soft_tries_ >= kMaxSoft) return DecodeError::too_many_errors;
        ++soft_tries_;
        DecodeError error = decode_doubted(h, local, size, mirrored, s_.modules, modules);
        if (error != DecodeError::too_many_errors || module < 3.0) return error;
        std::uint8_t *centred = s_.doubts + 2 * kModules;
        if (local != nullptr) {
            sample_local(bits_, *s_.local, size, 0.0, centred);
        } else {
            sample_grid(bits_, h, size, 0.0, centred);
        }
        const std::uint8_t *reading = centred;
        if (mirrored) {
            transpose(centred, size, centred + kModules);
            reading = centred + kModules;
        }
        error = decode_doubted(h, local, size, mirrored, centred, reading);
        if (error == DecodeError::none) modules = reading;
        return error;
    }

    // Decodes `modules` (`sampled` as read, before any transpose) with the doubts of
    // that reading.
    DecodeError decode_doubted(const Homography &h, const LocalGrid *local, int size, bool mirrored,
                               const std::uint8_t *sampled, const std::uint8_t *modules) noexcept {
        std::uint8_t *doubts = s_.doubts;
        if (local != nullptr) {
            local_doubts(bits_, *local, size, sampled, doubts);
        } else {
            grid_doubts(bits_, h, size, sampled, doubts);
        }
        if (mirrored) {
            transpose(s_.doubts, size, s_.doubts + kModules);
            doubts = s_.doubts + kModules;
        }
        return decode_symbol(modules, size, *s_.attempt, doubts);
    }

    // Decodes the grid sampled into s_.modules, as it is and mirrored; h places it
    // (`local`: the grid sampled it through its anchors).
    bool try_grid(const Triple &t, const Homography &h, int size, double module, Failure &failure,
                  const LocalGrid *local = nullptr) noexcept {
        for (int mirrored = 0; mirrored < 2; ++mirrored) {
            const std::uint8_t *modules = s_.modules;
            if (mirrored) {
                transpose(s_.modules, size, s_.transposed);
                modules = s_.transposed;
            }
            DecodeError error = decode_symbol(modules, size, *s_.attempt);
            if (error == DecodeError::too_many_errors)
                error = decode_soft(h, local, size, module, mirrored != 0, modules);
            if (error == DecodeError::none) {
                accept(t, h, size, module, mirrored != 0, modules);
                return true;
            }
            if (progress(error) > progress(failure.error)) {
                failure.error = error;
                failure.module_to_image = h;
                failure.size = size;
                failure.mirrored = mirrored != 0;
                failure.module = module;
                set_centres(failure.centres, t, mirrored != 0);
            }
        }
        return false;
    }

    void set_centres(Point centres[3], const Triple &t, bool mirrored) const noexcept {
        centres[0] = finders_[t.tl].centre;
        centres[1] = finders_[mirrored ? t.bl : t.tr].centre;
        centres[2] = finders_[mirrored ? t.tr : t.bl].centre;
    }

    void accept(const Triple &t, const Homography &h, int size, double module, bool mirrored,
                const std::uint8_t *modules) noexcept {
        SymbolRecord &rec = records_[decoded_++];
        rec.decoded = *s_.attempt;
        rec.size = size;
        rec.mirrored = mirrored;
        rec.inverted = inverted_;
        rec.module_size = module;
        describe(h, size, mirrored, rec.position, rec.orientation);
        set_centres(rec.centres, t, mirrored);
        std::memcpy(rec.modules, modules, static_cast<std::size_t>(size) * size);
        s_.used[t.tl] = s_.used[t.tr] = s_.used[t.bl] = 1;
        if (s_.trace != nullptr) trace_symbol(*s_.trace, bits_, h, size, module, DecodeError::none);
    }

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
    int soft_tries_ = 0;
    FinderScan scan_;
};

// Light becomes dark and dark light, eight pixels a step.
void invert(std::uint8_t *bits, std::size_t count) noexcept {
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        std::uint64_t v;
        std::memcpy(&v, bits + i, 8);
        v ^= 0x0101010101010101ull;
        std::memcpy(bits + i, &v, 8);
    }
    for (; i < count; ++i) bits[i] ^= 1;
}

// Appends the pass's failures that lie outside every symbol already recorded, sampled
// from the bits the pass read.
int report_failures(const ImageView &bits, const Scratch &s, int failures, SymbolRecord *records,
                    int count, int capacity) noexcept {
    const int decoded = count;
    for (int i = 0; i < failures && count < capacity; ++i) {
        const Failure &f = s.failures[i];
        bool overlaps = false;
        for (int j = 0; j < decoded && !overlaps; ++j) {
            for (const Point &c : f.centres) overlaps = overlaps || inside(records[j].position, c);
        }
        // Each finder in one report: a symbol is often tried through several triples.
        if (overlaps || shares_finder(s.failures, i)) continue;
        SymbolRecord &rec = records[count++];
        rec.decoded.error = f.error;
        rec.decoded.symbology = Symbology::qr;
        rec.decoded.model = 2;
        rec.decoded.rows = rec.decoded.columns = f.size;
        rec.size = f.size;
        rec.mirrored = f.mirrored;
        rec.inverted = f.inverted;
        rec.module_size = f.module;
        describe(f.module_to_image, f.size, f.mirrored, rec.position, rec.orientation);
        for (int k = 0; k < 3; ++k) rec.centres[k] = f.centres[k];
        sample_grid(bits, f.module_to_image, f.size, f.module, s.modules);
        if (f.mirrored) {
            transpose(s.modules, f.size, rec.modules);
        } else {
            std::memcpy(rec.modules, s.modules, static_cast<std::size_t>(f.size) * f.size);
        }
    }
    return count;
}

// out (width / kShrink by height / kShrink, no padding) = the mean of each kShrink x
// kShrink block of the image; of the bits (1 dark) as gray (dark 0, light 255) when
// `bits` is given, since a bilevel image's levels may be any two.
void shrink(const ImageView &image, const std::uint8_t *bits, std::uint8_t *out) noexcept {
    const int w = image.width / kShrink, h = image.height / kShrink;
    constexpr int area = kShrink * kShrink;
    // Row pointers and the source chosen once per output row: picked per pixel, the
    // pass cost most of a blank page's read.
    for (int y = 0; y < h; ++y) {
        const std::uint8_t *rows[kShrink];
        for (int dy = 0; dy < kShrink; ++dy) {
            const int sy = y * kShrink + dy;
            rows[dy] = bits != nullptr ? bits + static_cast<std::size_t>(sy) * image.width : image.row(sy);
        }
        std::uint8_t *line = out + static_cast<std::size_t>(y) * w;
        for (int x = 0; x < w; ++x) {
            const int sx = x * kShrink;
            int sum = 0;
            if (bits != nullptr) {
                // Dark pixels of the block four at a time: each row's bytes become 0/1
                // for nonzero, the rows add bytewise (at most 4 a byte), and one multiply
                // sums the four bytes (at most 16) into the top byte.
                std::uint32_t ones = 0;
                for (int dy = 0; dy < kShrink; ++dy) {
                    std::uint32_t v;
                    std::memcpy(&v, rows[dy] + sx, 4);
                    ones += ((((v & 0x7F7F7F7Fu) + 0x7F7F7F7Fu) | v) & 0x80808080u) >> 7;
                }
                const int dark = static_cast<int>((ones * 0x01010101u) >> 24);
                sum = 255 * (area - dark);
            } else {
                for (int dy = 0; dy < kShrink; ++dy) {
                    for (int dx = 0; dx < kShrink; ++dx) sum += rows[dy][sx + dx];
                }
            }
            line[x] = static_cast<std::uint8_t>((sum + area / 2) / area);
        }
    }
}

// Records of a pass over a shrunk or enlarged image, put back into the image's pixels
// (`factor` the image's pixels per pixel of the pass).
void rescale(SymbolRecord *records, int count, double factor) noexcept {
    for (int i = 0; i < count; ++i) {
        SymbolRecord &rec = records[i];
        for (Point &c : rec.position.corner) c = c * factor;
        for (Point &c : rec.centres) c = c * factor;
        rec.module_size *= factor;
    }
}

// out (kEnlarge times the width and height, no padding) = the bits, each pixel a
// kEnlarge x kEnlarge block.
void enlarge(const ImageView &bits, std::uint8_t *out) noexcept {
    const std::size_t width = static_cast<std::size_t>(bits.width) * kEnlarge;
    for (int y = 0; y < bits.height; ++y) {
        std::uint8_t *line = out + static_cast<std::size_t>(y) * kEnlarge * width;
        const std::uint8_t *row = bits.row(y);
        for (int x = 0; x < bits.width; ++x)
            for (int k = 0; k < kEnlarge; ++k) line[static_cast<std::size_t>(x) * kEnlarge + k] = row[x];
        for (int k = 1; k < kEnlarge; ++k) std::memcpy(line + k * width, line, width);
    }
}

// The bits read kEnlarge times larger, the records put back into the image's pixels;
// returns the number decoded.
int read_enlarged(const ImageView &bits, const Scratch &s, std::uint8_t symbologies, SymbolRecord *records,
                  int capacity) noexcept {
    enlarge(bits, s.large);
    trace_pass(s.trace, TracePass::enlarged, 1.0 / kEnlarge);
    const ImageView large{s.large, kEnlarge * bits.width, kEnlarge * bits.height, kEnlarge * bits.width};
    Pass enlarged(large, s, s.finders, records, capacity, false, symbologies);
    const int found = enlarged.run();
    rescale(records, found, 1.0 / kEnlarge);
    return found;
}

}  // namespace

int read_capacity(int width, int height) noexcept {
    if (width <= 0 || height <= 0) return 1;
    // A symbol needs at least 21 x 21 modules of two pixels.
    const std::int64_t pixels = static_cast<std::int64_t>(width) * height;
    const std::int64_t n = pixels / (42 * 42);
    return n < 1 ? 1 : n > 64 ? 64 : static_cast<int>(n);
}

std::size_t read_scratch_bytes(int width, int height) noexcept {
    if (width <= 0 || height <= 0) return 16;
    return layout(width, height, nullptr, nullptr);
}

int read_symbols(const ImageView &image, const ReadOptions &options, void *scratch,
                 SymbolRecord *records, int capacity) noexcept {
    if (image.width <= 0 || image.height <= 0 || capacity <= 0) return 0;
    Scratch s;
    layout(image.width, image.height, scratch, &s);
    s.trace = options.trace;
    const std::size_t pixels = static_cast<std::size_t>(image.width) * image.height;
    // A bits image (0 and 1, rows without padding) is read where it lies, and copied only
    // before a fallback rewrites the bits: the copy cost a small code a tenth of its read.
    const bool borrowed = (options.binarizer == Binarizer::none || options.binarizer == Binarizer::automatic) &&
                          image.stride == image.width && is_bits(image);
    const bool bilevel = borrowed || binarize(image, options.binarizer, s.bits, s.binarize);
    ImageView bits{borrowed ? image.data : s.bits, image.width, image.height, image.width};
    if (s.trace != nullptr) trace_bits(*s.trace, bits);
    const auto own_bits = [&]() noexcept {
        if (bits.data != s.bits) {
            std::memcpy(s.bits, bits.data, pixels);
            bits.data = s.bits;
        }
    };

    // Failures are reported from the first pass, before a fallback changes the bits,
    // unless a fallback decodes something: then from that pass. Decode attempts go to
    // scratch, so a fallback that decodes nothing leaves the first pass's records be.
    Pass first(bits, s, s.finders, records, capacity, false, options.symbologies, options.try_harder);
    InverseLog log{s.matches, inverse_log_capacity(image.width, image.height)};
    const int decoded = first.run(options.try_invert && options.try_harder ? &log : nullptr);
    const int reported = options.keep_errors ? report_failures(bits, s, first.failures(), records, decoded, capacity)
                                             : decoded;
    if (decoded > 0 || !options.try_harder) return reported;
    int located = first.failures();
    // Light-on-dark symbols: the first scan logged their finders' row matches, so the
    // inverted pass confirms those instead of scanning the inverted bits again (a
    // second scan cost a text page as much as the first); only a log that overflowed
    // (more than one match per kPixelsPerLogged pixels) takes the full scan. It needs
    // three finders; a blank page has none.
    // A Micro QR or rMQR symbol needs one finder.
    const std::size_t needed = (options.symbologies & ~kReadQr) != 0 ? 1 : 3;
    if (options.try_invert && (log.overflow || log.count >= needed)) {
        const int light = log.overflow ? 0 : inverse_finders(bits, log, s.inverse, kMaxFinders, s.finder_index);
        if (log.overflow || light >= static_cast<int>(needed)) {
            own_bits();
            invert(s.bits, pixels);
            trace_pass(s.trace, TracePass::inverted, 1.0);
            Pass inverted(bits, s, log.overflow ? s.finders : s.inverse, records, capacity, true,
                          options.symbologies);
            if (const int found = log.overflow ? inverted.run() : inverted.decode(light); found > 0) {
                return options.keep_errors ? report_failures(bits, s, inverted.failures(), records, found, capacity)
                                           : found;
            }
            located += inverted.failures();
            invert(s.bits, pixels);
        }
    }
    const FinderScan &scan = first.scan();
    const std::int64_t scanned = static_cast<std::int64_t>(scan.rows) * image.width;
    // Only a busy image (a run every 64 pixels or more) can hold a symbol at one pixel a
    // module, and only one where nothing was located (a located symbol that failed is
    // two pixels a module or more: enlarged, it fails again); a blank image skips it.
    if (enlargeable(image.width, image.height) && scan.runs * 64 > scanned && located == 0) {
        if (const int found = read_enlarged(bits, s, options.symbologies, records, capacity); found > 0) return found;
    }
    // Salt-and-pepper noise (in a bilevel image, or left by the threshold of a noisy
    // camera image) breaks the finders' runs; a 3x3 majority mends them (camera scenes
    // with sensor noise of 40 levels: 3 of 6 read before, 6 of 6 after). Only a busy
    // image (a run every 64 pixels or more; 1% of specks make one every 50) with runs
    // of one pixel (a speck every 512 pixels or more) can be that noisy: 1% salt and
    // pepper leaves one every 220, a text page one in 20,000 or none, and skips the
    // pass and its second scan (half the time of reading such a page).
    if (scan.runs * 64 > scanned && scan.specks * 512 > scanned) {
        own_bits();
        denoise(s.bits, image.width, image.height, s.rows);
        trace_pass(s.trace, TracePass::denoised, 1.0);
        Pass denoised(bits, s, s.finders, records, capacity, false, options.symbologies);
        if (const int found = denoised.run(); found > 0) {
            return options.keep_errors ? report_failures(bits, s, denoised.failures(), records, found, capacity)
                                       : found;
        }
    }
    // Very large modules under noise: inside a module of 60 pixels the local threshold
    // sees only noise, and its salt and pepper breaks the finders (sensor noise of 25
    // levels at 60 pixels a module read nothing). Averaged 4 x 4 down, the module is
    // 15 pixels and the noise a quarter; one pass, on a sixteenth of the pixels. Not
    // on a page that is neither busy nor holds a single row match (a blank page, where
    // the pass was half the read).
    const bool anything = scan.matches > 0 || scan.runs * 64 > scanned;
    if (anything && image.width >= kMinShrinkSide && image.height >= kMinShrinkSide) {
        const int w = image.width / kShrink, h = image.height / kShrink;
        shrink(image, bilevel ? bits.data : nullptr, s.small);
        const ImageView small{s.small, w, h, w};
        const Binarizer mode = options.binarizer == Binarizer::global ? Binarizer::global : Binarizer::local;
        binarize(small, mode, s.bits, s.binarize);
        const ImageView small_bits{s.bits, w, h, w};
        trace_pass(s.trace, TracePass::shrunk, kShrink);
        Pass shrunk(small_bits, s, s.finders, records, capacity, false, options.symbologies);
        if (const int found = shrunk.run(); found > 0) {
            rescale(records, found, kShrink);
            return found;
        }
    }
    return reported;
}

}  // namespace halvern::engine
