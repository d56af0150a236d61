"""The shared libraries that other packages loaded into this process, found where the process maps
them: the native sinks use these very libraries (the HDF5 of h5py, the ZeroMQ of pyzmq)."""

from __future__ import annotations

import os
import re


def mapped(name: str) -> str | None:
    """The path of the first library mapped into this process whose file name matches the regular
    expression `name` at its start, or None."""
    with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
        for line in maps:
            fields = line.split(None, 5)
            if len(fields) == 6 and re.match(name, os.path.basename(fields[5].strip())):
                return fields[5].strip()
    return None
