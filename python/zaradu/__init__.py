"""The zaradu circuit compiler package.

The compiled modules ``zaradu.macro`` and ``zaradu.compiler`` are imported on
demand (``import zaradu.compiler``); importing the package itself loads
nothing but this file, so the pure-Python modules can be used on their own.
"""
