"""The multiscale path: pyramid steps, the coarse noise PSD, the automatic choice, and that
switching it off leaves the single-scale result untouched."""

import numpy as np
import pytest

import vexa
from vexa import multiscale as ms
from vexa import VEXAProfile

from conftest import psnr, smooth_image
from reference_cases import gaussian_kernel as _gauss_kernel


def _periodic_noise(shape, psd, rng):
    """Stationary periodic noise whose PSD on the grid ``shape`` is exactly ``psd``."""
    w = rng.standard_normal(shape)
    return np.real(np.fft.ifftn(np.fft.fftn(w) * np.sqrt(psd / np.prod(shape))))


def _lowpass_noise(shape, sigma, seed):
    kernel = _gauss_kernel(len(shape)) * sigma
    psd = vexa.psd_from_kernel(kernel, shape).astype(np.float64)
    return _periodic_noise(shape, psd, np.random.default_rng(seed))


# ---------------------------------------------------------------- pyramid steps


@pytest.mark.parametrize("coarse", [(12, 10, 8), (7, 9, 5), (12, 11), (1, 6)])
def test_decimate_inverts_upsample_for_even_and_odd_coarse_lengths(coarse):
    y = np.random.default_rng(0).standard_normal(coarse)
    fine = ms.upsample(y)
    assert fine.shape == tuple(2 * n for n in coarse)
    np.testing.assert_allclose(ms.decimate(fine), y, atol=1e-12)
    # The coarse samples are the interpolated signal at every second fine sample.
    np.testing.assert_allclose(fine[tuple(slice(0, None, 2) for _ in coarse)], y, atol=1e-12)


def test_decimate_keeps_a_band_limited_signal_and_removes_high_frequencies():
    n = np.arange(64)
    low = np.cos(2 * np.pi * 5 * n / 64)  # 5/64 < 1/4 cycle per sample
    high = np.cos(2 * np.pi * 25 * n / 64)  # 25/64 > 1/4: must vanish
    out = ms.decimate(np.add.outer(low + high, np.zeros(4)))
    np.testing.assert_allclose(out[:, 0], low[::2], atol=1e-12)


