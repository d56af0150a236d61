// zorvsdk.flashmem: non-volatile (flash) memories.
//
// __Flashmem lists the memories and builds a snapshot of one memory's layout: a NonVolatileMemory
// holding its regions, each Region holding its sectors. Memory identifiers cross to the SDK as
// ASCII and texts come back as ASCII. Reading and programming go through the NonVolatileMemory,
// which keeps its own reference to the context.
#include "core/component.hpp"

#include <algorithm>
#include <cstring>
#include <structmember.h>

#include "zorv/flash.h"

using namespace zorv;

namespace {

PyTypeObject* g_memory_type;
PyTypeObject* g_region_type;
PyTypeObject* g_sector_type;

Name s_getCount("_Flashmem__getCount"), s_getId("_Flashmem__getId"), s_getPartNumber("_Flashmem__getPartNumber"),
    s_getRegionCount("_Flashmem__getRegionCount"), s_getSectorCount("_Flashmem__getSectorCount"),
    s_getSectorSize("_Flashmem__getSectorSize"), s_getSectorAddressRange("_Flashmem__getSectorAddressRange"),
    s_retrieveFlashmemRegions("_Flashmem__retrieveFlashmemRegions"),
    s_retrieveRegionSectors("_Flashmem__retrieveRegionSectors"), s_empty("empty");

// ---- the snapshot types ----

struct MemoryObject {
    PyObject_HEAD
    PyObject* context;  // first, as in every component object
    PyObject* id;
    PyObject* partNumber;
    PyObject* regions;
};

struct RegionObject {
    PyObject_HEAD
    int sectorSize;
    PyObject* sectors;
};

struct SectorObject {
    PyObject_HEAD
    int startingAddress;
    int endingAddress;
};

// Exactly `type`, or None: "Expected %s, got %.200s".
bool check_exact(PyObject* value, PyTypeObject* type, const char* name) {
    if (value == Py_None || Py_IS_TYPE(value, type)) return true;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", name, Py_TYPE(value)->tp_name);
    return false;
}

PyObject* memory_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static Params<4> params("__cinit__", {"ctx", "id", "partNumber", "regions"});
    PyObject* a[4];
    if (!params.parse_tuple(args, kwds, a) || !check_context(a[0]) || !check_exact(a[1], &PyUnicode_Type, "str") ||
        !check_exact(a[2], &PyUnicode_Type, "str") || !check_exact(a[3], &PyList_Type, "list"))
        return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* o = reinterpret_cast<MemoryObject*>(self);
    o->context = Py_NewRef(a[0]);
    o->id = Py_NewRef(a[1]);
    o->partNumber = Py_NewRef(a[2]);
    o->regions = Py_NewRef(a[3]);
    return self;
}

// The identifier texts cannot be part of a cycle: clearing leaves them.
using MemorySlots = GcSlots<Members<MemoryObject, &MemoryObject::context, &MemoryObject::id, &MemoryObject::partNumber,
                                    &MemoryObject::regions>,
                            Members<MemoryObject, &MemoryObject::context, &MemoryObject::regions>>;

PyObject* region_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static Params<2> params("__cinit__", {"sectorSize", "sectors"});
    PyObject* a[2];
    int sectorSize;
    if (!params.parse_tuple(args, kwds, a) || !to_int(a[0], sectorSize) || !check_exact(a[1], &PyList_Type, "list"))
        return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* o = reinterpret_cast<RegionObject*>(self);
    o->sectorSize = sectorSize;
    o->sectors = Py_NewRef(a[1]);
    return self;
}

using RegionSlots = GcSlots<Members<RegionObject, &RegionObject::sectors>>;

PyObject* sector_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static Params<2> params("__cinit__", {"startingAddress", "endingAddress"});
    PyObject* a[2];
    int start, end;
    if (!params.parse_tuple(args, kwds, a) || !to_int(a[0], start) || !to_int(a[1], end)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* o = reinterpret_cast<SectorObject*>(self);
    o->startingAddress = start;
    o->endingAddress = end;
    return self;
}

