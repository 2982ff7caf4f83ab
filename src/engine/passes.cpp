// A pass over one bits image: its finders, their triples (each through the candidate
// grids of candidates.cpp), lone finders of Micro QR and rMQR symbols; the decoding of
// a sampled grid, as it is and mirrored, with its doubts when errors-only correction
// fails; the records of what decoded and the failures kept to report.

#include <cmath>
#include <cstring>

#include "passes.hpp"

namespace halvern::engine {

namespace {

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

// Whether the symbol's whole area, `columns` by `rows` (0: square) modules, lies in
// front of the camera: a grid whose horizon crosses the symbol maps a corner to NaN,
// and no camera sees a symbol that way (a fuzzed gray image decoded through such a
// grid, and its record's position was NaN).
bool in_front(const Homography &h, int columns, int rows) noexcept {
    const double s = columns, t = rows > 0 ? rows : columns;
    for (const Point corner : {Point{0, 0}, Point{s, 0}, Point{s, t}, Point{0, t}}) {
        const Point p = h.apply(corner);
        if (!std::isfinite(p.x) || !std::isfinite(p.y)) return false;
    }
    return true;
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

}  // namespace

void transpose(const std::uint8_t *in, int size, std::uint8_t *out) noexcept {
    for (int r = 0; r < size; ++r) {
        for (int c = 0; c < size; ++c) out[c * size + r] = in[r * size + c];
    }
}

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

// ===================================================================================
// The pass: triples, then lone finders
// ===================================================================================

int Pass::run(InverseLog *log, bool check) noexcept {
    // The inverted pass holds its finders to both diagonals, as its log does. A pass that
    // may not retry is the fast mode's one pass: its rows are scanned sparsely.
    scan_ = find_finders(bits_, finders_, kMaxFinders, s_.finder_index, log, true, !inverted_, check, !retry_);
    return scan_.bits ? decode(scan_.count) : kNotBits;
}

// The majority clumps 50% noise into blobs of two to six pixels, and their chance
// crossings pass as finders on two to five rows: 14 to 21 finders a megapixel, whose
// 17 to 118 triples were two fifths of such a page's read. Held to keep_solid, 6 to 8
// remain, and 5 to 11 triples. Its rows three apart where nothing is met: the pass's
// scan was 1.8 ms of 5 on such a megapixel. Either way the accuracy tables are
// unchanged (a 50% noise page: 75M instructions before both, 35M after).
int Pass::run_denoised() noexcept {
    scan_ = find_finders(bits_, finders_, kMaxFinders, s_.finder_index, /*log=*/nullptr, /*carry=*/true,
                         /*one_diagonal=*/true, /*check=*/false, /*sparse=*/true);
    scan_.count = keep_solid(finders_, scan_.count);
    return decode(scan_.count);
}

int Pass::decode(int count) noexcept {
    std::memset(s_.used, 0, kMaxFinders);
    if (symbologies_ & kReadQr) {
        const int triples = find_triples(finders_, count, s_.triples, kMaxTriples);
        if (s_.trace != nullptr) trace_finders(*s_.trace, finders_, count);
        try_triples(triples);
        // Part of the one pass, in both modes: the fast mode read none of the steep
        // close-ups (50-70 degrees) without it, and half of them with it, at no cost
        // seen on pages without a code.
        if (decoded_ == 0) {
            try_triples(find_steep_triples(bits_, finders_, count, s_.triples, kMaxSteepTriples));
        }
        if (s_.trace != nullptr) trace_failures();
    }
    if (symbologies_ & (kReadMicroQr | kReadRmqr)) {
        for (int i = 0; i < count && decoded_ < capacity_; ++i) try_lone(i);
    }
    return decoded_;
}

// Whether a decoded symbol holds the triple: its finders, or its centre at a module
// size like the symbol's. A symbol printed inside another's data area has modules
// 0.7 times the other's or smaller, and its centre may be the other's: both are read.
bool Pass::taken(const Triple &t) const noexcept {
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
void Pass::trace_failures() const noexcept {
    for (int i = 0; i < failures_; ++i) {
        const Failure &f = s_.failures[i];
        if (!shares_finder(s_.failures, i)) {
            trace_symbol(*s_.trace, bits_, f.module_to_image, f.size, f.module, f.error);
        }
    }
}

// try_triple, with how far the triple got written to the trace.
// The first `count` of s_.triples, each traced when the read is.
void Pass::try_triples(int count) noexcept {
    for (int i = 0; i < count && decoded_ < capacity_; ++i) {
        if (s_.trace != nullptr) {
            try_traced(s_.triples[i]);
        } else {
            try_triple(s_.triples[i]);
        }
    }
}

void Pass::try_traced(const Triple &t) noexcept {
    if (taken(t)) return;
    const int decoded = decoded_, failures = failures_;
    try_triple(t);
    const DecodeError outcome = decoded_ > decoded    ? DecodeError::none
                                : failures_ > failures ? s_.failures[failures_ - 1].error
                                                       : DecodeError::bad_size;
    trace_triple(*s_.trace, finders_, t, outcome);
}

// A finder no decoded symbol holds, read as the finder of a Micro QR or rMQR symbol.
void Pass::try_lone(int index) noexcept {
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
        if (in_front(where.module_to_image, where.width, where.height)) accept_lone(index, where);
    }
}

void Pass::accept_lone(int index, const LoneRead &where) noexcept {
    SymbolRecord &rec = records_[decoded_++];
    copy_decoded(*s_.attempt, rec.decoded);
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

// ===================================================================================
// Decoding a sampled grid
// ===================================================================================

// A grid beyond errors-only correction decoded again with its modules' doubts, at
// most kMaxSoft times a pass: the doubts cost nine samples a module, spent only on
// a located symbol that read its format and failed. From 3 pixels a module, where
// the reading is a vote of five points, then also read at the module centres alone:
// round dots of half the pitch leave the vote's four outer points light (dots
// scenes: 13 of 48 located and failed so). `local` when it was sampled through the
// local grid, h otherwise; `modules` becomes the reading that decoded.
//
// The mirrored try of a grid reads the same samples as the try before it, transposed:
// what that try left in the scratch (the doubts of the reading, the centre reading and
// its doubts, soft_kept_) is transposed rather than sampled again: over 41 camera
// scenes 15 of 31 soft tries were mirrored ones, and the soft tries' cost fell from
// 182.9M to 105.1M instructions. Scratch: doubts of the reading, a transpose, the
// centre reading, its doubts.
DecodeError Pass::decode_soft(const Homography &h, const LocalGrid *local, const FittedGrid *fitted, int size,
                              double module, bool mirrored, const std::uint8_t *&modules) noexcept {
    const int kept = mirrored ? soft_kept_ : 0;
    soft_kept_ = 0;
    if (!retry_ || soft_tries_ >= kMaxSoft) return DecodeError::too_many_errors;
    ++soft_tries_;
    std::uint8_t *const doubts = s_.doubts, *const spare = s_.doubts + kModules;
    std::uint8_t *const centred = s_.doubts + 2 * kModules, *const centred_doubts = s_.doubts + 3 * kModules;
    DecodeError error = decode_doubted(h, local, fitted, size, s_.modules, modules, doubts, kept >= 1,
                                       mirrored ? spare : nullptr);
    if (!mirrored) soft_kept_ = 1;
    if (error != DecodeError::too_many_errors || module < 3.0) return error;
    if (kept < 2) {
        if (fitted != nullptr) {
            sample_fitted(bits_, *fitted, 0.0, centred);
        } else if (local != nullptr) {
            sample_local(bits_, *s_.local, size, 0.0, centred);
        } else {
            sample_grid(bits_, h, size, 0.0, centred);
        }
    }
    const std::uint8_t *reading = centred;
    if (mirrored) {
        transpose(centred, size, spare);
        reading = spare;
    }
    error = decode_doubted(h, local, fitted, size, centred, reading, centred_doubts, kept >= 2,
                           mirrored ? doubts : nullptr);
    if (!mirrored) soft_kept_ = 2;
    if (error == DecodeError::none) modules = reading;
    return error;
}

// Decodes `modules` with the doubts of `sampled` (the reading before any transpose)
// in `doubts`, computed unless `known`, and transposed into `transposed` when given.
DecodeError Pass::decode_doubted(const Homography &h, const LocalGrid *local, const FittedGrid *fitted, int size,
                                 const std::uint8_t *sampled, const std::uint8_t *modules, std::uint8_t *doubts,
                                 bool known, std::uint8_t *transposed) noexcept {
    if (!known && fitted != nullptr) {
        fitted_doubts(bits_, *fitted, sampled, doubts);
    } else if (!known && local != nullptr) {
        local_doubts(bits_, *local, size, sampled, doubts);
    } else if (!known) {
        grid_doubts(bits_, h, size, sampled, doubts);
    }
    if (transposed != nullptr) {
        transpose(doubts, size, transposed);
        doubts = transposed;
    }
    return decode_symbol(modules, size, *s_.attempt, doubts);
}

// Decodes the grid sampled into s_.modules, as it is and mirrored; h places it
// (`local`: the grid sampled it through its anchors; `fitted`: through a fitted grid).
// Both readings are decoded plainly before either is decoded with its doubts: read the
// wrong way round, a mirrored symbol can pass its format and fail its codewords, and
// its soft try came first (a mirrored camera scene spent 0.99M of its 2.26M
// instructions on it, then read as a plain mirrored decode).
bool Pass::try_grid(const Triple &t, const Homography &h, int size, double module, Failure &failure,
                    const LocalGrid *local, const FittedGrid *fitted) noexcept {
    soft_kept_ = 0;  // what a soft try of another grid left is not this grid's
    if (!in_front(h, size, size)) return false;
    const std::uint8_t *modules[2] = {s_.modules, s_.transposed};
    DecodeError errors[2];
    for (int mirrored = 0; mirrored < 2; ++mirrored) {
        if (mirrored) transpose(s_.modules, size, s_.transposed);  // only once the plain reading failed
        errors[mirrored] = decode_symbol(modules[mirrored], size, *s_.attempt);
        if (errors[mirrored] == DecodeError::none) {
            accept(t, h, size, module, mirrored != 0, modules[mirrored]);
            return true;
        }
    }
    for (int mirrored = 0; mirrored < 2; ++mirrored) {
        if (errors[mirrored] != DecodeError::too_many_errors) continue;
        errors[mirrored] = decode_soft(h, local, fitted, size, module, mirrored != 0, modules[mirrored]);
        if (errors[mirrored] == DecodeError::none) {
            accept(t, h, size, module, mirrored != 0, modules[mirrored]);
            return true;
        }
    }
    for (int mirrored = 0; mirrored < 2; ++mirrored) {
        if (progress(errors[mirrored]) > progress(failure.error)) {
            failure.error = errors[mirrored];
            failure.module_to_image = h;
            failure.size = size;
            failure.mirrored = mirrored != 0;
            failure.module = module;
            set_centres(failure.centres, t, mirrored != 0);
        }
    }
    return false;
}

// ===================================================================================
// Records
// ===================================================================================

void Pass::set_centres(Point centres[3], const Triple &t, bool mirrored) const noexcept {
    centres[0] = finders_[t.tl].centre;
    centres[1] = finders_[mirrored ? t.bl : t.tr].centre;
    centres[2] = finders_[mirrored ? t.tr : t.bl].centre;
}

void Pass::accept(const Triple &t, const Homography &h, int size, double module, bool mirrored,
                  const std::uint8_t *modules) noexcept {
    SymbolRecord &rec = records_[decoded_++];
    copy_decoded(*s_.attempt, rec.decoded);
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

}  // namespace halvern::engine
