// Coverage-guided fuzzing of the virtual device's document parsers: configuration documents of both
// kinds (through zorv_load_configuration on an open device) and device models (zorvsim_load_model).
//
// An input is one selector byte and the document: selector % 3 == 0 is a yml configuration, 1 an xml
// configuration, 2 a JSON model. Whatever a document holds, the library must answer with a status
// (and a last-error text for a failure), never crash, hang or read out of bounds.
#include "zorv/configuration.h"
#include "zorv/device_context.h"
#include "sim/zorvsim.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

zorv_ctx_t* g_ctx = nullptr;

void open_device() {
    if (!g_ctx && zorv_ctx_create(&g_ctx) < 0) std::abort();
    int opened = 0;
    zorv_dev_is_opened(g_ctx, &opened);
    if (!opened && zorv_dev_open(g_ctx, "zorvsim:0") < 0) std::abort();
}

void check_failure(int status) {
    if (status >= 0) return;
    const char* text = "";
    zorv_ctx_get_last_error(g_ctx, &text);
    if (!text || !*text) std::abort();  // a refusal always says why
    volatile size_t n = std::strlen(text);
    (void)n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    open_device();
    std::string doc(reinterpret_cast<const char*>(data + 1), size - 1);  // the library sees it up to a NUL
    switch (data[0] % 3) {
    case 0:
        check_failure(zorv_load_configuration(g_ctx, "yml", doc.c_str()));
        break;
    case 1:
        check_failure(zorv_load_configuration(g_ctx, "xml", doc.c_str()));
        break;
    default:
        if (zorvsim_load_model(doc.c_str()) < 0 && !*zorvsim_error()) std::abort();
        zorvsim_reset();  // the next input starts from the default device again
        break;
    }
    return 0;
}
