// The test entry points of halvern._engine: single stages of the reader and decoder,
// which the tests compare with plain references. They are added to the module apart
// from its public entry points (module.cpp), every name starting with "_". Each
// parses and checks its arguments as the public ones do and calls one kernel.

#include <cstring>

#include "binding.hpp"
#include "decode_stages.hpp"
#include "micro_tables.hpp"
#include "rmqr_tables.hpp"
#include "symbologies.hpp"
#include "tables.hpp"

namespace {

using namespace halvern::binding;

// ===================================================================================
// Decoder stages
// ===================================================================================

// The block argument of both Reed-Solomon hooks: 1 to kMaxEcPerBlock check codewords of
// a block of at most 255, with at most `ec` erasures. Returns false with the exception
// set; copies the block to `out` otherwise.
bool parse_block(BufferGuard &buffer, int ec, Py_ssize_t erasures, std::uint8_t out[255]) {
    const Py_ssize_t length = buffer.view()->len;
    if (ec < 1 || ec > engine::kMaxEcPerBlock || length <= ec || length > 255 || erasures > ec) {
        PyErr_SetString(PyExc_ValueError, "Not a Reed-Solomon block.");
        return false;
    }
    std::memcpy(out, buffer.view()->buf, static_cast<std::size_t>(length));
    return true;
}

// (corrected block, codewords changed) of a correction that fixed `fixed` codewords,
// None when it failed.
PyObject *corrected_block(const std::uint8_t *block, Py_ssize_t length, int fixed) {
    if (fixed < 0) Py_RETURN_NONE;
    return Py_BuildValue("(y#i)", reinterpret_cast<const char *>(block), length, fixed);
}

// _rs_correct(block, ec, limit): (corrected block, codewords changed) or None.
PyObject *hook_rs_correct(PyObject *, PyObject *args) {
    BufferGuard buffer;
    int ec = 0, limit = 0;
    if (!PyArg_ParseTuple(args, "y*ii", buffer.view(), &ec, &limit)) return nullptr;
    buffer.own();
    std::uint8_t block[255];
    if (!parse_block(buffer, ec, 0, block)) return nullptr;
    const auto length = buffer.view()->len;
    return corrected_block(block, length, engine::rs_correct(block, static_cast<int>(length), ec, limit));
}

// _rs_correct_erasures(block, ec, erasures, budget): as _rs_correct, with the
// codewords at the indices in the bytes `erasures` erased.
PyObject *hook_rs_correct_erasures(PyObject *, PyObject *args) {
    BufferGuard buffer;
    BufferGuard erased;
    int ec = 0, budget = 0;
    if (!PyArg_ParseTuple(args, "y*iy*i", buffer.view(), &ec, erased.view(), &budget)) return nullptr;
    buffer.own();
    erased.own();
    const Py_ssize_t f = erased.view()->len;
    std::uint8_t block[255];
    if (!parse_block(buffer, ec, f, block)) return nullptr;
    int erasures[engine::kMaxEcPerBlock];
    for (Py_ssize_t k = 0; k < f; ++k) erasures[k] = buffer_bytes(erased)[k];
    const auto length = buffer.view()->len;
    const int fixed = engine::rs_correct_erasures(block, static_cast<int>(length), ec, erasures, static_cast<int>(f),
                                                  budget);
    return corrected_block(block, length, fixed);
}


// _format_words(): decode_format_word of every 15-bit word, as a tuple.
PyObject *hook_format_words(PyObject *, PyObject *) {
    return sequence_of(1 << 15, [](Py_ssize_t word) {
        return PyLong_FromLong(engine::decode_format_word(static_cast<std::uint32_t>(word)));
    });
}

// _version_word(word): decode_version_word(word).
PyObject *hook_version_word(PyObject *, PyObject *args) {
    unsigned long word = 0;
    if (!PyArg_ParseTuple(args, "k", &word)) return nullptr;
    return PyLong_FromLong(engine::decode_version_word(static_cast<std::uint32_t>(word)));
}

bool parse_version(int version) {
    if (version < engine::kMinVersion || version > engine::kMaxVersion) {
        PyErr_SetString(PyExc_ValueError, "Not a QR version.");
        return false;
    }
    return true;
}

// A version and a level (0..3 for L, M, Q, H); false with the ValueError otherwise.
bool parse_version_level(int version, int level) {
    if (!parse_version(version)) return false;
    if (level >= 0 && level <= 3) return true;
    PyErr_SetString(PyExc_ValueError, "Not an error correction level.");
    return false;
}

// _placement(version): matrix indices of the data modules in placement order.
PyObject *hook_placement(PyObject *, PyObject *args) {
    int version = 0;
    if (!PyArg_ParseTuple(args, "i", &version) || !parse_version(version)) return nullptr;
    const int size = engine::size_for_version(version);
    RawScratch<std::uint8_t> fn;
    if (!fn.allocate(static_cast<std::size_t>(size) * size)) return PyErr_NoMemory();
    engine::mark_function_modules(size, fn.get(), 1);
    PyObject *order = PyList_New(0);
    if (order == nullptr) return nullptr;
    bool ok = true;
    const std::uint8_t *mask = fn.get();
    engine::walk_data_modules(
        size, [mask](int index) { return mask[index] == 0; },
        [&](int index) {
            if (!ok) return;
            PyObject *item = PyLong_FromLong(index);
            ok = item != nullptr && PyList_Append(order, item) == 0;
            Py_XDECREF(item);
        });
    if (!ok) {
        Py_DECREF(order);
        return nullptr;
    }
    return order;
}

// _codewords(matrix, size, mask): the unmasked codewords in placement order.
PyObject *hook_codewords(PyObject *, PyObject *args) {
    BufferGuard buffer;
    Py_ssize_t n = 0;
    int mask = 0;
    if (!PyArg_ParseTuple(args, "y*ni", buffer.view(), &n, &mask)) return nullptr;
    buffer.own();
    const int version = engine::version_for_size(n);
    if (version == 0 || buffer.view()->len != n * n || mask < 0 || mask > 7) {
        PyErr_SetString(PyExc_ValueError, "Not a QR matrix and mask.");
        return nullptr;
    }
    RawScratch<engine::CodewordScratch> scratch;
    if (!scratch.allocate(1)) return PyErr_NoMemory();
    std::uint8_t out[engine::kMaxCodewords];
    engine::read_codewords(buffer_bytes(buffer), static_cast<int>(n), mask, *scratch.get(), out);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(out), engine::codeword_count(version));
}

