// zorvsdk.syncmode: external synchronisation options.
#include "core/component.hpp"

#include "zorv/syncmode.h"

using namespace zorv;

namespace {

Methods methods;

[[maybe_unused]] const bool ids =
    declare_id_list<"getOptionIds", "_SyncMode__getOptionCount", "_SyncMode__getOptionId", zorv_syncmode_option_count,
                    zorv_syncmode_option_id>(
        methods, "optionIdx",
        {docstring("Retrieves external synchronization option identifiers.", {},
                   "A list of strings representing external synchronization option identifiers."),
         count_doc("external synchronization options"), id_doc("an", "external synchronization option", "optionIdx")});

ZORV_SDK_METHOD(methods, selectOption, (command<zorv_syncmode_option_select>), {"optionId"},
                docstring("Select external synchronization option.",
                          {"optionId (str): External synchronization option identifier."}, "None"));

int exec(PyObject* m) {
    return add_component(m, "zorvsdk.syncmode.__SyncMode", "External synchronization object.", methods) && run_body(m, "") ? 0 : -1;
}

}  // namespace

ZORV_MODULE(syncmode, "External synchronisation options.", exec)
