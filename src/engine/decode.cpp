// decode_symbol: a sampled module matrix to its content, the stages in order.

#include <cmath>
#include <cstdint>

#include "decode.hpp"
#include "decode_stages.hpp"
#include "tables.hpp"

namespace halvern::engine {

namespace {

// Scratch of one decode, on the stack (about 42 kB, so that decode_symbol allocates
// nothing): the unmasked matrix, the codeword stream, the blocks, and the data
// codewords in order.
struct DecodeScratch {
    CodewordScratch cells;
    std::uint8_t stream[kMaxCodewords];
    std::uint8_t blocks[kMaxCodewords];
    std::uint8_t data[kMaxCodewords];
};

// Scratch of the codeword doubts, in placement order and by block.
struct DoubtScratch {
    std::uint8_t stream[kMaxCodewords];
    std::uint8_t blocks[kMaxCodewords];
};

// Erasure retries keep the chance that a wrong block passes them below 2^-kSoftBits: a
// random word lies within e errors of a codeword once f of its n codewords are erased
// with chance C(n - f, e) 255^e / 256^(ec - f). Errors-only correction of version 2-L,
// the weakest the reserved codewords leave, stands at 2^-31.
constexpr double kSoftBits = 32.0;

// The largest 2e + f a block of n codewords with f erased may correct under that bound
// and its reserved codewords; -1 when none.
int soft_budget(int n, int ec, int reserved, int f) noexcept {
    double ball = 0;  // log2 of C(n - f, e) 255^e
    int budget = -1;
    for (int e = 0; 2 * e + f <= ec - reserved; ++e) {
        if (e > 0) ball += std::log2(static_cast<double>(n - f - e + 1) / e) + std::log2(255.0);
        if (ball - 8.0 * (ec - f) > -kSoftBits) break;
        budget = 2 * e + f;
    }
    return budget;
}

// The block retried with its least certain codewords erased, as many as may be first:
// returns the codewords changed, or -1 with the block untouched.
int correct_erased(std::uint8_t *block, const std::uint8_t *doubts, int length, int ec, int reserved) noexcept {
    // The doubtful codewords, most doubtful first (a counting sort by doubt).
    int first[257] = {};
    for (int i = 0; i < length; ++i) ++first[255 - doubts[i] + 1];
    for (int d = 1; d <= 256; ++d) first[d] += first[d - 1];
    int order[255];
    for (int i = 0; i < length; ++i) order[first[255 - doubts[i]]++] = i;
    const int doubtful = first[254];  // now the end of the slots of doubt 1, where doubt 0 begins
    const int most = doubtful < ec - reserved ? doubtful : ec - reserved;
    for (int f = most; f >= 1; --f) {
        const int budget = soft_budget(length, ec, reserved, f);
        if (budget < f) continue;
        const int fixed = rs_correct_erasures(block, length, ec, order, f, budget);
        if (fixed >= 0) return fixed;
    }
    return -1;
}

}  // namespace

// Declared in decode_stages.hpp: rMQR corrects its blocks here too.
// Corrects every block in place and gathers their data codewords into data, in block
// order; with `doubts` (per codeword, in block order) a block beyond errors-only
// correction is retried with erasures. Returns the codewords changed, or -1 when a
// block is beyond the limit.
int correct_blocks(std::uint8_t *blocks, const BlockLayout &layout, int reserved, const std::uint8_t *doubts,
                   std::uint8_t *data) noexcept {
    int corrected = 0;
    int start = 0;
    int k = 0;
    for (int b = 0; b < layout.blocks; ++b) {
        const int data_length = layout.data_of(b);
        const int length = data_length + layout.ec_per_block;
        int fixed = rs_correct(blocks + start, length, layout.ec_per_block, layout.correctable);
        if (fixed < 0 && doubts != nullptr)
            fixed = correct_erased(blocks + start, doubts + start, length, layout.ec_per_block, reserved);
        if (fixed < 0) return -1;
        corrected += fixed;
        for (int i = 0; i < data_length; ++i) data[k++] = blocks[start + i];
        start += length;
    }
    return corrected;
}

namespace {

DecodeError decode_into(const std::uint8_t *modules, const std::uint8_t *doubts, int size, DecodedSymbol &out,
                        DecodeScratch &scratch) noexcept {
    const int version = version_for_size(size);
    if (version == 0) return DecodeError::bad_size;
    const FormatReading format = read_format(modules, size);
    if (format.data < 0) return DecodeError::format;
    if (version_errors(modules, size) < 0) return DecodeError::version;
    out.version = version;
    out.rows = out.columns = size;
    out.level = format_level(format.data);
    out.mask = format_mask(format.data);
    const BlockLayout layout = block_layout(version, out.level);
    read_codewords(modules, size, out.mask, scratch.cells, scratch.stream);
    deinterleave(scratch.stream, layout, scratch.blocks);
    DoubtScratch soft;
    if (doubts != nullptr) {
        read_codeword_doubts(doubts, size, scratch.cells, soft.stream);
        deinterleave(soft.stream, layout, soft.blocks);
    }
    const int reserved = misdecode_protection(version, out.level);
    const int corrected = correct_blocks(scratch.blocks, layout, reserved, doubts ? soft.blocks : nullptr, scratch.data);
    if (corrected < 0) return DecodeError::too_many_errors;
    out.corrected = corrected;
    if (mask_only(scratch.data, layout.data_codewords)) {
        out.fault = StreamFault::mask_only;
        return DecodeError::data;
    }
    parse_segments(scratch.data, layout.data_codewords, version, out);
    return out.error;
}

}  // namespace

bool mask_only(const std::uint8_t *data, int count) noexcept {
    for (int i = 0; i < count; ++i) {
        if (data[i] != 0) return false;
    }
    return true;
}

void clear_decoded(DecodedSymbol &out) noexcept {
    out.error = DecodeError::none;
    out.symbology = Symbology::qr;
    out.model = 2;
    out.rows = out.columns = 0;
    out.fault = StreamFault::none;
    out.version = out.level = out.mask = out.corrected = 0;
    out.segment_count = 0;
    out.payload_length = 0;
}

DecodeError decode_symbol(const std::uint8_t *modules, int size, DecodedSymbol &out, const std::uint8_t *doubts) noexcept {
    clear_decoded(out);
    DecodeScratch scratch;
    out.error = decode_into(modules, doubts, size, out, scratch);
    return out.error;
}

}  // namespace halvern::engine