// _block_layout(version, level): (ec per block, data codewords of each block, codeword
// errors each block may have corrected).
PyObject *hook_block_layout(PyObject *, PyObject *args) {
    int version = 0, level = 0;
    if (!PyArg_ParseTuple(args, "ii", &version, &level) || !parse_version_level(version, level)) return nullptr;
    const engine::BlockLayout layout = engine::block_layout(version, level);
    PyObject *lengths = sequence_of(layout.blocks, [&](Py_ssize_t b) {
        return PyLong_FromLong(layout.data_of(static_cast<int>(b)));
    });
    if (lengths == nullptr) return nullptr;
    return Py_BuildValue("(iNi)", layout.ec_per_block, lengths, layout.correctable);
}

// _deinterleave(stream, version, level): the blocks (data then EC codewords), in order.
PyObject *hook_deinterleave(PyObject *, PyObject *args) {
    BufferGuard buffer;
    int version = 0, level = 0;
    if (!PyArg_ParseTuple(args, "y*ii", buffer.view(), &version, &level)) return nullptr;
    buffer.own();
    if (!parse_version_level(version, level)) return nullptr;
    if (buffer.view()->len != engine::codeword_count(version)) {
        PyErr_SetString(PyExc_ValueError, "Not a codeword stream of this version and level.");
        return nullptr;
    }
    const engine::BlockLayout layout = engine::block_layout(version, level);
    std::uint8_t blocks[engine::kMaxCodewords];
    engine::deinterleave(buffer_bytes(buffer), layout, blocks);
    int start = 0;
    return sequence_of(layout.blocks, [&](Py_ssize_t b) {
        const int length = layout.data_of(static_cast<int>(b)) + layout.ec_per_block;
        start += length;
        return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(blocks) + start - length, length);
    });
}

