// The read: binarize, then a pass over the bits (passes.cpp: find finders, rank
// triples, fit each symbol's candidate grids, sample and decode); then the fallbacks,
// each only when the passes before decoded nothing: the inverted bits, the bits
// enlarged, denoised, and the image shrunk.

#include <bit>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64)
#include <emmintrin.h>
#define HALVERN_SSE2 1
#endif

#include "passes.hpp"

namespace halvern::engine {

namespace {

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

// Blocks taken one after another from `base`, each at a multiple of 16 bytes; without
// a base only counted (every pointer null).
class Carver {
public:
    explicit Carver(void *base) noexcept : base_(static_cast<unsigned char *>(base)) {}

    template <typename T>
    T *take(std::size_t bytes) noexcept {
        void *block = base_ != nullptr ? base_ + total_ : nullptr;
        total_ += align16(bytes);
        return static_cast<T *>(block);
    }

    std::size_t total() const noexcept { return total_; }

private:
    unsigned char *base_;
    std::size_t total_ = 0;
};

// Carves the read's scratch for an image of this size from `base` into `out`; returns
// its bytes.
std::size_t layout(int width, int height, void *base, Scratch &out) noexcept {
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    const std::size_t large = enlargeable(width, height) ? kEnlarge * kEnlarge * pixels : 0;
    const int scan_width = large > 0 ? kEnlarge * width : width, scan_height = large > 0 ? kEnlarge * height : height;
    Carver c(base);
    out.bits = c.take<std::uint8_t>(pixels);
    out.binarize = c.take<void>(binarize_scratch_bytes(width, height));
    out.finder_index = c.take<void>(finder_scratch_bytes(scan_width, scan_height));
    out.finders = c.take<Finder>(sizeof(Finder) * kMaxFinders);
    out.inverse = c.take<Finder>(sizeof(Finder) * kMaxFinders);
    out.matches = c.take<RowMatch>(sizeof(RowMatch) * inverse_log_capacity(width, height));
    out.triples = c.take<Triple>(sizeof(Triple) * kMaxTriples);
    out.used = c.take<std::uint8_t>(kMaxFinders);
    out.modules = c.take<std::uint8_t>(kModules);
    out.transposed = c.take<std::uint8_t>(kModules);
    out.rows = c.take<std::uint8_t>(denoise_scratch_bytes(width));
    out.failures = c.take<Failure>(sizeof(Failure) * kMaxTriples);
    out.attempt = c.take<DecodedSymbol>(sizeof(DecodedSymbol));
    out.local = c.take<LocalGrid>(sizeof(LocalGrid));
    const std::size_t small = static_cast<std::size_t>(width / kShrink) * static_cast<std::size_t>(height / kShrink);
    out.small = c.take<std::uint8_t>(small);
    out.doubts = c.take<std::uint8_t>(4 * kModules);
    out.large = c.take<std::uint8_t>(large);
    out.fitted = c.take<FittedGrid>(sizeof(FittedGrid));
    out.fits = c.take<int>(sizeof(int));
    return c.total();
}

// to[i] = from[i] with light and dark swapped (in place when they are one): sixty-four
// pixels a step with SSE2 (eight a step, the inverted pass's two inversions of a 12 MP
// text page were 15M instructions; with SSE2, 2M), else eight.
void invert(const std::uint8_t *from, std::uint8_t *to, std::size_t count) noexcept {
    std::size_t i = 0;
#if defined(HALVERN_SSE2)
    const __m128i ones = _mm_set1_epi8(1);
    const auto load = [from](std::size_t at) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + at)); };
    const auto store = [to](std::size_t at, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i *>(to + at), v); };
    for (; i + 64 <= count; i += 64) {
        // All four loaded before any store: `to` may be `from`.
        const __m128i a = load(i), b = load(i + 16), c = load(i + 32), d = load(i + 48);
        store(i, _mm_xor_si128(a, ones));
        store(i + 16, _mm_xor_si128(b, ones));
        store(i + 32, _mm_xor_si128(c, ones));
        store(i + 48, _mm_xor_si128(d, ones));
    }
#endif
    for (; i + 8 <= count; i += 8) {
        std::uint64_t v;
        std::memcpy(&v, from + i, 8);
        v ^= kEachByte<std::uint64_t>;
        std::memcpy(to + i, &v, 8);
    }
    for (; i < count; ++i) to[i] = from[i] ^ 1;
}

// A kShrink x kShrink block of `dark` pixels of the bits as gray (dark 0, light 255),
// by the count: the division cost as much as the counting.
struct ShrunkLevels {
    std::uint8_t level[kShrink * kShrink + 1];
    constexpr ShrunkLevels() noexcept : level{} {
        constexpr int area = kShrink * kShrink;
        for (int dark = 0; dark <= area; ++dark) {
            level[dark] = static_cast<std::uint8_t>((255 * (area - dark) + area / 2) / area);
        }
    }
};
constexpr ShrunkLevels kShrunk{};

