// zorvsdk.configuration: configuration documents and the pixel mask.
//
// The mask crosses as a flat run of width x height bytes in which the height bytes of one column
// lie together; the array form is a (width, height) uint8 array in row-major memory order, so its
// flat bytes are exactly the SDK's.
#include "core/component.hpp"

#include <cstring>

#include "zorv/configuration.h"

using namespace zorv;

namespace {

Methods methods;

Name s_PixelMaskDimensions("PixelMaskDimensions"), s_getMaskSize("getMaskSize"), s_width("width"),
    s_height("height"), s_zeros("zeros"), s_reshape("reshape"), s_flatten("flatten");

ZORV_SDK_METHOD(methods, load, (command<zorv_load_configuration, Utf8Text>), {"configType", "content"}, R"(
        Loads configuration.

        Args:
            configType (str): Type of configuration, for example "xml" or "yml".
            content (str): Content of configuration represented as str.

        Returns:
            None
        )");

PyObject* getMaskSize(PyObject* self) {
    pixel_mask_size size{0, 0};
    if (!call(self, zorv_get_pixel_mask_size, &size)) return nullptr;
    return make_record(s_PixelMaskDimensions, {PyLong_FromSize_t(size.width), PyLong_FromSize_t(size.height)});
}
ZORV_METHOD(methods, getMaskSize, {}, R"(
        Retrieves dimensions (width, height) of pixel mask.

        Args:
            None

        Returns:
            A :obj:`~PixelMaskDimensions` object
        )");

// self.getMaskSize() and its two fields.
bool mask_size(PyObject* self, Ref& width, Ref& height) {
    Ref size = Ref::steal(PyObject_CallMethodNoArgs(self, s_getMaskSize));
    if (!size) return false;
    width = Ref::steal(PyObject_GetAttr(size.get(), s_width));
    if (!width) return false;
    height = Ref::steal(PyObject_GetAttr(size.get(), s_height));
    return bool(height);
}

// The size check of both directions: "<what> (== n) != \<LF><16 spaces>expected <size> (== m)".
void raise_mismatch(const char* given, const char* expected, Py_ssize_t n, PyObject* m) {
    Ref text = Ref::steal(PyUnicode_FromFormat("%s (== %zd) != \\\n                %s (== %S)", given, n, expected, m));
    if (text) PyErr_SetObject(exception(Exc::Internal), text.get());
}

PyObject* getMask(PyObject* self) {
    Ref width, height;
    if (!mask_size(self, width, height)) return nullptr;
    Ref expectedLen = Ref::steal(PyNumber_Multiply(width.get(), height.get()));
    if (!expectedLen) return nullptr;
    Ref shape = Ref::steal(PyTuple_Pack(1, expectedLen.get()));
    if (!shape) return nullptr;
    Ref array = Ref::steal(uint8_array(s_zeros, shape.get(), true));
    if (!array) return nullptr;
    ByteView view;
    if (!view.acquire(array.get())) return nullptr;
    uint8_t* data = view.first();
    if (!data) return nullptr;
    pixel_mask mask{data, size_t(view.size())};
    size_t delivered = 0;
    if (!call(self, zorv_get_pixel_mask, &mask, &delivered)) return nullptr;
    if (delivered != size_t(view.size())) {
        Ref real = Ref::steal(PyLong_FromSize_t(delivered));
        if (!real) return nullptr;
        Ref text = Ref::steal(PyUnicode_FromFormat("Pixel mask real size (== %S) != \\\n                expected size (== %S)",
                                                   real.get(), expectedLen.get()));
        if (text) PyErr_SetObject(exception(Exc::Internal), text.get());
        return nullptr;
    }
    Ref newShape = Ref::steal(PyTuple_Pack(2, width.get(), height.get()));
    if (!newShape) return nullptr;
    return PyObject_CallMethodOneArg(array.get(), s_reshape, newShape.get());
}
ZORV_METHOD(methods, getMask, {}, R"(
        Retrieves current pixel mask.

        Args:
            None

        Returns:
            2D numpy array of uint8.
            Each uint8 element represents a mask of a single pixel.
            0 means the pixel is unmasked, non-zero implies pixel is masked.
            The array is stored in column-major order.
        )");

PyObject* setMask(PyObject* self, PyObject* mask) {
    Ref flat = Ref::steal(PyObject_CallMethodNoArgs(mask, s_flatten));
    if (!flat) return nullptr;
    ByteView view;
    if (!view.acquire(flat.get())) return nullptr;
    Ref width, height;
    if (!mask_size(self, width, height)) return nullptr;
    Ref product = Ref::steal(PyNumber_Multiply(width.get(), height.get()));
    if (!product) return nullptr;
    Ref length = Ref::steal(PyLong_FromSsize_t(view.size()));
    if (!length) return nullptr;
    int same = PyObject_RichCompareBool(product.get(), length.get(), Py_EQ);
    if (same < 0) return nullptr;
    if (!same) {
        raise_mismatch("Provided mask size", "expected mask size", view.size(), product.get());
        return nullptr;
    }
    uint8_t* data = view.first();
    if (!data) return nullptr;
    pixel_mask given{data, size_t(view.size())};
    if (!call(self, zorv_set_pixel_mask, static_cast<const pixel_mask*>(&given))) return nullptr;
    Py_RETURN_NONE;
}
ZORV_METHOD(methods, setMask, {"mask"}, R"(
        Sets pixel mask.

        Args:
            mask (ArrayLike): 2D numpy array of uint8.
                Each uint8 element represents a mask of a single pixel.
                0 means the pixel is unmasked, non-zero implies pixel is masked.
                The array is expected to be in column-major order.

        Returns:
            None
        )");

const char kConfigurationDoc[] = R"(
    Configuration object.
    Should not be used on its own, access it via :obj:`~zorvsdk.zorv.Device`.
    )";

int exec(PyObject* m) {
    return add_component(m, "zorvsdk.configuration.__Configuration", kConfigurationDoc, methods) &&
                   import_numpy() &&
                   add_imports(m, {{"typing", {"NamedTuple"}},
                                   {"numpy", {}, "np"},
                                   {"zorvsdk._records", {"PixelMaskDimensions"}}})
               ? 0
               : -1;
}

}  // namespace

ZORV_MODULE(configuration, "Configuration documents and the pixel mask.", exec)