// _parse_segments(data, version, objects=False): the data bit stream of a symbol of
// `version` decoded (see build_decoded; level, mask and corrected are 0; with `objects`
// as decode gives it, see decoded_object), or ValueError.
PyObject *hook_parse_segments(PyObject *, PyObject *args) {
    BufferGuard buffer;
    int version = 0, objects = 0;
    if (!PyArg_ParseTuple(args, "y*i|p", buffer.view(), &version, &objects)) return nullptr;
    buffer.own();
    if (!parse_version(version)) return nullptr;
    if (buffer.view()->len > engine::kMaxDataCodewords) {
        PyErr_SetString(PyExc_ValueError, "Bit stream is longer than any symbol holds.");
        return nullptr;
    }
    RawScratch<engine::DecodedSymbol> symbol;
    if (!symbol.allocate(1)) return PyErr_NoMemory();
    symbol.get()->version = version;
    symbol.get()->model = 2;
    symbol.get()->rows = symbol.get()->columns = engine::size_for_version(version);
    engine::parse_segments(buffer_bytes(buffer),
                           static_cast<int>(buffer.view()->len), version, *symbol.get());
    if (symbol.get()->error != engine::DecodeError::none) return raise_decode_error(*symbol.get());
    return objects ? decoded_object(*symbol.get()) : build_decoded(*symbol.get());
}

// ===================================================================================
// Reader stages
// ===================================================================================

// A bits image argument (image, width, height): packed rows, stride the width.
bool parse_bits(PyObject *image, Py_ssize_t width, Py_ssize_t height, BufferGuard &buffer, engine::ImageView &view) {
    return parse_image(image, width, height, width < 1 ? 1 : width, buffer, view);
}

// Arguments that start with a bits image (image, width, height), `format` naming all of
// them and `extra` pointing at the ones after the image's three.
template <typename... Extra>
bool parse_bits_args(PyObject *args, const char *format, BufferGuard &buffer, engine::ImageView &view,
                     Extra... extra) {
    PyObject *image = nullptr;
    Py_ssize_t width = 0, height = 0;
    return PyArg_ParseTuple(args, format, &image, &width, &height, extra...) &&
           parse_bits(image, width, height, buffer, view);
}

// _binarize(image, width, height, stride, binarizer): (width * height bytes of 0/1,
// bilevel).
PyObject *hook_binarize_levels(PyObject *, PyObject *args) {
    bool bilevel = false;
    PyObject *bits = binarized(args, bilevel);
    if (bits == nullptr) return nullptr;
    return Py_BuildValue("(NN)", bits, PyBool_FromLong(bilevel));
}

// _denoise(bits, width, height, in_place=True): the 3x3 majority of a 0/1 image (nonzero
// counts as 1), computed in place or from a copy of its own.
PyObject *hook_denoise(PyObject *, PyObject *args) {
    int in_place = 1;
    BufferGuard buffer;
    engine::ImageView view;
    if (!parse_bits_args(args, "Onn|p", buffer, view, &in_place)) return nullptr;
    const std::size_t pixels = static_cast<std::size_t>(view.width) * view.height;
    PyObject *bits = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(pixels));
    if (bits == nullptr) return nullptr;
    RawScratch<unsigned char> rows, copy;
    if (!allocate_or_raise(rows, engine::denoise_scratch_bytes(view.width)) ||
        !allocate_or_raise(copy, pixels > 0 ? pixels : 1)) {
        Py_DECREF(bits);
        return nullptr;
    }
    auto *out = reinterpret_cast<std::uint8_t *>(PyBytes_AsString(bits));
    std::uint8_t *from = in_place ? out : copy.get();
    for (int y = 0; y < view.height; ++y) {
        const std::uint8_t *row = view.row(y);
        for (int x = 0; x < view.width; ++x) from[static_cast<std::size_t>(y) * view.width + x] = row[x] != 0 ? 1 : 0;
    }
    engine::denoise(from, out, view.width, view.height, rows.get());
    return bits;
}

// _shrink(image, width, height, bits): the (height / 4) x (width / 4) bytes of the
// downscale fallback, from gray or (with `bits`) from a bits image.
PyObject *hook_shrink(PyObject *, PyObject *args) {
    int bits = 0;
    BufferGuard buffer;
    engine::ImageView view;
    if (!parse_bits_args(args, "Onnp", buffer, view, &bits)) return nullptr;
    PyObject *out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(view.width / 4) * (view.height / 4));
    if (out == nullptr) return nullptr;
    engine::shrink_image(view, bits != 0, reinterpret_cast<std::uint8_t *>(PyBytes_AsString(out)));
    return out;
}

