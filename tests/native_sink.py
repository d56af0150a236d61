"""Deliveries handed to a sink through its C interface, as the acquisition module hands them: on the
calling thread and without the interpreter lock, which ctypes releases around the call."""

import ctypes

import numpy as np

from zorvsdk import acquisition

# The delivery kinds in the order of their C enumeration.
KINDS = [kind[0] for kind in acquisition._delivery_kinds()]


class DeliveredArray(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("count", ctypes.c_ulonglong)]


class DeliveredData(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_int), ("arrays", DeliveredArray * 4), ("shutter", ctypes.c_ulonglong),
                ("tdcs", DeliveredArray * 3)]


DELIVER = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.POINTER(DeliveredData))
ACQUIRING = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int)
FED = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int)


class SinkApi(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint32), ("size", ctypes.c_uint32), ("deliver", DELIVER),
                ("acquiring", ACQUIRING), ("fed", FED)]


def api_of(sink_type) -> SinkApi:
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    return SinkApi.from_address(get(sink_type._zorv_sink_api_, b"zorvsdk.sinks.api"))


class Native:
    """Hands deliveries to one sink through its interface (the sink must stay referenced)."""

    def __init__(self, sink):
        self.api = api_of(type(sink))
        self.address = id(sink)

    def deliver(self, kind, arrays, metadata=None):
        d = DeliveredData(kind=KINDS.index(kind))
        keep = []

        def place(slot, a):
            if a is not None and len(a):
                a = np.ascontiguousarray(a)
                keep.append(a)
                slot.data, slot.count = a.ctypes.data, a.size

        for i, a in enumerate(arrays):
            place(d.arrays[i], a)
        if metadata is not None:
            d.shutter = metadata["shutterStart"]
            for i, t in enumerate(metadata["tdcs"]):
                place(d.tdcs[i], t)
        self.api.deliver(self.address, ctypes.byref(d))

    def acquiring(self, running):
        self.api.acquiring(self.address, int(running))

    def fed(self, on):
        self.api.fed(self.address, int(on))
