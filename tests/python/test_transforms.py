"""Host-built transform sets: orthonormal matrices, the Haar structure, the Kaiser window."""

import ctypes

import numpy as np
import pytest

from vexa.transforms import HostTransformSet, block_window, dct_matrix, haar_matrix, kaiser_window


@pytest.mark.parametrize("n", [1, 2, 3, 4, 5, 8, 16])
def test_dct_is_orthonormal_dct2(n):
    m = dct_matrix(n)
    np.testing.assert_allclose(m @ m.T, np.eye(n), atol=1e-12)
    # Row k is a cosine of k half-periods: row 0 constant, row 1 antisymmetric.
    np.testing.assert_allclose(m[0], np.full(n, 1 / np.sqrt(n)))
    if n > 1:
        np.testing.assert_allclose(m[1], -m[1][::-1], atol=1e-12)


@pytest.mark.parametrize("n", [1, 2, 4, 8, 16, 32, 64])
def test_haar_is_orthonormal_multilevel(n):
    m = haar_matrix(n)
    np.testing.assert_allclose(m @ m.T, np.eye(n), atol=1e-12)
    if n >= 4:
        # Row 2 is the detail of the first half: +,- on its quarters, zero beyond.
        q = n // 4
        assert np.all(m[2, :q] > 0) and np.all(m[2, q : 2 * q] < 0)
        assert np.all(m[2, 2 * q :] == 0)
    # The last row is the finest detail of the last pair.
    if n >= 2:
        assert m[-1, -2] == pytest.approx(1 / np.sqrt(2)) and m[-1, -1] == pytest.approx(
            -1 / np.sqrt(2)
        )


@pytest.mark.parametrize("n", [0, 3, 6, 12])
def test_haar_rejects_other_lengths(n):
    with pytest.raises(ValueError, match="power of two"):
        haar_matrix(n)


def test_kaiser_window_matches_published_values():
    np.testing.assert_allclose(
        kaiser_window(8),
        [0.438676, 0.681324, 0.876840, 0.985823, 0.985823, 0.876840, 0.681324, 0.438676],
        atol=2e-6,
    )
    np.testing.assert_allclose(
        kaiser_window(4), [0.438676, 0.924314, 0.924314, 0.438676], atol=2e-6
    )
    assert kaiser_window(1).tolist() == [1.0]


def test_block_window_is_separable_and_x_fastest():
    w = block_window((4, 2, 1))
    assert w.shape == (1, 2, 4)
    np.testing.assert_allclose(w[0, 1], kaiser_window(2)[1] * kaiser_window(4))


def test_host_set_tables():
    ts = HostTransformSet((5, 3, 2))
    t = ts.as_struct()
    fx = np.ctypeslib.as_array(t.forward.x, shape=(25,)).reshape(5, 5)
    ix = np.ctypeslib.as_array(t.inverse.x, shape=(25,)).reshape(5, 5)
    np.testing.assert_allclose(ix @ fx, np.eye(5), atol=1e-6)
    fz = np.ctypeslib.as_array(t.forward.z, shape=(4,)).reshape(2, 2)
    np.testing.assert_allclose(fz, dct_matrix(2), atol=1e-7)
    # Group tables: powers of two up to 64, a 1x1 identity for single blocks, nothing else.
    for n in range(65):
        present = bool(t.groupForward[n]) and bool(t.groupInverse[n])
        assert present == (n >= 1 and n & (n - 1) == 0), n
    assert t.groupForward[1][0] == 1.0 and t.groupInverse[1][0] == 1.0
    g8 = np.ctypeslib.as_array(t.groupForward[8], shape=(64,)).reshape(8, 8)
    np.testing.assert_allclose(g8, haar_matrix(8), atol=1e-7)
    win = np.ctypeslib.as_array(t.window, shape=(30,))
    np.testing.assert_allclose(win, block_window((5, 3, 2)).ravel(), atol=1e-7)
    assert ctypes.addressof(t.window.contents) == ts.window.ctypes.data