// _find_finders(bits, width, height, inverse=False, carry=True, one_diagonal=True,
// sparse=False): [(x, y, module, hits)] of a 0/1 image: its dark finders, or with
// `inverse` its light ones on dark; `carry` false walks every row match; `one_diagonal`
// false holds the dark finders to both diagonals; `sparse` scans as the fast mode does.
PyObject *hook_find_finders(PyObject *, PyObject *args) {
    int inverse = 0, carry = 1, one_diagonal = 1, sparse = 0;
    BufferGuard buffer;
    engine::ImageView view;
    if (!parse_bits_args(args, "Onn|pppp", buffer, view, &inverse, &carry, &one_diagonal, &sparse)) return nullptr;
    RawScratch<unsigned char> scratch;
    RawScratch<engine::Finder> finders;
    RawScratch<engine::RowMatch> matches;
    // A log as long as the pixels: every match ends a distinct run, so it never overflows.
    const std::uint64_t pixels = static_cast<std::uint64_t>(view.width) * static_cast<std::uint64_t>(view.height);
    if (!allocate_or_raise(scratch, engine::finder_scratch_bytes(view.width, view.height)) ||
        !allocate_or_raise(finders, engine::kMaxFinders) || !allocate_or_raise(matches, pixels)) {
        return nullptr;
    }
    engine::InverseLog log{matches.get(), static_cast<std::size_t>(pixels)};
    int count = engine::find_finders(view, finders.get(), engine::kMaxFinders, scratch.get(), &log, carry != 0,
                                     one_diagonal != 0, false, sparse != 0).count;
    if (inverse) {
        count = engine::inverse_finders(view, log, finders.get(), engine::kMaxFinders, scratch.get(), carry != 0);
    }
    const engine::Finder *found = finders.get();
    return sequence_of(count, [found](Py_ssize_t i) {
        return Py_BuildValue("(dddi)", found[i].centre.x, found[i].centre.y, found[i].module, found[i].hits);
    }, true);
}

// _walk(bits, width, height, x, y, dx, dy, limit, light, specks): (closed, (core, ring,
// outer ring), exhausted) of one walk of a finder's confirmation.
PyObject *hook_walk(PyObject *, PyObject *args) {
    int x = 0, y = 0, dx = 0, dy = 0, limit = 0, light = 0, specks = 0;
    BufferGuard buffer;
    engine::ImageView view;
    if (!parse_bits_args(args, "Onniiiiiip", buffer, view, &x, &y, &dx, &dy, &limit, &light, &specks)) return nullptr;
    if (dx < -1 || dx > 1 || dy < -1 || dy > 1 || (dx == 0 && dy == 0) || (light != 0 && light != 1)) {
        PyErr_SetString(PyExc_ValueError, "A walk steps by -1, 0 or 1 along each axis, not both 0, and light is 0 or 1.");
        return nullptr;
    }
    int counts[3];
    bool exhausted = false;
    const bool closed = engine::finder_walk(view, x, y, dx, dy, limit, static_cast<std::uint8_t>(light), specks != 0,
                                            counts, exhausted);
    return Py_BuildValue("(N(iii)N)", PyBool_FromLong(closed), counts[0], counts[1], counts[2],
                         PyBool_FromLong(exhausted));
}

// _row_scan(bits, width, height, reference, dark_only=False): [(runs, specks, ((core_start,
// core, total, value), ...))] per row of a 0/1 image as the finder scan reads it; `reference`
// the plain run-by-run scan, `dark_only` the sparse scan's (dark cores, no specks).
PyObject *hook_row_scan(PyObject *, PyObject *args) {
    int reference = 0, dark_only = 0;
    BufferGuard buffer;
    engine::ImageView view;
    if (!parse_bits_args(args, "Onnp|p", buffer, view, &reference, &dark_only)) return nullptr;
    if (!engine::is_bits(view)) {
        PyErr_SetString(PyExc_ValueError, "The row scan reads pixels of 0 and 1 only.");
        return nullptr;
    }
    RawScratch<std::int32_t> edges;
    RawScratch<engine::RowMatch> matches;
    const std::size_t w = static_cast<std::size_t>(view.width);
    if (!allocate_or_raise(edges, w + 1) || !allocate_or_raise(matches, w / 2 + 1)) return nullptr;
    return sequence_of(view.height, [&](Py_ssize_t y) -> PyObject * {
        std::int64_t runs = 0, specks = 0;
        const engine::RowMatch *m = matches.get();
        const int count = engine::row_scan_matches(view.row(static_cast<int>(y)), view.width, reference != 0,
                                                   edges.get(), matches.get(), &runs, &specks, dark_only != 0);
        PyObject *found = sequence_of(count, [m](Py_ssize_t i) {
            return Py_BuildValue("(iiii)", m[i].core_start, m[i].core, m[i].total, m[i].y);
        });
        if (found == nullptr) return nullptr;
        return Py_BuildValue("(LLN)", static_cast<long long>(runs), static_cast<long long>(specks), found);
    }, true);
}

