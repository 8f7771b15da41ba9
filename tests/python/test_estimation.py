"""The noise PSD estimated from data: accuracy per noise kind, anisotropy, masks, the hooks
into vexa/denoise, and the CLI.

Tolerances: on noise-only data the estimated total power (mean over the grid)
is within 7 % of the true one, and the mean absolute error over the grid
within 18 % of the true mean power (measured over three seeds: power within
4 %, errors 6-9 % on white, line and CT-like noise, 8-12 % on low-pass noise,
whose zero frequency the refinement takes from the largest lags).
"""

import subprocess
import sys

import numpy as np
import pytest

import vexa
from vexa.estimation import default_psd_shape, estimate_psd


def _gauss_kernel(ndim):
    t = np.arange(-4, 5, dtype=np.float64)
    g = np.exp(-0.5 * t * t)
    k = g
    for _ in range(ndim - 1):
        k = np.multiply.outer(k, g)
    return k


def _line_kernel(ndim):
    return np.ones((1,) * (ndim - 1) + (5,))


def _ct_filter(shape):
    """Ramp in the plane of the last two axes, Hann roll-off, flat along a third axis."""
    fy = np.fft.fftfreq(shape[-2])[:, None]
    fx = np.fft.fftfreq(shape[-1])[None, :]
    rho = np.sqrt(fy * fy + fx * fx)
    h = np.where(rho <= 0.5, rho * 0.5 * (1 + np.cos(2 * np.pi * rho)), 0.0)
    return np.broadcast_to(h, shape)


def _noise(kind, shape, sigma, seed):
    """(noise of std ~sigma, its PSD on the default grid)."""
    grid = default_psd_shape(len(shape))
    w = np.random.default_rng(seed).standard_normal(shape)
    if kind == "white":
        return sigma * w, vexa.psd_white(sigma, grid)
    if kind == "ct":
        # normalise on a fine grid so that the noise and the grid PSD share the scale
        fine = _ct_filter(shape[:-2] + (256, 256))
        gain = sigma / np.sqrt(np.mean(fine**2))
        n = np.real(np.fft.ifftn(np.fft.fftn(w) * _ct_filter(shape) * gain))
        psd = np.prod(grid) * (gain * _ct_filter(grid)) ** 2
        return n, psd
    k = _gauss_kernel(len(shape)) if kind == "gauss" else _line_kernel(len(shape))
    k = k * sigma / np.sqrt(np.sum(k * k))
    folded = np.zeros(shape)
    folded[tuple(slice(0, s) for s in k.shape)] = k
    n = np.real(np.fft.ifftn(np.fft.fftn(w) * np.fft.fftn(folded)))
    return n, vexa.psd_from_kernel(k, grid)


def _errors(est, true):
    return est.mean() / true.mean(), np.abs(est - true).mean() / true.mean()


