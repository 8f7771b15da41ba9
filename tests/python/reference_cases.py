"""Small fixed inputs whose stage outputs are stored in tests/data/reference.

The stored outputs come from the library as it was before the speed work
(tools/make_reference_outputs.py writes them); test_reference_outputs.py checks
that the library of the working tree still gives them. Every case stores its
noisy input too, so the check does not depend on the random generator.
"""

from __future__ import annotations

from pathlib import Path

import numpy as np

import vexa

DATA = Path(__file__).resolve().parents[1] / "data" / "reference"


def phantom(shape):
    """Piecewise-smooth data in [0, 1] with edges, a ball and a ramp."""
    grids = np.meshgrid(*[np.linspace(0.0, 1.0, n) for n in shape], indexing="ij")
    img = 0.2 + 0.3 * grids[-1] + 0.1 * np.sin(5.0 * grids[0])
    r2 = sum((g - 0.45) ** 2 for g in grids)
    img[r2 < 0.28**2] = 0.8
    img[(grids[0] > 0.1) & (grids[0] < 0.3) & (grids[-1] > 0.6)] = 0.05
    return img


def gaussian_kernel(ndim, std=1.0):
    t = np.arange(-4, 5, dtype=np.float64)
    g = np.exp(-0.5 * (t / std) ** 2)
    k = g
    for _ in range(ndim - 1):
        k = np.multiply.outer(k, g)
    return k / np.sqrt(np.sum(k * k))


def line_kernel(ndim, taps=5):
    k = np.ones((1,) * (ndim - 1) + (taps,))
    return k / np.sqrt(np.sum(k * k))


def _correlated(shape, kernel, sigma, seed):
    """Noise of std sigma: unit white noise circularly convolved with kernel."""
    w = np.random.default_rng(seed).standard_normal(shape)
    padded = np.zeros(shape)
    padded[tuple(slice(0, s) for s in kernel.shape)] = kernel
    return sigma * np.real(np.fft.ifftn(np.fft.fftn(w) * np.fft.fftn(padded)))


# name: (shape in array order, noise, profile changes, threads)
#  noise "white" is sigma 0.1; "gauss" low-pass (3-D: adapted 6x6x6 blocks on a
#  host-built transform set); "line" five taps along the fastest axis (2-D:
#  adapted 12x12 Wiener blocks, host-built).
CASES = {
    "white3d": ((20, 18, 16), "white", None, 1),
    "white3d_threads": ((20, 18, 16), "white", None, 2),
    "gauss3d": ((20, 18, 16), "gauss", None, 1),
    "line3d": ((20, 18, 16), "line", None, 1),
    "white3d_host5": ((15, 17, 19), "white", dict(block_size=5, step=2), 1),
    "white2d": ((44, 40), "white", None, 1),
    "line2d": ((44, 40), "line", None, 1),
    "gauss2d": ((44, 40), "gauss", None, 1),
}


def _profile(changes):
    if changes is None:
        return "default"
    p = vexa.VEXAProfile.from_name("default")
    for stage in (p.hard, p.wiener):
        for key, value in changes.items():
            setattr(stage, key, value)
    return p


def make_input(name):
    """(noisy input, sigma_psd argument) of a case, computed afresh."""
    shape, noise, _, _ = CASES[name]
    seed = sum(ord(c) for c in name)
    clean = phantom(shape)
    ndim = len(shape)
    if noise == "white":
        noisy = clean + 0.1 * np.random.default_rng(seed).standard_normal(shape)
        return noisy.astype(np.float32), 0.1
    kernel = gaussian_kernel(ndim) if noise == "gauss" else line_kernel(ndim)
    noisy = clean + _correlated(shape, kernel, 0.1, seed)
    psd_shape = (8,) * ndim if ndim == 3 else (32, 32)
    return noisy.astype(np.float32), vexa.psd_from_kernel(kernel, psd_shape, sigma=0.1)


def run_case(name, noisy, sigma_psd, basic=None):
    """(basic estimate, final estimate) of a case from the loaded library; the
    Wiener stage runs on ``basic`` when given."""
    _, _, changes, threads = CASES[name]
    prof = _profile(changes)
    if basic is None:
        basic = vexa.vexa(noisy, sigma_psd, prof, "hard", num_threads=threads, progress=False)
    final = vexa.vexa(noisy, sigma_psd, prof, "wiener", basic_estimate=basic, num_threads=threads,
                      progress=False)
    return basic.astype(np.float32), final.astype(np.float32)


def relative_rms(ref, got):
    ref = np.asarray(ref, np.float64)
    return float(np.sqrt(np.mean((np.asarray(got, np.float64) - ref) ** 2) / np.mean(ref**2)))
