// halvern._engine: the native reader and decoder of halvern, bound to CPython.
//
// This file holds the public entry points: it parses and validates arguments, owns the
// caller's buffers and the scratch memory, releases the interpreter lock around the
// kernels and builds the results. The kernels (the other .cpp files of this folder but
// hooks.cpp) never touch the interpreter and never throw. The test entry points, single
// stages for the tests, are in hooks.cpp and are added to the module apart.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "binding.hpp"
#include "decode_stages.hpp"
#include "micro_tables.hpp"
#include "symbologies.hpp"
#include "tables.hpp"

// ===================================================================================
// Arguments and decoded symbols, shared with the test entry points
// ===================================================================================

namespace halvern::binding {

namespace {

constexpr const char *kFormatUnreadable = "Format information is unreadable.";
constexpr const char *kVersionMismatch = "Version information does not match the size.";

// "0b" and the 4 bits of a mode or subset indicator.
void four_bits(char *text, std::int32_t value) {
    text[0] = '0';
    text[1] = 'b';
    for (int i = 0; i < 4; ++i) text[2 + i] = static_cast<char>('0' + ((value >> (3 - i)) & 1));
    text[6] = '\0';
}

// Bytes from the first pixel to the last, (height - 1) * stride + width, for a width
// and height already in 0..2**31-1 and a positive stride; -1 when that exceeds 64 bits
// (no buffer is that long). Formed unchecked, a stride of 2**62 on 254 rows wrapped to
// a few bytes, passed the length check and the read ran off the buffer.
std::int64_t image_span(Py_ssize_t width, Py_ssize_t height, Py_ssize_t stride) noexcept {
    if (width == 0 || height == 0) return 0;
    const std::int64_t rows = static_cast<std::int64_t>(height) - 1;
    if (rows > 0 && static_cast<std::int64_t>(stride) > (INT64_MAX - width) / rows) return -1;
    return rows * stride + width;
}

bool parse_binarizer(int value, engine::Binarizer &out) {
    if (value < 0 || value > 3) {
        PyErr_SetString(PyExc_ValueError, "Unknown binarizer.");
        return false;
    }
    out = static_cast<engine::Binarizer>(value);
    return true;
}

}  // namespace

// The Python value of a decoded symbol, shared with the reader's entry points:
//   (version, level, mask, corrected, segments, fnc1, fnc1_application, structured_append,
//    symbology, model, rows, columns)
// version 1..40; level 0..3 for L, M, Q, H; mask 0..7; corrected the codewords changed
// by error correction; segments a tuple of (mode, eci, data) with mode the 4-bit mode
// indicator (1 numeric, 2 alphanumeric, 4 byte, 8 kanji, 13 Hanzi), eci the designator
// in force or None, data the segment's bytes (ASCII, the bytes, two Shift JIS or
// GB 2312 bytes per character); fnc1 0 (none), 1 (first position) or 2 (second);
// fnc1_application the second position's indicator (0-99, or a letter's code + 100)
// or None; structured_append (index, total, parity) or None; symbology 0 QR, 1 Micro
// QR, 2 rMQR; model 1 or 2 for QR, 0 otherwise; rows and columns the modules down and
// across (an rMQR symbol is named by them).
PyObject *build_decoded(const engine::DecodedSymbol &symbol) {
    PyObject *segments = PyTuple_New(symbol.segment_count);
    if (segments == nullptr) return nullptr;
    for (int i = 0; i < symbol.segment_count; ++i) {
        const engine::SegmentInfo &s = symbol.segments[i];
        PyObject *eci = s.eci < 0 ? Py_NewRef(Py_None) : PyLong_FromLong(s.eci);
        PyObject *data = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(symbol.payload) + s.offset,
                                                   static_cast<Py_ssize_t>(s.length));
        PyObject *item = eci && data ? Py_BuildValue("(iOO)", static_cast<int>(s.mode), eci, data) : nullptr;
        Py_XDECREF(eci);
        Py_XDECREF(data);
        if (item == nullptr) {
            Py_DECREF(segments);
            return nullptr;
        }
        PyTuple_SetItem(segments, i, item);
    }
    PyObject *application =
        symbol.fnc1_application < 0 ? Py_NewRef(Py_None) : PyLong_FromLong(symbol.fnc1_application);
    PyObject *append = symbol.structured_append
                           ? Py_BuildValue("(iii)", symbol.sa_index, symbol.sa_total, symbol.sa_parity)
                           : Py_NewRef(Py_None);
    PyObject *result = nullptr;
    if (application && append)
        result = Py_BuildValue("(iiiiOiOOiiii)", symbol.version, symbol.level, symbol.mask, symbol.corrected,
                               segments, symbol.fnc1, application, append, static_cast<int>(symbol.symbology),
                               symbol.model, symbol.rows, symbol.columns);
    Py_DECREF(segments);
    Py_XDECREF(application);
    Py_XDECREF(append);
    return result;
}