class TestAccuracy:
    @pytest.mark.parametrize("kind", ["white", "gauss", "line", "ct"])
    @pytest.mark.parametrize("shape", [(64, 64, 64), (256, 256)])
    def test_noise_only_matches_the_true_psd(self, kind, shape):
        n, true = _noise(kind, shape, 0.1, seed=5)
        est = estimate_psd(n.astype(np.float32))
        assert est.shape == default_psd_shape(len(shape)) and est.dtype == np.float32
        power, l1 = _errors(est, true)
        assert abs(power - 1) < 0.07
        assert l1 < 0.18

    def test_scale_follows_the_data(self):
        n, true = _noise("line", (48, 48, 48), 1.0, seed=2)
        a = estimate_psd(n)
        b = estimate_psd(1000.0 * n + 7.0)
        np.testing.assert_allclose(b, 1e6 * a, rtol=1e-3)

    def test_other_grids(self):
        n, _ = _noise("line", (256, 256), 0.1, seed=3)
        for grid in [(16, 16), (8, 32), (64, 64)]:
            k = _line_kernel(2) * 0.1 / np.sqrt(5)
            est = estimate_psd(n, grid)
            power, l1 = _errors(est, vexa.psd_from_kernel(k, grid))
            assert est.shape == grid
            assert abs(power - 1) < 0.10 and l1 < 0.25

    @pytest.mark.parametrize("axis", [0, 2])
    def test_line_noise_comes_out_anisotropic(self, axis):
        # a box, not a cube: the tiles' pair counts and trends differ per axis
        shape = (48, 64, 80)
        n, _ = _noise("line", shape[::-1] if axis == 0 else shape, 0.1, seed=7)
        if axis == 0:
            n = np.ascontiguousarray(n.transpose(2, 1, 0))  # the line now runs along axis 0
        est = np.moveaxis(estimate_psd(n).astype(np.float64), axis, 2)
        # profiles along each axis, averaged over the other two (single bins scatter ~20 %)
        along = est.mean(axis=(0, 1))
        across = [est.mean(axis=(0, 2)), est.mean(axis=(1, 2))]
        # five taps: |sin(5 pi f) / (5 sin(pi f))|**2 is 0.42 at f = 1/8 and 0.03 at 3/8
        assert along[1] > 5 * along[3]
        for profile in across:
            assert profile.max() < 1.25 * profile.min()

    def test_in_plane_correlation_stays_in_plane(self):
        n, true = _noise("ct", (48, 64, 64), 0.1, seed=8)
        est = estimate_psd(n).astype(np.float64)
        per_z = est.mean(axis=(1, 2))  # z is white: every z-frequency slice carries the same power
        assert per_z.max() < 1.25 * per_z.min()
        # in-plane ramp: the zero frequency carries little, the mid band much
        assert est[0, 0, 0] < 0.2 * est[0, 2, 2]


class TestSignalAndMask:
    def _phantom(self, shape):
        # flat background with a few structured objects inside
        grids = np.meshgrid(*[np.linspace(-1, 1, s) for s in shape], indexing="ij")
        r2 = sum(g * g for g in grids)
        img = np.zeros(shape)
        img[r2 < 0.35] = 0.6 + 0.3 * np.sin(8 * grids[-1][r2 < 0.35])
        img[(np.abs(grids[0]) < 0.2) & (grids[-1] > 0.6)] = 0.9
        return img

    @pytest.mark.parametrize("kind", ["gauss", "line", "ct"])
    def test_phantom_with_background(self, kind):
        clean = self._phantom((64, 64, 64))
        n, true = _noise(kind, clean.shape, 0.1, seed=11)
        power, l1 = _errors(estimate_psd(clean + n), true)
        # with structure in every tile, the residual refinement decides: 15 % on the power
        assert abs(power - 1) < 0.15 and l1 < 0.30

    def test_mask_selects_the_noise_region(self):
        # structure everywhere except one slab, which the mask names
        shape = (256, 256)
        yy, xx = np.mgrid[0 : shape[0], 0 : shape[1]]
        clean = 0.5 + 0.4 * np.sin(xx / 3.0) * np.cos(yy / 5.0)
        clean[:96] = 0.3
        n, true = _noise("gauss", shape, 0.1, seed=4)
        mask = np.zeros(shape, bool)
        mask[:96] = True
        power, l1 = _errors(estimate_psd(clean + n, mask=mask), true)
        assert abs(power - 1) < 0.10 and l1 < 0.25
        # the masked estimate ignores what lies outside the mask
        other = clean + n
        other[~mask] = 5.0 * np.random.default_rng(0).standard_normal(int((~mask).sum()))
        np.testing.assert_allclose(
            estimate_psd(other, mask=mask), estimate_psd(clean + n, mask=mask), rtol=1e-5
        )

    def test_mask_on_a_volume(self):
        # structure everywhere but a slab of flat background along the first axis
        shape = (64, 48, 48)
        zz, yy, xx = np.mgrid[0 : shape[0], 0 : shape[1], 0 : shape[2]]
        clean = 0.5 + 0.4 * np.sin(xx / 2.0) * np.cos(yy / 3.0) * np.sin(zz / 4.0)
        clean[:24] = 0.2
        n, true = _noise("gauss", shape, 0.1, seed=12)
        mask = np.zeros(shape, bool)
        mask[:24] = True
        power, l1 = _errors(estimate_psd(clean + n, mask=mask), true)
        assert abs(power - 1) < 0.10 and l1 < 0.25
        # without the mask the structure leaks in: the mask is what makes it right
        power_all, _ = _errors(estimate_psd(clean + n, mask=np.ones(shape, bool)), true)
        assert power_all > 1.5

    def test_channels_get_their_own_estimate(self):
        n1, _ = _noise("white", (128, 128), 0.05, seed=1)
        n2, _ = _noise("line", (128, 128), 0.2, seed=2)
        est = estimate_psd(np.stack([n1, n2], axis=-1), channel_axis=-1)
        assert isinstance(est, list) and len(est) == 2
        assert np.sqrt(vexa.noise_variance(est[0])) == pytest.approx(0.05, rel=0.1)
        assert np.sqrt(vexa.noise_variance(est[1])) == pytest.approx(0.2, rel=0.1)
        assert vexa.psd_flatness(est[0]) > 0.7 > 0.4 > vexa.psd_flatness(est[1])


