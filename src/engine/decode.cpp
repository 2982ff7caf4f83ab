// decode_symbol: a sampled module matrix to its content, the stages in order.

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

// Corrects every block in place and gathers their data codewords into data, in block
// order; returns the codewords changed, or -1 when a block is beyond the limit.
int correct_blocks(std::uint8_t *blocks, const BlockLayout &layout, std::uint8_t *data) noexcept {
    const int first_long = layout.blocks - layout.long_blocks;
    int corrected = 0;
    int start = 0;
    int k = 0;
    for (int b = 0; b < layout.blocks; ++b) {
        const int data_length = layout.short_data + (b >= first_long);
        const int length = data_length + layout.ec_per_block;
        const int fixed = rs_correct(blocks + start, length, layout.ec_per_block, layout.correctable);
        if (fixed < 0) return -1;
        corrected += fixed;
        for (int i = 0; i < data_length; ++i) data[k++] = blocks[start + i];
        start += length;
    }
    return corrected;
}

DecodeError decode_into(const std::uint8_t *modules, int size, DecodedSymbol &out, DecodeScratch &scratch) noexcept {
    const int version = version_for_size(size);
    if (version == 0) return DecodeError::bad_size;
    const FormatReading format = read_format(modules, size);
    if (format.data < 0) return DecodeError::format;
    if (version_errors(modules, size) < 0) return DecodeError::version;
    out.version = version;
    out.level = kLevelOfBits[format.data >> 3];
    out.mask = format.data & 7;
    const BlockLayout layout = block_layout(version, out.level);
    read_codewords(modules, size, out.mask, scratch.cells, scratch.stream);
    deinterleave(scratch.stream, layout, scratch.blocks);
    const int corrected = correct_blocks(scratch.blocks, layout, scratch.data);
    if (corrected < 0) return DecodeError::too_many_errors;
    out.corrected = corrected;
    parse_segments(scratch.data, layout.data_codewords, version, out);
    return out.error;
}

}  // namespace

DecodeError decode_symbol(const std::uint8_t *modules, int size, DecodedSymbol &out) noexcept {
    out.error = DecodeError::none;
    out.fault = StreamFault::none;
    out.version = out.level = out.mask = out.corrected = 0;
    out.segment_count = 0;
    out.payload_length = 0;
    DecodeScratch scratch;
    out.error = decode_into(modules, size, out, scratch);
    return out.error;
}

}  // namespace halvern::engine
