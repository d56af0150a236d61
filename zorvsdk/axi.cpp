// zorvsdk.axi: AXI register access.
#include "core/component.hpp"

#include "zorv/axi.h"

using namespace zorv;

namespace {

PyObject* read(ZORV_METHOD_ARGS) {
    static Params<1> params("read", {"address"});
    PyObject* a[1];
    if (!params.parse(args, nargs, kwnames, a)) return nullptr;
    uint32_t address;
    if (!to_uint32(a[0], address)) return nullptr;
    uint32_t data = 0;
    if (!call_axi(self, zorv_axi_read, address, &data)) return nullptr;
    return PyLong_FromUnsignedLong(data);
}

PyObject* write(ZORV_METHOD_ARGS) {
    static Params<2> params("write", {"address", "data"});
    PyObject* a[2];
    if (!params.parse(args, nargs, kwnames, a)) return nullptr;
    uint32_t address, data;
    if (!to_uint32(a[0], address) || !to_uint32(a[1], data)) return nullptr;
    if (!call_axi(self, zorv_axi_write, address, data)) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"read", ZORV_FASTCALL(read), ZORV_DOC("read($self, address)", R"(
        Read from memory-mapped AXI4/AXI4-Lite slave.

        Args:
            address (int): Read address.

        Returns:
            An int representing value read from the specified address.
        )")},
    {"write", ZORV_FASTCALL(write), ZORV_DOC("write($self, address, data)", R"(
        Write to memory-mapped AXI4/AXI4-Lite slave.

        Args:
            address (int): Write address.
            data (int): Data to write.

        Returns:
            None
        )")},
    ZORV_PICKLING_REFUSED,
    {nullptr, nullptr, 0, nullptr},
};

const char kBody[] = R"(
)";

int exec(PyObject* m) {
    PyTypeObject* type = make_type("zorvsdk.axi.__Axi", ZORV_COMPONENT_DOC("Axi object."), sizeof(ComponentObject), kMethods);
    if (!type || !add_type(m, type)) return -1;
    return import_common(m) && run_body(m, kBody) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(axi, "AXI register access.", exec)
