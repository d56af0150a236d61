// Arrays over memory the package does not own: each is a one-dimensional ndarray whose base is an
// SdkBuffer (the typed object that exposes the memory with its element format and never frees
// it), made through one recycling pool.
//
// Contract, with the interpreter lock held throughout:
// - init_arrays() once per module, after NumPy's C interface: makes the SdkBuffer type and the
//   element types (NumPy's reading of each buffer format of readout/modes.hpp), and resolves the
//   element type of every array of every delivery kind.
// - view(kind, place, count, data) returns a new reference: the array at `place` of a delivery of
//   `kind`, of `count` elements at `data`, or an empty float64 array (np.empty(0)) for a count of 0
//   or a null `data`. stamps_view(count, data): the same for a delivery's TDC time stamps (uint64).
// - give_back(array) takes that reference over: an array nobody else refers to (no reference,
//   view, weak reference or buffer export of it or of its SdkBuffer) is kept and made new again
//   by a later view() with every field the holder could have changed set as NumPy sets them on a
//   new array; any other is released. Nobody can tell a renewed array from a new one. Where the
//   array struct's layout is not known (compat_arrays.hpp), nothing is kept.
// - viewed(array): something besides the holder still refers to the array or to its memory.
// - element_type(type): the NumPy element type (a PyArray_Descr, borrowed) of a delivery's element
//   type, for arrays that other code makes.
#pragma once

#include "deliveries.hpp"
#include "ref.hpp"

namespace zorv {

bool init_arrays(const char* buffer_type_name);
PyObject* view(DeliveryKind kind, int place, unsigned long long count, const void* data);
PyObject* stamps_view(unsigned long long count, const void* data);
void give_back(PyObject* array);
bool viewed(PyObject* array);
PyObject* element_type(const ElementType& type);

}  // namespace zorv
