#!/usr/bin/env python3
"""Prints the computed built-in tables of src/transforms/transform_tables.cpp.

Everything is evaluated in double precision and rounded once to float32:
the orthonormal DCT-II matrices and their transposes, the inverse of the
8-point biorthogonal analysis matrix (inverted as the float matrix the
library stores) and the Kaiser windows (beta = 2). The Haar tables have a
closed form and are built at compile time in the C++ source.

Usage: python3 tools/gen_tables.py > generated_block.txt
"""

import math

import numpy as np


def fmt(v):
    """Shortest decimal that reads back as the same float32, with an f suffix."""
    f = np.float32(v)
    if f == 0:
        return "0.0f"
    for digits in range(6, 10):
        s = "%.*g" % (digits, f)
        if np.float32(float(s)) == f:
            break
    if "e" not in s and "." not in s:
        s += ".0"
    return s + "f"


def emit(name, values, per_line):
    vals = [fmt(v) for v in np.asarray(values, dtype=np.float64).ravel()]
    print("const float %s[%d] = {" % (name, len(vals)))
    for i in range(0, len(vals), per_line):
        print("    " + ", ".join(vals[i : i + per_line]) + ",")
    print("};")


def dct2(n):
    m = np.zeros((n, n))
    for k in range(n):
        a = math.sqrt(1.0 / n) if k == 0 else math.sqrt(2.0 / n)
        for c in range(n):
            m[k, c] = a * math.cos(math.pi * (2 * c + 1) * k / (2.0 * n))
    return m


def bessel_i0(x):
    # Power series of the modified Bessel function of order 0; converges fast for small x.
    total, term, k = 1.0, 1.0, 1
    while term > 1e-18 * total:
        term *= (x / (2.0 * k)) ** 2
        total += term
        k += 1
    return total


def kaiser(n, beta):
    return np.array(
        [
            bessel_i0(beta * math.sqrt(1.0 - (2.0 * i / (n - 1) - 1.0) ** 2)) / bessel_i0(beta)
            for i in range(n)
        ]
    )


def bior8_fwd():
    f32 = lambda s: float(np.float32(float(s)))
    a, b, c, d = f32("0.343550205"), f32("0.225454822"), f32("0.461645573"), f32("0.569359422")
    e, f, h = f32("0.402347296"), f32("0.0835060477"), f32("0.707106769")
    return np.array(
        [
            [a, a, a, a, a, a, a, a],
            [-b, -c, -c, -b, b, c, c, b],
            [d, e, -e, -d, -f, f, -f, f],
            [-f, f, -f, f, d, e, -e, -d],
            [h, -h, 0, 0, 0, 0, 0, 0],
            [0, 0, h, -h, 0, 0, 0, 0],
            [0, 0, 0, 0, h, -h, 0, 0],
            [0, 0, 0, 0, 0, 0, h, -h],
        ],
        dtype=np.float64,
    )


def main():
    print("// ---- begin of the block printed by tools/gen_tables.py ----")
    for n, per_line in ((4, 4), (5, 5), (8, 8)):
        m = dct2(n)
        emit("DCT_%d_FWD" % n, m, per_line)
        emit("DCT_%d_INV" % n, m.T, per_line)
    emit("BIOR_8_INV", np.linalg.inv(bior8_fwd()), 8)
    w8 = kaiser(8, 2.0)
    w4 = kaiser(4, 2.0)
    emit("KAISER_8x8", np.outer(w8, w8), 8)
    emit("KAISER_4x4x4", np.einsum("z,y,x->zyx", w4, w4, w4), 4)
    print("// ---- end of the generated block ----")


if __name__ == "__main__":
    main()