PyObject *raise_decode_error(const engine::DecodedSymbol &symbol) {
    using engine::DecodeError;
    using engine::StreamFault;
    char bits[8];
    switch (symbol.error) {
        case DecodeError::bad_size: PyErr_SetString(PyExc_ValueError, "Not a QR symbol size."); return nullptr;
        case DecodeError::format: PyErr_SetString(PyExc_ValueError, kFormatUnreadable); return nullptr;
        case DecodeError::version: PyErr_SetString(PyExc_ValueError, kVersionMismatch); return nullptr;
        case DecodeError::too_many_errors:
            PyErr_SetString(PyExc_ValueError, "Too many errors to correct.");
            return nullptr;
        default: break;
    }
    const int value = symbol.fault_value;
    switch (symbol.fault) {
        case StreamFault::unknown_mode:
            four_bits(bits, value);
            PyErr_Format(PyExc_ValueError, "Unknown segment mode %s.", bits);
            break;
        case StreamFault::numeric: PyErr_SetString(PyExc_ValueError, "Invalid numeric digits."); break;
        case StreamFault::alphanumeric: PyErr_SetString(PyExc_ValueError, "Invalid alphanumeric characters."); break;
        case StreamFault::hanzi: PyErr_SetString(PyExc_ValueError, "Invalid Hanzi characters."); break;
        case StreamFault::hanzi_subset:
            four_bits(bits, value);
            PyErr_Format(PyExc_ValueError, "Unknown Hanzi subset %s.", bits);
            break;
        case StreamFault::eci_designator: PyErr_SetString(PyExc_ValueError, "Invalid ECI designator."); break;
        case StreamFault::unsupported_eci: PyErr_Format(PyExc_ValueError, "Unsupported ECI %d.", value); break;
        case StreamFault::fnc1_repeated: PyErr_SetString(PyExc_ValueError, "FNC1 indicator appears twice."); break;
        case StreamFault::mask_only:
            PyErr_SetString(PyExc_ValueError, "The data modules are the mask pattern alone.");
            break;
        case StreamFault::fnc1_application:
            PyErr_Format(PyExc_ValueError, "Invalid FNC1 application indicator %d.", value);
            break;
        case StreamFault::sa_index:
            PyErr_SetString(PyExc_ValueError, "Structured append index is not below the total.");
            break;
        case StreamFault::sa_repeated:
            PyErr_SetString(PyExc_ValueError, "Structured append header appears twice.");
            break;
        default: PyErr_SetString(PyExc_ValueError, "Segment runs past the end of the data."); break;
    }
    return nullptr;
}