// Four points from a sequence of eight numbers.
bool parse_quad(PyObject *seq, engine::Point out[4]) {
    double v[8];
    if (!PyArg_ParseTuple(seq, "dddddddd", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7])) return false;
    for (int i = 0; i < 4; ++i) out[i] = {v[2 * i], v[2 * i + 1]};
    return true;
}

// _homography(src, dst): the 9 coefficients (row-major, last 1) sending the four src
// points to the dst points (each a tuple of 8 numbers), or None when degenerate.
PyObject *hook_homography(PyObject *, PyObject *args) {
    PyObject *src = nullptr, *dst = nullptr;
    if (!PyArg_ParseTuple(args, "O!O!", &PyTuple_Type, &src, &PyTuple_Type, &dst)) return nullptr;
    engine::Point a[4], b[4];
    if (!parse_quad(src, a) || !parse_quad(dst, b)) return nullptr;
    engine::Homography h;
    if (!engine::homography_from_points(a, b, h)) Py_RETURN_NONE;
    return Py_BuildValue("(ddddddddd)", h.m[0], h.m[1], h.m[2], h.m[3], h.m[4], h.m[5], h.m[6], h.m[7], h.m[8]);
}

// _find_triples(finders, capacity): the triples of finders ((x, y, module, hits), ...),
// cheapest first, as (tl, tr, bl, cost), at most capacity (1 to kMaxTriples).
PyObject *hook_find_triples(PyObject *, PyObject *args) {
    PyObject *seq = nullptr;
    int capacity = 0;
    if (!PyArg_ParseTuple(args, "O!i", &PyTuple_Type, &seq, &capacity)) return nullptr;
    const Py_ssize_t count = PyTuple_Size(seq);
    if (count > engine::kMaxFinders || capacity < 1 || capacity > engine::kMaxTriples) {
        PyErr_SetString(PyExc_ValueError, "At most 1024 finders and a capacity of 1 to 256 triples.");
        return nullptr;
    }
    engine::Finder finders[engine::kMaxFinders];
    for (Py_ssize_t i = 0; i < count; ++i) {
        engine::Finder &f = finders[i];
        if (!PyArg_ParseTuple(PyTuple_GetItem(seq, i), "dddi", &f.centre.x, &f.centre.y, &f.module, &f.hits))
            return nullptr;
    }
    engine::Triple triples[engine::kMaxTriples];
    const int found = engine::find_triples(finders, static_cast<int>(count), triples, capacity);
    return sequence_of(found, [&triples](Py_ssize_t i) {
        return Py_BuildValue("(iiid)", triples[i].tl, triples[i].tr, triples[i].bl, triples[i].cost);
    });
}

// A grid's transform (9 numbers, module to image) and size (1..177); false with the
// error set.
bool parse_grid(PyObject *coefficients, Py_ssize_t size, engine::Homography &h) {
    if (!PyArg_ParseTuple(coefficients, "ddddddddd", &h.m[0], &h.m[1], &h.m[2], &h.m[3], &h.m[4], &h.m[5], &h.m[6],
                          &h.m[7], &h.m[8])) {
        return false;
    }
    if (size < 1 || size > engine::kMaxSize) {
        PyErr_SetString(PyExc_ValueError, "Grid size must be in 1..177.");
        return false;
    }
    return true;
}

// The arguments (bits, width, height, h, size, module) of a hook on a grid.
struct GridArgs {
    BufferGuard buffer;
    engine::ImageView view;
    engine::Homography h;
    Py_ssize_t size = 0;
    double module = 0;

