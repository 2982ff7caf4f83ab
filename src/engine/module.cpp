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
#include <initializer_list>

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

// A tuple of `items`, new references it takes over; nullptr when an item is nullptr or
// the tuple cannot be made (the items released). Py_BuildValue parsed its format for
// every tuple: a record's two point tuples and its decode's cost 6.3k instructions a
// read of a small code, a sixth of what the binding and the layer spent around it.
PyObject *tuple_of(std::initializer_list<PyObject *> items) {
    bool made = true;
    for (PyObject *item : items) made = made && item != nullptr;
    PyObject *out = made ? PyTuple_New(static_cast<Py_ssize_t>(items.size())) : nullptr;
    Py_ssize_t i = 0;
    for (PyObject *item : items) {
        if (out != nullptr) PyTuple_SetItem(out, i++, item);
        else Py_XDECREF(item);
    }
    return out;
}

// (x, y) of a point.
PyObject *point_object(const engine::Point &p) {
    return tuple_of({PyFloat_FromDouble(p.x), PyFloat_FromDouble(p.y)});
}

// None for a negative value (none announced), else the integer.
PyObject *none_if_negative(int value) { return value < 0 ? Py_NewRef(Py_None) : PyLong_FromLong(value); }

// (index, total, parity) of a structured-append symbol, else None.
PyObject *append_object(const engine::DecodedSymbol &symbol) {
    if (!symbol.structured_append) return Py_NewRef(Py_None);
    return tuple_of({PyLong_FromLong(symbol.sa_index), PyLong_FromLong(symbol.sa_total),
                     PyLong_FromLong(symbol.sa_parity)});
}

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
    PyObject *segments = sequence_of(symbol.segment_count, [&symbol](Py_ssize_t i) {
        const engine::SegmentInfo &s = symbol.segments[i];
        return tuple_of({PyLong_FromLong(static_cast<long>(s.mode)), none_if_negative(s.eci),
                         PyBytes_FromStringAndSize(reinterpret_cast<const char *>(symbol.payload) + s.offset,
                                                   static_cast<Py_ssize_t>(s.length))});
    });
    return tuple_of({PyLong_FromLong(symbol.version), PyLong_FromLong(symbol.level), PyLong_FromLong(symbol.mask),
                     PyLong_FromLong(symbol.corrected), segments, PyLong_FromLong(symbol.fnc1),
                     none_if_negative(symbol.fnc1_application), append_object(symbol),
                     PyLong_FromLong(static_cast<long>(symbol.symbology)), PyLong_FromLong(symbol.model),
                     PyLong_FromLong(symbol.rows), PyLong_FromLong(symbol.columns)});
}

// ===================================================================================
// Decoded objects: halvern.Decoded and halvern.Segment built here, not in Python
// ===================================================================================
//
// A version 1 decode through halvern.decode_matrix spent as long turning the tuple into
// a Decoded (its Segment, the texts, twelve frozen fields set one by one) as the decode
// itself. The Python layer registers its classes and names once (result_types); the
// objects are then built here, their fields set past the frozen classes' __setattr__
// as their generated __init__ sets them. A segment whose text needs a guess or an ECI's
// codec (a byte segment that is not UTF-8, one under another ECI) or is not valid text is left
// to the Python layer's text rule: the decode then gives the tuple.