bool parse_matrix(PyObject *args, BufferGuard &buffer, int &size, bool exact) {
    PyObject *size_arg = nullptr;
    if (!PyArg_ParseTuple(args, "y*O", buffer.view(), &size_arg)) return false;
    buffer.own();
    // Any integer (bool excepted, __index__ honoured) that is the width of a symbol;
    // everything else, huge integers included, is not a size.
    long long n = 0;
    if (!PyBool_Check(size_arg) && PyIndex_Check(size_arg)) {
        PyObject *index = PyNumber_Index(size_arg);
        if (index == nullptr) return false;
        int overflow = 0;
        n = PyLong_AsLongLongAndOverflow(index, &overflow);
        Py_DECREF(index);
        if (n == -1 && PyErr_Occurred()) return false;
    }
    if (engine::version_for_size(n) == 0) {
        PyErr_SetString(PyExc_ValueError, "Not a QR symbol size.");
        return false;
    }
    size = static_cast<int>(n);
    const Py_ssize_t modules = static_cast<Py_ssize_t>(size) * size;
    if (exact && buffer.view()->len != modules) {
        PyErr_SetString(PyExc_ValueError, "Matrix length does not match the size.");
        return false;
    }
    if (buffer.view()->len < modules) {
        PyErr_SetString(PyExc_ValueError, "Matrix is shorter than size * size.");
        return false;
    }
    return true;
}

// The image argument of the reader's entry points: any buffer of bytes, row y at
// offset y * stride. A 2-D buffer (a NumPy array or a slice of one) must have one-byte
// items, a unit column stride and a positive row stride, and is read in place; its
// shape and strides must match width, height and stride. Returns false with the
// exception set.
bool parse_image(PyObject *image, Py_ssize_t width, Py_ssize_t height, Py_ssize_t stride,
                 BufferGuard &buffer, engine::ImageView &out) {
    if (PyObject_GetBuffer(image, buffer.view(), PyBUF_STRIDED_RO) != 0) return false;
    buffer.own();
    const Py_buffer *view = buffer.view();
    if (width < 0 || height < 0 || width > INT32_MAX || height > INT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "Image width and height must be in 0..2**31-1.");
        return false;
    }
    if (stride < width || stride < 1) {
        PyErr_SetString(PyExc_ValueError, "Image stride must be positive and at least the width.");
        return false;
    }
    if (view->itemsize != 1) {
        PyErr_SetString(PyExc_ValueError, "Image pixels must be one byte each.");
        return false;
    }
    std::int64_t available = view->len;
    if (view->ndim == 2) {
        if (view->strides[1] != 1 || view->shape[1] != width || view->shape[0] != height ||
            view->strides[0] != stride) {
            PyErr_SetString(PyExc_ValueError,
                            "Image array shape and strides do not match width, height and stride.");
            return false;
        }
        // The last row ends at (height - 1) * stride + width: the exporter vouches for it.
        available = image_span(width, height, stride);
    } else if (view->ndim > 1 || (view->ndim == 1 && view->strides != nullptr && view->strides[0] != 1)) {
        PyErr_SetString(PyExc_ValueError, "Image buffer must be contiguous bytes or a 2-D array.");
        return false;
    }
    const std::int64_t needed = image_span(width, height, stride);
    if (needed < 0 || needed > available) {
        PyErr_SetString(PyExc_ValueError, "Image buffer is shorter than (height - 1) * stride + width bytes.");
        return false;
    }
    out = {static_cast<const std::uint8_t *>(view->buf), static_cast<int>(width), static_cast<int>(height),
           static_cast<std::ptrdiff_t>(stride)};
    return true;
}

PyObject *binarized(PyObject *args, bool &bilevel) {
    PyObject *image = nullptr;
    Py_ssize_t width = 0, height = 0, stride = 0;
    int binarizer = 0;
    if (!PyArg_ParseTuple(args, "Onnni", &image, &width, &height, &stride, &binarizer)) return nullptr;
    BufferGuard buffer;
    engine::ImageView view;
    engine::Binarizer mode;
    if (!parse_image(image, width, height, stride, buffer, view) || !parse_binarizer(binarizer, mode)) return nullptr;
    PyObject *bits = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(width) * height);
    if (bits == nullptr) return nullptr;
    RawScratch<unsigned char> scratch;
    if (!allocate_or_raise(scratch, engine::binarize_scratch_bytes(view.width, view.height))) {
        Py_DECREF(bits);
        return nullptr;
    }
    auto *out = reinterpret_cast<std::uint8_t *>(PyBytes_AsString(bits));
    {
        UnlockedScope unlocked;
        bilevel = engine::binarize(view, mode, out, scratch.get());
    }
    return bits;
}

}  // namespace halvern::binding

