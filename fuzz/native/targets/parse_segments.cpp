// The segment parser on bit streams of every version.
//
// Input: the version (one byte, 1-40), a second version (one byte), then the data
// codewords, at most as many as the version holds at level L. A parse must be well
// formed (see check_stream) and the same when repeated; and since the version only
// chooses the widths of the character counts, the same under any other version of
// its band (1-9, 10-26, 27-40).

#include "../fuzz.hpp"

namespace {

using namespace fuzz;

DecodedSymbol first, again;

// The band's first version and its number of versions.
void band_of(int version, int &start, int &count) noexcept {
    start = version <= 9 ? 1 : version <= 26 ? 10 : 27;
    count = version <= 9 ? 9 : version <= 26 ? 17 : 14;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Input in(data, size);
    const int version = 1 + in.byte() % 40;
    int start = 0, count = 0;
    band_of(version, start, count);
    const int other = start + in.byte() % count;
    const int capacity = block_layout(version, 0).data_codewords;
    const int length = static_cast<int>(in.left() < static_cast<std::size_t>(capacity) ? in.left() : capacity);
    parse_segments(in.rest(), length, version, first);
    check_stream(first);
    parse_segments(in.rest(), length, version, again);
    FUZZ_CHECK(same_content(first, again));
    parse_segments(in.rest(), length, other, again);
    FUZZ_CHECK(same_content(first, again));
    return 0;
}