using SectorSlots = GcSlots<Members<SectorObject>>;

// ---- NonVolatileMemory.read and .program ----

Methods memory_methods;

PyObject* read(PyObject* self, PyObject* startingAddress, PyObject* dataLen) {
    TextArg id;
    if (!id.encode_ascii(reinterpret_cast<MemoryObject*>(self)->id)) return nullptr;
    // numpy.empty refuses negative and non-integer lengths.
    Ref array = Ref::steal(uint8_array(s_empty, dataLen));
    if (!array) return nullptr;
    ByteView view;
    if (!view.acquire(array.get())) return nullptr;
    uint8_t* data = view.first();
    if (!data) return nullptr;
    size_t length;
    uint32_t address;
    if (!to_size(dataLen, length) || !to_uint32(startingAddress, address)) return nullptr;
    const size_t requested = length;
    // Cleared first: a failing status outside the error table raises nothing and may leave the count
    // as asked, and the array's earlier contents must never leave this call.
    std::memset(data, 0, requested);
    if (!call(self, zorv_flash_read, id.c_str(), address, static_cast<void*>(data), &length)) return nullptr;
    // The SDK writes back the number of bytes it delivered: a short read gives only those bytes,
    // never the rest of the buffer (a count above the request is held to the request).
    const size_t delivered = std::min(length, requested);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), Py_ssize_t(delivered));
}
ZORV_METHOD(memory_methods, read, {"startingAddress", "dataLen"}, R"(
        Reads from the selected non-volatile memory.

        Args:
            startingAddress (int): Starting address.
            dataLen: Length of the data to be read from the memory device.

        Returns:
            Data read from the selected non-volatile memory.
        )");

PyObject* program(PyObject* self, PyObject* startingAddress, PyObject* data) {
    TextArg id;
    if (!id.encode_ascii(reinterpret_cast<MemoryObject*>(self)->id)) return nullptr;
    Ref dataView = Ref::steal(PyMemoryView_FromObject(data));
    if (!dataView) return nullptr;
    Py_ssize_t n = PyObject_Length(dataView.get());
    if (n < 0) return nullptr;
    ByteView view;
    if (!view.acquire(dataView.get())) return nullptr;
    const uint8_t* bytes = view.first();
    if (!bytes) return nullptr;
    uint32_t address;
    if (!to_uint32(startingAddress, address)) return nullptr;
    size_t length = size_t(n);
    if (!call(self, zorv_flash_program, id.c_str(), address, static_cast<const void*>(bytes), &length)) return nullptr;
    Py_RETURN_NONE;
}
ZORV_METHOD(memory_methods, program, {"startingAddress", "data"}, R"(
        Writes to the selected non-volatile memory.

        Args:
            startingAddress (int): Starting address.
            data: Data to be written to the memory device.

        Returns:
            None
        )");

// ---- __Flashmem ----

Methods methods;

