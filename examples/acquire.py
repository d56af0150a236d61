"""A short session on the first attached device: enumerate, open, report what it is, close.

Runs against the virtual device that ships with the package, or against a real SDK library
put on LD_LIBRARY_PATH.
"""

import sys

from zorvsdk.zorv import Device, getCompileTimeVersion, getRuntimeVersion


def main() -> int:
    device = Device()
    try:
        descriptors = device.enumerate()
        if not descriptors:
            print("no device attached", file=sys.stderr)
            return 1
        first = descriptors[0]
        device.open(first.connectionString)
        try:
            print(f"SDK {tuple(getRuntimeVersion())} (built against {tuple(getCompileTimeVersion())})")
            print(f"{len(descriptors)} device(s) attached; opened {first.connectionString}")
            print(f"  product:      {first.product}")
            print(f"  manufacturer: {first.manufacturer}")
            print(f"  serial:       {first.serialNumber}")
            print(f"  USB:          {first.usbVid:04x}:{first.usbPid:04x} at {first.usbInstancePath}")
        finally:
            device.close()
    finally:
        device.finalize()
    return 0


if __name__ == "__main__":
    sys.exit(main())