namespace {

constexpr int kDecodedFields = 12;
constexpr int kSegmentFields = 4;
constexpr const char *kDecodedNames[kDecodedFields] = {
    "text", "data", "segments", "version", "error_correction", "mask", "corrected", "structured_append",
    "fnc1", "application_indicator", "symbology", "model"};
constexpr const char *kSegmentNames[kSegmentFields] = {"mode", "data", "text", "eci"};
constexpr int kModeIndicators = 16;

// What result_types registered; every member a strong reference (nullptr before).
struct ResultTypes {
    PyObject *decoded = nullptr;  // halvern.Decoded
    PyObject *segment = nullptr;  // halvern.Segment
    PyObject *no_args = nullptr;  // ()
    PyObject *levels[4] = {};     // by level number: "L", "M", "Q", "H"
    PyObject *modes[kModeIndicators] = {};  // by mode indicator: "numeric", ...
    PyObject *fnc1[3] = {};       // None, "first", "second"
    PyObject *symbologies[3] = {};
    PyObject *decoded_names[kDecodedFields] = {};
    PyObject *segment_names[kSegmentFields] = {};
};

ResultTypes results;

// Puts `value` (a new reference, or nullptr) in `slot`, releasing what it held.
void replace_ref(PyObject *&slot, PyObject *value) {
    PyObject *old = slot;
    slot = value;
    Py_XDECREF(old);
}

// A new instance of `type` with field names[i] set to values[i], taking the values'
// references over; nullptr when an item is nullptr (without an exception of its own)
// or setting a field fails.
PyObject *instance(PyObject *type, PyObject *const *names, PyObject **values, int count) {
    bool made = true;
    for (int i = 0; i < count; ++i) made = made && values[i] != nullptr;
    PyObject *object = made ? PyType_GenericNew(reinterpret_cast<PyTypeObject *>(type), results.no_args, nullptr)
                            : nullptr;
    for (int i = 0; object != nullptr && i < count; ++i) {
        if (PyObject_GenericSetAttr(object, names[i], values[i]) < 0) Py_CLEAR(object);
    }
    for (int i = 0; i < count; ++i) Py_XDECREF(values[i]);
    return object;
}

// ECI 26 announces UTF-8: the one ECI encoders commonly write (13 of the 41 camera
// scenes, whose reads fell back to the Python layer's records and text rule for it).
constexpr int kEciUtf8 = 26;

// The text of a segment whose rule needs no guess: a byte segment under no ECI or the
// UTF-8 one that is valid UTF-8, a numeric or alphanumeric one, a kanji (Shift JIS) or Hanzi (GB 2312)
// one decoded whole. nullptr without an exception when the Python layer's text rule must
// decide (it also names a bad kanji or Hanzi character), with one when memory ran out.
PyObject *plain_text(const engine::SegmentInfo &s, const char *bytes) {
    using engine::SegmentMode;
    const auto length = static_cast<Py_ssize_t>(s.length);
    PyObject *text = nullptr;
    if (s.mode == SegmentMode::byte && (s.eci < 0 || s.eci == kEciUtf8)) {
        text = PyUnicode_DecodeUTF8(bytes, length, nullptr);
    } else if (s.mode == SegmentMode::numeric || s.mode == SegmentMode::alphanumeric) {
        text = PyUnicode_DecodeASCII(bytes, length, nullptr);
    } else if (s.mode == SegmentMode::kanji || s.mode == SegmentMode::hanzi) {
        // A kanji segment of a Japanese scene took the Python layer 40 us of a 180 us read.
        text = PyUnicode_Decode(bytes, length, s.mode == SegmentMode::kanji ? "cp932" : "gb2312", nullptr);
    } else {
        return nullptr;
    }
    if (text == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) PyErr_Clear();
    return text;
}

// The Segment of segment i, its text also in texts[i]; with a single segment, its text
// and bytes also in `text` and `data`. nullptr as plain_text gives it.
PyObject *segment_object(const engine::DecodedSymbol &symbol, int i, PyObject *texts, PyObject *&text,
                         PyObject *&data) {
    const engine::SegmentInfo &s = symbol.segments[i];
    const char *bytes = reinterpret_cast<const char *>(symbol.payload) + s.offset;
    PyObject *own_text = plain_text(s, bytes);
    PyObject *own_data = own_text ? PyBytes_FromStringAndSize(bytes, static_cast<Py_ssize_t>(s.length)) : nullptr;
    if (own_data != nullptr) PyList_SetItem(texts, i, Py_NewRef(own_text));
    if (symbol.segment_count == 1 && own_data != nullptr) {
        text = Py_NewRef(own_text);
        data = Py_NewRef(own_data);
    }
    PyObject *values[kSegmentFields] = {Py_XNewRef(results.modes[static_cast<int>(s.mode) % kModeIndicators]),
                                        own_data, own_text, none_if_negative(s.eci)};
    return instance(results.segment, results.segment_names, values, kSegmentFields);
}

// The payload of all segments in `data` and their texts joined in `text`: a kanji
// segment's Shift JIS bytes are not UTF-8, so the payload is not decoded as a whole.
void joined_payload(const engine::DecodedSymbol &symbol, PyObject *texts, PyObject *&text, PyObject *&data) {
    Py_ssize_t total = 0;
    for (int i = 0; i < symbol.segment_count; ++i) total += static_cast<Py_ssize_t>(symbol.segments[i].length);
    data = PyBytes_FromStringAndSize(nullptr, total);
    if (data == nullptr) return;
    char *out = PyBytes_AsString(data);
    for (int i = 0; i < symbol.segment_count; ++i) {
        const engine::SegmentInfo &s = symbol.segments[i];
        std::memcpy(out, symbol.payload + s.offset, s.length);
        out += s.length;
    }
    PyObject *empty = PyUnicode_FromStringAndSize("", 0);
    text = empty != nullptr ? PyUnicode_Join(empty, texts) : nullptr;
    Py_XDECREF(empty);
}

// The tuple of Segment values in `segments`, the text and payload of all in `text` and
// `data`; false with none of them made when a segment's text is not plain (no
// exception) or an object could not be made (the exception set).
bool segment_objects(const engine::DecodedSymbol &symbol, PyObject *&segments, PyObject *&text, PyObject *&data) {
    const int count = symbol.segment_count;
    PyObject *texts = PyList_New(count);
    segments = texts != nullptr ? PyTuple_New(count) : nullptr;
    for (int i = 0; segments != nullptr && i < count; ++i) {
        PyObject *item = segment_object(symbol, i, texts, text, data);
        if (item == nullptr) Py_CLEAR(segments);
        else PyTuple_SetItem(segments, i, item);
    }
    if (segments != nullptr && count != 1) joined_payload(symbol, texts, text, data);
    Py_XDECREF(texts);
    if (segments != nullptr && text != nullptr && data != nullptr) return true;
    Py_CLEAR(segments);
    Py_CLEAR(text);
    Py_CLEAR(data);
    return false;
}

// A version as its family names it: 7, "M3" or "R13x77".
PyObject *version_object(const engine::DecodedSymbol &symbol) {
    switch (symbol.symbology) {
        case engine::Symbology::qr: return PyLong_FromLong(symbol.version);
        case engine::Symbology::micro_qr: return PyUnicode_FromFormat("M%d", symbol.version);
        default: return PyUnicode_FromFormat("R%dx%d", symbol.rows, symbol.columns);
    }
}

// The application indicator of FNC1 in second position: two digits, or the letter whose
// code + 100 the decode holds; None when there is none.
PyObject *application_object(int value) {
    if (value < 0) return Py_NewRef(Py_None);
    if (value >= 100) return PyUnicode_FromOrdinal(value - 100);
    const char digits[2] = {static_cast<char>('0' + value / 10), static_cast<char>('0' + value % 10)};
    return PyUnicode_FromStringAndSize(digits, 2);
}

// Strong references to `count` items of the tuple `names`; false with a TypeError
// naming `what` when it is not a tuple of that many.
bool take_items(PyObject *names, PyObject **out, Py_ssize_t count, const char *what) {
    if (!PyTuple_Check(names) || PyTuple_Size(names) != count) {
        PyErr_Format(PyExc_TypeError, "%s must be a tuple of %zd names.", what, count);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) replace_ref(out[i], Py_NewRef(PyTuple_GetItem(names, i)));
    return true;
}

// Whether `type` is a class whose __slots__ are `names`, in order; TypeError if not.
bool has_fields(PyObject *type, const char *const *names, int count) {
    PyObject *slots = PyType_Check(type) ? PyObject_GetAttrString(type, "__slots__") : nullptr;
    bool same = slots != nullptr && PyTuple_Check(slots) && PyTuple_Size(slots) == count;
    for (int i = 0; same && i < count; ++i) {
        same = PyUnicode_CompareWithASCIIString(PyTuple_GetItem(slots, i), names[i]) == 0;
    }
    Py_XDECREF(slots);
    PyErr_Clear();
    if (!same) PyErr_SetString(PyExc_TypeError, "A result class's fields differ from the ones built natively.");
    return same;
}

// The names of `count` fields, interned, into `out`.
bool intern_names(const char *const *names, PyObject **out, int count) {
    for (int i = 0; i < count; ++i) {
        replace_ref(out[i], PyUnicode_InternFromString(names[i]));
        if (out[i] == nullptr) return false;
    }
    return true;
}

// The mode names by indicator from the dict `modes` (indicator -> name).
bool take_modes(PyObject *modes) {
    if (!PyDict_Check(modes)) {
        PyErr_SetString(PyExc_TypeError, "modes must be a dict of mode indicator to name.");
        return false;
    }
    for (int m = 0; m < kModeIndicators; ++m) {
        PyObject *key = PyLong_FromLong(m);
        PyObject *name = key ? PyDict_GetItemWithError(modes, key) : nullptr;
        Py_XDECREF(key);
        if (name == nullptr && PyErr_Occurred()) return false;
        replace_ref(results.modes[m], Py_XNewRef(name));
    }
    return true;
}

}  // namespace

