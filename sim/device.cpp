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

extern "C" {

int zorv_dev_enumerate(zorv_ctx_t* ctx, zorv_enum_func func, void* user, int* count) {
    ZORV_ENTER(ctx, func, user);
    ZORV_REQUIRE_CTX(ctx);
    if (!func) return call_.fail(ZORV_POINTER, "zorv_dev_enumerate: the callback is null");
    std::vector<zorv_enum> found;
    {
        auto lk = lock();
        for (auto& d : world().devices) found.push_back({d->desc});
    }
    for (auto& e : found) func(&e, user);
    if (count) *count = int(found.size());
    return call_.done(0, count);
}

#define ENUM_TEXT(name, member)                                                   \
    int name(zorv_enum_t* dev, const char** text) {                                \
        ZORV_ENTER(dev);                                                           \
        if (!dev || !text) return call_.fail(ZORV_POINTER, "%s: null argument", __func__); \
        *text = dev->desc.member.c_str();                                          \
        return call_.done(0, text);                                                \
    }

ENUM_TEXT(zorv_enum_get_connection_string, connectionString)
ENUM_TEXT(zorv_enum_get_product, product)
ENUM_TEXT(zorv_enum_get_manufacturer, manufacturer)
ENUM_TEXT(zorv_enum_get_serial_number, serialNumber)
ENUM_TEXT(zorv_enum_usb_get_instance_path, instancePath)

int zorv_enum_usb_get_vid_pid(zorv_enum_t* dev, unsigned short* vid, unsigned short* pid) {
    ZORV_ENTER(dev);
    if (!dev || !vid || !pid) return call_.fail(ZORV_POINTER, "%s: null argument", __func__);
    *vid = (unsigned short)dev->desc.vid;
    *pid = (unsigned short)dev->desc.pid;
    return call_.done(0, vid, pid);
}

int zorv_enum_usb_is_high_speed(zorv_enum_t* dev, int* flag) {
    ZORV_ENTER(dev);
    if (!dev || !flag) return call_.fail(ZORV_POINTER, "%s: null argument", __func__);
    *flag = dev->desc.highSpeed;
    return call_.done(0, flag);
}

int zorv_enum_usb_is_super_speed(zorv_enum_t* dev, int* flag) {
    ZORV_ENTER(dev);
    if (!dev || !flag) return call_.fail(ZORV_POINTER, "%s: null argument", __func__);
    *flag = dev->desc.superSpeed;
    return call_.done(0, flag);
}

int zorv_enum_get_last_error(zorv_enum_t* dev, const char** text) {
    ZORV_ENTER(dev);
    if (text) *text = last_error(dev);
    return call_.done(0);
}

int zorv_dev_open(zorv_ctx_t* ctx, const char* locator) {
    ZORV_ENTER(ctx, locator);
    ZORV_REQUIRE_CTX(ctx);
    if (!locator) return call_.fail(ZORV_POINTER, "zorv_dev_open: the locator is null");
    auto lk = lock();
    if (Device* open = open_device(ctx))
        return call_.fail(ZORV_INVALID_OPERATION, "a device is already open on this context ('%s')", open->desc.connectionString.c_str());
    for (auto& d : world().devices) {
        if (d->desc.connectionString != locator) continue;
        if (d->owner) return call_.fail(ZORV_INVALID_OPERATION, "device '%s' is in use by another context", locator);
        d->owner = ctx;
        ctx->device = d->index;
        on_open_supplies(*d);
        on_open_chip(*d);
        on_open_memory(*d);
        on_open_acq(*d);
        return call_.done(0);
    }
    return call_.fail(ZORV_INVALID_ARGUMENT, "no device with the locator '%s' is attached", locator);
}

int zorv_dev_close(zorv_ctx_t* ctx) {
    ZORV_ENTER(ctx);
    ZORV_REQUIRE_CTX(ctx);
    {
        auto lk = lock();
        if (!open_device(ctx)) return call_.fail(ZORV_INVALID_OPERATION, "no device is open on this context");
    }
    close_context(ctx);
    return call_.done(0);
}

int zorv_dev_is_opened(zorv_ctx_t* ctx, int* opened) {
    ZORV_ENTER(ctx);
    ZORV_REQUIRE_CTX(ctx);
    if (!opened) return call_.fail(ZORV_POINTER, "zorv_dev_is_opened: the out-pointer is null");
    auto lk = lock();
    *opened = open_device(ctx) ? 1 : 0;
    return call_.done(0, opened);
}

// ---- properties of the open device ----

#define PROP_TEXT(name, member)                     \
    int name(zorv_ctx_t* ctx, const char** text) {   \
        ZORV_ENTER(ctx);                             \
        ZORV_DEVICE_OR_FAIL(text);                   \
        *text = dev->desc.member.c_str();            \
        return call_.done(0, text);                  \
    }

PROP_TEXT(zorv_dev_prop_get_manufacturer, manufacturer)
PROP_TEXT(zorv_dev_prop_get_product, product)
PROP_TEXT(zorv_dev_prop_get_serial_number, serialNumber)
PROP_TEXT(zorv_dev_prop_get_connection_string, connectionString)
PROP_TEXT(zorv_dev_prop_usb_get_instance_path, instancePath)

int zorv_dev_prop_usb_get_vid_pid(zorv_ctx_t* ctx, unsigned short* vid, unsigned short* pid) {
    ZORV_ENTER(ctx);
    ZORV_DEVICE_OR_FAIL(vid && pid);
    *vid = (unsigned short)dev->desc.vid;
    *pid = (unsigned short)dev->desc.pid;
    return call_.done(0, vid, pid);
}

int zorv_dev_prop_usb_is_high_speed(zorv_ctx_t* ctx, int* flag) {
    ZORV_ENTER(ctx);
    ZORV_DEVICE_OR_FAIL(flag);
    *flag = dev->desc.highSpeed;
    return call_.done(0, flag);
}

int zorv_dev_prop_usb_is_super_speed(zorv_ctx_t* ctx, int* flag) {
    ZORV_ENTER(ctx);
    ZORV_DEVICE_OR_FAIL(flag);
    *flag = dev->desc.superSpeed;
    return call_.done(0, flag);
}

}  // extern "C"
