// Virtual device: enumeration, opening and closing, and the properties of the open device.
#include "sim.hpp"
#include "zorv/identity.h"

namespace sim {

void close_context(zorv_ctx_t* ctx) {
    Device* dev;
    {
        auto lk = lock();
        dev = open_device(ctx);
        if (!dev) return;
    }
    on_close_acq(*dev);  // joins the acquisition threads, which may call back into the library
    auto lk = lock();
    if (open_device(ctx) != dev) return;  // a callback of the device closed it meanwhile
    on_close_chip(*dev);
    on_close_memory(*dev);
    on_close_supplies(*dev);
    dev->owner = nullptr;
    ctx->device = -1;
}

}  // namespace sim

using namespace sim;

// A found device: a copy of its descriptor, so that callbacks need no lock.
struct zorv_enum {
    Descriptor desc;
};

namespace {

// The descriptor of the device an enumeration handle found, or of the device open on a context
// (with the world locked while it is held), after the call's checks of the handle and of the
// out-pointers (`ok`); null when they failed.
struct DescriptorOf {
    const Descriptor* desc = nullptr;
    OpenDevice open;
};
DescriptorOf descriptor_of(Call& call, zorv_enum_t* dev, bool ok) {
    return {call.require(dev && ok) ? &dev->desc : nullptr, {}};
}
DescriptorOf descriptor_of(Call& call, zorv_ctx_t* ctx, bool ok) {
    OpenDevice open = call.device(ctx, ok);
    const Descriptor* desc = open ? &open->desc : nullptr;
    return {desc, std::move(open)};
}

// Values of a descriptor: write(desc, outs...), for both kinds of handle.
template <class Handle, class Write, class... Out>
int descriptor_values(const char* fn, Handle* handle, Write write, Out*... outs) {
    Call call(fn, handle);
    if (call.injected()) return call.status();
    DescriptorOf d = descriptor_of(call, handle, (outs && ...));
    if (!d.desc) return call.status();
    write(*d.desc, outs...);
    return call.done(0, outs...);
}

void connection_string(const Descriptor& d, const char** text) { *text = d.connectionString.c_str(); }
void product(const Descriptor& d, const char** text) { *text = d.product.c_str(); }
void manufacturer(const Descriptor& d, const char** text) { *text = d.manufacturer.c_str(); }
void serial_number(const Descriptor& d, const char** text) { *text = d.serialNumber.c_str(); }
void instance_path(const Descriptor& d, const char** text) { *text = d.instancePath.c_str(); }
void vid_pid(const Descriptor& d, unsigned short* vid, unsigned short* pid) {
    *vid = (unsigned short)d.vid;
    *pid = (unsigned short)d.pid;
}
void high_speed(const Descriptor& d, int* flag) { *flag = d.highSpeed; }
void super_speed(const Descriptor& d, int* flag) { *flag = d.superSpeed; }

}  // namespace

