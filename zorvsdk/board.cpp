// zorvsdk.board: board power.
#include "core/component.hpp"

#include "zorv/board.h"

using namespace zorv;

namespace {

Methods methods;

Name s_errors("errors");
Name s_throwZorvError("_throwZorvError");

constexpr auto getBoardIds = id_list_body<"_Board__getCount", "_Board__getId">;
ZORV_METHOD(methods, getBoardIds, {}, R"(
        Retrieves board identifiers.

        Args:
            None

        Returns:
            A list of str objects representing board identifiers.
        )");

// A failing count is reported through errors._throwZorvError(status, "getBoardCount"), without
// the last error of the context.
PyObject* getCount(PyObject* self) {
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
ZORV_METHOD_AS(methods, "_Board__getCount", getCount, {}, R"(
        Retrieves the number of boards.

        Args:
            None

        Returns:
            An int representing the number of boards.
        )");

ZORV_SDK_METHOD_AS(methods, "_Board__getId", getId, (id_body<zorv_board_id>),
                   {"boardIdx"}, R"(
        Retrieves a board identifier by its index.

        Args:
            boardIdx (int): Index of the board.

        Returns:
            A str value representing the board identifier.
        )");

ZORV_SDK_METHOD(methods, powerOn, (command<zorv_board_power_on>), {"boardId"}, R"(
        Powers the board on.

        Args:
            boardId (str): Board identifier.

        Returns:
            None
        )");

ZORV_SDK_METHOD(methods, powerOff, (command<zorv_board_power_off>), {"boardId"}, R"(
        Powers the board off. Cannot be called before corresponding :func:`~powerOn`.

        Args:
            boardId (str): Board identifier.

        Returns:
            None
        )");

ZORV_SDK_METHOD(methods, isPowered, (value_by_id<zorv_board_is_powered, from_bool>), {"boardId"}, R"(
        Checks whether the board is powered.

        Args:
            boardId (str): Board identifier.

        Returns:
            A bool value. True if the specified board is powered, False otherwise.
        )");

const char kBoardDoc[] = R"(
    Board object.
    Should not be used on its own, access it via :obj:`~zorvsdk.zorv.Device`.
    )";

int exec(PyObject* m) {
    return add_component(m, "zorvsdk.board.__Board", kBoardDoc, methods) && add_imports(m, {}) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(board, "Board power.", exec)
