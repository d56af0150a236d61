#include "convert.hpp"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

namespace zorv {

static PyObject* interned(PyObject*& slot, const char* text) {
    if (!slot) slot = PyUnicode_InternFromString(text);
    return slot;
}

static PyObject* s_encode;
static PyObject* s_utf8;
static PyObject* s_ascii;

// The SDK reads a text up to its first NUL: one inside would silently cut it short.
bool TextArg::whole() {
    if (!std::memchr(data_, '\0', size_t(size_))) return true;
    PyErr_SetString(PyExc_ValueError, "embedded null character");
    return false;
}

bool TextArg::encode(PyObject* value) {
    if (PyUnicode_CheckExact(value)) {  // str.encode() is UTF-8: use the string's own UTF-8 form
        data_ = PyUnicode_AsUTF8AndSize(value, &size_);
        return data_ != nullptr && whole();
    }
    if (!interned(s_encode, "encode")) return false;
    Ref r = Ref::steal(PyObject_CallMethodNoArgs(value, s_encode));
    if (!r) return false;
    if (!PyBytes_CheckExact(r.get())) {
        if (r.get() == Py_None) PyErr_SetString(PyExc_TypeError, "expected bytes, NoneType found");
        else PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytes", Py_TYPE(r.get())->tp_name);
        return false;
    }
    data_ = PyBytes_AS_STRING(r.get());
    size_ = PyBytes_GET_SIZE(r.get());
    owner_ = std::move(r);
    return whole();
}

bool TextArg::encode_with(PyObject* value, PyObject* encoding) {
    if (!encoding || !interned(s_encode, "encode")) return false;
    Ref r = Ref::steal(PyObject_CallMethodOneArg(value, s_encode, encoding));
    if (!r) return false;
    if (PyByteArray_Check(r.get())) {
        data_ = PyByteArray_AS_STRING(r.get());
        size_ = PyByteArray_GET_SIZE(r.get());
    } else {
        char* data;
        if (PyBytes_AsStringAndSize(r.get(), &data, &size_) < 0) return false;
        data_ = data;
    }
    owner_ = std::move(r);
    return whole();
}

bool TextArg::encode_utf8(PyObject* value) {
    if (PyUnicode_CheckExact(value)) {
        data_ = PyUnicode_AsUTF8AndSize(value, &size_);
        return data_ != nullptr && whole();
    }
    return encode_with(value, interned(s_utf8, "utf-8"));
}

bool TextArg::encode_ascii(PyObject* value) {
    if (PyUnicode_CheckExact(value) && PyUnicode_IS_ASCII(value)) {
        data_ = PyUnicode_AsUTF8AndSize(value, &size_);
        return data_ != nullptr && whole();
    }
    return encode_with(value, interned(s_ascii, "ascii"));
}

// An int from any object: itself, or the result of its __int__.
static Ref as_integer(PyObject* value) {
    if (PyLong_Check(value)) return Ref::borrow(value);
    PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
    if (!nb || !nb->nb_int) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
        return Ref();
    }
    Ref r = Ref::steal(nb->nb_int(value));
    if (r && !PyLong_Check(r.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(r.get())->tp_name);
        return Ref();
    }
    return r;
}

bool to_int(PyObject* value, int& out) {
    Ref v = as_integer(value);
    if (!v) return false;
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
    if (x == -1 && PyErr_Occurred()) return false;
    if (overflow || x < INT_MIN || x > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    out = int(x);
    return true;
}

// An unsigned value of at most `max`, with the messages that name the C type.
static bool to_unsigned(PyObject* value, unsigned long long max, const char* type, unsigned long long& out) {
    Ref v = as_integer(value);
    if (!v) return false;
    int overflow = 0;
    long long low = PyLong_AsLongLongAndOverflow(v.get(), &overflow);  // only its sign is needed
    if (low == -1 && !overflow && PyErr_Occurred()) return false;
    if (overflow < 0 || (!overflow && low < 0)) {
        PyErr_Format(PyExc_OverflowError, "can't convert negative value to %s", type);
        return false;
    }
    unsigned long long x = PyLong_AsUnsignedLongLong(v.get());
    if (x == (unsigned long long)-1 && PyErr_Occurred()) {
        if (max != ULLONG_MAX && PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_OverflowError, "value too large to convert to %s", type);
        }
        return false;  // 64-bit types keep the interpreter's own OverflowError
    }
    if (x > max) {
        PyErr_Format(PyExc_OverflowError, "value too large to convert to %s", type);
        return false;
    }
    out = x;
    return true;
}

