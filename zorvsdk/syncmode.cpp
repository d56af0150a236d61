// zorvsdk.syncmode: external synchronisation options.
#include "core/component.hpp"

#include "zorv/syncmode.h"

using namespace zorv;

namespace {


constexpr auto getOptionIds = list_entry<"getOptionIds", "_SyncMode__getOptionCount", "_SyncMode__getOptionId">;

constexpr auto getOptionCount = count_entry<"__getOptionCount", zorv_syncmode_option_count>;

constexpr auto getOptionId = id_entry<"__getOptionId", "optionIdx", zorv_syncmode_option_id>;

PyObject* selectOption(ZORV_METHOD_ARGS) {
    static Params<1> params("selectOption", {"optionId"});
    PyObject* a[1];
    if (!params.parse(args, nargs, kwnames, a)) return nullptr;
    TextArg id;
    if (!id.encode(a[0])) return nullptr;
    if (!call(self, zorv_syncmode_option_select, id.c_str())) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"getOptionIds", ZORV_FASTCALL(getOptionIds), ZORV_DOC("getOptionIds($self)", R"(
        Retrieves external synchronization option identifiers.

        Args:
            None

        Returns:
            A list of strings representing external synchronization option identifiers.
        )")},
    {"_SyncMode__getOptionCount", ZORV_FASTCALL(getOptionCount), ZORV_DOC("_SyncMode__getOptionCount($self)", R"(
        Retrieves the number of external synchronization options.

        Args:
            None

        Returns:
            An int representing the number of external synchronization options.
        )")},
    {"_SyncMode__getOptionId", ZORV_FASTCALL(getOptionId), ZORV_DOC("_SyncMode__getOptionId($self, optionIdx)", R"(
        Retrieves an external synchronization option identifier by its index.

        Args:
            optionIdx (int): Index of the external synchronization option.

        Returns:
            A str value representing the external synchronization option identifier.
        )")},
    {"selectOption", ZORV_FASTCALL(selectOption), ZORV_DOC("selectOption($self, optionId)", R"(
        Select external synchronization option.

        Args:
            optionId (str): External synchronization option identifier.

        Returns:
            None
        )")},
    ZORV_PICKLING_REFUSED,
    {nullptr, nullptr, 0, nullptr},
};

const char kBody[] = R"(
)";

int exec(PyObject* m) {
    PyTypeObject* type = make_type("zorvsdk.syncmode.__SyncMode", ZORV_COMPONENT_DOC("External synchronization object."), sizeof(ComponentObject), kMethods);
    if (!type || !add_type(m, type)) return -1;
    return import_common(m) && run_body(m, kBody) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(syncmode, "External synchronisation options.", exec)
