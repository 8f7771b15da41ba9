"""Channels: each one is denoised exactly as the same data alone would be."""

import numpy as np
import pytest
from conftest import smooth_image

import vexa
from vexa import VEXAProfile

ONE_THREAD = dict(num_threads=1, progress=False)  # bitwise repeatable


def _low_pass_psd(ndim, grid):
    g = np.exp(-0.5 * np.arange(-3, 4) ** 2)
    kernel = g if ndim == 1 else np.multiply.outer(g, g)
    if ndim == 3:
        kernel = np.multiply.outer(kernel, g)
    return vexa.psd_from_kernel(kernel, grid, sigma=0.3)


@pytest.mark.parametrize("noise", ["white", "low-pass"])
@pytest.mark.parametrize("shape", [(48, 48), (24, 24, 24)], ids=["2d", "3d"])
@pytest.mark.parametrize("channel_axis", [0, -1])
def test_each_channel_equals_the_channel_alone(channel_axis, shape, noise):
    ndim = len(shape)
    grid = VEXAProfile().resolve(ndim).psd_shape
    psd = vexa.psd_white(0.1, grid) if noise == "white" else _low_pass_psd(ndim, grid)
    rng = np.random.default_rng(11)
    clean = smooth_image(shape)
    channels = [clean + 0.1 * rng.standard_normal(shape), 0.5 * clean[::-1].copy()]
    stack = np.stack([c.astype(np.float32) for c in channels], axis=channel_axis)
    out = vexa.vexa(stack, psd, channel_axis=channel_axis, **ONE_THREAD)
    assert out.shape == stack.shape and out.dtype == np.float32
    for c in range(2):
        alone = vexa.vexa(np.take(stack, c, axis=channel_axis), psd, **ONE_THREAD)
        np.testing.assert_array_equal(np.take(out, c, axis=channel_axis), alone)
    if noise == "low-pass":
        # the channel got the adapted settings: it differs from the white-noise preset's result
        plain = vexa.vexa(
            np.take(stack, 0, axis=channel_axis), psd, VEXAProfile(adapt_to_noise=False),
            **ONE_THREAD,
        )
        assert np.max(np.abs(np.take(out, 0, axis=channel_axis) - plain)) > 1e-3


def test_denoise_estimates_one_psd_per_channel():
    rng = np.random.default_rng(12)
    clean = smooth_image((48, 48))
    a = (clean + 0.05 * rng.standard_normal(clean.shape)).astype(np.float32)
    b = (clean + 0.2 * rng.standard_normal(clean.shape)).astype(np.float32)
    out = vexa.denoise(np.stack([a, b]), channel_axis=0, **ONE_THREAD)
    psds = vexa.estimate_psd(np.stack([a, b]), channel_axis=0)
    # the estimate's passes round like float32: equal to that precision
    np.testing.assert_allclose(out[0], vexa.denoise(a, psd=psds[0], **ONE_THREAD), atol=1e-5)
    np.testing.assert_allclose(out[1], vexa.denoise(b, psd=psds[1], **ONE_THREAD), atol=1e-5)
    assert vexa.noise_variance(psds[1]) > 9 * vexa.noise_variance(psds[0])
