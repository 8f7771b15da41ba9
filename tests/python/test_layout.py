"""The ctypes mirrors match the C structures byte for byte, and the loader finds the library."""

import ctypes
import os
import subprocess
import sys
import types

import pytest

from vexa import _lib

PARAMETERS = [
    ("blockSize", 0),
    ("psdResampleSize", 12),
    ("psdSymmetry", 24),
    ("maxGroupSize", 28),
    ("varianceGroupSize", 32),
    ("hardThreshold", 36),
    ("wienerFactor", 40),
    ("matchNoiseFactor", 44),
    ("searchRadius", 48),
    ("imageSize", 60),
    ("psdSize", 72),
    ("step", 84),
    ("minGroupSize", 96),
    ("matchThreshold", 100),
    ("splitBlockExtraction", 104),
    ("gridShiftCount", 108),
    ("gridShift", 120),
    ("deterministic", 144),
    ("sharpen", 148),
    ("sharpenVariances", 149),
    ("sharpenAlpha", 152),
    ("sharpenAlphaFirstSlice", 156),
    ("numThreads", 160),
]
TRANSFORMS = [
    ("forward", 0),
    ("inverse", 24),
    ("groupForward", 48),
    ("groupInverse", 56),
    ("window", 64),
]
STORAGE = [
    ("maxMatches", 0),
    ("matchCounts", 8),
    ("matchPositions", 16),
    ("matchRelativePositions", 24),
    ("referenceCount", 32),
    ("reuseMatches", 36),
]


@pytest.mark.parametrize(
    "struct, size, fields",
    [
        (_lib.VexaParameters, 168, PARAMETERS),
        (_lib.VexaTransforms, 72, TRANSFORMS),
        (_lib.BlockMatchStorage, 40, STORAGE),
    ],
    ids=["parameters", "transforms", "storage"],
)
def test_structure_layout(struct, size, fields):
    assert ctypes.sizeof(struct) == size
    assert ctypes.alignment(struct) == 8
    for name, offset in fields:
        assert getattr(struct, name).offset == offset, name


def test_parameter_subfields():
    p = _lib.VexaParameters
    assert p.splitBlockExtraction.size == 3
    assert p.gridShift.size == 24
    # The three shift tables lie at 120, 128 and 136.
    assert [getattr(_lib.ShiftTables, a).offset for a in "xyz"] == [0, 8, 16]
    assert ctypes.sizeof(_lib.Vec3i) == 12


@pytest.mark.parametrize(
    "platform, name",
    [("linux", "libvexa_linux.so"), ("win32", "libvexa_win.so"), ("darwin", "libvexa_mac.so")],
)
def test_library_name_per_platform(platform, name):
    assert _lib.library_name(platform) == name


@pytest.mark.parametrize(
    "platform, name",
    [("linux", "libvexa_linux.so"), ("win32", "libvexa_win.so"), ("darwin", "libvexa_mac.so")],
)
def test_host_loads_the_library_of_the_running_platform(monkeypatch, tmp_path, platform, name):
    # The package folder holds the library built for the platform; the loader
    # must open that file, by its full path, and no other.
    for other in ("libvexa_linux.so", "libvexa_win.so", "libvexa_mac.so"):
        (tmp_path / other).write_bytes(b"")
    opened = []

    def fake_cdll(path):
        opened.append(path)
        return types.SimpleNamespace(**{n: (lambda *a: 0) for n in _lib._SIGNATURES})

    monkeypatch.setattr(sys, "platform", platform)
    monkeypatch.delenv("VEXA_LIBRARY", raising=False)
    monkeypatch.setattr(_lib, "__file__", str(tmp_path / "_lib.py"))
    monkeypatch.setattr(_lib, "_loaded", None)
    monkeypatch.setattr(_lib.ctypes, "CDLL", fake_cdll)
    _lib.load_library()
    assert opened == [str(tmp_path / name)]


def test_missing_platform_library_names_the_file(monkeypatch, tmp_path):
    monkeypatch.setattr(sys, "platform", "win32")
    monkeypatch.delenv("VEXA_LIBRARY", raising=False)
    monkeypatch.setattr(_lib, "__file__", str(tmp_path / "_lib.py"))
    monkeypatch.setattr(_lib, "_loaded", None)
    (tmp_path / "libvexa_linux.so").write_bytes(b"")
    with pytest.raises(OSError, match="libvexa_win.so"):
        _lib.load_library()


def test_installed_library_loads_and_answers():
    _lib.load_library()
    if "VEXA_LIBRARY" not in os.environ:
        assert _lib.library_path().name == _lib.library_name()
    assert _lib.library_version().count(".") == 2
    assert _lib.default_thread_count() >= 1


def test_missing_override_library_is_a_clear_error(tmp_path):
    code = "import vexa._lib as l\ntry:\n    l.load_library()\nexcept OSError as e:\n    print(e)\n"
    env = dict(os.environ, VEXA_LIBRARY=str(tmp_path / "nope.so"))
    out = subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True
    ).stdout
    assert "not found" in out and "nope.so" in out