namespace {

using namespace halvern::binding;

// ===================================================================================
// Decoder entry points
// ===================================================================================

// Decodes of at least this many modules give the lock up: a clean version 7 symbol
// takes about 5 us to decode (a version 1 symbol 1 us, version 40 about 55 us, on a
// 2-CPU x86-64 machine), well above the fraction of a microsecond that releasing and
// retaking an uncontended lock costs.
constexpr int kUnlockedModules = 45 * 45;

// The format information of a matrix in `format`; false with the ValueError when
// neither copy reads.
bool readable_format(const std::uint8_t *modules, int size, engine::FormatReading &format) {
    format = engine::read_format(modules, size);
    if (format.data >= 0) return true;
    PyErr_SetString(PyExc_ValueError, kFormatUnreadable);
    return false;
}

// The fewest bit errors of a version copy (0 below version 7); -1 with the ValueError
// when neither copy matches the size.
int matching_version(const std::uint8_t *modules, int size) {
    const int errors = engine::version_errors(modules, size);
    if (errors < 0) PyErr_SetString(PyExc_ValueError, kVersionMismatch);
    return errors;
}

// decode_matrix(matrix, size): the decoded symbol (see build_decoded), or ValueError.
PyObject *engine_decode_matrix(PyObject *, PyObject *args) {
    BufferGuard buffer;
    int size = 0;
    if (!parse_matrix(args, buffer, size, true)) return nullptr;
    RawScratch<engine::DecodedSymbol> symbol;
    if (!symbol.allocate(1)) return PyErr_NoMemory();
    const std::uint8_t *modules = buffer_bytes(buffer);
    if (size * size >= kUnlockedModules) {
        UnlockedScope unlocked;
        engine::decode_symbol(modules, size, *symbol.get());
    } else {
        engine::decode_symbol(modules, size, *symbol.get());
    }
    if (symbol.get()->error != engine::DecodeError::none) return raise_decode_error(*symbol.get());
    return build_decoded(*symbol.get());
}

// format_info(matrix, size): (level, mask, bit errors) of the better format copy.
PyObject *engine_format_info(PyObject *, PyObject *args) {
    BufferGuard buffer;
    int size = 0;
    if (!parse_matrix(args, buffer, size, false)) return nullptr;
    engine::FormatReading format;
    if (!readable_format(buffer_bytes(buffer), size, format)) return nullptr;
    return Py_BuildValue("(iii)", engine::format_level(format.data), engine::format_mask(format.data), format.errors);
}

// version_info(matrix, size): the fewest bit errors of a version copy.
PyObject *engine_version_info(PyObject *, PyObject *args) {
    BufferGuard buffer;
    int size = 0;
    if (!parse_matrix(args, buffer, size, false)) return nullptr;
    const int errors = matching_version(buffer_bytes(buffer), size);
    return errors < 0 ? nullptr : PyLong_FromLong(errors);
}

// restore(matrix, size): size * size bytes of 0/1, every function module ideal.
PyObject *engine_restore(PyObject *, PyObject *args) {
    BufferGuard buffer;
    int size = 0;
    if (!parse_matrix(args, buffer, size, false)) return nullptr;
    const std::uint8_t *modules = buffer_bytes(buffer);
    engine::FormatReading format;
    if (!readable_format(modules, size, format) || matching_version(modules, size) < 0) return nullptr;
    PyObject *out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size) * size);
    if (out == nullptr) return nullptr;
    engine::restore_matrix(modules, size, format.data, reinterpret_cast<std::uint8_t *>(PyBytes_AsString(out)));
    return out;
}
// ===================================================================================
// Reader entry points
// ===================================================================================