class TestErrors:
    def test_bad_arguments_name_the_parameter(self):
        img = np.random.default_rng(0).standard_normal((64, 64))
        with pytest.raises(ValueError, match="shape must have 2 entries"):
            estimate_psd(img, (8, 8, 8))
        with pytest.raises(ValueError, match="shape"):
            estimate_psd(img, (0, 8))
        with pytest.raises(ValueError, match="2 or 3 spatial axes"):
            estimate_psd(np.zeros(100))
        with pytest.raises(ValueError, match="mask must have the image's shape"):
            estimate_psd(img, mask=np.ones((32, 32), bool))
        with pytest.raises(ValueError, match="mask must be a boolean"):
            estimate_psd(img, mask=np.ones((64, 64)))
        with pytest.raises(ValueError, match="mask must cover"):
            estimate_psd(img, mask=np.zeros((64, 64), bool))
        with pytest.raises(ValueError, match="NaN"):
            estimate_psd(np.full((64, 64), np.nan))
        with pytest.raises(ValueError, match="no noise"):
            estimate_psd(np.ones((64, 64)))
        with pytest.raises(ValueError, match="channel_axis"):
            estimate_psd(img, channel_axis=3)
        with pytest.raises(ValueError, match="real numbers"):
            estimate_psd(img.astype(complex))

    def test_input_is_not_modified(self):
        img = np.random.default_rng(0).standard_normal((64, 64)).astype(np.float32)
        copy = img.copy()
        estimate_psd(img)
        np.testing.assert_array_equal(img, copy)


class TestHooks:
    def test_vexa_without_noise_uses_the_estimate(self):
        n, _ = _noise("line", (24, 24, 24), 0.1, seed=3)
        z = (0.5 + n).astype(np.float32)
        a = vexa.vexa(z, None, "fast", progress=False, num_threads=1)
        b = vexa.vexa(z, estimate_psd(z), "fast", progress=False, num_threads=1)
        np.testing.assert_allclose(a, b, atol=1e-5)  # float32 rounding of the passes
        c = vexa.denoise(z, profile="fast", progress=False, num_threads=1)
        np.testing.assert_allclose(a, c, atol=1e-5)

    def test_estimate_follows_the_profile_grid(self):
        n, _ = _noise("white", (64, 64), 0.1, seed=3)
        z = (0.5 + n).astype(np.float32)
        prof = vexa.VEXAProfile(preset="fast")  # 16x16 grid on images
        a = vexa.vexa(z, None, prof, progress=False, num_threads=1)
        b = vexa.vexa(z, estimate_psd(z, (16, 16)), prof, progress=False, num_threads=1)
        # float32 rounding in the estimate can flip a hard threshold here and there
        np.testing.assert_allclose(a, b, atol=1e-3)
        assert np.mean(np.abs(a - b)) < 1e-5

    def test_channels_without_noise(self):
        n, _ = _noise("white", (48, 48, 2), 0.1, seed=3)
        z = (0.5 + n).astype(np.float32)
        out = vexa.vexa(z, None, "fast", channel_axis=2, progress=False, num_threads=1)
        for c in range(2):
            alone = vexa.vexa(z[..., c], None, "fast", progress=False, num_threads=1)
            np.testing.assert_allclose(out[..., c], alone, atol=1e-5)