    // False with the error set.
    bool parse(PyObject *args) {
        PyObject *image = nullptr, *coefficients = nullptr;
        Py_ssize_t width = 0, height = 0;
        return PyArg_ParseTuple(args, "OnnO!nd", &image, &width, &height, &PyTuple_Type, &coefficients, &size,
                                &module) &&
               parse_grid(coefficients, size, h) && parse_bits(image, width, height, buffer, view);
    }
};

// _sample_grid(bits, width, height, h, size, module): size * size module bytes sampled
// through the homography h (9 numbers, module to image).
PyObject *hook_sample_grid(PyObject *, PyObject *args) {
    GridArgs a;
    if (!a.parse(args)) return nullptr;
    PyObject *out = PyBytes_FromStringAndSize(nullptr, a.size * a.size);
    if (out == nullptr) return nullptr;
    engine::sample_grid(a.view, a.h, static_cast<int>(a.size), a.module,
                        reinterpret_cast<std::uint8_t *>(PyBytes_AsString(out)));
    return out;
}

// _fit_searches(bits, width, height, size, knots, lattice, expected): fit_knots then
// fit_line_shifts on a grid of `size` modules and knots * knots knots placed at the
// points in `lattice` (2 doubles a knot, row by row), the modules fixed as the size *
// size bytes `expected` say (0 light, 1 dark, 2 data), the shifts zero; as (knots,
// column shifts, row shifts), the same layouts in doubles.
PyObject *hook_fit_searches(PyObject *, PyObject *args) {
    PyObject *image = nullptr;
    Py_ssize_t width = 0, height = 0, size = 0, knots = 0;
    BufferGuard lattice, expected;
    if (!PyArg_ParseTuple(args, "Onnnny*y*", &image, &width, &height, &size, &knots, lattice.view(), expected.view()))
        return nullptr;
    lattice.own();
    expected.own();
    const Py_ssize_t points = 2 * knots * knots * static_cast<Py_ssize_t>(sizeof(double));
    if (size < 1 || size > engine::kMaxSize || knots < 3 || knots > engine::kMaxKnots || lattice.view()->len != points ||
        expected.view()->len != size * size) {
        PyErr_SetString(PyExc_ValueError, "Not a fitted grid.");
        return nullptr;
    }
    BufferGuard buffer;
    engine::ImageView view;
    if (!parse_bits(image, width, height, buffer, view)) return nullptr;
    RawScratch<engine::FittedGrid> scratch;
    if (!scratch.allocate(1)) return PyErr_NoMemory();
    engine::FittedGrid &grid = *scratch.get();
    grid.size = static_cast<int>(size);
    grid.knots = static_cast<int>(knots);
    grid.step = static_cast<double>(size) / static_cast<double>(knots - 1);
    std::memcpy(grid.knot, buffer_bytes(lattice), static_cast<std::size_t>(points));
    std::memcpy(grid.expected, buffer_bytes(expected), static_cast<std::size_t>(size * size));
    for (int k = 0; k < grid.size; ++k) grid.shift_u[k] = grid.shift_v[k] = 0.0;
    engine::fit_knots(view, grid);
    engine::fit_line_shifts(view, grid);
    const auto shifts = static_cast<Py_ssize_t>(size * sizeof(double));
    return Py_BuildValue("(y#y#y#)", reinterpret_cast<const char *>(grid.knot), points,
                         reinterpret_cast<const char *>(grid.shift_u), shifts,
                         reinterpret_cast<const char *>(grid.shift_v), shifts);
}