// The name of why a symbol did not decode, as records and traces give it.
const char *reason_name(engine::DecodeError error) noexcept {
    switch (error) {
        case engine::DecodeError::none: return "none";
        case engine::DecodeError::bad_size: return "bad_size";
        case engine::DecodeError::format: return "format";
        case engine::DecodeError::version: return "version";
        case engine::DecodeError::too_many_errors: return "too_many_errors";
        default: return "data";
    }
}

PyObject *reason_object(engine::DecodeError error) { return PyUnicode_InternFromString(reason_name(error)); }

// The record type, made once when the module loads: a named tuple of the fields below.
PyTypeObject *record_type = nullptr;

constexpr int kRecordFields = 17;

PyStructSequence_Field record_fields[kRecordFields + 1] = {
    {"decoded", "the decoded symbol tuple (see decode_matrix), None when it did not decode"},
    {"reason", "why it did not decode: bad_size, format, version, too_many_errors or data; None when decoded"},
    {"size", "modules across"},
    {"sampled", "rows * size bytes of 0/1 as sampled, in the symbol's frame"},
    {"position", "the corners (top-left, top-right, bottom-right, bottom-left as the symbol reads)"},
    {"centres", "the finder centres (top-left, top-right, bottom-left)"},
    {"orientation", "the top edge's direction in degrees"},
    {"mirrored", "sampled as its mirror image"},
    {"inverted", "light on dark"},
    {"module_size", "pixels per module"},
    {"symbology", "0 QR, 1 Micro QR, 2 rMQR"},
    {"version", "the decoded version, else the one the size gives (0 when none)"},
    {"rows", "modules down"},
    {"modules", "the restored modules (sampled for Micro QR and rMQR), None when not restorable"},
    {"level", "0..3 for L, M, Q, H of the decode or the format information; None when unknown"},
    {"mask", "the data mask pattern, None when unknown"},
    {"score", "the share of the 147 finder modules sampled right, None when not restorable"},
    {nullptr, nullptr},
};

PyStructSequence_Desc record_desc = {
    "halvern._engine.Record", "One symbol a read located, decoded or not.", record_fields,
    kRecordFields,
};

// None, or the integer / float when `known`.
PyObject *int_or_none(bool known, long value) { return known ? PyLong_FromLong(value) : Py_NewRef(Py_None); }

// The version a record's symbol has or its size gives, in the decode's numbering.
int located_version(const engine::SymbolRecord &rec) noexcept {
    if (rec.decoded.error == engine::DecodeError::none) return rec.decoded.version;
    if (rec.decoded.symbology == engine::Symbology::micro_qr) return engine::micro_version(rec.size);
    return rec.decoded.symbology == engine::Symbology::qr ? engine::version_for_size(rec.size) : 0;
}

// The Python values of a record's fields, in record_fields' order; nullptr items when
// one could not be made.
void record_values(const engine::SymbolRecord &rec, PyObject *values[kRecordFields]) {
    const bool ok = rec.decoded.error == engine::DecodeError::none;
    const engine::Quad &q = rec.position;
    const auto modules = static_cast<Py_ssize_t>(rec.decoded.rows) * rec.decoded.columns;
    values[0] = ok ? build_decoded(rec.decoded) : Py_NewRef(Py_None);
    values[1] = ok ? Py_NewRef(Py_None) : reason_object(rec.decoded.error);
    values[2] = PyLong_FromLong(rec.size);
    values[3] = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(rec.modules), modules);
    values[4] = Py_BuildValue("((dd)(dd)(dd)(dd))", q.corner[0].x, q.corner[0].y, q.corner[1].x, q.corner[1].y,
                              q.corner[2].x, q.corner[2].y, q.corner[3].x, q.corner[3].y);
    values[5] = Py_BuildValue("((dd)(dd)(dd))", rec.centres[0].x, rec.centres[0].y, rec.centres[1].x,
                              rec.centres[1].y, rec.centres[2].x, rec.centres[2].y);
    values[6] = PyFloat_FromDouble(rec.orientation);
    values[7] = PyBool_FromLong(rec.mirrored);
    values[8] = PyBool_FromLong(rec.inverted);
    values[9] = PyFloat_FromDouble(rec.module_size);
    values[10] = PyLong_FromLong(static_cast<long>(rec.decoded.symbology));
    values[11] = PyLong_FromLong(located_version(rec));
    values[12] = PyLong_FromLong(rec.decoded.rows);
    const bool known = ok || rec.restorable;
    values[13] = rec.restorable ? PyBytes_FromStringAndSize(reinterpret_cast<const char *>(rec.restored), modules)
                                : Py_NewRef(Py_None);
    values[14] = int_or_none(known, rec.level);
    values[15] = int_or_none(known, rec.mask);
    values[16] = rec.restorable ? PyFloat_FromDouble(rec.finder_score) : Py_NewRef(Py_None);
}

