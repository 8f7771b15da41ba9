"""Loading of the vexa shared library and ctypes mirrors of its C structures.

The layouts below are byte for byte those of include/vexa.h; the test suite
checks every size and field offset.
"""

from __future__ import annotations

import ctypes
import os
import sys
import threading
from ctypes import POINTER, c_char_p, c_float, c_int, c_int32, c_int64, c_uint8
from pathlib import Path

__all__ = [
    "Vec3i",
    "Matrices3",
    "ShiftTables",
    "VexaParameters",
    "VexaTransforms",
    "BlockMatchStorage",
    "STATUS_OK",
    "STATUS_INVALID_ARGUMENT",
    "STATUS_OUT_OF_MEMORY",
    "STATUS_INTERNAL",
    "STATUS_CANCELLED",
    "STATUS_THREADS",
    "STATUS_BUSY",
    "library_name",
    "library_path",
    "load_library",
]

STATUS_OK = 0
STATUS_INVALID_ARGUMENT = 1
STATUS_OUT_OF_MEMORY = 2
STATUS_INTERNAL = 3
STATUS_CANCELLED = 4
STATUS_THREADS = 5
STATUS_BUSY = 6

STATUS_NAMES = {
    STATUS_OK: "ok",
    STATUS_INVALID_ARGUMENT: "invalid argument",
    STATUS_OUT_OF_MEMORY: "out of memory",
    STATUS_INTERNAL: "internal check failed",
    STATUS_CANCELLED: "cancelled",
    STATUS_THREADS: "worker threads could not be started",
    STATUS_BUSY: (
        "another vexa stage call is running in this process; the library runs one stage at a"
        " time, so wait for it to finish and call again"
    ),
}

FloatPtr = POINTER(c_float)
IntPtr = POINTER(c_int32)


class Vec3i(ctypes.Structure):
    _fields_ = [("x", c_int32), ("y", c_int32), ("z", c_int32)]


class Matrices3(ctypes.Structure):
    _fields_ = [("x", FloatPtr), ("y", FloatPtr), ("z", FloatPtr)]


class ShiftTables(ctypes.Structure):
    _fields_ = [("x", IntPtr), ("y", IntPtr), ("z", IntPtr)]


class VexaParameters(ctypes.Structure):
    """The 168-byte parameter block, filled by the host and passed by value."""

    _fields_ = [
        ("blockSize", Vec3i),
        ("psdResampleSize", Vec3i),
        ("psdSymmetry", c_uint8),
        ("_pad0", c_uint8 * 3),
        ("maxGroupSize", c_int32),
        ("varianceGroupSize", c_int32),
        ("hardThreshold", c_float),
        ("wienerFactor", c_float),
        ("matchNoiseFactor", c_float),
        ("searchRadius", Vec3i),
        ("imageSize", Vec3i),
        ("psdSize", Vec3i),
        ("step", Vec3i),
        ("minGroupSize", c_int32),
        ("matchThreshold", c_float),
        ("splitBlockExtraction", c_uint8 * 3),
        ("_pad1", c_uint8),
        ("gridShiftCount", Vec3i),
        ("gridShift", ShiftTables),
        ("deterministic", c_uint8),
        ("_reserved", c_uint8 * 3),
        ("sharpen", c_uint8),
        ("sharpenVariances", c_uint8),
        ("_pad2", c_uint8 * 2),
        ("sharpenAlpha", c_float),
        ("sharpenAlphaFirstSlice", c_float),
        ("numThreads", c_int32),
        ("_pad3", c_uint8 * 4),
    ]


class VexaTransforms(ctypes.Structure):
    """The 72-byte transform set: nine pointers, passed by value."""

    _fields_ = [
        ("forward", Matrices3),
        ("inverse", Matrices3),
        ("groupForward", POINTER(FloatPtr)),
        ("groupInverse", POINTER(FloatPtr)),
        ("window", FloatPtr),
    ]


class BlockMatchStorage(ctypes.Structure):
    """The 40-byte host-owned store of block matches, passed by pointer."""

    _fields_ = [
        ("maxMatches", c_int32),
        ("_pad0", c_uint8 * 4),
        ("matchCounts", IntPtr),
        ("matchPositions", IntPtr),
        ("matchRelativePositions", IntPtr),
        ("referenceCount", c_int32),
        ("reuseMatches", c_int32),
    ]


def library_name(platform: str | None = None) -> str:
    """File name of the shared library on this (or the given) platform."""
    platform = sys.platform if platform is None else platform
    if platform.startswith("win") or platform == "cygwin":
        return "libvexa_win.so"
    if platform == "darwin":
        return "libvexa_mac.so"
    return "libvexa_linux.so"


def library_path() -> Path:
    """Path of the library to load: $VEXA_LIBRARY, else the copy inside the package."""
    override = os.environ.get("VEXA_LIBRARY")
    if override:
        return Path(override)
    return Path(__file__).resolve().parent / library_name()


_STAGE_ARGS = [FloatPtr, FloatPtr, VexaParameters, VexaTransforms, FloatPtr]

_SIGNATURES = {
    "vexaInterfaceHT": (c_int, _STAGE_ARGS + [POINTER(BlockMatchStorage)]),
    "vexaInterfaceWie": (c_int, _STAGE_ARGS + [FloatPtr, POINTER(BlockMatchStorage)]),
    "vexaGetProgress": (None, [POINTER(c_int64), POINTER(c_int64)]),
    "vexaRequestCancel": (None, []),
    "vexaLastMessage": (c_char_p, []),
    "vexaVersion": (c_char_p, []),
    "vexaDefaultThreadCount": (c_int, []),
}

_lock = threading.Lock()
_loaded: ctypes.CDLL | None = None


def load_library() -> ctypes.CDLL:
    """Loads the library once and declares every export's signature.

    Raises OSError with the path tried when the library is missing or lacks
    an entry point.
    """
    global _loaded
    with _lock:
        if _loaded is not None:
            return _loaded
        path = library_path()
        if not path.is_file():
            hint = (
                "VEXA_LIBRARY points to no file"
                if os.environ.get("VEXA_LIBRARY")
                else "reinstall the package (pip install .) or set VEXA_LIBRARY"
            )
            raise OSError(f"vexa: shared library not found at {path}; {hint}")
        lib = ctypes.CDLL(str(path))
        missing = [name for name in _SIGNATURES if not hasattr(lib, name)]
        if missing:
            raise OSError(f"vexa: library {path} lacks the entry points {', '.join(missing)}")
        for name, (restype, argtypes) in _SIGNATURES.items():
            fn = getattr(lib, name)
            fn.restype = restype
            fn.argtypes = argtypes
        _loaded = lib
        return lib


def library_version() -> str:
    return load_library().vexaVersion().decode("utf-8", "replace")


def default_thread_count() -> int:
    return int(load_library().vexaDefaultThreadCount())


def last_message() -> str:
    raw = load_library().vexaLastMessage()
    return raw.decode("utf-8", "replace") if raw else ""


def get_progress() -> tuple[int, int]:
    done, total = c_int64(0), c_int64(0)
    load_library().vexaGetProgress(ctypes.byref(done), ctypes.byref(total))
    return int(done.value), int(total.value)


def request_cancel() -> None:
    load_library().vexaRequestCancel()