// _fit_grid(bits, width, height, h, size): the grid fitted to the symbol that the
// homography h (9 numbers, module to image) roughly maps, as (size * size module bytes
// read at the centres, the image points of the module centres row by row as 2 * size *
// size doubles); None when the fit refuses the grid.
PyObject *hook_fit_grid(PyObject *, PyObject *args) {
    PyObject *image = nullptr, *coefficients = nullptr;
    Py_ssize_t width = 0, height = 0, size = 0;
    if (!PyArg_ParseTuple(args, "OnnO!n", &image, &width, &height, &PyTuple_Type, &coefficients, &size)) return nullptr;
    engine::Homography h;
    if (!parse_grid(coefficients, size, h)) return nullptr;
    BufferGuard buffer;
    engine::ImageView view;
    if (!parse_bits(image, width, height, buffer, view)) return nullptr;
    RawScratch<engine::FittedGrid> grid;
    if (!grid.allocate(1)) return PyErr_NoMemory();
    const int n = static_cast<int>(size);
    if (!engine::fit_grid(view, h, nullptr, n, *grid.get())) Py_RETURN_NONE;
    PyObject *modules = PyBytes_FromStringAndSize(nullptr, size * size);
    PyObject *points = PyBytes_FromStringAndSize(nullptr, 2 * size * size * static_cast<Py_ssize_t>(sizeof(double)));
    if (modules == nullptr || points == nullptr) {
        Py_XDECREF(modules);
        Py_XDECREF(points);
        return nullptr;
    }
    engine::sample_fitted(view, *grid.get(), 0.0, reinterpret_cast<std::uint8_t *>(PyBytes_AsString(modules)));
    char *at = PyBytes_AsString(points);
    for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; ++c, at += 2 * sizeof(double)) {
            const engine::Point p = engine::fitted_point(*grid.get(), {c + 0.5, r + 0.5});
            std::memcpy(at, &p.x, sizeof(double));
            std::memcpy(at + sizeof(double), &p.y, sizeof(double));
        }
    }
    return Py_BuildValue("(NN)", modules, points);
}

// _fit_to_edges(bits, width, height, h, size, module): the 9 coefficients of the
// transform fitted to the module edges of the symbol that h roughly maps, or None.
PyObject *hook_fit_to_edges(PyObject *, PyObject *args) {
    GridArgs a;
    if (!a.parse(args)) return nullptr;
    RawScratch<std::uint8_t> modules;
    if (!modules.allocate(static_cast<std::size_t>(a.size) * static_cast<std::size_t>(a.size))) return PyErr_NoMemory();
    engine::Homography fitted;
    if (!engine::fit_to_edges(a.view, a.h, static_cast<int>(a.size), a.module, modules.get(), fitted)) Py_RETURN_NONE;
    const double *m = fitted.m;
    return Py_BuildValue("(ddddddddd)", m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8]);
}

// _find_alignment(bits, width, height, x, y, module, radius): the alignment centre
// nearest (x, y), or None.
PyObject *hook_find_alignment(PyObject *, PyObject *args) {
    double x = 0, y = 0, module = 0, radius = 0;
    BufferGuard buffer;
    engine::ImageView view;
    if (!parse_bits_args(args, "Onndddd", buffer, view, &x, &y, &module, &radius)) return nullptr;
    engine::Point found;
    if (!engine::find_alignment(view, {x, y}, module, radius, found)) Py_RETURN_NONE;
    return Py_BuildValue("(dd)", found.x, found.y);
}


// _finder_square(bits, width, height, x, y, module): the four corners (x, y) of a lone
// finder's outer square, in increasing angle around its centre, or None.
PyObject *hook_finder_square(PyObject *, PyObject *args) {
    engine::Finder finder;
    BufferGuard buffer;
    engine::ImageView view;
    if (!parse_bits_args(args, "Onnddd", buffer, view, &finder.centre.x, &finder.centre.y, &finder.module)) {
        return nullptr;
    }
    engine::Point c[4];
    if (!engine::finder_square(view, finder, c)) Py_RETURN_NONE;
    return Py_BuildValue("((dd)(dd)(dd)(dd))", c[0].x, c[0].y, c[1].x, c[1].y, c[2].x, c[2].y, c[3].x, c[3].y);
}

// ===================================================================================
// Micro QR and rMQR decoders
// ===================================================================================

// The decoded symbol tuple, or the DecodeError's value when `error` is one.
PyObject *decoded_or_error(engine::DecodeError error, const engine::DecodedSymbol &symbol) {
    if (error != engine::DecodeError::none) return PyLong_FromLong(static_cast<long>(error));
    return build_decoded(symbol);
}

// _decode_micro(matrix, size): the decoded symbol tuple of a sampled Micro QR symbol, or
// the DecodeError's value when it does not decode.
PyObject *hook_decode_micro(PyObject *, PyObject *args) {
    BufferGuard buffer;
    int size = 0;
    if (!PyArg_ParseTuple(args, "y*i", buffer.view(), &size)) return nullptr;
    buffer.own();
    if (engine::micro_version(size) == 0 || buffer.view()->len != static_cast<Py_ssize_t>(size) * size) {
        PyErr_SetString(PyExc_ValueError, "Not a Micro QR matrix: size 11, 13, 15 or 17 and size * size bytes.");
        return nullptr;
    }
    RawScratch<engine::DecodedSymbol> symbol;
    if (!allocate_or_raise(symbol, 1)) return nullptr;
    return decoded_or_error(engine::decode_micro(buffer_bytes(buffer), size, *symbol.get()), *symbol.get());
}