// self.<name>(args...)
PyObject* call_own(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args) {
    PyObject* argv[4] = {self};
    size_t n = 1;
    for (PyObject* a : args) argv[n++] = a;
    return PyObject_VectorcallMethod(name, argv, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// A count returned by one of the private methods, as a loop bound (0 or below: no items).
bool loop_count(PyObject* count, Py_ssize_t& n) {
    n = PyNumber_AsSsize_t(count, PyExc_OverflowError);
    return !(n == -1 && PyErr_Occurred());
}

constexpr auto getIds = id_list_body<"_Flashmem__getCount", "_Flashmem__getId">;
ZORV_METHOD(methods, getIds, {}, R"(
        Retrieves identifiers of non-volatile memories.

        Args:
            None

        Returns:
            A list of str objects representing identifiers of non-volatile memories.
        )");

PyObject* selectMemory(PyObject* self, PyObject* flashmemId) {
    Ref partNumber = Ref::steal(call_own(self, s_getPartNumber, {flashmemId}));
    if (!partNumber) return nullptr;
    Ref regions = Ref::steal(call_own(self, s_retrieveFlashmemRegions, {flashmemId}));
    if (!regions) return nullptr;
    PyObject* argv[4] = {reinterpret_cast<ComponentObject*>(self)->context, flashmemId, partNumber.get(), regions.get()};
    return PyObject_Vectorcall(reinterpret_cast<PyObject*>(g_memory_type), argv, 4, nullptr);
}
ZORV_METHOD(methods, selectMemory, {"flashmemId"}, R"(
        Chooses the non-volatile memory specified by identifier.

        Args:
            flashmemId (str): Non-volatile memory identifier.

        Returns:
            A :obj:`~zorvsdk.flashmem.NonVolatileMemory` object.
        )");

ZORV_SDK_METHOD_AS(methods, "_Flashmem__getCount", getCount, (count_body<zorv_flash_count>),
                   {}, R"(
        Retrieves the number of non-volatile memories.

        Args:
            None

        Returns:
            An int representing the number of non-volatile memories.
        )");

PyObject* getId(PyObject* self, int flashmemIdx) {
    const char* text = "";
    return call(self, zorv_flash_id, flashmemIdx, &text) ? from_ascii(text) : nullptr;
}
ZORV_METHOD_AS(methods, "_Flashmem__getId", getId, {"flashmemIdx"}, R"(
        Retrieves a non-volatile memory identifier by its index.

        Args:
            flashmemIdx (int): Index of the non-volatile memory.

        Returns:
            A str value representing the non-volatile memory identifier.
        )");

ZORV_SDK_METHOD_AS(methods, "_Flashmem__getPartNumber", getPartNumber,
                   (value_by_id<zorv_flash_part_nr, from_ascii, AsciiText>), {"flashmemId"}, R"(
        Retrieves the ordering part number of a non-volatile memory.

        Args:
            flashmemId (str): Non-volatile memory identifier.

        Returns:
            A str value representing the ordering part number.
        )");

ZORV_SDK_METHOD_AS(methods, "_Flashmem__getRegionCount", getRegionCount,
                   (value_by_id<zorv_flash_regions, PyLong_FromLong, AsciiText>), {"flashmemId"}, R"(
        Retrieves the number of regions of a non-volatile memory.

        Args:
            flashmemId (str): Non-volatile memory identifier.

        Returns:
            An int representing the number of regions.
        )");

// fn(ctx, id, region, &value) with the value preset to 0.
template <int (*Fn)(zorv_ctx_t*, const char*, int, int*)>
PyObject* region_value(PyObject* self, const AsciiText& flashmemId, int regionIdx) {
    int value = 0;
    return call(self, Fn, flashmemId.c_str(), regionIdx, &value) ? PyLong_FromLong(value) : nullptr;
}

ZORV_SDK_METHOD_AS(methods, "_Flashmem__getSectorCount", getSectorCount, (region_value<zorv_flash_sector_count>),
                   {"flashmemId", "regionIdx"}, R"(
        Retrieves the number of sectors in a region.

        Args:
            flashmemId (str): Non-volatile memory identifier.
            regionIdx (int): Index of the region.

        Returns:
            An int representing the number of sectors in the region.
        )");

ZORV_SDK_METHOD_AS(methods, "_Flashmem__getSectorSize", getSectorSize, (region_value<zorv_flash_sector_size>),
                   {"flashmemId", "regionIdx"}, R"(
        Retrieves the size of the sectors in a region.

        Args:
            flashmemId (str): Non-volatile memory identifier.
            regionIdx (int): Index of the region.

        Returns:
            An int representing the sector size of the region.
        )");

PyObject* getSectorAddressRange(PyObject* self, const AsciiText& flashmemId, int sectorIdx) {
    uint32_t start = 0, end = 0;
    if (!call(self, zorv_flash_sector_address_range, flashmemId.c_str(), sectorIdx, &start, &end)) return nullptr;
    return Py_BuildValue("(kk)", (unsigned long)start, (unsigned long)end);
}
ZORV_METHOD_AS(methods, "_Flashmem__getSectorAddressRange", getSectorAddressRange, {"flashmemId", "sectorIdx"}, R"(
        Retrieves the address range of a sector.

        Args:
            flashmemId (str): Non-volatile memory identifier.
            sectorIdx (int): Index of the sector, counted across the whole memory.

        Returns:
            A tuple (starting address, ending address) of int values.
        )");

PyObject* retrieveFlashmemRegions(PyObject* self, PyObject* flashmemId) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    Ref count = Ref::steal(call_own(self, s_getRegionCount, {flashmemId}));
    Py_ssize_t n;
    if (!count || !loop_count(count.get(), n)) return nullptr;
    Ref offset = Ref::steal(PyLong_FromLong(0));
    if (!offset) return nullptr;
    for (Py_ssize_t r = 0; r < n; ++r) {
        Ref region = Ref::steal(PyLong_FromSsize_t(r));
        if (!region) return nullptr;
        Ref sectorSize = Ref::steal(call_own(self, s_getSectorSize, {flashmemId, region.get()}));
        if (!sectorSize) return nullptr;
        Ref sectors = Ref::steal(call_own(self, s_retrieveRegionSectors, {flashmemId, region.get(), offset.get()}));
        if (!sectors) return nullptr;
        PyObject* argv[2] = {sectorSize.get(), sectors.get()};
        Ref item = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(g_region_type), argv, 2, nullptr));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
        Ref sectorCount = Ref::steal(call_own(self, s_getSectorCount, {flashmemId, region.get()}));
        if (!sectorCount) return nullptr;
        offset = Ref::steal(PyNumber_Add(offset.get(), sectorCount.get()));
        if (!offset) return nullptr;
    }
    return list.release();
}
ZORV_METHOD_AS(methods, "_Flashmem__retrieveFlashmemRegions", retrieveFlashmemRegions, {"flashmemId"}, R"(
        Retrieves the regions of a non-volatile memory with their sectors.

        Args:
            flashmemId (str): Non-volatile memory identifier.

        Returns:
            A list of :obj:`~zorvsdk.flashmem.Region` objects.
        )");

