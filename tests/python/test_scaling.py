"""The host's map onto the library's units and back, slab by slab."""

import numpy as np
import pytest

import vexa._checks as checks
from vexa.scaling import Scaling, all_finite, data_scaling, from_unit, from_unit_as, to_unit


@pytest.fixture
def small_slabs(monkeypatch):
    # Slabs of 7 elements: every shape below is cut, across rows and planes.
    monkeypatch.setattr(checks, "SLAB_ELEMENTS", 7)


@pytest.mark.parametrize("shape", [(5, 4, 3), (3, 11), (2, 1, 9), (13,), (0, 4), ()])
def test_slabs_cover_every_element_once(small_slabs, shape):
    for elements in (None, 3, 1):  # the module's size, or the caller's
        count = np.zeros(shape, dtype=int)
        for idx in checks.slabs(shape, elements):
            assert count[idx].size <= (elements or checks.SLAB_ELEMENTS)
            count[idx] += 1
        assert np.all(count == 1)


@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.uint16, np.int8])
def test_to_unit_equals_the_whole_array_map(small_slabs, dtype):
    rng = np.random.default_rng(1)
    a = (rng.standard_normal((6, 5, 4)) * 50 + 60).astype(dtype)
    s = data_scaling(a)
    whole = ((np.asarray(a, dtype=np.float64) * 0.5 - s.low * 0.5) / s.half).astype(np.float32)
    out = to_unit(a, s)
    assert out.dtype == np.float32 and out.flags.c_contiguous
    np.testing.assert_array_equal(out, whole)
    # Non-contiguous input is read as it stands.
    np.testing.assert_array_equal(to_unit(a[:, ::2].T, s), whole[:, ::2].T)


def test_from_unit_as_equals_the_whole_array_conversion(small_slabs):
    rng = np.random.default_rng(2)
    result = rng.uniform(-0.2, 1.2, (4, 6, 5)).astype(np.float32)
    s = Scaling(low=-3.0, half=250.0)
    expected64 = from_unit(result, s)
    for dtype in (np.float32, np.float64):
        info = np.finfo(dtype)
        expected = np.clip(expected64, float(info.min), float(info.max)).astype(dtype)
        work = result.copy()
        out = from_unit_as(work, s, dtype)
        assert out.dtype == dtype
        np.testing.assert_array_equal(out, expected)
        # A float32 result is converted in its own buffer; float64 needs a new one.
        assert (out is work) == (dtype == np.float32)


def test_from_unit_as_holds_float32_overshoot_at_the_largest_value(small_slabs):
    s = Scaling(low=0.0, half=float(np.finfo(np.float32).max) / 2)
    out = from_unit_as(np.array([[0.5, 1.5], [-1.5, 1.0]], dtype=np.float32), s, np.float32)
    big = np.finfo(np.float32).max
    assert np.all(np.isfinite(out))
    assert out[0, 1] == big and out[1, 0] == -big


def test_all_finite_finds_a_bad_value_in_any_slab(small_slabs):
    a = np.zeros((5, 4, 3), dtype=np.float32)
    assert all_finite(a)
    for value in (np.nan, np.inf, -np.inf):
        for where in [(0, 0, 0), (4, 3, 2), (2, 1, 1)]:
            b = a.copy()
            b[where] = value
            assert not all_finite(b)
