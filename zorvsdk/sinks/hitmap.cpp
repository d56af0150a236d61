// HitMap: per-pixel hit counts and summed ToT, accumulated on the SDK's threads.
#include "map.hpp"
#include "object.hpp"

#include "zorvsdk/core/method.hpp"

#include <new>

namespace zorv::sinks {

namespace {

Map& map_of(PyObject* self) { return part_of<Map>(self); }

PyObject* hitmap_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static Params<2> params("HitMap", {"width", "height"});
    constexpr uint64_t kMaxPixels = uint64_t(1) << 32;  // pixel addresses are 32-bit
    PyObject* a[2];
    uint64_t width, height;
    if (!params.parse_tuple(args, kwds, a) || !to_positive(a[0], "width", kMaxPixels, width) ||
        !to_positive(a[1], "height", kMaxPixels, height))
        return nullptr;
    if (width * height > kMaxPixels)
        return PyErr_Format(PyExc_ValueError, "a map of %llu x %llu pixels is beyond 32-bit pixel addresses",
                            (unsigned long long)width, (unsigned long long)height);
    if (!fits_in_memory("the map", 3 * width * height * sizeof(Pixel))) return nullptr;
    return new_sink(type, new (std::nothrow) Map(width, height));
}

// A new (height, width) uint64 array.
PyObject* new_map_array(const Map& m) {
    npy_intp dims[2] = {npy_intp(m.height()), npy_intp(m.width())};
    return PyArray_EMPTY(2, dims, NPY_UINT64, 0);
}

Methods hitmap_methods;

// New arrays of one snapshot: the counts, the summed ToT, or both.
PyObject* snapshot_of(PyObject* self, bool counts, bool tot) {
    Map& m = map_of(self);
    Ref c = counts ? Ref::steal(new_map_array(m)) : Ref(), t = tot ? Ref::steal(new_map_array(m)) : Ref();
    if ((counts && !c) || (tot && !t)) return nullptr;
    auto* cd = counts ? reinterpret_cast<uint64_t*>(data_of(c.get())) : nullptr;
    auto* td = tot ? reinterpret_cast<uint64_t*>(data_of(t.get())) : nullptr;
    Py_BEGIN_ALLOW_THREADS
    m.snapshot(cd, td);
    Py_END_ALLOW_THREADS
    if (counts && tot) return PyTuple_Pack(2, c.get(), t.get());
    return (counts ? c : t).release();
}

PyObject* counts(PyObject* self) { return snapshot_of(self, true, false); }
ZORV_METHOD(hitmap_methods, counts, {}, R"(
        Retrieves the hit count of every pixel (bin, in the binned modes).

        Args:
            None

        Returns:
            A new uint64 array of shape (height, width).
        )");

PyObject* tot(PyObject* self) { return snapshot_of(self, false, true); }
ZORV_METHOD(hitmap_methods, tot, {}, R"(
        Retrieves the summed ToT (iToT in the iToT and binned modes) of every pixel or bin.

        Args:
            None

        Returns:
            A new uint64 array of shape (height, width), in ToT ticks.
        )");

PyObject* snapshot(PyObject* self) { return snapshot_of(self, true, true); }
ZORV_METHOD(hitmap_methods, snapshot, {}, R"(
        Retrieves the counts and the summed ToT of one and the same set of deliveries.

        Args:
            None

        Returns:
            A tuple (counts, tot) of new uint64 arrays of shape (height, width).
        )");

PyObject* hitmap_clear(PyObject* self) {
    Map& m = map_of(self);
    Py_BEGIN_ALLOW_THREADS
    m.clear();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}
ZORV_METHOD_AS(hitmap_methods, "clear", hitmap_clear, {}, R"(
        Sets every count and sum to 0, and :attr:`outside`, :attr:`delivered` and :attr:`ignored`.

        Args:
            None

        Returns:
            None
        )");

PyObject* hitmap_width(PyObject* self, void*) { return from_u64(map_of(self).width()); }
PyObject* hitmap_height(PyObject* self, void*) { return from_u64(map_of(self).height()); }
PyObject* hitmap_outside(PyObject* self, void*) { return from_u64(map_of(self).outside()); }
PyObject* hitmap_delivered(PyObject* self, void*) { return from_u64(map_of(self).delivered()); }
PyObject* hitmap_ignored(PyObject* self, void*) { return from_u64(map_of(self).ignored()); }

PyGetSetDef kHitMapGetSet[] = {
    {"width", hitmap_width, nullptr, "Pixels (or bins) per row (int).", nullptr},
    {"height", hitmap_height, nullptr, "Rows (int).", nullptr},
    {"outside", hitmap_outside, nullptr,
     "Records, vector entries, frame values or bins whose address lay outside the map, not written (int).", nullptr},
    {"delivered", hitmap_delivered, nullptr, "Deliveries added to the map (int).", nullptr},
    {"ignored", hitmap_ignored, nullptr,
     "Deliveries the map cannot read, raw data and counts beyond any address space (int).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kHitMapDoc[] = R"(HitMap(width, height)
--

    Per-pixel hit counts and summed ToT, accumulated on the SDK's threads.

    Register it like a data callable (``device.acq.setDataCallback(channelId, hitmap)``). Each
    delivery adds into the map without the interpreter lock: by pixel address (``y * width + x``)
    the records and vectors of the ToA/ToT modes (a hit and its ToT) and of the iToT/event modes
    (their events and iToT); by bin index the binned modes (hit counters and iToT sums); and the
    frames of the medipix mode by row and column (256 x 256 values per frame, every frame of a
    delivery added at the map's top left). Addresses outside the map are counted in
    :attr:`outside` and never written; raw deliveries are counted in :attr:`ignored`.

    Calling it, ``hitmap(*arrays, metadata)`` with the arguments a data callable receives, adds a
    delivery the same way; ``kind=`` names the delivery kind where the arrays leave more than one.

    Args:
        width (int): Pixels (or bins) per row.
        height (int): Rows.
    )";

bool add_hitmap(PyObject* m) {
    PyMethodDef* table = hitmap_methods.table(false);
    return table && add_sink<Map>(m, "zorvsdk.sinks.HitMap", kHitMapDoc, table, hitmap_new, kHitMapGetSet);
}
ZORV_SINK(add_hitmap);

}  // namespace

}  // namespace zorv::sinks