def _cli(*args):
    return subprocess.run(
        [sys.executable, "-m", "vexa", *map(str, args)], capture_output=True, text=True, timeout=300
    )


class TestCli:
    def test_noise_writes_the_estimate_and_a_picture(self, tmp_path):
        n, _ = _noise("line", (32, 32, 32), 0.1, seed=9)
        src = tmp_path / "in.npy"
        np.save(src, n.astype(np.float32))
        out, png = tmp_path / "psd.npy", tmp_path / "psd.png"
        proc = _cli("noise", src, "--psd-out", out, "--plot", png)
        assert proc.returncode == 0, proc.stderr
        np.testing.assert_allclose(np.load(out), estimate_psd(n.astype(np.float32)), rtol=1e-4)
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        assert "flatness" in proc.stdout and "sigma" in proc.stdout
        proc = _cli("noise", src, "--psd-out", tmp_path / "g.npy", "--shape", 4, 8, 16)
        assert proc.returncode == 0, proc.stderr
        assert np.load(tmp_path / "g.npy").shape == (4, 8, 16)

    def test_noise_refuses_to_overwrite_its_input(self, tmp_path):
        src = tmp_path / "in.npy"
        data = np.random.default_rng(0).standard_normal((64, 64)).astype(np.float32)
        np.save(src, data)
        proc = _cli("noise", src, "--psd-out", src)
        assert proc.returncode == 1 and "--psd-out" in proc.stderr
        np.testing.assert_array_equal(np.load(src), data)
        proc = _cli("noise", src, "--plot", tmp_path / "x.jpg")
        assert proc.returncode == 1 and ".png" in proc.stderr

    def test_denoise_without_noise_option_reports_the_estimate(self, tmp_path):
        n, _ = _noise("line", (24, 24, 24), 0.1, seed=3)
        z = (0.5 + n).astype(np.float32)
        src, dst = tmp_path / "in.npy", tmp_path / "out.npy"
        np.save(src, z)
        proc = _cli("denoise", src, dst, "--profile", "fast", "--threads", 1)
        assert proc.returncode == 0, proc.stderr
        sigma = float(proc.stdout.split("estimated noise: sigma ")[1].split(",")[0])
        assert sigma == pytest.approx(0.1, rel=0.15)
        assert "flatness" in proc.stdout
        expected = vexa.vexa(z, estimate_psd(z), "fast", progress=False, num_threads=1)
        np.testing.assert_allclose(np.load(dst), expected, atol=1e-5)