def test_decimation_along_chosen_axes_leaves_the_others_alone():
    y = np.random.default_rng(2).standard_normal((5, 6, 7))
    fine = ms.upsample(y, axes=(1,))
    assert fine.shape == (5, 12, 7)
    np.testing.assert_allclose(ms.decimate(fine, axes=(-2,)), y, atol=1e-12)
    # fast variation along axis 0 survives a low band taken along axis 1 only
    n = np.arange(20)
    a = np.add.outer(np.cos(np.pi * 0.9 * n), np.linspace(0.0, 1.0, 16))
    np.testing.assert_allclose(ms.low_band(a, axes=(1,)), a, atol=0.02)
    assert np.abs(ms.low_band(a) - a).max() > 0.5
    white = ms.coarse_psd(vexa.psd_white(0.2, (4, 8, 6)), (4, 8, 6), axes=(2,))
    np.testing.assert_allclose(vexa.noise_variance(white), 0.04 / 2)
    assert ms.coarse_shape((9, 10, 11), 4, axes=(0, 2)) == (9 // 2 + 5, 10, 10)


def test_decimate_rejects_odd_lengths():
    with pytest.raises(ValueError, match="even lengths"):
        ms.decimate(np.zeros((6, 5)))


def test_padding_keeps_non_periodic_data_free_of_wraparound():
    # A ramp is far from periodic: filtered as periodic, its ends would blur into
    # each other (an error of half the range). Mirrored, the low band is the ramp.
    ramp = np.add.outer(np.linspace(0.0, 1.0, 33), np.linspace(0.0, 0.5, 20))
    assert np.abs(ms.low_band(ramp) - ramp).max() < 0.02
    periodic = ms.upsample(ms.decimate(ramp[:32]))
    assert np.abs(periodic - ramp[:32]).max() > 0.2  # what the padding prevents


@pytest.mark.parametrize("shape", [(9, 16), (5, 6, 7), (1, 8, 3)])
def test_pad_even_gives_even_lengths_and_a_mirrored_border(shape):
    a = np.random.default_rng(1).standard_normal(shape)
    padded, pads = ms.pad_even(a, 4)
    assert all(n % 2 == 0 for n in padded.shape)
    assert ms.coarse_shape(shape, 4) == tuple(n // 2 for n in padded.shape)
    inner = padded[tuple(slice(p, p + n) for (p, _), n in zip(pads, shape))]
    np.testing.assert_array_equal(inner, a)
    # the first sample is repeated across the border on axis 0
    first = pads[0][0]
    np.testing.assert_array_equal(padded[first - 1], padded[first])


# ---------------------------------------------------------------- coarse PSD


def test_coarse_psd_of_white_noise_is_white_with_the_band_share_of_the_variance():
    for ndim, grid in ((2, (16, 16)), (3, (8, 8, 8)), (2, (5, 7))):
        coarse = ms.coarse_psd(vexa.psd_white(0.3, grid), grid)
        np.testing.assert_allclose(coarse, 0.09 / 2**ndim * np.prod(grid), rtol=1e-6)


def test_resample_psd_is_exact_for_short_correlations_and_keeps_the_variance():
    kernel = np.outer([1.0, 2.0, 1.0], [1.0, -1.0])
    fine = vexa.psd_from_kernel(kernel, (64, 64))
    np.testing.assert_allclose(
        ms.resample_psd(fine, (16, 8)), vexa.psd_from_kernel(kernel, (16, 8)), rtol=1e-5, atol=0.05
    )
    np.testing.assert_allclose(
        ms.resample_psd(vexa.psd_from_kernel(kernel, (8, 8)), (32, 32)),
        vexa.psd_from_kernel(kernel, (32, 32)), rtol=1e-5, atol=0.05,
    )


@pytest.mark.parametrize(
    "kernel",
    [
        _gauss_kernel(2),  # low-pass: most power survives the filter
        np.array([[1.0, -2.0, 1.0]]) / np.sqrt(6.0),  # high-pass along x: mostly removed
    ],
)
def test_coarse_psd_matches_the_spectrum_of_decimated_noise(kernel):
    # The empirical autocorrelation of decimated periodic noise (lags 0..3, every
    # direction) agrees with the one of the predicted coarse PSD within 3 % of the
    # coarse variance (the sampling error is below 1 % with 24 fields of 127**2).
    # An odd coarse length has no Nyquist bin, so the prediction on the data's own
    # grid is exact even where the spectrum is cut sharply.
    fine_shape = (254, 254)
    psd = vexa.psd_from_kernel(kernel, fine_shape).astype(np.float64)
    rng = np.random.default_rng(3)
    acf = np.zeros((127, 127))
    for _ in range(24):
        c = ms.decimate(_periodic_noise(fine_shape, psd, rng))
        acf += np.real(np.fft.ifftn(np.abs(np.fft.fftn(c)) ** 2)) / c.size / 24
    predicted_psd = ms.coarse_psd(psd, (127, 127))
    predicted = np.real(np.fft.ifftn(predicted_psd)) / predicted_psd.size
    lags = np.ix_([0, 1, 2, 3, -1, -2], [0, 1, 2, 3, -1, -2])
    scale = predicted[0, 0]
    assert scale < vexa.noise_variance(psd)  # the filter removed some power
    np.testing.assert_allclose(acf[lags], predicted[lags], atol=0.03 * scale)


def test_decimation_whitens_low_pass_noise():
    psd = vexa.psd_from_kernel(_gauss_kernel(3), (16, 16, 16))
    coarse = ms.coarse_psd(psd, (8, 8, 8))
    assert vexa.psd_flatness(psd) < 0.1 < 0.3 < vexa.psd_flatness(coarse)


# ---------------------------------------------------------------- the profile setting


def test_multiscale_setting_is_validated_and_chosen_by_the_flatness():
    for bad in ("yes", 1, 0.5):
        with pytest.raises(ValueError, match="multiscale must be None"):
            VEXAProfile(multiscale=bad).resolve(3)
    auto = VEXAProfile()
    assert auto.resolve(3).multiscale is False  # white noise
    assert auto.resolve(3, 1.0).multiscale is False
    assert auto.resolve(3, 0.06).multiscale is True  # Gaussian low-pass noise
    assert auto.resolve(3, 0.29).multiscale is True  # line noise on volumes
    assert auto.resolve(3, 0.40).multiscale is False  # CT-like noise
    limit = ms.MULTISCALE_MAX_FLATNESS[3]
    assert auto.resolve(3, limit).multiscale is False
    assert auto.resolve(2, 0.16).multiscale is True  # Gaussian low-pass noise on an image
    assert auto.resolve(2, 0.29).multiscale is False  # line noise
    assert VEXAProfile(multiscale=True).resolve(2).multiscale is True
    assert VEXAProfile(multiscale=False).resolve(3, 0.01).multiscale is False
    # the automatic choice is part of the noise adaptation
    assert VEXAProfile(adapt_to_noise=False).resolve(3, 0.06).multiscale is False
    assert VEXAProfile(adapt_to_noise=False, multiscale=True).resolve(3).multiscale is True


# ---------------------------------------------------------------- the denoising path


def _run(z, profile, **kw):
    return vexa.denoise(z, profile=profile, progress=False, deterministic=True, num_threads=2, **kw)


@pytest.mark.parametrize("shape", [(64, 64), (32, 32, 32)])
def test_multiscale_off_is_the_single_scale_path_bit_for_bit(shape):
    clean = smooth_image(shape)
    z = (clean + _lowpass_noise(shape, 0.1, 4)).astype(np.float32)
    psd = vexa.psd_from_kernel(_gauss_kernel(len(shape)) * 0.1, (8,) * len(shape))
    off = _run(z, VEXAProfile(multiscale=False), psd=psd)
    basic = _run(z, VEXAProfile(multiscale=True), psd=psd, stage="hard")
    single = _run(z, VEXAProfile(multiscale=True), psd=psd, stage="wiener", basic_estimate=basic)
    np.testing.assert_array_equal(off, single)  # one stage at a time is single-scale
    on = _run(z, VEXAProfile(multiscale=True), psd=psd)
    assert on.shape == z.shape and on.dtype == np.float32 and np.all(np.isfinite(on))
    assert not np.array_equal(on, off)
    assert psnr(clean, on) > psnr(clean, z) + 3.0
    # white noise: the automatic choice is off, so the default equals forced off
    white = (clean + 0.1 * np.random.default_rng(5).standard_normal(shape)).astype(np.float32)
    off_white = _run(white, VEXAProfile(multiscale=False), sigma=0.1)
    np.testing.assert_array_equal(_run(white, None, sigma=0.1), off_white)


def test_automatic_choice_runs_the_coarse_level_for_low_pass_volumes():
    shape = (32, 32, 32)
    z = (smooth_image(shape) + _lowpass_noise(shape, 0.1, 6)).astype(np.float32)
    psd = vexa.psd_from_kernel(_gauss_kernel(3) * 0.1, (8, 8, 8))
    auto = _run(z, None, psd=psd)
    np.testing.assert_array_equal(auto, _run(z, VEXAProfile(multiscale=True), psd=psd))
    assert not np.array_equal(auto, _run(z, VEXAProfile(multiscale=False), psd=psd))


def test_automatic_choice_stays_single_scale_when_its_arrays_exceed_the_memory_limit():
    shape = (48, 48, 48)
    z = (smooth_image(shape) + _lowpass_noise(shape, 0.1, 6)).astype(np.float32)
    psd = vexa.psd_from_kernel(_gauss_kernel(3) * 0.1, (8, 8, 8))
    need = ms.HOST_BYTES_PER_SAMPLE * z.size
    assert ms.fits_memory(shape, need) and not ms.fits_memory(shape, need - 1)
    tight = need * 9 // 10  # enough for the library's windowed buffers, not for the pyramid
    off = _run(z, VEXAProfile(multiscale=False, memory_limit=tight), psd=psd)
    np.testing.assert_array_equal(_run(z, VEXAProfile(memory_limit=tight), psd=psd), off)
    # the caller's explicit choice wins over the budget
    forced = _run(z, VEXAProfile(multiscale=True, memory_limit=tight), psd=psd)
    assert not np.array_equal(forced, off)


def test_data_too_small_to_decimate_runs_single_scale():
    shape = (12, 14, 13)  # the coarse level would hold fewer than 2 blocks of 4 per axis
    assert not ms.big_enough(VEXAProfile().resolve(3), shape)
    z = (smooth_image(shape) + _lowpass_noise(shape, 0.1, 7)).astype(np.float32)
    psd = vexa.psd_from_kernel(_gauss_kernel(3) * 0.1, (8, 8, 8))
    forced = _run(z, VEXAProfile(multiscale=True), psd=psd)
    np.testing.assert_array_equal(forced, _run(z, VEXAProfile(multiscale=False), psd=psd))


def test_odd_shapes_sigma_and_channels_on_the_multiscale_path():
    shape = (27, 30, 33)
    clean = smooth_image(shape)
    z = clean + 0.1 * np.random.default_rng(8).standard_normal(shape)
    forced = VEXAProfile(multiscale=True)
    out = _run(z, forced, sigma=0.1)  # white noise forced through the coarse level
    assert out.shape == shape and out.dtype == np.float64
    assert psnr(clean, out) > psnr(clean, z) + 3.0
    pair = np.stack([z[:, :, :16], 2.0 * z[:, :, 16:32]], axis=-1)
    both = _run(pair, forced, sigma=[0.1, 0.2], channel_axis=-1)
    np.testing.assert_array_equal(both[..., 1], _run(pair[..., 1], forced, sigma=0.2))


# ---------------------------------------------------------------- the final combination


def test_box_mean_matches_a_direct_mirrored_mean():
    a = np.random.default_rng(9).standard_normal((9, 1, 6))
    width = 5
    padded = np.pad(a, [(2, 2), (0, 0), (2, 2)], mode="symmetric")
    direct = np.zeros_like(a)
    for i in range(a.shape[0]):
        for k in range(a.shape[2]):
            direct[i, 0, k] = padded[i : i + width, 0, k : k + width].mean()
    np.testing.assert_allclose(ms.box_mean(a, width), direct, atol=1e-12)


def test_flat_weight_separates_flat_regions_from_structure():
    shape = (40, 40)
    a = np.zeros(shape)
    a[:, 20:] = np.sin(np.arange(20) * 1.3)[None, :]  # strong texture on the right half
    a += 0.005 * np.random.default_rng(10).standard_normal(shape)
    w = ms.flat_weight(a, sigma=0.1)
    assert np.all(w[:, :10] == 1.0) and np.all(w[:, 30:] == 0.0)
    assert np.all((w >= 0) & (w <= 1))
    # the threshold scales with the noise: ten times the noise calls the texture flat
    assert np.all(ms.flat_weight(a, sigma=10.0) == 1.0)


def test_dask_refuses_a_forced_multiscale_profile():
    vd = pytest.importorskip("vexa.dask")
    pytest.importorskip("dask")
    with pytest.raises(ValueError, match="multiscale=True is not available"):
        vd.denoise(np.zeros((24, 24, 24), np.float32), 0.1, profile=VEXAProfile(multiscale=True))
