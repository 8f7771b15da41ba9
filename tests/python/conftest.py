import numpy as np
import pytest


def smooth_image(shape):
    """Piecewise-smooth test data in [0, 1] of any dimensionality (2 or 3 axes)."""
    grids = np.meshgrid(*[np.linspace(0.0, 1.0, n) for n in shape], indexing="ij")
    img = 0.2 + 0.3 * grids[-1] + 0.1 * np.sin(3.0 * grids[0])
    centre = [0.5] * len(shape)
    r2 = sum((g - c) ** 2 for g, c in zip(grids, centre))
    img[r2 < 0.3**2] = 0.8
    img[(grids[0] > 0.1) & (grids[0] < 0.3) & (grids[-1] > 0.6)] = 0.05
    return img


def psnr(ref, est):
    mse = np.mean((np.asarray(ref, np.float64) - np.asarray(est, np.float64)) ** 2)
    return 10.0 * np.log10(1.0 / mse)


@pytest.fixture
def noisy2d():
    clean = smooth_image((64, 64))
    noisy = clean + 0.1 * np.random.default_rng(1).standard_normal(clean.shape)
    return clean, noisy.astype(np.float32)


@pytest.fixture
def noisy3d():
    clean = smooth_image((24, 24, 24))
    noisy = clean + 0.1 * np.random.default_rng(2).standard_normal(clean.shape)
    return clean, noisy.astype(np.float32)
