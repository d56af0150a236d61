// zorvsdk.axi: AXI register access.
#include "core/component.hpp"

#include "zorv/axi.h"

using namespace zorv;

namespace {

Methods methods;

PyObject* read(PyObject* self, uint32_t address) {
    uint32_t data = 0;
    return call_axi(self, zorv_axi_read, address, &data) ? PyLong_FromUnsignedLong(data) : nullptr;
}
ZORV_METHOD(methods, read, {"address"}, R"(
        Read from memory-mapped AXI4/AXI4-Lite slave.

        Args:
            address (int): Read address.

        Returns:
            An int representing value read from the specified address.
        )");

PyObject* write(PyObject* self, uint32_t address, uint32_t data) {
    if (!call_axi(self, zorv_axi_write, address, data)) return nullptr;
    Py_RETURN_NONE;
}
ZORV_METHOD(methods, write, {"address", "data"}, R"(
        Write to memory-mapped AXI4/AXI4-Lite slave.

        Args:
            address (int): Write address.
            data (int): Data to write.

        Returns:
            None
        )");

const char kAxiDoc[] = R"(
    Axi object.
    Should not be used on its own, access it via :obj:`~zorvsdk.zorv.Device`.
    )";

int exec(PyObject* m) {
    return add_component(m, "zorvsdk.axi.__Axi", kAxiDoc, methods) && add_imports(m, {}) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(axi, "AXI register access.", exec)