template <class T>
static bool to_unsigned_as(PyObject* value, const char* type, T& out) {
    unsigned long long x;
    if (!to_unsigned(value, std::numeric_limits<T>::max(), type, x)) return false;
    out = T(x);
    return true;
}

bool to_uint32(PyObject* value, uint32_t& out) { return to_unsigned_as(value, "uint32_t", out); }
bool to_uint64(PyObject* value, uint64_t& out) { return to_unsigned_as(value, "uint64_t", out); }
bool to_size(PyObject* value, size_t& out) { return to_unsigned_as(value, "size_t", out); }

bool to_float(PyObject* value, float& out) {
    double d;
    if (PyFloat_CheckExact(value)) {
        d = PyFloat_AS_DOUBLE(value);
    } else {
        d = PyFloat_AsDouble(value);
        if (d == -1.0 && PyErr_Occurred()) return false;
    }
    // Round to nearest; magnitudes that do not round to FLT_MAX become infinities.
    constexpr double limit = 0x1.ffffffp127;  // FLT_MAX plus half an ulp
    if (std::isfinite(d) && std::fabs(d) >= limit) out = d > 0 ? INFINITY : -INFINITY;
    else out = float(d);
    return true;
}

PyObject* from_utf8(const char* text) {
    if (!text) text = "";
    return PyUnicode_DecodeUTF8(text, Py_ssize_t(std::strlen(text)), nullptr);
}

PyObject* from_ascii(const char* text) {
    if (!text) text = "";
    return PyUnicode_DecodeASCII(text, Py_ssize_t(std::strlen(text)), nullptr);
}

// The buffer-format description of an item type, as the typed-buffer messages give it.
static const char* describe_format(char c) {
    switch (c) {
    case 'b': return "'signed char'";
    case 'B': return "'unsigned char'";
    case 'c': return "'char'";
    case '?': return "'bool'";
    case 'h': return "'short'";
    case 'H': return "'unsigned short'";
    case 'i': return "'int'";
    case 'I': return "'unsigned int'";
    case 'l': return "'long'";
    case 'L': return "'unsigned long'";
    case 'q': return "'long long'";
    case 'Q': return "'unsigned long long'";
    case 'e': return "'half float'";
    case 'f': return "'float'";
    case 'd': return "'double'";
    case 'g': return "'long double'";
    case 'Z': return "a complex number";
    case 'T': return "a struct";
    case 'O': return "Python object";
    case 'P': return "a pointer";
    case 's': case 'p': return "a string";
    case '\0': return "end";
    default: return "unparseable format string";
    }
}

ByteView::~ByteView() {
    if (held_) PyBuffer_Release(&view_);
}

bool ByteView::acquire(PyObject* obj) {
    if (held_) {
        PyBuffer_Release(&view_);
        held_ = false;
    }
    if (PyObject_GetBuffer(obj, &view_, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) return false;
    held_ = true;
    if (view_.ndim != 1) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", 1, view_.ndim);
        return false;
    }
    const char* f = view_.format ? view_.format : "B";
    if (*f == '@' || *f == '=' || *f == '<' || *f == '>' || *f == '!') ++f;
    bool one_byte = (f[0] == 'B' || f[0] == '?' || f[0] == 'c') && f[1] == '\0' && view_.itemsize == 1;
    if (!one_byte) {
        while (*f >= '0' && *f <= '9') ++f;  // a repeat count: the type that follows is described
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'", "uint8_t", "'",
                     describe_format(*f));
        return false;
    }
    return true;
}

uint8_t* ByteView::first() {
    if (!held_ || view_.shape[0] < 1) {
        PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0);
        return nullptr;
    }
    return static_cast<uint8_t*>(view_.buf);
}

}  // namespace zorv