PyObject* retrieveRegionSectors(PyObject* self, PyObject* flashmemId, PyObject* regionIdx, PyObject* sectorOffset) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    Ref count = Ref::steal(call_own(self, s_getSectorCount, {flashmemId, regionIdx}));
    Py_ssize_t n;
    if (!count || !loop_count(count.get(), n)) return nullptr;
    for (Py_ssize_t k = 0; k < n; ++k) {
        Ref kk = Ref::steal(PyLong_FromSsize_t(k));
        if (!kk) return nullptr;
        Ref index = Ref::steal(PyNumber_Add(sectorOffset, kk.get()));
        if (!index) return nullptr;
        Ref range = Ref::steal(call_own(self, s_getSectorAddressRange, {flashmemId, index.get()}));
        if (!range) return nullptr;
        Ref pair = Ref::steal(PySequence_Tuple(range.get()));
        if (!pair) return nullptr;
        if (PyTuple_GET_SIZE(pair.get()) != 2) {
            Py_ssize_t got = PyTuple_GET_SIZE(pair.get());
            if (got < 2)
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", Py_ssize_t(2), got);
            else
                PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t(2));
            return nullptr;
        }
        PyObject* argv[2] = {PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1)};
        Ref sector = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(g_sector_type), argv, 2, nullptr));
        if (!sector || PyList_Append(list.get(), sector.get()) < 0) return nullptr;
    }
    return list.release();
}
ZORV_METHOD_AS(methods, "_Flashmem__retrieveRegionSectors", retrieveRegionSectors,
               {"flashmemId", "regionIdx", "sectorOffset"}, R"(
        Retrieves the sectors of a region.

        Args:
            flashmemId (str): Non-volatile memory identifier.
            regionIdx (int): Index of the region.
            sectorOffset (int): Memory-wide index of the region's first sector.

        Returns:
            A list of :obj:`~zorvsdk.flashmem.Sector` objects.
        )");

