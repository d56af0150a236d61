// zorvsdk.syncmode: external synchronisation options.
#include "core/component.hpp"

#include "zorv/syncmode.h"

using namespace zorv;

namespace {

Methods methods;

ZORV_SDK_METHOD(methods, getOptionIds, (id_list_body<"_SyncMode__getOptionCount", "_SyncMode__getOptionId">), {}, R"(
        Retrieves external synchronization option identifiers.

        Args:
            None

        Returns:
            A list of strings representing external synchronization option identifiers.
        )");

ZORV_SDK_METHOD_AS(methods, "_SyncMode__getOptionCount", getOptionCount, (count_body<zorv_syncmode_option_count>),
                   {}, R"(
        Retrieves the number of external synchronization options.

        Args:
            None

        Returns:
            An int representing the number of external synchronization options.
        )");

ZORV_SDK_METHOD_AS(methods, "_SyncMode__getOptionId", getOptionId, (id_body<zorv_syncmode_option_id>),
                   {"optionIdx"}, R"(
        Retrieves an external synchronization option identifier by its index.

        Args:
            optionIdx (int): Index of the external synchronization option.

        Returns:
            A str value representing the external synchronization option identifier.
        )");

ZORV_SDK_METHOD(methods, selectOption, (command<zorv_syncmode_option_select>), {"optionId"}, R"(
        Select external synchronization option.

        Args:
            optionId (str): External synchronization option identifier.

        Returns:
            None
        )");

const char kSyncModeDoc[] = R"(
    External synchronization object.
    Should not be used on its own, access it via :obj:`~zorvsdk.zorv.Device`.
    )";

int exec(PyObject* m) {
    return add_component(m, "zorvsdk.syncmode.__SyncMode", kSyncModeDoc, methods) && add_imports(m, {}) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(syncmode, "External synchronisation options.", exec)