// One record (see record_fields).
PyObject *build_record(const engine::SymbolRecord &rec) {
    PyObject *values[kRecordFields];
    record_values(rec, values);
    PyObject *record = PyStructSequence_New(record_type);
    for (int i = 0; i < kRecordFields; ++i) {
        if (record == nullptr || values[i] == nullptr) {
            Py_XDECREF(values[i]);
            Py_CLEAR(record);
            continue;
        }
        PyStructSequence_SetItem(record, i, values[i]);
    }
    return record;
}

// The symbologies argument: a nonzero mask of kReadAll's bits.
bool parse_symbologies(int value, std::uint8_t &out) {
    if (value <= 0 || (value & ~engine::kReadAll) != 0) {
        PyErr_SetString(PyExc_ValueError, "Symbology mask must be a nonzero combination of 1, 2 and 4.");
        return false;
    }
    out = static_cast<std::uint8_t>(value);
    return true;
}

// The caller-sized memory of a read's trace, and the trace pointing into it. The bits
// go straight into the bytes object the trace returns: it is new, and no other thread
// can see it while the read writes it without the lock.
class TraceBuffers {
public:
    TraceBuffers() noexcept = default;
    ~TraceBuffers() { Py_XDECREF(bits_); }
    TraceBuffers(const TraceBuffers &) = delete;
    TraceBuffers &operator=(const TraceBuffers &) = delete;

    // Sizes every array for an image of `view`; false with the exception set when
    // memory is short.
    bool allocate(const engine::ImageView &view) {
        const std::int64_t pixels = static_cast<std::int64_t>(view.width) * view.height;
        bits_ = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(pixels));
        if (bits_ == nullptr) return false;
        if (!allocate_or_raise(finders_, engine::kTraceFinders) || !allocate_or_raise(triples_, engine::kTraceTriples) ||
            !allocate_or_raise(symbols_, engine::kTraceSymbols) ||
            !allocate_or_raise(confidence_, std::uint64_t{engine::kTraceSymbols} * engine::kTraceModules) ||
            !allocate_or_raise(modules_, engine::kTraceModules)) {
            return false;
        }
        trace_.bits = reinterpret_cast<std::uint8_t *>(PyBytes_AsString(bits_));
        trace_.finders = finders_.get();
        trace_.triples = triples_.get();
        trace_.symbols = symbols_.get();
        trace_.confidence = confidence_.get();
        trace_.modules = modules_.get();
        return true;
    }

    engine::Trace *trace() noexcept { return &trace_; }

    // (bits, finders, triples, symbols): bits width * height bytes of 0/1; finders
    // [(x, y, module, hits, pass)]; triples [((tl, tr, bl), cost, pass, outcome)];
    // symbols [(h, size, confidence, pass, outcome)] with h the 9 coefficients of
    // module_to_image and confidence size * size bytes. outcome: a DecodeError value;
    // pass: 0 first, 1 inverted, 2 denoised, 3 shrunk, 4 enlarged, 5 global.
    PyObject *build() {
        PyObject *finders = PyList_New(trace_.finder_count);
        PyObject *triples = finders ? PyList_New(trace_.triple_count) : nullptr;
        PyObject *symbols = triples ? PyList_New(trace_.symbol_count) : nullptr;
        bool ok = symbols != nullptr;
        for (int i = 0; ok && i < trace_.finder_count; ++i) ok = set_item(finders, i, finder(trace_.finders[i]));
        for (int i = 0; ok && i < trace_.triple_count; ++i) ok = set_item(triples, i, triple(trace_.triples[i]));
        for (int i = 0; ok && i < trace_.symbol_count; ++i) ok = set_item(symbols, i, symbol(i));
        if (!ok) {
            Py_XDECREF(finders);
            Py_XDECREF(triples);
            Py_XDECREF(symbols);
            return nullptr;
        }
        return Py_BuildValue("(ONNN)", bits_, finders, triples, symbols);
    }