extern "C" {

int zorv_dev_enumerate(zorv_ctx_t* ctx, zorv_enum_func func, void* user, int* count) {
    Call call(__func__, ctx, func, user);
    if (call.injected()) return call.status();
    if (!call.context(ctx)) return call.status();
    if (!func) return call.fail(ZORV_POINTER, "zorv_dev_enumerate: the callback is null");
    std::vector<zorv_enum> found;
    {
        auto lk = lock();
        for (auto& d : world().devices) found.push_back({d->desc});
    }
    for (auto& e : found) func(&e, user);
    if (count) *count = int(found.size());
    return call.done(0, count);
}

int zorv_enum_get_connection_string(zorv_enum_t* dev, const char** text) {
    return descriptor_values(__func__, dev, connection_string, text);
}
int zorv_enum_get_product(zorv_enum_t* dev, const char** text) { return descriptor_values(__func__, dev, product, text); }
int zorv_enum_get_manufacturer(zorv_enum_t* dev, const char** text) {
    return descriptor_values(__func__, dev, manufacturer, text);
}
int zorv_enum_get_serial_number(zorv_enum_t* dev, const char** text) {
    return descriptor_values(__func__, dev, serial_number, text);
}
int zorv_enum_usb_get_vid_pid(zorv_enum_t* dev, unsigned short* vid, unsigned short* pid) {
    return descriptor_values(__func__, dev, vid_pid, vid, pid);
}
int zorv_enum_usb_get_instance_path(zorv_enum_t* dev, const char** text) {
    return descriptor_values(__func__, dev, instance_path, text);
}
int zorv_enum_usb_is_high_speed(zorv_enum_t* dev, int* flag) { return descriptor_values(__func__, dev, high_speed, flag); }
int zorv_enum_usb_is_super_speed(zorv_enum_t* dev, int* flag) { return descriptor_values(__func__, dev, super_speed, flag); }

int zorv_enum_get_last_error(zorv_enum_t* dev, const char** text) {
    Call call(__func__, dev);
    if (call.injected()) return call.status();
    if (text) *text = last_error(dev);
    return call.done(0);
}

int zorv_dev_open(zorv_ctx_t* ctx, const char* locator) {
    Call call(__func__, ctx, locator);
    if (call.injected()) return call.status();
    if (!call.context(ctx)) return call.status();
    if (!locator) return call.fail(ZORV_POINTER, "zorv_dev_open: the locator is null");
    auto lk = lock();
    if (Device* open = open_device(ctx))
        return call.fail(ZORV_INVALID_OPERATION, "a device is already open on this context ('%s')", open->desc.connectionString.c_str());
    for (auto& d : world().devices) {
        if (d->desc.connectionString != locator) continue;
        if (d->owner) return call.fail(ZORV_INVALID_OPERATION, "device '%s' is in use by another context", locator);
        d->owner = ctx;
        ctx->device = d->index;
        on_open_supplies(*d);
        on_open_chip(*d);
        on_open_memory(*d);
        on_open_acq(*d);
        return call.done(0);
    }
    return call.fail(ZORV_INVALID_ARGUMENT, "no device with the locator '%s' is attached", locator);
}

int zorv_dev_close(zorv_ctx_t* ctx) {
    Call call(__func__, ctx);
    if (call.injected()) return call.status();
    if (!call.context(ctx)) return call.status();
    {
        auto lk = lock();
        if (!open_device(ctx)) return call.fail(ZORV_INVALID_OPERATION, "no device is open on this context");
    }
    close_context(ctx);
    return call.done(0);
}

int zorv_dev_is_opened(zorv_ctx_t* ctx, int* opened) {
    Call call(__func__, ctx);
    if (call.injected()) return call.status();
    if (!call.context(ctx)) return call.status();
    if (!opened) return call.fail(ZORV_POINTER, "zorv_dev_is_opened: the out-pointer is null");
    auto lk = lock();
    *opened = open_device(ctx) ? 1 : 0;
    return call.done(0, opened);
}

// ---- properties of the open device: its descriptor ----

int zorv_dev_prop_get_manufacturer(zorv_ctx_t* ctx, const char** text) {
    return descriptor_values(__func__, ctx, manufacturer, text);
}
int zorv_dev_prop_get_product(zorv_ctx_t* ctx, const char** text) { return descriptor_values(__func__, ctx, product, text); }
int zorv_dev_prop_get_serial_number(zorv_ctx_t* ctx, const char** text) {
    return descriptor_values(__func__, ctx, serial_number, text);
}
int zorv_dev_prop_get_connection_string(zorv_ctx_t* ctx, const char** text) {
    return descriptor_values(__func__, ctx, connection_string, text);
}
int zorv_dev_prop_usb_get_instance_path(zorv_ctx_t* ctx, const char** text) {
    return descriptor_values(__func__, ctx, instance_path, text);
}
int zorv_dev_prop_usb_get_vid_pid(zorv_ctx_t* ctx, unsigned short* vid, unsigned short* pid) {
    return descriptor_values(__func__, ctx, vid_pid, vid, pid);
}
int zorv_dev_prop_usb_is_high_speed(zorv_ctx_t* ctx, int* flag) { return descriptor_values(__func__, ctx, high_speed, flag); }
int zorv_dev_prop_usb_is_super_speed(zorv_ctx_t* ctx, int* flag) { return descriptor_values(__func__, ctx, super_speed, flag); }

}  // extern "C"