// halvern.Decoded of a decode; the decoded tuple (build_decoded) before result_types
// or when a segment's text needs the Python layer's text rule; nullptr with the
// exception set.
PyObject *decoded_object(const engine::DecodedSymbol &symbol) {
    if (results.decoded == nullptr) return build_decoded(symbol);
    PyObject *segments = nullptr, *text = nullptr, *data = nullptr;
    if (!segment_objects(symbol, segments, text, data)) return PyErr_Occurred() ? nullptr : build_decoded(symbol);
    const auto symbology = static_cast<int>(symbol.symbology);
    PyObject *values[kDecodedFields] = {
        text, data, segments, version_object(symbol), Py_NewRef(results.levels[symbol.level & 3]),
        PyLong_FromLong(symbol.mask), PyLong_FromLong(symbol.corrected), append_object(symbol),
        Py_NewRef(results.fnc1[symbol.fnc1 % 3]), application_object(symbol.fnc1_application),
        Py_NewRef(results.symbologies[symbology % 3]), symbol.model == 0 ? Py_NewRef(Py_None) : PyLong_FromLong(symbol.model)};
    return instance(results.decoded, results.decoded_names, values, kDecodedFields);
}

// result_types(Decoded, Segment, levels, modes, fnc1, symbologies): the classes and
// names decoded_object builds with (see there). None.
PyObject *register_result_types(PyObject *, PyObject *args) {
    PyObject *decoded = nullptr, *segment = nullptr, *levels = nullptr, *modes = nullptr, *fnc1 = nullptr,
             *symbologies = nullptr;
    if (!PyArg_ParseTuple(args, "OOOOOO", &decoded, &segment, &levels, &modes, &fnc1, &symbologies)) return nullptr;
    if (!has_fields(decoded, kDecodedNames, kDecodedFields) || !has_fields(segment, kSegmentNames, kSegmentFields) ||
        !take_items(levels, results.levels, 4, "levels") || !take_items(fnc1, results.fnc1, 3, "fnc1") ||
        !take_items(symbologies, results.symbologies, 3, "symbologies") || !take_modes(modes) ||
        !intern_names(kDecodedNames, results.decoded_names, kDecodedFields) ||
        !intern_names(kSegmentNames, results.segment_names, kSegmentFields)) {
        return nullptr;
    }
    if (results.no_args == nullptr && (results.no_args = PyTuple_New(0)) == nullptr) return nullptr;
    replace_ref(results.segment, Py_NewRef(segment));
    replace_ref(results.decoded, Py_NewRef(decoded));
    Py_RETURN_NONE;
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

// The decode of the matrix in `args` (matrix, size), its value made by `build`; nullptr
// with the ValueError when it does not decode.
PyObject *decode_with(PyObject *args, PyObject *(*build)(const engine::DecodedSymbol &)) {
    BufferGuard buffer;
    int size = 0;
    if (!parse_matrix(args, buffer, size, true)) return nullptr;
    // Uninitialized: decode_symbol sets every field it reports before the result is
    // built. Zeroing the 40 kB of segment and payload room cost more than decoding a
    // version 1 symbol.
    RawScratch<engine::DecodedSymbol> symbol;
    if (!allocate_or_raise(symbol, 1)) return nullptr;
    const std::uint8_t *modules = buffer_bytes(buffer);
    if (size * size >= kUnlockedModules) {
        UnlockedScope unlocked;
        engine::decode_symbol(modules, size, *symbol.get());
    } else {
        engine::decode_symbol(modules, size, *symbol.get());
    }
    if (symbol.get()->error != engine::DecodeError::none) return raise_decode_error(*symbol.get());
    return build(*symbol.get());
}

// decode_matrix(matrix, size): the decoded symbol (see build_decoded), or ValueError.
PyObject *engine_decode_matrix(PyObject *, PyObject *args) { return decode_with(args, build_decoded); }

// decode(matrix, size): as decode_matrix, but a halvern.Decoded where decoded_object
// builds one.
PyObject *engine_decode(PyObject *, PyObject *args) { return decode_with(args, decoded_object); }

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
    values[4] = tuple_of({point_object(q.corner[0]), point_object(q.corner[1]), point_object(q.corner[2]),
                          point_object(q.corner[3])});
    values[5] = tuple_of({point_object(rec.centres[0]), point_object(rec.centres[1]), point_object(rec.centres[2])});
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

// The scratch block of a thread's largest read, kept for its next reads: a block of a
// large image's size comes from the system as fresh pages on every call (glibc maps
// anything over 32 MB itself), and faulting them in made a 24 MP text page 3.4 times
// as slow as a 12 MP one, whose block the allocator kept. Freed when the thread ends.
// A block past kMaxKeptBytes (a page of about 100 MP) is freed at once: one huge image
// read now and then should not hold its scratch for the rest of the thread's life.
constexpr std::size_t kMaxKeptBytes = std::size_t{128} << 20;
struct KeptBlock {
    unsigned char *data = nullptr;
    std::size_t bytes = 0;
    ~KeptBlock() { std::free(data); }
};
thread_local KeptBlock kept_block;

// A read's scratch, taken from the thread's kept block when that is large enough (a
// read nested in this one, from a finalizer the result building ran, finds the slot
// empty and allocates its own), given back when the scope ends if it is the larger.
class ReadScratch {
public:
    ReadScratch() noexcept = default;
    ~ReadScratch() {
        if (data_ != nullptr && bytes_ >= kept_block.bytes && bytes_ <= kMaxKeptBytes) {
            std::free(kept_block.data);
            kept_block.data = data_;
            kept_block.bytes = bytes_;
        } else {
            std::free(data_);
        }
    }
    ReadScratch(const ReadScratch &) = delete;
    ReadScratch &operator=(const ReadScratch &) = delete;

    // At least `bytes` bytes, uninitialized; MemoryError (false) when that fails.
    bool allocate(std::uint64_t bytes) {
        const std::size_t wanted = bytes == 0 ? 1 : static_cast<std::size_t>(bytes);
        if (kept_block.data != nullptr && kept_block.bytes >= wanted) {
            data_ = kept_block.data;
            bytes_ = kept_block.bytes;
            kept_block.data = nullptr;
            kept_block.bytes = 0;
            return true;
        }
        data_ = bytes > PY_SSIZE_T_MAX ? nullptr : static_cast<unsigned char *>(std::malloc(wanted));
        bytes_ = data_ != nullptr ? wanted : 0;
        if (data_ == nullptr) PyErr_NoMemory();
        return data_ != nullptr;
    }
    unsigned char *get() const noexcept { return data_; }

private:
    unsigned char *data_ = nullptr;
    std::size_t bytes_ = 0;
};

// A read's scratch and records: allocate, then run without the interpreter lock.
struct RecordRead {
    ReadScratch scratch;
    RawScratch<engine::SymbolRecord> records;
    int capacity = 0;
    int count = 0;

    // false with the exception set when memory is short.
    bool allocate(const engine::ImageView &view) {
        capacity = engine::read_capacity(view.width, view.height);
        return scratch.allocate(engine::read_scratch_bytes(view.width, view.height)) &&
               allocate_or_raise(records, static_cast<std::uint64_t>(capacity));
    }
    void run(const engine::ImageView &view, const engine::ReadOptions &options) {
        if (view.width <= 0 || view.height <= 0) return;
        UnlockedScope unlocked;
        count = engine::read_symbols(view, options, scratch.get(), records.get(), capacity);
        for (int i = 0; i < count; ++i) engine::complete_record(records.get()[i]);
    }
};

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
    RecordRead read;
    TraceBuffers trace;
    if (!read.allocate(view) || (traced && !trace.allocate(view))) return nullptr;
    if (traced) options.trace = trace.trace();
    read.run(view, options);
    PyObject *out = build_records(read.records.get(), read.count);
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

// ===================================================================================
// The public read's fast path: halvern.read and read_all in one call
// ===================================================================================
//
// A read of a tiny image through halvern.read cost 12.8k instructions more than the
// native read (callgrind, 10,000 reads of a 29 x 29 version 1 symbol: 321.8k against
// 309.0k a read), half of it the interpreter running the layer's four frames (the
// argument check, the call, the record to code, the segment texts). For the common
// input (a C-contiguous 2-D uint8 ndarray, or bytes with int width and height), the
// default binarizer and every family, read_codes takes the checks the Python layer
// made, reads, and builds the code as the layer does: a QRCode holding its text and
// (record, decoded, texts), the other fields made from them on first access.

// What code_type and array_types registered; strong references (nullptr before).
struct CodeTypes {
    PyObject *code = nullptr;     // halvern.QRCode
    PyObject *array = nullptr;    // numpy.ndarray
    PyObject *uint8 = nullptr;    // numpy.dtype(numpy.uint8)
    PyObject *text = nullptr;     // "text", interned
    PyObject *source = nullptr;   // "_source", interned
    PyObject *dtype = nullptr;    // "dtype", interned
    PyObject *empty = nullptr;    // ""
};

CodeTypes codes;

// Whether the caller's image is the plain input; false (no exception) when the Python
// layer must check and convert it: `view` and `binarizer` then unset.
bool plain_image(PyObject *image, PyObject *width, PyObject *height, BufferGuard &buffer, engine::ImageView &view,
                 engine::Binarizer &binarizer);

// A 2-D uint8 ndarray whose rows are contiguous and unpadded, as gray for the automatic
// binarizer (which takes two levels as bits by itself).
bool plain_array(PyObject *image, BufferGuard &buffer, engine::ImageView &view) {
    if (codes.array == nullptr || Py_TYPE(image) != reinterpret_cast<PyTypeObject *>(codes.array)) return false;
    PyObject *dtype = PyObject_GetAttr(image, codes.dtype);
    Py_XDECREF(dtype);
    if (dtype != codes.uint8 || PyObject_GetBuffer(image, buffer.view(), PyBUF_STRIDED_RO) != 0) {
        PyErr_Clear();
        return false;
    }
    buffer.own();
    const Py_buffer *b = buffer.view();
    if (b->ndim != 2 || b->shape[0] <= 0 || b->shape[1] <= 0 || b->shape[0] > INT32_MAX || b->shape[1] > INT32_MAX ||
        b->strides[0] != b->shape[1] || b->strides[1] != 1) {
        buffer.release();
        return false;
    }
    view = {static_cast<const std::uint8_t *>(b->buf), static_cast<int>(b->shape[1]), static_cast<int>(b->shape[0]),
            static_cast<std::ptrdiff_t>(b->shape[1])};
    return true;
}

// An int (not a bool or a subclass) in 1..2**31-1, else 0.
int plain_side(PyObject *value) {
    if (!PyLong_CheckExact(value)) return 0;
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    return overflow == 0 && n > 0 && n <= INT32_MAX ? static_cast<int>(n) : 0;
}

bool plain_image(PyObject *image, PyObject *width, PyObject *height, BufferGuard &buffer, engine::ImageView &view,
                 engine::Binarizer &binarizer) {
    if (width == Py_None) {
        binarizer = engine::Binarizer::automatic;
        return plain_array(image, buffer, view);
    }
    const int w = plain_side(width), h = plain_side(height);
    if (!PyBytes_CheckExact(image) || w == 0 || h == 0 ||
        PyBytes_Size(image) != static_cast<Py_ssize_t>(w) * static_cast<Py_ssize_t>(h) ||
        PyObject_GetBuffer(image, buffer.view(), PyBUF_SIMPLE) != 0) {
        return false;
    }
    buffer.own();
    view = {buffer_bytes(buffer), w, h, w};
    binarizer = engine::Binarizer::none;
    return true;
}

// The texts of a decoded symbol's segments where every one is plain
// (plain_text); nullptr without an exception when one needs the Python layer's text rule.
PyObject *plain_texts(const engine::DecodedSymbol &symbol) {
    return sequence_of(symbol.segment_count, [&symbol](Py_ssize_t i) {
        const engine::SegmentInfo &s = symbol.segments[i];
        return plain_text(s, reinterpret_cast<const char *>(symbol.payload) + s.offset);
    }, true);
}

// The code of a record and the texts of its segments, as halvern._reader._result makes
// it; nullptr with the exception set.
PyObject *code_object(const engine::SymbolRecord &rec, PyObject *texts) {
    PyObject *record = build_record(rec);
    PyObject *text = nullptr, *source = nullptr, *code = nullptr;
    if (record != nullptr) {
        text = PyList_Size(texts) == 1 ? Py_NewRef(PyList_GetItem(texts, 0)) : PyUnicode_Join(codes.empty, texts);
        source = PyTuple_Pack(3, record, PyStructSequence_GetItem(record, 0), texts);
    }
    if (text != nullptr && source != nullptr) {
        code = PyType_GenericNew(reinterpret_cast<PyTypeObject *>(codes.code), results.no_args, nullptr);
    }
    if (code != nullptr && (PyObject_GenericSetAttr(code, codes.text, text) < 0 ||
                            PyObject_GenericSetAttr(code, codes.source, source) < 0)) {
        Py_CLEAR(code);
    }
    Py_XDECREF(record);
    Py_XDECREF(text);
    Py_XDECREF(source);
    return code;
}

// The most records a read gives (read_capacity's largest).
constexpr int kMaxRecords = 64;

// texts[i] the list of record i's segment texts, nullptr for a record that did not
// decode; false when a text needs the Python layer's text rule (no exception) or an
// object could not be made (the exception set).
bool record_texts(const engine::SymbolRecord *records, int count, PyObject **texts) {
    for (int i = 0; i < count; ++i) {
        if (records[i].decoded.error != engine::DecodeError::none) continue;
        texts[i] = plain_texts(records[i].decoded);
        if (texts[i] == nullptr) return false;
    }
    return true;
}

// The code that needed the fewest corrections (the first of those), None without one.
PyObject *best_code(const engine::SymbolRecord *records, int count, PyObject *const *texts) {
    int best = -1;
    for (int i = 0; i < count; ++i) {
        if (texts[i] != nullptr && (best < 0 || records[i].decoded.corrected < records[best].decoded.corrected)) {
            best = i;
        }
    }
    return best < 0 ? Py_NewRef(Py_None) : code_object(records[best], texts[best]);
}

// The list of every code, in the records' order.
PyObject *code_list(const engine::SymbolRecord *records, int count, PyObject *const *texts) {
    PyObject *out = PyList_New(0);
    for (int i = 0; out != nullptr && i < count; ++i) {
        if (texts[i] == nullptr) continue;
        PyObject *code = code_object(records[i], texts[i]);
        if (code == nullptr || PyList_Append(out, code) < 0) Py_CLEAR(out);
        Py_XDECREF(code);
    }
    return out;
}

// read_codes' result for `count` records: with `all` the list of codes, else the best
// code or None; the records as a tuple when a decoded symbol's text needs the Python
// layer's text rule.
PyObject *codes_of(const engine::SymbolRecord *records, int count, bool all) {
    PyObject *texts[kMaxRecords] = {};
    PyObject *out = nullptr;
    if (count <= kMaxRecords && record_texts(records, count, texts)) {
        out = all ? code_list(records, count, texts) : best_code(records, count, texts);
    }
    for (PyObject *list : texts) Py_XDECREF(list);
    if (out != nullptr || PyErr_Occurred()) return out;
    PyObject *list = build_records(records, count);
    PyObject *tuple = list != nullptr ? PyList_AsTuple(list) : nullptr;
    Py_XDECREF(list);
    return tuple;
}


// read_codes(image, width, height, try_invert, try_harder, all): halvern.read (all
// false: the code or None) or read_all without errors (all true: the list of codes) of
// the plain input with the default binarizer, every family searched for. NotImplemented
// when the input is not plain (the Python layer checks and converts it, and reads), the
// records as a tuple when a text needs the Python layer's text rule.
PyObject *engine_read_codes(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 6 || codes.code == nullptr) {
        PyErr_SetString(PyExc_TypeError, "read_codes takes 6 arguments, after code_type.");
        return nullptr;
    }
    BufferGuard buffer;
    engine::ImageView view;
    engine::ReadOptions options;
    if (!plain_image(args[0], args[1], args[2], buffer, view, options.binarizer)) return Py_NewRef(Py_NotImplemented);
    const int try_invert = PyObject_IsTrue(args[3]);
    const int try_harder = try_invert < 0 ? -1 : PyObject_IsTrue(args[4]);
    const int all = try_harder < 0 ? -1 : PyObject_IsTrue(args[5]);
    if (all < 0) return nullptr;
    options.try_invert = try_invert != 0;
    options.try_harder = try_harder != 0;
    RecordRead read;
    if (!read.allocate(view)) return nullptr;
    read.run(view, options);
    return codes_of(read.records.get(), read.count, all != 0);
}