// One output row of shrink() from the bits: dark pixels of two blocks at a time, each
// row's eight bytes made 0/1 for nonzero and added bytewise (at most 4 a byte), then
// each half's four bytes summed in its lowest byte (at most 16). Eight pixels a step
// rather than four took a text page's shrink from 4.3M to 2.2M instructions.
void shrink_bits_row(const std::uint8_t *const rows[kShrink], int w, std::uint8_t *line) noexcept {
    int x = 0;
#if defined(HALVERN_SSE2)
    // Sixteen blocks a step: each row's bytes compared with zero and the four rows' light
    // pixels added bytewise, each 32-bit lane's four bytes (one block) summed into its
    // lowest, and the table's level, (255 * light + 8) / 16, formed in 16-bit lanes (a
    // text page's shrink 2.2M instructions to 0.4M).
    const __m128i zero = _mm_setzero_si128();
    const auto level = [](__m128i light) {
        return _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(light, _mm_set1_epi16(255)), _mm_set1_epi16(8)), 4);
    };
    // Four blocks' light pixels, one a 32-bit lane, from the 16 bytes at `at` of each row.
    const auto blocks = [&rows, zero](int at) {
        const auto light = [at, zero](const std::uint8_t *row) {
            return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(row + at)), zero);
        };
        __m128i sum = _mm_sub_epi8(_mm_sub_epi8(zero, light(rows[0])), light(rows[1]));
        sum = _mm_sub_epi8(_mm_sub_epi8(sum, light(rows[2])), light(rows[3]));
        sum = _mm_add_epi8(sum, _mm_srli_epi32(sum, 8));
        sum = _mm_add_epi8(sum, _mm_srli_epi32(sum, 16));
        return _mm_and_si128(sum, _mm_set1_epi32(0xFF));
    };
    static_assert(kShrink == 4, "four rows a block");
    for (; x + 16 <= w; x += 16) {
        const int at = x * kShrink;
        const __m128i low = level(_mm_packs_epi32(blocks(at), blocks(at + 16)));
        const __m128i high = level(_mm_packs_epi32(blocks(at + 32), blocks(at + 48)));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(line + x), _mm_packus_epi16(low, high));
    }