// Region and Sector: copying and pickling refused.
Methods record_methods;

// ---- the snapshots' members and texts ----

PyMemberDef kMemoryMembers[] = {
    {"id", T_OBJECT, offsetof(MemoryObject, id), READONLY, nullptr},
    {"partNumber", T_OBJECT, offsetof(MemoryObject, partNumber), READONLY, nullptr},
    {"regions", T_OBJECT, offsetof(MemoryObject, regions), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMemberDef kRegionMembers[] = {
    {"sectorSize", T_INT, offsetof(RegionObject, sectorSize), READONLY, nullptr},
    {"sectors", T_OBJECT, offsetof(RegionObject, sectors), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMemberDef kSectorMembers[] = {
    {"startingAddress", T_INT, offsetof(SectorObject, startingAddress), READONLY, nullptr},
    {"endingAddress", T_INT, offsetof(SectorObject, endingAddress), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

const char kFlashmemDoc[] = R"(
    Non-volatile memory object.
    Should not be used on its own, access it via :obj:`~zorvsdk.zorv.Device`.
    )";

const char kMemoryDoc[] = R"(
    Contains non-volatile memory information

    Attributes:
        id (str): Non-volatile memory identifier.
        partNumber (str): Ordering part number of the non-volatile memory.
        regions (List[Region]): Regions of the non-volatile memory.
    )";

const char kRegionDoc[] = R"(
    Contains region information.

    Every sector inside the region has the same size.

    Attributes:
        sectorSize (int): Size of every sector in the region.
        sectors (List[Sector]): Sectors of the region.
    )";

const char kSectorDoc[] = R"(
    Contains sector information.

    Attributes:
        startingAddress (int): Starting address of the sector.
        endingAddress (int): Ending address of the sector.
    )";

#define SLOT(s, f) {s, reinterpret_cast<void*>(f)}

int exec(PyObject* m) {
    if (!add_component(m, "zorvsdk.flashmem.__Flashmem", kFlashmemDoc, methods)) return -1;
    PyMethodDef* record_rows = record_methods.table();
    g_memory_type = make_type("zorvsdk.flashmem.NonVolatileMemory", kMemoryDoc, sizeof(MemoryObject), memory_methods.table(),
                              {SLOT(Py_tp_new, memory_new), MemorySlots::dealloc_slot,
                               MemorySlots::traverse_slot, MemorySlots::clear_slot,
                               SLOT(Py_tp_members, kMemoryMembers)});
    if (!g_memory_type || !add_type(m, g_memory_type)) return -1;
    g_region_type = make_type("zorvsdk.flashmem.Region", kRegionDoc, sizeof(RegionObject), record_rows,
                              {SLOT(Py_tp_new, region_new), RegionSlots::dealloc_slot,
                               RegionSlots::traverse_slot, RegionSlots::clear_slot,
                               SLOT(Py_tp_members, kRegionMembers)});
    if (!g_region_type || !add_type(m, g_region_type)) return -1;
    g_sector_type = make_type("zorvsdk.flashmem.Sector", kSectorDoc, sizeof(SectorObject), record_rows,
                              {SLOT(Py_tp_new, sector_new), SectorSlots::dealloc_slot,
                               SectorSlots::traverse_slot, SectorSlots::clear_slot,
                               SLOT(Py_tp_members, kSectorMembers)});
    if (!g_sector_type || !add_type(m, g_sector_type)) return -1;
    return import_numpy() && add_imports(m, {{"typing", {"List"}}, {"numpy", {}, "np"}}) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(flashmem, "Non-volatile (flash) memories.", exec)