// Puts a new reference to `value` in `slot`; false with a TypeError naming `what` when
// `value` is not a class.
bool take_type(PyObject *&slot, PyObject *value, const char *what) {
    if (!PyType_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be a class.", what);
        return false;
    }
    replace_ref(slot, Py_NewRef(value));
    return true;
}

// code_type(QRCode): the class read_codes builds its codes with. None.
PyObject *register_code_type(PyObject *, PyObject *code) {
    const char *names[3] = {"text", "_source", "dtype"};
    PyObject **slots[3] = {&codes.text, &codes.source, &codes.dtype};
    for (int i = 0; i < 3; ++i) {
        replace_ref(*slots[i], PyUnicode_InternFromString(names[i]));
        if (*slots[i] == nullptr) return nullptr;
    }
    if (codes.empty == nullptr && (codes.empty = PyUnicode_FromStringAndSize("", 0)) == nullptr) return nullptr;
    if (results.no_args == nullptr && (results.no_args = PyTuple_New(0)) == nullptr) return nullptr;
    if (!take_type(codes.code, code, "code")) return nullptr;
    Py_RETURN_NONE;
}

// array_types(numpy.ndarray, numpy.dtype(numpy.uint8)): the plain array read_codes
// takes. None.
PyObject *register_array_types(PyObject *, PyObject *args) {
    PyObject *array = nullptr, *uint8 = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &array, &uint8) || !take_type(codes.array, array, "array")) return nullptr;
    replace_ref(codes.uint8, Py_NewRef(uint8));
    Py_RETURN_NONE;
}

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
    {"decode", engine_decode, METH_VARARGS,
     "decode(matrix, size) -> halvern.Decoded, or the decoded symbol tuple when a segment's text needs the "
     "Python layer's text rule (or before result_types); ValueError when it does not decode."},
    {"result_types", register_result_types, METH_VARARGS,
     "result_types(Decoded, Segment, levels, modes, fnc1, symbologies): the classes and names decode builds "
     "its results with."},
    {"format_info", engine_format_info, METH_VARARGS,
     "format_info(matrix, size) -> (level, mask, bit errors) of the better format copy."},
    {"version_info", engine_version_info, METH_VARARGS,
     "version_info(matrix, size) -> fewest bit errors of a version copy (0 below version 7)."},
    {"restore", engine_restore, METH_VARARGS, "restore(matrix, size) -> the matrix with ideal function modules."},
    {"read", engine_read, METH_VARARGS,
     "read(image, width, height, stride, binarizer, try_invert, keep_errors, symbologies=7, try_harder=True) -> "
     "list of Record."},
    {"read_codes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_read_codes)), METH_FASTCALL,
     "read_codes(image, width, height, try_invert, try_harder, all) -> halvern.read's code or None (all: "
     "read_all's codes) of a plain image; NotImplemented for any other input, the records as a tuple when a "
     "text needs the Python layer's text rule."},
    {"code_type", register_code_type, METH_O, "code_type(QRCode): the class read_codes builds its codes with."},
    {"array_types", register_array_types, METH_VARARGS,
     "array_types(ndarray, uint8 dtype): the plain array read_codes reads."},
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
