"""KOVA Discovery: in-process agent discovery with a C++ core."""

from kova_discovery import _native

__all__ = ["_native"]
