"""PSD helpers in the unscaled-DFT convention and the robust sigma estimate."""

import numpy as np
import pytest

import vexa
from vexa import estimate_sigma, noise_variance, psd_from_kernel, psd_white


@pytest.mark.parametrize("shape", [(8, 8), (4, 8, 16), (1, 32, 32)])
def test_white_psd_convention(shape):
    psd = psd_white(0.25, shape)
    assert psd.shape == shape and psd.dtype == np.float32
    assert np.all(psd == pytest.approx(0.0625 * np.prod(shape)))
    assert noise_variance(psd) == pytest.approx(0.0625)


def test_kernel_psd_variance_and_white_limit():
    rng = np.random.default_rng(0)
    k = rng.standard_normal((3, 5))
    psd = psd_from_kernel(k, (16, 16), sigma=2.0)
    assert noise_variance(psd) == pytest.approx(4.0 * np.sum(k**2), rel=1e-5)
    # A unit impulse filters nothing: the white PSD.
    impulse = np.zeros((1, 1, 1))
    impulse[0, 0, 0] = 1.0
    np.testing.assert_allclose(
        psd_from_kernel(impulse, (4, 8, 8), sigma=0.5), psd_white(0.5, (4, 8, 8)), rtol=1e-6
    )


def test_kernel_psd_matches_periodogram_of_filtered_noise():
    rng = np.random.default_rng(3)
    k = np.array([[1.0, 2.0, 1.0]]) * np.array([[1.0], [2.0], [1.0]]) / 8.0
    shape = (16, 16)
    acc = np.zeros(shape)
    trials = 400
    for _ in range(trials):
        w = rng.standard_normal(shape)
        # Circular convolution, so the exact PSD holds on the periodic grid.
        n = np.real(np.fft.ifft2(np.fft.fft2(w) * np.fft.fft2(k, shape)))
        acc += np.abs(np.fft.fft2(n)) ** 2
    np.testing.assert_allclose(acc / trials, psd_from_kernel(k, shape), rtol=0.25, atol=0.05)


def test_long_kernel_is_folded_onto_the_grid():
    k = np.arange(1.0, 7.0)[None, :]  # 6 taps on a 4-point axis
    psd = psd_from_kernel(k, (1, 4))
    folded = np.array([[1 + 5, 2 + 6, 3, 4]], dtype=float)
    np.testing.assert_allclose(psd, np.abs(np.fft.fft(folded)) ** 2 * 4, rtol=1e-6)


@pytest.mark.parametrize(
    "bad, match",
    [
        (dict(kernel=np.ones(3), shape=(4, 4)), "axes"),
        (dict(kernel=np.ones((2, 2)), shape=(4, 0)), "shape"),
        (dict(kernel=np.array([[np.nan]]), shape=(4, 4)), "finite"),
        (dict(kernel=np.ones((2, 2)), shape=(4, 4), sigma=-1.0), "sigma"),
    ],
)
def test_kernel_psd_rejects(bad, match):
    with pytest.raises(ValueError, match=match):
        psd_from_kernel(**bad)


@pytest.mark.parametrize("shape", [(128, 128), (40, 40, 40)])
def test_estimate_sigma_white_noise_on_smooth_data(shape):
    rng = np.random.default_rng(5)
    grids = np.meshgrid(*[np.linspace(0, 1, n) for n in shape], indexing="ij")
    clean = 100.0 + 50.0 * np.sin(2 * grids[0]) * grids[-1]
    noisy = clean + 7.0 * rng.standard_normal(shape)
    assert estimate_sigma(noisy) == pytest.approx(7.0, rel=0.05)


def test_estimate_sigma_channels():
    rng = np.random.default_rng(6)
    img = np.stack([s * rng.standard_normal((64, 64)) for s in (1.0, 3.0)], axis=-1)
    sig = estimate_sigma(img, channel_axis=-1)
    assert sig[0] == pytest.approx(1.0, rel=0.1) and sig[1] == pytest.approx(3.0, rel=0.1)
    assert estimate_sigma(img, channel_axis=-1, average_sigmas=True) == pytest.approx(2.0, rel=0.1)


def test_estimate_sigma_rejects_bad_input():
    with pytest.raises(ValueError, match="NaN"):
        estimate_sigma(np.array([[1.0, np.nan], [0.0, 1.0]]))
    with pytest.raises(ValueError, match="real"):
        estimate_sigma(np.ones((4, 4), dtype=complex))


# ---------------------------------------------------------------- flatness


def test_flatness_of_white_line_and_gaussian_noise():
    assert vexa.psd_flatness(vexa.psd_white(0.3, (8, 8, 8))) == pytest.approx(1.0)
    # five equal taps: autocorrelation 5, 4, 3, 2, 1 -> 25 / (25 + 2 * 30) exactly on
    # grids of at least its 9 lags, whatever the noise level
    line = vexa.psd_from_kernel(np.ones((1, 5)), (16, 32), sigma=0.2)
    assert vexa.psd_flatness(line) == pytest.approx(25 / 85, rel=1e-6)
    g = np.exp(-0.5 * np.arange(-4, 5) ** 2)
    g3 = g[:, None, None] * g[None, :, None] * g[None, None, :]
    f8 = vexa.psd_flatness(vexa.psd_from_kernel(g3, (8, 8, 8)))
    f16 = vexa.psd_flatness(vexa.psd_from_kernel(g3, (16, 16, 16)))
    # a separable PSD's flatness is the product of its axes' (about 0.4 each here)
    g1 = vexa.psd_flatness(vexa.psd_from_kernel(g[None, :], (1, 16)))
    assert f16 == pytest.approx(g1**3, rel=1e-6)
    assert 0.05 < f8 < 0.08 and f16 == pytest.approx(f8, rel=0.05)


def test_flatness_is_scale_free_even_for_huge_values():
    p = vexa.psd_from_kernel(np.ones((1, 5)), (16, 16)).astype(np.float64)
    assert vexa.psd_flatness(p * 1e200) == pytest.approx(vexa.psd_flatness(p), rel=1e-9)


@pytest.mark.parametrize(
    "bad", [np.zeros((4, 4)), np.array([]), np.array([[1.0, -1.0]]), np.array([[1.0, np.nan]])]
)
def test_flatness_rejects(bad):
    with pytest.raises(ValueError, match="psd"):
        vexa.psd_flatness(bad)
