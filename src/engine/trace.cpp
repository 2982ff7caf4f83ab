// The read's trace: what each pass saw, written into caller memory when the caller
// asks for it (halvern.explain draws it). A read without a trace never calls here.
//
// Every write is bounded by the capacity the caller sized; coordinates of the shrunk
// pass are scaled back to the image's pixels here, so the trace is in one frame.

#include <cstring>

#include "stages.hpp"

namespace halvern::engine {

namespace {

Point scaled(Point p, double scale) noexcept { return p * scale; }

// The transform `h` followed by a scaling of the image by `scale`.
Homography scaled(const Homography &h, double scale) noexcept {
    Homography out = h;
    for (int i = 0; i < 6; ++i) out.m[i] *= scale;
    return out;
}

}  // namespace

void trace_pass(Trace *trace, TracePass pass, double scale) noexcept {
    if (trace == nullptr) return;
    trace->pass = pass;
    trace->scale = scale;
}

void trace_bits(Trace &trace, const ImageView &bits) noexcept {
    if (trace.bits == nullptr || bits.width <= 0 || bits.height <= 0) return;
    const std::size_t width = static_cast<std::size_t>(bits.width);
    for (int y = 0; y < bits.height; ++y) std::memcpy(trace.bits + y * width, bits.row(y), width);
}

void trace_finders(Trace &trace, const Finder *finders, int count) noexcept {
    for (int i = 0; i < count && trace.finder_count < kTraceFinders; ++i) {
        TraceFinder &out = trace.finders[trace.finder_count++];
        out.finder = finders[i];
        out.finder.centre = scaled(finders[i].centre, trace.scale);
        out.finder.module = finders[i].module * trace.scale;
        out.pass = trace.pass;
    }
}

void trace_triple(Trace &trace, const Finder *finders, const Triple &triple, DecodeError outcome) noexcept {
    if (trace.triple_count >= kTraceTriples) return;
    TraceTriple &out = trace.triples[trace.triple_count++];
    out.centres[0] = scaled(finders[triple.tl].centre, trace.scale);
    out.centres[1] = scaled(finders[triple.tr].centre, trace.scale);
    out.centres[2] = scaled(finders[triple.bl].centre, trace.scale);
    out.cost = triple.cost;
    out.pass = trace.pass;
    out.outcome = outcome;
}

void trace_symbol(Trace &trace, const ImageView &bits, const Homography &module_to_image, int size,
                  double module, DecodeError outcome) noexcept {
    if (trace.symbol_count >= kTraceSymbols || size < 1 || size > kMaxSize) return;
    std::uint8_t *out = trace.confidence + static_cast<std::size_t>(trace.symbol_count) * kTraceModules;
    trace.symbols[trace.symbol_count++] = {scaled(module_to_image, trace.scale), size, trace.pass, outcome};
    sample_grid(bits, module_to_image, size, module, trace.modules);
    grid_doubts(bits, module_to_image, size, trace.modules, out);
    const std::size_t modules = static_cast<std::size_t>(size) * size;
    for (std::size_t i = 0; i < modules; ++i) out[i] = static_cast<std::uint8_t>(9 - out[i]);
}

}  // namespace halvern::engine
