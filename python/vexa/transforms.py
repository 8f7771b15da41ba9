"""Transform sets built on the host, for block sizes the library has no set for.

Matrices are row-major, row j holding the weights of output coefficient j;
every matrix here is orthonormal, so its inverse is its transpose.
"""

from __future__ import annotations

import ctypes

import numpy as np

from ._lib import FloatPtr, Matrices3, VexaTransforms

__all__ = [
    "BUILTIN_BLOCK_SIZES",
    "MAX_GROUP_TABLE",
    "dct_matrix",
    "haar_matrix",
    "kaiser_window",
    "block_window",
    "HostTransformSet",
]

# Library-order (x, y, z) block sizes for which the library has its own set.
BUILTIN_BLOCK_SIZES = ((4, 4, 4), (8, 8, 1))

# Longest group the group tables provide a matrix for.
MAX_GROUP_TABLE = 64


def dct_matrix(n: int) -> np.ndarray:
    """Orthonormal DCT-II of size n (float64); the 1x1 case is the identity."""
    if n < 1:
        raise ValueError(f"dct_matrix: n must be at least 1, got {n}")
    k = np.arange(n)[:, None]
    c = np.arange(n)[None, :]
    m = np.cos(np.pi * (2 * c + 1) * k / (2 * n))
    m *= np.sqrt(2.0 / n)
    m[0, :] = np.sqrt(1.0 / n)
    return m


def haar_matrix(n: int) -> np.ndarray:
    """Orthonormal multi-level Haar matrix of size n, a power of two (float64).

    Row 0 is the mean; rows 2**l .. 2**(l+1)-1 are the details of the
    segments of length n / 2**l, coarsest level first.
    """
    if n < 1 or n & (n - 1):
        raise ValueError(f"haar_matrix: n must be a power of two, got {n}")
    m = np.zeros((n, n))
    m[0, :] = 1.0 / np.sqrt(n)
    level = 0
    while (1 << level) < n:
        segments = 1 << level
        length = n // segments
        for j in range(segments):
            row = segments + j
            lo = j * length
            m[row, lo : lo + length // 2] = 1.0 / np.sqrt(length)
            m[row, lo + length // 2 : lo + length] = -1.0 / np.sqrt(length)
        level += 1
    return m


def kaiser_window(n: int, beta: float = 2.0) -> np.ndarray:
    """n-point Kaiser window (float64); a single point has weight 1."""
    if n < 1:
        raise ValueError(f"kaiser_window: n must be at least 1, got {n}")
    if n == 1:
        return np.ones(1)
    i = np.arange(n)
    arg = 1.0 - (2.0 * i / (n - 1) - 1.0) ** 2
    return np.i0(beta * np.sqrt(np.clip(arg, 0.0, None))) / np.i0(beta)


def block_window(block_size_xyz, beta: float = 2.0) -> np.ndarray:
    """Separable Kaiser window in block order (x fastest), shape (bz, by, bx)."""
    bx, by, bz = block_size_xyz
    wx, wy, wz = kaiser_window(bx, beta), kaiser_window(by, beta), kaiser_window(bz, beta)
    return wz[:, None, None] * wy[None, :, None] * wx[None, None, :]


def _as_float_ptr(a: np.ndarray):
    return a.ctypes.data_as(FloatPtr)


class HostTransformSet:
    """A complete transform set owned by Python for one block size.

    DCT-II per block axis, multi-level Haar across the group for every power
    of two up to 64 (the length-1 entry is the identity), and a Kaiser
    window with beta 2. The object keeps every array alive; pass
    ``as_struct()`` to the library only while it exists.
    """

    def __init__(self, block_size_xyz):
        self.block_size = tuple(int(b) for b in block_size_xyz)
        self._keep = []
        fwd, inv = [], []
        for n in self.block_size:
            m = np.ascontiguousarray(dct_matrix(n), dtype=np.float32)
            mi = np.ascontiguousarray(m.T)
            self._keep += [m, mi]
            fwd.append(_as_float_ptr(m))
            inv.append(_as_float_ptr(mi))
        self._group_fwd = (FloatPtr * (MAX_GROUP_TABLE + 1))()
        self._group_inv = (FloatPtr * (MAX_GROUP_TABLE + 1))()
        n = 1
        while n <= MAX_GROUP_TABLE:
            g = np.ascontiguousarray(haar_matrix(n), dtype=np.float32)
            gi = np.ascontiguousarray(g.T)
            self._keep += [g, gi]
            self._group_fwd[n] = _as_float_ptr(g)
            self._group_inv[n] = _as_float_ptr(gi)
            n *= 2
        self.window = np.ascontiguousarray(block_window(self.block_size), dtype=np.float32)
        self._struct = VexaTransforms(
            forward=Matrices3(*fwd),
            inverse=Matrices3(*inv),
            groupForward=ctypes.cast(self._group_fwd, ctypes.POINTER(FloatPtr)),
            groupInverse=ctypes.cast(self._group_inv, ctypes.POINTER(FloatPtr)),
            window=_as_float_ptr(self.window),
        )

    def as_struct(self) -> VexaTransforms:
        return self._struct


def library_transforms() -> VexaTransforms:
    """An empty set: the library picks its built-in set for 4x4x4 or 8x8x1 blocks."""
    return VexaTransforms()