#endif
    if constexpr (std::endian::native == std::endian::little) {
        for (; x + 2 <= w; x += 2) {
            std::uint64_t ones = 0;
            for (int dy = 0; dy < kShrink; ++dy) {
                std::uint64_t v;
                std::memcpy(&v, rows[dy] + x * kShrink, 8);
                ones += nonzero_bytes(v) >> 7;
            }
            ones += ones >> 8;
            ones += ones >> 16;
            line[x] = kShrunk.level[ones & 0xFF];
            line[x + 1] = kShrunk.level[(ones >> 32) & 0xFF];
        }
    }
    for (; x < w; ++x) {
        int dark = 0;
        for (int dy = 0; dy < kShrink; ++dy) {
            for (int dx = 0; dx < kShrink; ++dx) dark += rows[dy][x * kShrink + dx] != 0 ? 1 : 0;
        }
        line[x] = kShrunk.level[dark];
    }
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
        if (bits != nullptr) {
            shrink_bits_row(rows, w, line);
            continue;
        }
        for (int x = 0; x < w; ++x) {
            int sum = 0;
            for (int dy = 0; dy < kShrink; ++dy) {
                for (int dx = 0; dx < kShrink; ++dx) sum += rows[dy][x * kShrink + dx];
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

// One read of an image: its bits, the first pass, then the fallbacks in order.
class ImageRead {
public:
    ImageRead(const ImageView &image, const ReadOptions &options, const Scratch &s, SymbolRecord *records,
              int capacity) noexcept
        : image_(image), options_(options), s_(s), records_(records), capacity_(capacity),
          pixels_(static_cast<std::size_t>(image.width) * image.height) {
        *s.fits = 0;
        // A bits image (0 and 1, rows without padding) is read where it lies, and never
        // copied: the fallbacks that rewrite the bits (inverted, denoised) write them
        // from it into the scratch (the copy cost a small code a tenth of its read). The
        // first scan tells whether it is bits as it reads the rows (see run()), unless a
        // trace is to hold the bits before it.
        const bool borrowable = (options.binarizer == Binarizer::none || options.binarizer == Binarizer::automatic) &&
                                image.stride == image.width;
        if (borrowable && s.trace == nullptr) {
            unchecked_ = true;
            bilevel_ = true;
            bits_ = ImageView{image.data, image.width, image.height, image.width};
        } else {
            settle(borrowable && is_bits(image));
        }
    }

    // Returns the number of records written.
    int run() noexcept {
        // Failures are reported from the first pass, before a fallback changes the bits,
        // unless a fallback decodes something: then from that pass. Decode attempts go to
        // scratch, so a fallback that decodes nothing leaves the first pass's records be.
        Pass first(bits_, s_, s_.finders, records_, capacity_, false, options_.symbologies, options_.try_harder);
        InverseLog log{s_.matches, inverse_log_capacity(image_.width, image_.height)};
        const int decoded = first.run(options_.try_invert && options_.try_harder ? &log : nullptr, unchecked_);
        if (decoded == kNotBits) {
            // Pixels other than 0 and 1 (a gray image meets one in its first row): read as
            // any other image, from its binarized bits.
            unchecked_ = false;
            settle(false);
            return run();
        }
        const int reported = report(first, decoded);
        if (decoded > 0 || !options_.try_harder) return reported;
        int located = first.failures();
        if (const int found = read_inverted(log, located); found > 0) return found;
        const FinderScan &scan = first.scan();
        const std::int64_t scanned = static_cast<std::int64_t>(scan.rows) * image_.width;
        // Only a busy image (a run every 64 pixels or more) can hold a symbol at one pixel a
        // module, and only one where nothing was located (a located symbol that failed is
        // two pixels a module or more: enlarged, it fails again); a blank image skips it.
        if (enlargeable(image_.width, image_.height) && scan.runs * 64 > scanned && located == 0) {
            if (const int found = read_enlarged(bits_, s_, options_.symbologies, records_, capacity_); found > 0) {
                return found;
            }
        }
        if (const int found = read_denoised(scan, scanned); found > 0) return found;
        if (const int found = read_shrunk(scan, scanned); found > 0) return found;
        if (const int found = read_global(scan.matches > 0 || log.count > 0, located); found > 0) return found;
        return reported;
    }

private:
    // The bits the passes read: the pixels themselves when `borrowed` (a bits image),
    // else the image binarized into scratch.
    void settle(bool borrowed) noexcept {
        bilevel_ = borrowed || binarize(image_, options_.binarizer, s_.bits, s_.binarize);
        bits_ = ImageView{borrowed ? image_.data : s_.bits, image_.width, image_.height, image_.width};
        if (s_.trace != nullptr) trace_bits(*s_.trace, bits_);
    }

    // The `found` records a pass decoded, and with keep_errors its failures after them.
    int report(const Pass &pass, int found) const noexcept {
        return options_.keep_errors ? report_failures(bits_, s_, pass.failures(), records_, found, capacity_)
                                    : found;
    }

    // Light-on-dark symbols: the first scan logged their finders' row matches, so the
    // inverted pass confirms those instead of scanning the inverted bits again (a
    // second scan cost a text page as much as the first); only a log that overflowed
    // (more than one match per kPixelsPerLogged pixels) takes the full scan. It needs
    // three finders; a blank page has none. Returns the records written, 0 when it
    // decoded nothing (`located` then counts its failures too and the bits are back).
    int read_inverted(const InverseLog &log, int &located) noexcept {
        // A Micro QR or rMQR symbol needs one finder.
        const std::size_t needed = (options_.symbologies & ~kReadQr) != 0 ? 1 : 3;
        if (!options_.try_invert || !(log.overflow || log.count >= needed)) return 0;
        const int light = log.overflow ? 0 : inverse_finders(bits_, log, s_.inverse, kMaxFinders, s_.finder_index);
        if (!log.overflow && light < static_cast<int>(needed)) return 0;
        // Copied and inverted in one pass where the bits are the caller's image, which
        // then stays the bits when the pass decodes nothing (no second inversion).
        const std::uint8_t *const before = bits_.data;
        invert(before, s_.bits, pixels_);
        bits_.data = s_.bits;
        trace_pass(s_.trace, TracePass::inverted, 1.0);
        Pass inverted(bits_, s_, log.overflow ? s_.finders : s_.inverse, records_, capacity_, true,
                      options_.symbologies);
        if (const int found = log.overflow ? inverted.run() : inverted.decode(light); found > 0) {
            return report(inverted, found);
        }
        located += inverted.failures();
        if (before != s_.bits) {
            bits_.data = before;
        } else {
            invert(s_.bits, s_.bits, pixels_);
        }
        return 0;
    }

    // Salt-and-pepper noise (in a bilevel image, or left by the threshold of a noisy
    // camera image) breaks the finders' runs; a 3x3 majority mends them (camera scenes
    // with sensor noise of 40 levels: 3 of 6 read before, 6 of 6 after). Only a busy
    // image (a run every 64 pixels or more; 1% of specks make one every 50) with runs
    // of one pixel (a speck every 512 pixels or more) can be that noisy: 1% salt and
    // pepper leaves one every 220, a text page one in 20,000 or none, and skips the
    // pass and its second scan (half the time of reading such a page).
    int read_denoised(const FinderScan &scan, std::int64_t scanned) noexcept {
        if (!(scan.runs * 64 > scanned && scan.specks * 512 > scanned)) return 0;
        // From the caller's bits where they are those, without copying them first.
        denoise(bits_.data, s_.bits, image_.width, image_.height, s_.rows);
        bits_.data = s_.bits;
        trace_pass(s_.trace, TracePass::denoised, 1.0);
        Pass denoised(bits_, s_, s_.finders, records_, capacity_, false, options_.symbologies);
        const int found = denoised.run_denoised();
        return found > 0 ? report(denoised, found) : 0;
    }

    // Very large modules under noise: inside a module of 60 pixels the local threshold
    // sees only noise, and its salt and pepper breaks the finders (sensor noise of 25
    // levels at 60 pixels a module read nothing). Averaged 4 x 4 down, the module is
    // 15 pixels and the noise a quarter; one pass, on a sixteenth of the pixels. Not
    // on a page that is neither busy nor holds a single row match (a blank page, where
    // the pass was half the read).
    int read_shrunk(const FinderScan &scan, std::int64_t scanned) noexcept {
        const bool anything = scan.matches > 0 || scan.runs * 64 > scanned;
        if (!anything || image_.width < kMinShrinkSide || image_.height < kMinShrinkSide) return 0;
        const int w = image_.width / kShrink, h = image_.height / kShrink;
        shrink(image_, bilevel_ ? bits_.data : nullptr, s_.small);
        const ImageView small{s_.small, w, h, w};
        const Binarizer mode = options_.binarizer == Binarizer::global ? Binarizer::global : Binarizer::local;
        binarize(small, mode, s_.bits, s_.binarize);
        const ImageView small_bits{s_.bits, w, h, w};
        trace_pass(s_.trace, TracePass::shrunk, kShrink);
        Pass shrunk(small_bits, s_, s_.finders, records_, capacity_, false, options_.symbologies);
        const int found = shrunk.run();
        if (found > 0) rescale(records_, found, kShrink);
        return found;
    }

    // A light code on a glowing display: over its bright, smooth areas the local
    // threshold follows the screen's pixel texture and breaks the finders into specks
    // (display scenes with finders found and no triple; each of them reads through one
    // threshold for the whole image). A gray image whose scan saw a finder's row match,
    // dark or light, and located nothing is read once more through the global
    // threshold, dark and light; the last fallback, so it rewrites the bits freely.
    int read_global(bool matched, int located) noexcept {
        if (bilevel_ || options_.binarizer != Binarizer::automatic || !matched || located > 0) return 0;
        binarize(image_, Binarizer::global, s_.bits, s_.binarize);
        bits_ = ImageView{s_.bits, image_.width, image_.height, image_.width};
        trace_pass(s_.trace, TracePass::global, 1.0);
        Pass global(bits_, s_, s_.finders, records_, capacity_, false, options_.symbologies);
        InverseLog log{s_.matches, inverse_log_capacity(image_.width, image_.height)};
        if (const int found = global.run(options_.try_invert ? &log : nullptr); found > 0) {
            return report(global, found);
        }
        int unused = 0;
        return read_inverted(log, unused);
    }

    const ImageView &image_;
    const ReadOptions &options_;
    const Scratch &s_;
    SymbolRecord *records_;
    int capacity_;
    std::size_t pixels_;
    ImageView bits_;
    bool bilevel_ = false;
    bool unchecked_ = false;  // bits_ are the caller's pixels, not yet known to be 0 and 1
};

}  // namespace

int read_capacity(int width, int height) noexcept {
    if (width <= 0 || height <= 0) return 1;
    // A symbol needs at least 21 x 21 modules of two pixels.
    const std::int64_t pixels = static_cast<std::int64_t>(width) * height;
    const std::int64_t n = pixels / ((2 * kMinSize) * (2 * kMinSize));
    return n < 1 ? 1 : n > 64 ? 64 : static_cast<int>(n);
}

std::size_t read_scratch_bytes(int width, int height) noexcept {
    if (width <= 0 || height <= 0) return 16;
    Scratch counted;
    return layout(width, height, nullptr, counted);
}

void shrink_image(const ImageView &image, bool bits, std::uint8_t *out) noexcept {
    shrink(image, bits ? image.data : nullptr, out);
}

int read_symbols(const ImageView &image, const ReadOptions &options, void *scratch,
                 SymbolRecord *records, int capacity) noexcept {
    if (image.width <= 0 || image.height <= 0 || capacity <= 0) return 0;
    Scratch s;
    layout(image.width, image.height, scratch, s);
    s.trace = options.trace;
    ImageRead read(image, options, s, records, capacity);
    return read.run();
}

}  // namespace halvern::engine