private:
    static bool set_item(PyObject *list, int i, PyObject *item) {
        if (item == nullptr) return false;
        PyList_SetItem(list, i, item);
        return true;
    }
    static PyObject *finder(const engine::TraceFinder &f) {
        return Py_BuildValue("(dddii)", f.finder.centre.x, f.finder.centre.y, f.finder.module, f.finder.hits,
                             static_cast<int>(f.pass));
    }
    static PyObject *triple(const engine::TraceTriple &t) {
        const engine::Point *c = t.centres;
        return Py_BuildValue("(((dd)(dd)(dd))dis)", c[0].x, c[0].y, c[1].x, c[1].y, c[2].x, c[2].y, t.cost,
                             static_cast<int>(t.pass), reason_name(t.outcome));
    }
    PyObject *symbol(int i) const {
        const engine::TraceSymbol &t = trace_.symbols[i];
        const double *m = t.module_to_image.m;
        const auto *confidence =
            reinterpret_cast<const char *>(trace_.confidence) + static_cast<std::size_t>(i) * engine::kTraceModules;
        return Py_BuildValue("((ddddddddd)iy#is)", m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8], t.size,
                             confidence, static_cast<Py_ssize_t>(t.size) * t.size, static_cast<int>(t.pass),
                             reason_name(t.outcome));
    }

    PyObject *bits_ = nullptr;
    RawScratch<engine::TraceFinder> finders_;
    RawScratch<engine::TraceTriple> triples_;
    RawScratch<engine::TraceSymbol> symbols_;
    RawScratch<std::uint8_t> confidence_;
    RawScratch<std::uint8_t> modules_;
    engine::Trace trace_;
};

// The list of the first `count` records (see build_record).
PyObject *build_records(const engine::SymbolRecord *records, int count) {
    return sequence_of(count, [records](Py_ssize_t i) { return build_record(records[i]); }, true);
}

// The read of both entry points: the records, and with `traced` (records, trace).
PyObject *read_entry(PyObject *args, bool traced) {
    PyObject *image = nullptr;
    Py_ssize_t width = 0, height = 0, stride = 0;
    int binarizer = 0, try_invert = 1, keep_errors = 0, symbologies = engine::kReadAll, try_harder = 1;
    if (!PyArg_ParseTuple(args, "Onnnipp|ip", &image, &width, &height, &stride, &binarizer, &try_invert,
                          &keep_errors, &symbologies, &try_harder)) {
        return nullptr;
    }
    BufferGuard buffer;
    engine::ImageView view;
    engine::ReadOptions options;
    if (!parse_image(image, width, height, stride, buffer, view) || !parse_binarizer(binarizer, options.binarizer) ||
        !parse_symbologies(symbologies, options.symbologies)) {
        return nullptr;
    }
    options.try_invert = try_invert != 0;
    options.keep_errors = keep_errors != 0;
    options.try_harder = try_harder != 0;
    if ((view.width == 0 || view.height == 0) && !traced) return PyList_New(0);
    const int capacity = engine::read_capacity(view.width, view.height);
    RawScratch<unsigned char> scratch;
    RawScratch<engine::SymbolRecord> records;
    TraceBuffers trace;
    if (!allocate_or_raise(scratch, engine::read_scratch_bytes(view.width, view.height)) ||
        !allocate_or_raise(records, static_cast<std::uint64_t>(capacity)) ||
        (traced && !trace.allocate(view))) {
        return nullptr;
    }
    if (traced) options.trace = trace.trace();
    int count = 0;
    if (view.width > 0 && view.height > 0) {
        UnlockedScope unlocked;
        count = engine::read_symbols(view, options, scratch.get(), records.get(), capacity);
        for (int i = 0; i < count; ++i) engine::complete_record(records.get()[i]);
    }
    PyObject *out = build_records(records.get(), count);
    if (out == nullptr || !traced) return out;
    PyObject *seen = trace.build();
    if (seen == nullptr) {
        Py_DECREF(out);
        return nullptr;
    }
    return Py_BuildValue("(NN)", out, seen);
}

