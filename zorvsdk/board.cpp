// zorvsdk.board: board power.
#include "core/component.hpp"

#include "zorv/board.h"

using namespace zorv;

namespace {

Name s_errors("errors");
Name s_throwZorvError("_throwZorvError");

constexpr auto getBoardIds = list_entry<"getBoardIds", "_Board__getCount", "_Board__getId">;

// A failing count is reported through errors._throwZorvError(status, "getBoardCount"), without
// the last error of the context.
PyObject* getCount(ZORV_METHOD_ARGS) {
    static NoParams params("__getCount");
    (void)args;
    if (!params.parse(nargs, kwnames)) return nullptr;
    zorv_ctx_t* ctx = handle_of(self);
    if (!ctx) return nullptr;
    int count = 0;
    int status;
    Py_BEGIN_ALLOW_THREADS
    status = zorv_board_count(ctx, &count);
    Py_END_ALLOW_THREADS
    if (status < 0) {
        Ref errors = Ref::steal(global(s_errors));
        if (!errors) return nullptr;
        Ref thrower = Ref::steal(PyObject_GetAttr(errors.get(), s_throwZorvError));
        if (!thrower) return nullptr;
        Ref st = Ref::steal(PyLong_FromLong(status));
        if (!st) return nullptr;
        Ref op = Ref::steal(PyUnicode_FromString("getBoardCount"));
        if (!op) return nullptr;
        PyObject* argv[2] = {st.get(), op.get()};
        Ref result = Ref::steal(PyObject_Vectorcall(thrower.get(), argv, 2, nullptr));
        if (!result) return nullptr;
    }
    return PyLong_FromLong(count);
}

constexpr auto getId = id_entry<"__getId", "boardIdx", zorv_board_id>;

PyObject* power(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                Params<1>& params, int (*fn)(zorv_ctx_t*, const char*)) {
    PyObject* a[1];
    if (!params.parse(args, nargs, kwnames, a)) return nullptr;
    TextArg id;
    if (!id.encode(a[0])) return nullptr;
    if (!call(self, fn, id.c_str())) return nullptr;
    Py_RETURN_NONE;
}

PyObject* powerOn(ZORV_METHOD_ARGS) {
    static Params<1> params("powerOn", {"boardId"});
    return power(self, args, nargs, kwnames, params, zorv_board_power_on);
}

PyObject* powerOff(ZORV_METHOD_ARGS) {
    static Params<1> params("powerOff", {"boardId"});
    return power(self, args, nargs, kwnames, params, zorv_board_power_off);
}

PyObject* isPowered(ZORV_METHOD_ARGS) {
    static Params<1> params("isPowered", {"boardId"});
    PyObject* a[1];
    if (!params.parse(args, nargs, kwnames, a)) return nullptr;
    TextArg id;
    if (!id.encode(a[0])) return nullptr;
    int powered = 0;
    if (!call(self, zorv_board_is_powered, id.c_str(), &powered)) return nullptr;
    return from_bool(powered);
}

PyMethodDef kMethods[] = {
    {"getBoardIds", ZORV_FASTCALL(getBoardIds), ZORV_DOC("getBoardIds($self)", R"(
        Retrieves board identifiers.

        Args:
            None

        Returns:
            A list of str objects representing board identifiers.
        )")},
    {"_Board__getCount", ZORV_FASTCALL(getCount), ZORV_DOC("_Board__getCount($self)", R"(
        Retrieves the number of boards.

        Args:
            None

        Returns:
            An int representing the number of boards.
        )")},
    {"_Board__getId", ZORV_FASTCALL(getId), ZORV_DOC("_Board__getId($self, boardIdx)", R"(
        Retrieves a board identifier by its index.

        Args:
            boardIdx (int): Index of the board.

        Returns:
            A str value representing the board identifier.
        )")},
    {"powerOn", ZORV_FASTCALL(powerOn), ZORV_DOC("powerOn($self, boardId)", R"(
        Powers the board on.

        Args:
            boardId (str): Board identifier.

        Returns:
            None
        )")},
    {"powerOff", ZORV_FASTCALL(powerOff), ZORV_DOC("powerOff($self, boardId)", R"(
        Powers the board off. Cannot be called before corresponding :func:`~powerOn`.

        Args:
            boardId (str): Board identifier.

        Returns:
            None
        )")},
    {"isPowered", ZORV_FASTCALL(isPowered), ZORV_DOC("isPowered($self, boardId)", R"(
        Checks whether the board is powered.

        Args:
            boardId (str): Board identifier.

        Returns:
            A bool value. True if the specified board is powered, False otherwise.
        )")},
    ZORV_PICKLING_REFUSED,
    {nullptr, nullptr, 0, nullptr},
};

const char kBody[] = R"(
)";

int exec(PyObject* m) {
    PyTypeObject* type = make_type("zorvsdk.board.__Board", ZORV_COMPONENT_DOC("Board object."), sizeof(ComponentObject), kMethods);
    if (!type || !add_type(m, type)) return -1;
    return import_common(m) && run_body(m, kBody) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(board, "Board power.", exec)