// _decode_rmqr(matrix, rows, columns): the decoded symbol tuple of a sampled rMQR
// symbol, or the DecodeError's value when it does not decode.
PyObject *hook_decode_rmqr(PyObject *, PyObject *args) {
    BufferGuard buffer;
    int rows = 0, columns = 0;
    if (!PyArg_ParseTuple(args, "y*ii", buffer.view(), &rows, &columns)) return nullptr;
    buffer.own();
    if (engine::rmqr_index(rows, columns) < 0 || buffer.view()->len != static_cast<Py_ssize_t>(rows) * columns) {
        PyErr_SetString(PyExc_ValueError, "Not an rMQR matrix: one of the 32 sizes and rows * columns bytes.");
        return nullptr;
    }
    RawScratch<engine::DecodedSymbol> symbol;
    if (!allocate_or_raise(symbol, 1)) return nullptr;
    return decoded_or_error(engine::decode_rmqr(buffer_bytes(buffer), rows, columns, *symbol.get()), *symbol.get());
}

}  // namespace

namespace halvern::binding {

PyMethodDef hook_methods[] = {
    {"_rs_correct", hook_rs_correct, METH_VARARGS, "Test entry: one Reed-Solomon block corrected."},
    {"_rs_correct_erasures", hook_rs_correct_erasures, METH_VARARGS, "Test entry: one Reed-Solomon block corrected with erasures."},
    {"_placement", hook_placement, METH_VARARGS, "Test entry: data module indices in placement order."},
    {"_codewords", hook_codewords, METH_VARARGS, "Test entry: unmasked codewords in placement order."},
    {"_block_layout", hook_block_layout, METH_VARARGS, "Test entry: block structure of a version and level."},
    {"_deinterleave", hook_deinterleave, METH_VARARGS, "Test entry: a codeword stream split into blocks."},
    {"_format_words", hook_format_words, METH_NOARGS, "Test entry: decode_format_word of every word."},
    {"_version_word", hook_version_word, METH_VARARGS, "Test entry: decode_version_word."},
    {"_parse_segments", hook_parse_segments, METH_VARARGS, "Test entry: a data bit stream parsed."},
    {"_binarize", hook_binarize_levels, METH_VARARGS, "Test entry: the binarized image and whether it was bilevel."},
    {"_find_finders", hook_find_finders, METH_VARARGS, "Test entry: finder patterns of a 0/1 image."},
    {"_walk", hook_walk, METH_VARARGS, "Test entry: one walk of a finder's confirmation."},
    {"_row_scan", hook_row_scan, METH_VARARGS, "Test entry: the finder scan's runs and row matches per row."},
    {"_denoise", hook_denoise, METH_VARARGS, "Test entry: the 3x3 majority of a 0/1 image."},
    {"_shrink", hook_shrink, METH_VARARGS, "Test entry: the downscale fallback's image."},
    {"_find_triples", hook_find_triples, METH_VARARGS, "Test entry: triples of finders, cheapest first."},
    {"_homography", hook_homography, METH_VARARGS, "Test entry: the transform between two quads."},
    {"_sample_grid", hook_sample_grid, METH_VARARGS, "Test entry: modules sampled through a transform."},
    {"_find_alignment", hook_find_alignment, METH_VARARGS, "Test entry: the alignment pattern near a point."},
    {"_fit_grid", hook_fit_grid, METH_VARARGS, "Test entry: a grid fitted to a symbol, sampled."},
    {"_fit_searches", hook_fit_searches, METH_VARARGS, "Test entry: a fitted grid's knot moves and shifts."},
    {"_fit_to_edges", hook_fit_to_edges, METH_VARARGS, "Test entry: a transform fitted to a symbol's module edges."},
    {"_finder_square", hook_finder_square, METH_VARARGS, "Test entry: the outer square of a lone finder."},
    {"_decode_micro", hook_decode_micro, METH_VARARGS, "Test entry: a sampled Micro QR symbol decoded."},
    {"_decode_rmqr", hook_decode_rmqr, METH_VARARGS, "Test entry: a sampled rMQR symbol decoded."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace halvern::binding
