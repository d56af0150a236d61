"""Python binding of the Zorv pixel-detector readout SDK.

Start with :obj:`zorvsdk.zorv.Device`; the package ``zorvsim`` controls the virtual device that
ships as the default SDK library.
"""

__version__ = "0.2.1"
