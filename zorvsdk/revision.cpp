// zorvsdk.revision: hardware versions.
#include "core/component.hpp"

#include "zorv/revision.h"

using namespace zorv;

namespace {

Name s_getCount("_Revision__getCount");
Name s_getId("_Revision__getId");

constexpr auto getCount = count_entry<"__getCount", zorv_revision_count>;

constexpr auto getId = id_entry<"__getId", "revisionIdx", zorv_revision_id>;

PyObject* get(ZORV_METHOD_ARGS) {
    static NoParams params("get");
    (void)args;
    if (!params.parse(nargs, kwnames)) return nullptr;
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

PyMethodDef kMethods[] = {
    {"get", ZORV_FASTCALL(get), ZORV_DOC("get($self)", R"(
        Retrieves HW identifiers and their corresponding versions.

        Args:
            None

        Returns:
            A dictionary of str keys (identifiers) and str values (versions).
        )")},
    {"_Revision__getCount", ZORV_FASTCALL(getCount), ZORV_DOC("_Revision__getCount($self)", R"(
        Retrieves the number of HW identifiers.

        Args:
            None

        Returns:
            An int representing the number of HW identifiers.
        )")},
    {"_Revision__getId", ZORV_FASTCALL(getId), ZORV_DOC("_Revision__getId($self, revisionIdx)", R"(
        Retrieves a HW identifier by its index.

        Args:
            revisionIdx (int): Index of the HW identifier.

        Returns:
            A str value representing the HW identifier.
        )")},
    ZORV_PICKLING_REFUSED,
    {nullptr, nullptr, 0, nullptr},
};

const char kBody[] = R"(
)";

int exec(PyObject* m) {
    PyTypeObject* type = make_type("zorvsdk.revision.__Revision", ZORV_COMPONENT_DOC("Revision object."), sizeof(ComponentObject), kMethods);
    if (!type || !add_type(m, type)) return -1;
    return import_common(m) && run_body(m, kBody) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(revision, "Hardware versions.", exec)
