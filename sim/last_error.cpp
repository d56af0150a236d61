// Virtual device core: the last error of each handle, per thread (a few recent handles each).
#include "core.hpp"

namespace sim {

namespace {
struct LastError {
    const void* handle = nullptr;
    std::string text;
    bool null = false;
    unsigned long stamp = 0;
};
struct ErrorSlots {
    LastError slots[16];
    unsigned long clock = 0;
    LastError& slot(const void* handle) {
        LastError* oldest = &slots[0];
        for (auto& s : slots) {
            if (s.handle == handle && s.stamp) return s;
            if (s.stamp < oldest->stamp) oldest = &s;
        }
        oldest->handle = handle;
        oldest->text.clear();
        oldest->null = false;
        return *oldest;
    }
};
thread_local ErrorSlots t_errors;
}  // namespace

void set_last_error(const void* handle, std::string text) {
    LastError& s = t_errors.slot(handle);
    s.text = std::move(text);
    s.null = false;
    s.stamp = ++t_errors.clock;
}

void set_null_last_error(const void* handle) {
    LastError& s = t_errors.slot(handle);
    s.text.clear();
    s.null = true;
    s.stamp = ++t_errors.clock;
}

const char* last_error(const void* handle) {
    for (auto& s : t_errors.slots)
        if (s.handle == handle && s.stamp) return s.null ? nullptr : s.text.c_str();
    return "";
}

}  // namespace sim
