// zorvsdk.identity: properties of the open device.
#include "core/component.hpp"

#include <string>

#include "zorv/identity.h"

using namespace zorv;

namespace {

Methods methods;

// The texts of the properties, which share their form.
std::string text_doc(const std::string& what) {
    return docstring("Retrieves the " + what + " of the device.", {}, "A str value representing the " + what + " of the device.");
}
std::string flag_doc(const std::string& what) {
    return docstring("Checks whether the device is " + what + ".", {},
                     "A bool value. True if the device is " + what + ", False otherwise.");
}

ZORV_SDK_METHOD(methods, getManufacturer, (value_of<zorv_dev_prop_get_manufacturer, from_utf8>),
                {}, text_doc("manufacturer"));

ZORV_SDK_METHOD(methods, getProduct, (value_of<zorv_dev_prop_get_product, from_utf8>), {}, text_doc("product name"));

ZORV_SDK_METHOD(methods, getSerialNumber, (value_of<zorv_dev_prop_get_serial_number, from_utf8>),
                {}, text_doc("serial number"));

ZORV_SDK_METHOD(methods, getConnectionString, (value_of<zorv_dev_prop_get_connection_string, from_utf8>),
                {}, text_doc("connection string (locator)"));

Name s_VidPid("VidPid");

PyObject* getUsbVidPid(PyObject* self) {
    unsigned short vid = 0, pid = 0;
    if (!call(self, zorv_dev_prop_usb_get_vid_pid, &vid, &pid)) return nullptr;
    return make_record(s_VidPid, {PyLong_FromUnsignedLong(vid), PyLong_FromUnsignedLong(pid)});
}
ZORV_METHOD(methods, getUsbVidPid, {},
            docstring("Retrieves the vendor id and product id of the device.", {},
                      "A :obj:`~VidPid` object which contains vendor and product id of the device."));

ZORV_SDK_METHOD(methods, getUsbInstancePath, (value_of<zorv_dev_prop_usb_get_instance_path, from_utf8>),
                {}, text_doc("instance path"));

ZORV_SDK_METHOD(methods, isUsbHighSpeed, (value_of<zorv_dev_prop_usb_is_high_speed, from_bool>),
                {}, flag_doc("high speed"));

ZORV_SDK_METHOD(methods, isUsbSuperSpeed, (value_of<zorv_dev_prop_usb_is_super_speed, from_bool>),
                {}, flag_doc("super speed"));

int exec(PyObject* m) {
    return add_component(m, "zorvsdk.identity.__Identity", "Identity object.", methods) &&
                   add_records(m, {{"VidPid", "Contains vendor id and product id of the USB device.",
                                    {{"vendorId", "int", "Vendor id of the USB device."},
                                     {"productId", "int", "Product id of the USB device."}}}})
               ? 0
               : -1;
}

}  // namespace

ZORV_MODULE(identity, "Properties of the open device.", exec)
