// zorvsdk.revision: hardware versions.
#include "core/component.hpp"

#include "zorv/revision.h"

using namespace zorv;

namespace {

Methods methods;

Name s_getCount("_Revision__getCount");
Name s_getId("_Revision__getId");

PyObject* get(PyObject* self) {
    Ref count = Ref::steal(PyObject_CallMethodNoArgs(self, s_getCount));
    if (!count) return nullptr;
    Py_ssize_t n = PyNumber_AsSsize_t(count.get(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    Ref result = Ref::steal(PyDict_New());
    if (!result) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref index = Ref::steal(PyLong_FromSsize_t(i));
        if (!index) return nullptr;
        Ref id = Ref::steal(PyObject_CallMethodOneArg(self, s_getId, index.get()));
        if (!id) return nullptr;
        TextArg encoded;
        if (!encoded.encode(id.get())) return nullptr;
        const char* version = "";
        if (!call(self, zorv_revision_string, encoded.c_str(), &version)) return nullptr;
        Ref value = Ref::steal(from_utf8(version));
        if (!value) return nullptr;
        Ref key = Ref::steal(from_utf8(encoded.c_str()));
        if (!key || PyDict_SetItem(result.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return result.release();
}
ZORV_METHOD(methods, get, {}, R"(
        Retrieves HW identifiers and their corresponding versions.

        Args:
            None

        Returns:
            A dictionary of str keys (identifiers) and str values (versions).
        )");

ZORV_SDK_METHOD_AS(methods, "_Revision__getCount", getCount, (count_body<zorv_revision_count>),
                   {}, R"(
        Retrieves the number of HW identifiers.

        Args:
            None

        Returns:
            An int representing the number of HW identifiers.
        )");

ZORV_SDK_METHOD_AS(methods, "_Revision__getId", getId, (id_body<zorv_revision_id>), {"revisionIdx"}, R"(
        Retrieves a HW identifier by its index.

        Args:
            revisionIdx (int): Index of the HW identifier.

        Returns:
            A str value representing the HW identifier.
        )");

const char kRevisionDoc[] = R"(
    Revision object.
    Should not be used on its own, access it via :obj:`~zorvsdk.zorv.Device`.
    )";

int exec(PyObject* m) {
    return add_component(m, "zorvsdk.revision.__Revision", kRevisionDoc, methods) && add_imports(m, {}) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(revision, "Hardware versions.", exec)