// read(image, width, height, stride, binarizer, try_invert, keep_errors, symbologies=7,
// try_harder=True): every symbol of the image as records (see build_record), the
// decoded ones first; symbologies a mask of 1 QR, 2 Micro QR, 4 rMQR; try_harder false
// reads in one pass without fallbacks or retries.
PyObject *engine_read(PyObject *, PyObject *args) { return read_entry(args, false); }

// read_traced(image, width, height, stride, binarizer, try_invert, keep_errors,
// symbologies=7, try_harder=True): (records, trace), the records as read() gives them and the trace as
// TraceBuffers::build: what the read saw, for pictures of why it found nothing.
PyObject *engine_read_traced(PyObject *, PyObject *args) { return read_entry(args, true); }

// binarize(image, width, height, stride, binarizer): width * height bytes, 1 dark and 0
// light, as the reader binarizes the image (halvern.binarize).
PyObject *engine_binarize(PyObject *, PyObject *args) {
    bool bilevel = false;
    return binarized(args, bilevel);
}

// ===================================================================================
// Module
// ===================================================================================

PyMethodDef engine_methods[] = {
    {"decode_matrix", engine_decode_matrix, METH_VARARGS,
     "decode_matrix(matrix, size) -> decoded symbol tuple; ValueError when it does not decode."},
    {"format_info", engine_format_info, METH_VARARGS,
     "format_info(matrix, size) -> (level, mask, bit errors) of the better format copy."},
    {"version_info", engine_version_info, METH_VARARGS,
     "version_info(matrix, size) -> fewest bit errors of a version copy (0 below version 7)."},
    {"restore", engine_restore, METH_VARARGS, "restore(matrix, size) -> the matrix with ideal function modules."},
    {"read", engine_read, METH_VARARGS,
     "read(image, width, height, stride, binarizer, try_invert, keep_errors, symbologies=7, try_harder=True) -> "
     "list of Record."},
    {"read_traced", engine_read_traced, METH_VARARGS,
     "read_traced(image, width, height, stride, binarizer, try_invert, keep_errors, symbologies=7, "
     "try_harder=True) -> (records, trace)."},
    {"binarize", engine_binarize, METH_VARARGS,
     "binarize(image, width, height, stride, binarizer) -> the bits the reader's binarizer makes, 1 dark."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef engine_module = {
    PyModuleDef_HEAD_INIT,
    "_engine",
    "Native QR reader and decoder for halvern.",
    -1,
    engine_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

// The public entry points, the test entry points (hooks.cpp) beside them, and the
// record type, made once.
PyMODINIT_FUNC PyInit__engine(void) {
    PyObject *module = PyModule_Create(&engine_module);
    if (module == nullptr) return nullptr;
    if (record_type == nullptr) record_type = PyStructSequence_NewType(&record_desc);
    if (record_type == nullptr || PyModule_AddFunctions(module, hook_methods) < 0 ||
        PyModule_AddObjectRef(module, "Record", reinterpret_cast<PyObject *>(record_type)) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
