// zorvsdk.identity: properties of the open device.
#include "core/component.hpp"

#include "zorv/identity.h"

using namespace zorv;

namespace {

// A text property: fn(ctx, &text) with the text preset to "".
PyObject* text_property(PyObject* self, Py_ssize_t nargs, PyObject* kwnames, NoParams& params,
                        int (*fn)(zorv_ctx_t*, const char**)) {
    if (!params.parse(nargs, kwnames)) return nullptr;
    const char* text = "";
    if (!call(self, fn, &text)) return nullptr;
    return from_utf8(text);
}

// A flag property: fn(ctx, &flag) with the flag preset to 0, returned as a bool.
PyObject* flag_property(PyObject* self, Py_ssize_t nargs, PyObject* kwnames, NoParams& params,
                        int (*fn)(zorv_ctx_t*, int*)) {
    if (!params.parse(nargs, kwnames)) return nullptr;
    int flag = 0;
    if (!call(self, fn, &flag)) return nullptr;
    return from_bool(flag);
}

#define ZORV_TEXT_PROPERTY(method, fn)                                   \
    PyObject* method(ZORV_METHOD_ARGS) {                                 \
        static NoParams params(#method);                                 \
        (void)args;                                                      \
        return text_property(self, nargs, kwnames, params, fn);          \
    }

#define ZORV_FLAG_PROPERTY(method, fn)                                   \
    PyObject* method(ZORV_METHOD_ARGS) {                                 \
        static NoParams params(#method);                                 \
        (void)args;                                                      \
        return flag_property(self, nargs, kwnames, params, fn);          \
    }

ZORV_TEXT_PROPERTY(getManufacturer, zorv_dev_prop_get_manufacturer)
ZORV_TEXT_PROPERTY(getProduct, zorv_dev_prop_get_product)
ZORV_TEXT_PROPERTY(getSerialNumber, zorv_dev_prop_get_serial_number)
ZORV_TEXT_PROPERTY(getConnectionString, zorv_dev_prop_get_connection_string)
ZORV_TEXT_PROPERTY(getUsbInstancePath, zorv_dev_prop_usb_get_instance_path)
ZORV_FLAG_PROPERTY(isUsbHighSpeed, zorv_dev_prop_usb_is_high_speed)
ZORV_FLAG_PROPERTY(isUsbSuperSpeed, zorv_dev_prop_usb_is_super_speed)

Name s_VidPid("VidPid");

PyObject* getUsbVidPid(ZORV_METHOD_ARGS) {
    static NoParams params("getUsbVidPid");
    (void)args;
    if (!params.parse(nargs, kwnames)) return nullptr;
    unsigned short vid = 0, pid = 0;
    if (!call(self, zorv_dev_prop_usb_get_vid_pid, &vid, &pid)) return nullptr;
    return make_record(s_VidPid, {PyLong_FromUnsignedLong(vid), PyLong_FromUnsignedLong(pid)});
}

PyMethodDef kMethods[] = {
    {"getManufacturer", ZORV_FASTCALL(getManufacturer), ZORV_DOC("getManufacturer($self)", R"(
        Retrieves the manufacturer of the device.

        Args:
            None

        Returns:
            A str value representing the manufacturer of the device.
        )")},
    {"getProduct", ZORV_FASTCALL(getProduct), ZORV_DOC("getProduct($self)", R"(
        Retrieves the product name of the device.

        Args:
            None

        Returns:
            A str value representing the product name of the device.
        )")},
    {"getSerialNumber", ZORV_FASTCALL(getSerialNumber), ZORV_DOC("getSerialNumber($self)", R"(
        Retrieves the serial number of the device.

        Args:
            None

        Returns:
            A str value representing the serial number of the device.
        )")},
    {"getConnectionString", ZORV_FASTCALL(getConnectionString), ZORV_DOC("getConnectionString($self)", R"(
        Retrieves the connection string (locator) of the device.

        Args:
            None

        Returns:
            A str value representing the connection string (locator) of the device.
        )")},
    {"getUsbVidPid", ZORV_FASTCALL(getUsbVidPid), ZORV_DOC("getUsbVidPid($self)", R"(
        Retrieves the vendor id and product id of the device.

        Args:
            None

        Returns:
            A :obj:`~VidPid` object which contains vendor and product id of the device.
        )")},
    {"getUsbInstancePath", ZORV_FASTCALL(getUsbInstancePath), ZORV_DOC("getUsbInstancePath($self)", R"(
        Retrieves the instance path of the device.

        Args:
            None

        Returns:
            A str value representing the instance path of the device.
        )")},
    {"isUsbHighSpeed", ZORV_FASTCALL(isUsbHighSpeed), ZORV_DOC("isUsbHighSpeed($self)", R"(
        Checks whether the device is high speed.

        Args:
            None

        Returns:
            A bool value. True if the device is high speed, False otherwise.
        )")},
    {"isUsbSuperSpeed", ZORV_FASTCALL(isUsbSuperSpeed), ZORV_DOC("isUsbSuperSpeed($self)", R"(
        Checks whether the device is super speed.

        Args:
            None

        Returns:
            A bool value. True if the device is super speed, False otherwise.
        )")},
    ZORV_PICKLING_REFUSED,
    {nullptr, nullptr, 0, nullptr},
};

const char kBody[] = R"(
from typing import NamedTuple


class VidPid(NamedTuple):
    """
    Contains vendor id and product id of the USB device.

    Attributes:
        vendorId (int): Vendor id of the USB device.
        productId (int): Product id of the USB device.
    """
    vendorId: int
    productId: int
)";

int exec(PyObject* m) {
    PyTypeObject* type = make_type("zorvsdk.identity.__Identity", ZORV_COMPONENT_DOC("Identity object."), sizeof(ComponentObject), kMethods);
    if (!type || !add_type(m, type)) return -1;
    return import_common(m) && run_body(m, kBody) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(identity, "Properties of the open device.", exec)
