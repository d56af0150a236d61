// Conversions between Python objects and the SDK's C types, with the interpreter's usual messages.
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <cstdint>

namespace zorv {

// A text argument as the SDK receives it: a NUL-terminated byte string that stays alive as long
// as this object (the SDK sees it up to its first NUL byte).
// A text argument for the SDK, NUL-terminated; one with a NUL inside raises
// ValueError("embedded null character").
class TextArg {
public:
    // value.encode(): the result must be exactly bytes.
    bool encode(PyObject* value);
    // value.encode("utf-8"): bytes or bytearray.
    bool encode_utf8(PyObject* value);
    // value.encode("ascii"): bytes or bytearray.
    bool encode_ascii(PyObject* value);

    const char* c_str() const { return data_; }
    Py_ssize_t size() const { return size_; }

private:
    bool encode_with(PyObject* value, PyObject* encoding);
    bool whole();
    Ref owner_;
    const char* data_ = "";
    Py_ssize_t size_ = 0;
};

// Integers into the SDK. Objects other than int go through __int__ (floats truncate toward zero).
bool to_int(PyObject* value, int& out);          // 32-bit signed
bool to_uint32(PyObject* value, uint32_t& out);
bool to_uint64(PyObject* value, uint64_t& out);
bool to_size(PyObject* value, size_t& out);
// Reals into the SDK: rounded to the nearest single-precision value (beyond its range: infinity).
bool to_float(PyObject* value, float& out);

// Texts out of the SDK: strict decoding up to the NUL; a null or empty text gives "".
PyObject* from_utf8(const char* text);
PyObject* from_ascii(const char* text);
inline PyObject* from_bool(long flag) { return PyBool_FromLong(flag != 0); }

// A writable, row-major contiguous, one-dimensional view of one-byte items (buffer formats "B",
// "?" and "c"), refused with the messages of a typed byte buffer: BufferError from the buffer
// request, ValueError "Buffer has wrong number of dimensions (expected 1, got %d)" and
// "Buffer dtype mismatch, expected 'uint8_t' but got %s".
class ByteView {
public:
    ByteView() = default;
    ~ByteView();
    ByteView(const ByteView&) = delete;
    ByteView& operator=(const ByteView&) = delete;

    bool acquire(PyObject* obj);
    // The address of element 0; an empty view raises IndexError "Out of bounds on buffer access (axis 0)".
    uint8_t* first();
    Py_ssize_t size() const { return held_ ? view_.shape[0] : 0; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace zorv
