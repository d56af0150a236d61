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

Name s_PixelMaskDimensions("PixelMaskDimensions"), s_getMaskSize("getMaskSize"), s_width("width"),
    s_height("height"), s_np("np"), s_zeros("zeros"), s_uint8("uint8"), s_dtype("dtype"), s_order("order"),
    s_C("C"), s_reshape("reshape"), s_flatten("flatten");

PyObject* load(ZORV_METHOD_ARGS) {
    static Params<2> params("load", {"configType", "content"});
    PyObject* a[2];
    TextArg type, content;
    if (!params.parse(args, nargs, kwnames, a) || !type.encode_utf8(a[0]) || !content.encode_utf8(a[1]))
        return nullptr;
    if (!call(self, zorv_load_configuration, type.c_str(), content.c_str())) return nullptr;
    Py_RETURN_NONE;
}

PyObject* getMaskSize(ZORV_METHOD_ARGS) {
    static NoParams params("getMaskSize");
    (void)args;
    if (!params.parse(nargs, kwnames)) return nullptr;
    pixel_mask_size size{0, 0};
    if (!call(self, zorv_get_pixel_mask_size, &size)) return nullptr;
    return make_record(s_PixelMaskDimensions, {PyLong_FromSize_t(size.width), PyLong_FromSize_t(size.height)});
}

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

PyObject* getMask(ZORV_METHOD_ARGS) {
    static NoParams params("getMask");
    (void)args;
    if (!params.parse(nargs, kwnames)) return nullptr;
    Ref width, height;
    if (!mask_size(self, width, height)) return nullptr;
    Ref expectedLen = Ref::steal(PyNumber_Multiply(width.get(), height.get()));
    if (!expectedLen) return nullptr;
    // numpy.zeros((expectedLen,), dtype=numpy.uint8, order="C")
    Ref np = Ref::steal(global(s_np));
    if (!np) return nullptr;
    Ref zeros = Ref::steal(PyObject_GetAttr(np.get(), s_zeros));
    if (!zeros) return nullptr;
    Ref uint8 = Ref::steal(PyObject_GetAttr(np.get(), s_uint8));
    if (!uint8) return nullptr;
    Ref shape = Ref::steal(PyTuple_Pack(1, expectedLen.get()));
    if (!shape) return nullptr;
    Ref kw = Ref::steal(PyTuple_Pack(2, s_dtype.get(), s_order.get()));
    if (!kw) return nullptr;
    PyObject* argv[3] = {shape.get(), uint8.get(), s_C.get()};
    Ref array = Ref::steal(PyObject_Vectorcall(zeros.get(), argv, 1, kw.get()));
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

PyObject* setMask(ZORV_METHOD_ARGS) {
    static Params<1> params("setMask", {"mask"});
    PyObject* a[1];
    if (!params.parse(args, nargs, kwnames, a)) return nullptr;
    Ref flat = Ref::steal(PyObject_CallMethodNoArgs(a[0], s_flatten));
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
    pixel_mask mask{data, size_t(view.size())};
    if (!call(self, zorv_set_pixel_mask, static_cast<const pixel_mask*>(&mask))) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"load", ZORV_FASTCALL(load), ZORV_DOC("load($self, configType, content)", R"(
        Loads configuration.

        Args:
            configType (str): Type of configuration, for example "xml" or "yml".
            content (str): Content of configuration represented as str.

        Returns:
            None
        )")},
    {"getMaskSize", ZORV_FASTCALL(getMaskSize), ZORV_DOC("getMaskSize($self)", R"(
        Retrieves dimensions (width, height) of pixel mask.

        Args:
            None

        Returns:
            A :obj:`~PixelMaskDimensions` object
        )")},
    {"getMask", ZORV_FASTCALL(getMask), ZORV_DOC("getMask($self)", R"(
        Retrieves current pixel mask.

        Args:
            None

        Returns:
            2D numpy array of uint8.
            Each uint8 element represents a mask of a single pixel.
            0 means the pixel is unmasked, non-zero implies pixel is masked.
            The array is stored in column-major order.
        )")},
    {"setMask", ZORV_FASTCALL(setMask), ZORV_DOC("setMask($self, mask)", R"(
        Sets pixel mask.

        Args:
            mask (ArrayLike): 2D numpy array of uint8.
                Each uint8 element represents a mask of a single pixel.
                0 means the pixel is unmasked, non-zero implies pixel is masked.
                The array is expected to be in column-major order.

        Returns:
            None
        )")},
    ZORV_PICKLING_REFUSED,
    {nullptr, nullptr, 0, nullptr},
};

const char kBody[] = R"(
from typing import NamedTuple
import numpy as np


class PixelMaskDimensions(NamedTuple):
    """
    Contains dimensions of pixel mask.

    Attributes:
        width (int): Width of the pixel mask.
        height (int): Height of the pixel mask.
    """
    width: int
    height: int
)";

int exec(PyObject* m) {
    PyTypeObject* type = make_type("zorvsdk.configuration.__Configuration", ZORV_COMPONENT_DOC("Configuration object."), sizeof(ComponentObject), kMethods);
    if (!type || !add_type(m, type)) return -1;
    return import_common(m) && import_numpy() && run_body(m, kBody) ? 0 : -1;
}

}  // namespace

ZORV_MODULE(configuration, "Configuration documents and the pixel mask.", exec)
