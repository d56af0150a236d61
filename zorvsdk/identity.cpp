// zorvsdk.identity: properties of the open device.
#include "core/component.hpp"

#include "zorv/identity.h"

using namespace zorv;

namespace {

Methods methods;

ZORV_SDK_METHOD(methods, getManufacturer, (value_of<zorv_dev_prop_get_manufacturer, from_utf8>),
                {}, R"(
        Retrieves the manufacturer of the device.

        Args:
            None

        Returns:
            A str value representing the manufacturer of the device.
        )");

ZORV_SDK_METHOD(methods, getProduct, (value_of<zorv_dev_prop_get_product, from_utf8>), {}, R"(
        Retrieves the product name of the device.

        Args:
            None

        Returns:
            A str value representing the product name of the device.
        )");

ZORV_SDK_METHOD(methods, getSerialNumber, (value_of<zorv_dev_prop_get_serial_number, from_utf8>),
                {}, R"(
        Retrieves the serial number of the device.

        Args:
            None

        Returns:
            A str value representing the serial number of the device.
        )");

ZORV_SDK_METHOD(methods, getConnectionString, (value_of<zorv_dev_prop_get_connection_string, from_utf8>),
                {}, R"(
        Retrieves the connection string (locator) of the device.

        Args:
            None

        Returns:
            A str value representing the connection string (locator) of the device.
        )");

Name s_VidPid("VidPid");

PyObject* getUsbVidPid(PyObject* self) {
    unsigned short vid = 0, pid = 0;
    if (!call(self, zorv_dev_prop_usb_get_vid_pid, &vid, &pid)) return nullptr;
    return make_record(s_VidPid, {PyLong_FromUnsignedLong(vid), PyLong_FromUnsignedLong(pid)});
}
ZORV_METHOD(methods, getUsbVidPid, {}, R"(
        Retrieves the vendor id and product id of the device.

        Args:
            None

        Returns:
            A :obj:`~VidPid` object which contains vendor and product id of the device.
        )");

ZORV_SDK_METHOD(methods, getUsbInstancePath, (value_of<zorv_dev_prop_usb_get_instance_path, from_utf8>),
                {}, R"(
        Retrieves the instance path of the device.

        Args:
            None

        Returns:
            A str value representing the instance path of the device.
        )");

ZORV_SDK_METHOD(methods, isUsbHighSpeed, (value_of<zorv_dev_prop_usb_is_high_speed, from_bool>),
                {}, R"(
        Checks whether the device is high speed.

        Args:
            None

        Returns:
            A bool value. True if the device is high speed, False otherwise.
        )");

ZORV_SDK_METHOD(methods, isUsbSuperSpeed, (value_of<zorv_dev_prop_usb_is_super_speed, from_bool>),
                {}, R"(
        Checks whether the device is super speed.

        Args:
            None

        Returns:
            A bool value. True if the device is super speed, False otherwise.
        )");

const char kIdentityDoc[] = R"(
    Identity object.
    Should not be used on its own, access it via :obj:`~zorvsdk.zorv.Device`.
    )";

int exec(PyObject* m) {
    return add_component(m, "zorvsdk.identity.__Identity", kIdentityDoc, methods) &&
                   add_imports(m, {{"typing", {"NamedTuple"}}, {"zorvsdk._records", {"VidPid"}}})
               ? 0
               : -1;
}

}  // namespace

ZORV_MODULE(identity, "Properties of the open device.", exec)