class TestResidualPieces:
    def test_spectrum_and_lags_invert_each_other(self):
        from vexa import residual

        rng = np.random.default_rng(0)
        for lags, grid in [((4, 4, 4), (8, 8, 8)), ((2, 3), (8, 16))]:
            cov = rng.standard_normal(tuple(2 * lag + 1 for lag in lags))
            cov = 0.5 * (cov + cov[tuple(slice(None, None, -1) for _ in lags)])  # R(k) = R(-k)
            psd = residual._spectrum(cov, lags, grid)
            again = residual._spectrum(residual._lags_of(psd, lags, grid), lags, grid)
            np.testing.assert_allclose(again, psd, atol=1e-9 * np.abs(psd).max())

    def test_synthetic_noise_has_the_asked_autocovariance(self):
        from vexa import residual

        k = _line_kernel(2) * 0.1 / np.sqrt(5)
        lags = (4, 4)
        cov = residual._lags_of(vexa.psd_from_kernel(k, (8, 8)).astype(np.float64), lags, (8, 8))
        white = np.fft.rfftn(np.random.default_rng(1).standard_normal((256, 256)))
        n = residual._synthesise((256, 256), cov, lags, white)
        along = np.mean(n[:, 1:] * n[:, :-1]) / n.var()
        assert n.std() == pytest.approx(0.1, rel=0.05)
        assert along == pytest.approx(0.8, abs=0.03)  # 4 of 5 taps shared

    def test_the_refining_block_is_the_flattest(self):
        from vexa import residual

        rng = np.random.default_rng(2)
        x = rng.standard_normal((128, 256)) * 0.1
        x[:, :128] += np.sin(np.arange(128) / 2.0)  # structure on the left half
        block = residual._flattest_block(x, (16, 16))  # 8 x 8 tiles of 16 x 16
        assert block == (slice(0, 128), slice(128, 256))

    def test_the_zero_frequency_is_taken_from_the_largest_lags(self):
        from vexa import estimation, residual

        for kind in ["gauss", "line", "white", "ct"]:
            for shape in [(64, 64, 64), (256, 256)]:
                _, true = _noise(kind, shape, 0.1, seed=0)
                grid = true.shape
                lags, _ = estimation._geometry(grid, shape, len(shape))
                lost = np.array(true, dtype=np.float64)
                lost.flat[0] = 0.0  # what the residual shows where the pass keeps the noise
                dc = residual._zero_at_the_edge(lost, lags, grid)
                # noise correlated over at most 4 samples has no autocovariance at the
                # largest lags; the Gaussian's tail there is 0.4 % of its power
                assert dc == pytest.approx(float(true.flat[0]), abs=0.005 * float(true.sum()))

    def test_white_noise_of_the_refinement_follows_the_shape(self):
        # the refinement keeps one white noise spectrum: another shape must not reuse it
        a, _ = _noise("line", (48, 48, 48), 0.1, seed=1)
        b, _ = _noise("line", (40, 40, 40), 0.1, seed=2)
        first = estimate_psd(a)
        estimate_psd(b)
        np.testing.assert_array_equal(estimate_psd(a), first)


class TestTilePieces:
    """Full tiles take a direct path (pair counts, trend projections); a weighted tile of
    ones takes the general one. Both must agree, on boxes whose axes all differ."""

    @pytest.mark.parametrize("plane", [False, True])
    @pytest.mark.parametrize("tile, lags", [((6, 8, 12), (1, 2, 3)), ((16, 32), (4, 8))])
    def test_full_tiles_match_weighted_tiles_of_ones(self, tile, lags, plane):
        from vexa import estimation as est

        rng = np.random.default_rng(3)
        tiles = rng.standard_normal((20,) + tile)
        # add a ramp along the last axis and an offset, as signal would
        tiles += 0.3 * np.arange(tile[-1]) + 2.0
        ones = np.ones_like(tiles)
        c_fast, n_fast = est._detrended(tiles, None, plane)
        c_ref, n_ref = est._detrended(tiles, ones, plane)
        # the general path regularises its normal equations by 1e-9 of their largest entry
        np.testing.assert_allclose(c_fast, c_ref, atol=1e-5)
        np.testing.assert_allclose(n_fast, n_ref)
        v_fast, _ = est._tile_variances(tiles, None, plane, chunk=7)  # chunks that do not divide
        v_ref, _ = est._tile_variances(tiles, ones, plane)
        np.testing.assert_allclose(v_fast, v_ref, rtol=1e-6)
        cov_fast = est._autocovariance(tiles, None, lags, plane, chunk=7)
        cov_ref = est._autocovariance(tiles, ones, lags, plane)
        assert cov_fast.shape == tuple(2 * lag + 1 for lag in lags)
        np.testing.assert_allclose(cov_fast, cov_ref, atol=1e-6 * np.abs(cov_ref).max())
