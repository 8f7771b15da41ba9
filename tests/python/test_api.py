"""The denoising API end to end through the shared library."""

import _thread
import signal
import threading
import time

import numpy as np
import pytest
from conftest import psnr, smooth_image

import vexa
from vexa import HardThresholdSettings, VEXAProfile, WienerSettings
from vexa import _lib
from vexa._run import run_stage_call

FAST = dict(num_threads=2)


# ---------------------------------------------------------------- denoising quality


@pytest.mark.parametrize("data", ["noisy2d", "noisy3d"])
def test_both_stages_improve_psnr(data, request):
    clean, noisy = request.getfixturevalue(data)
    basic = vexa.vexa(noisy, 0.1, stage="hard", **FAST)
    final = vexa.vexa(noisy, 0.1, stage="wiener", basic_estimate=basic, **FAST)
    both = vexa.vexa(noisy, 0.1, **FAST)
    p_noisy, p_basic, p_final = psnr(clean, noisy), psnr(clean, basic), psnr(clean, final)
    assert p_basic > p_noisy + 5.0, (p_noisy, p_basic)
    assert p_final > p_basic + 0.2, (p_basic, p_final)
    np.testing.assert_allclose(both, final, atol=1e-4)


def test_correlated_noise_with_its_psd():
    clean = smooth_image((64, 64))
    rng = np.random.default_rng(7)
    kernel = np.outer([1.0, 2.0, 1.0], [1.0, 2.0, 1.0])
    kernel *= 0.1 / np.sqrt(np.sum(kernel**2))
    noise = np.real(
        np.fft.ifft2(
            np.fft.fft2(rng.standard_normal(clean.shape)) * np.fft.fft2(kernel, clean.shape)
        )
    )
    noisy = clean + noise
    est = vexa.denoise(noisy, kernel=kernel, **FAST)
    white = vexa.vexa(noisy, float(np.sqrt(np.sum(kernel**2))), **FAST)
    assert psnr(clean, est) > psnr(clean, noisy) + 3.0
    assert psnr(clean, est) > psnr(clean, white)


def _gaussian_kernel_3d():
    g = np.exp(-0.5 * np.arange(-3, 4) ** 2)
    return g[:, None, None] * g[None, :, None] * g[None, None, :]


def test_low_pass_psd_picks_the_adapted_settings_and_only_those(noisy3d):
    _, noisy = noisy3d
    psd = vexa.psd_from_kernel(_gaussian_kernel_3d(), (8, 8, 8), sigma=0.3)
    adapted = VEXAProfile().adapted_settings(3, vexa.psd_flatness(psd))
    assert adapted["hard"]["block_size"] == vexa.NOISE_ADAPTATION[3][0]["hard"]["block_size"]
    # single-scale on both sides: the coarse level of the multiscale path resolves
    # the profile for its own noise, so explicit and adapted settings differ there
    auto = vexa.vexa(noisy, psd, VEXAProfile(multiscale=False), **FAST)
    explicit = VEXAProfile(
        adapt_to_noise=False,
        hard=HardThresholdSettings(**adapted["hard"]),
        wiener=WienerSettings(**adapted["wiener"]),
        multiscale=False,
    )
    np.testing.assert_array_equal(auto, vexa.vexa(noisy, psd, explicit, **FAST))
    plain = vexa.vexa(noisy, psd, VEXAProfile(adapt_to_noise=False), **FAST)
    assert np.max(np.abs(plain - auto)) > 1e-3
    # a white PSD array is not adapted: it matches the scalar sigma
    white = vexa.vexa(noisy, vexa.psd_white(0.1, (8, 8, 8)), **FAST)
    np.testing.assert_allclose(white, vexa.vexa(noisy, 0.1, **FAST), atol=2e-4)
    # the memory plan sees the same blocks as the run
    plans = vexa.plan_memory(noisy.shape, psd=psd)
    plain_plans = vexa.plan_memory(noisy.shape, psd_shape=psd.shape)
    assert plans[0].block_buffers > plain_plans[0].block_buffers


def test_scalar_sigma_equals_the_white_psd(noisy2d):
    _, noisy = noisy2d
    by_sigma = vexa.vexa(noisy, 0.1, **FAST)
    # A white PSD on another grid: the library resamples it to the same spectrum.
    by_psd = vexa.vexa(noisy, vexa.psd_white(0.1, (16, 16)), **FAST)
    np.testing.assert_allclose(by_psd, by_sigma, atol=2e-4)


def test_intensity_scale_and_offset_do_not_matter(noisy2d):
    _, noisy = noisy2d
    ref = vexa.vexa(noisy, 0.1, **FAST)
    scaled = vexa.vexa(noisy.astype(np.float64) * 1000.0 + 5e4, 100.0, **FAST)
    np.testing.assert_allclose((scaled - 5e4) / 1000.0, ref, atol=2e-4)
    assert scaled.dtype == np.float64


@pytest.mark.parametrize("dtype", [np.uint8, np.int16, np.float32, np.float64])
def test_dtypes(dtype):
    clean = smooth_image((48, 48)) * 200.0
    noisy = clean + 10.0 * np.random.default_rng(3).standard_normal(clean.shape)
    z = np.clip(np.round(noisy), 0, 255).astype(dtype)
    out = vexa.vexa(z, 10.0, **FAST)
    assert out.shape == z.shape
    assert out.dtype == (np.float64 if dtype == np.float64 else np.float32)
    ref = vexa.vexa(z.astype(np.float32), 10.0, **FAST)
    np.testing.assert_allclose(out, ref, rtol=1e-5, atol=1e-3)


def test_channel_axis_denoises_each_channel(noisy2d):
    _, noisy = noisy2d
    other = noisy[::-1].copy()
    stacked = np.stack([noisy, 2.0 * other], axis=-1)
    out = vexa.vexa(stacked, [0.1, 0.2], channel_axis=-1, **FAST)
    assert out.shape == stacked.shape
    np.testing.assert_allclose(out[..., 0], vexa.vexa(noisy, 0.1, **FAST), atol=1e-5)
    np.testing.assert_allclose(out[..., 1], vexa.vexa(2.0 * other, 0.2, **FAST), atol=1e-5)


def _mostly_equal(a, b, tol=1e-4, fraction=0.01):
    # Summation order differs between axis orders, which may flip rare near-ties in matching.
    diff = np.abs(a - b)
    assert np.mean(diff > tol) < fraction, np.mean(diff > tol)
    assert np.mean(diff) < tol


def test_axis_order_mapping_3d():
    clean = smooth_image((12, 16, 20))
    noisy = clean + 0.1 * np.random.default_rng(4).standard_normal(clean.shape)
    pro = VEXAProfile(
        hard=HardThresholdSettings(step=(2, 3, 4), search_radius=(1, 2, 3)),
        wiener=WienerSettings(step=(2, 3, 4), search_radius=(1, 2, 3)),
        num_threads=1,
    )
    ref = vexa.vexa(noisy, 0.1, pro)
    perm = (2, 0, 1)
    t = VEXAProfile(
        hard=HardThresholdSettings(
            step=tuple((2, 3, 4)[p] for p in perm), search_radius=tuple((1, 2, 3)[p] for p in perm)
        ),
        wiener=WienerSettings(
            step=tuple((2, 3, 4)[p] for p in perm), search_radius=tuple((1, 2, 3)[p] for p in perm)
        ),
        num_threads=1,
    )
    out = vexa.vexa(np.ascontiguousarray(noisy.transpose(perm)), 0.1, t)
    _mostly_equal(out, ref.transpose(perm))


def test_axis_order_mapping_2d_with_host_transforms():
    clean = smooth_image((40, 56))
    noisy = clean + 0.1 * np.random.default_rng(5).standard_normal(clean.shape)

    def profile(block, step, radius):
        return VEXAProfile(
            hard=HardThresholdSettings(block_size=block, step=step, search_radius=radius),
            wiener=WienerSettings(block_size=block, step=step, search_radius=radius),
            num_threads=1,
        )

    ref = vexa.vexa(noisy, 0.1, profile((4, 8), (2, 5), (3, 6)))
    out = vexa.vexa(noisy.T.copy(), 0.1, profile((8, 4), (5, 2), (6, 3)))
    _mostly_equal(out, ref.T)
    assert psnr(clean, ref) > psnr(clean, noisy) + 4.0


def test_settings_reach_the_library(noisy2d):
    _, noisy = noisy2d
    hard = dict(stage="hard", num_threads=1)
    # lambda 0 keeps every coefficient: the aggregate of unfiltered blocks is the input.
    keep = vexa.vexa(noisy, 0.1, VEXAProfile(hard=HardThresholdSettings(threshold=0.0)), **hard)
    np.testing.assert_allclose(keep, noisy, atol=2e-5)
    # A vanishing Wiener factor passes the noisy spectrum through.
    basic = vexa.vexa(noisy, 0.1, **hard)
    through = vexa.vexa(
        noisy,
        0.1,
        VEXAProfile(wiener=WienerSettings(wiener_factor=1e-20)),
        stage="wiener",
        basic_estimate=basic,
        num_threads=1,
    )
    np.testing.assert_allclose(through, noisy, atol=2e-5)
    # Alpha-rooting with alpha 1 changes nothing; another alpha does.
    same = vexa.vexa(
        noisy,
        0.1,
        VEXAProfile(
            hard=HardThresholdSettings(
                sharpen=True, sharpen_alpha=1.0, sharpen_alpha_first_slice=1.0
            )
        ),
        **hard,
    )
    np.testing.assert_allclose(same, basic, atol=1e-5)
    sharper = vexa.vexa(
        noisy,
        0.1,
        VEXAProfile(hard=HardThresholdSettings(sharpen=True, sharpen_alpha_first_slice=1.5)),
        **hard,
    )
    assert np.mean(np.abs(sharper - basic)) > 1e-3


def test_folded_frequency_grid_gives_the_same_result(noisy3d):
    _, noisy = noisy3d
    folded = vexa.vexa(noisy, 0.1, VEXAProfile(psd_symmetry=True), **FAST)
    full = vexa.vexa(noisy, 0.1, VEXAProfile(psd_symmetry=False), **FAST)
    np.testing.assert_allclose(folded, full, atol=1e-4)


def test_volume_with_host_built_transforms():
    clean = smooth_image((20, 24, 24))
    noisy = clean + 0.1 * np.random.default_rng(8).standard_normal(clean.shape)
    pro = VEXAProfile(
        hard=HardThresholdSettings(block_size=(2, 4, 4), step=2),
        wiener=WienerSettings(block_size=(2, 4, 4), step=2),
    )
    out = vexa.vexa(noisy, 0.1, pro, **FAST)
    assert psnr(clean, out) > psnr(clean, noisy) + 6.0


def test_input_is_not_modified(noisy3d):
    _, noisy = noisy3d
    before = noisy.copy()
    basic = vexa.vexa(noisy, 0.1, stage="hard", **FAST)
    basic_before = basic.copy()
    vexa.vexa(noisy, 0.1, stage="wiener", basic_estimate=basic, **FAST)
    assert np.array_equal(noisy, before) and np.array_equal(basic, basic_before)


# ---------------------------------------------------------------- memory and matches


def test_small_memory_limit_windows_axes_and_keeps_the_result(noisy3d):
    _, noisy = noisy3d
    pro = VEXAProfile.from_name("fast")
    unlimited = vexa.plan_memory(noisy.shape, pro, stage="hard", num_threads=2)[0]
    assert unlimited.split_block_extraction == (False, False, True)
    limit = unlimited.estimate - 1
    planned = vexa.plan_memory(noisy.shape, pro, stage="hard", num_threads=2, memory_limit=limit)[0]
    assert planned.split_block_extraction == (False, True, True)
    ref = vexa.vexa(noisy, 0.1, pro, stage="hard", **FAST)
    out = vexa.vexa(noisy, 0.1, pro, stage="hard", memory_limit=limit, **FAST)
    np.testing.assert_allclose(out, ref, atol=1e-4)
    pro.split_block_extraction = [True, True, False]  # array order: z and y windowed, as planned
    np.testing.assert_allclose(vexa.vexa(noisy, 0.1, pro, stage="hard", **FAST), out, atol=1e-5)
    pro.split_block_extraction = [False, False, False]
    with pytest.raises(MemoryError, match="split_block_extraction"):
        vexa.vexa(noisy, 0.1, pro, stage="hard", memory_limit=limit, **FAST)


def test_small_memory_limit_on_an_image_windows_y(noisy2d):
    _, noisy = noisy2d
    full = vexa.plan_memory(noisy.shape, stage="wiener", num_threads=2)[0]
    planned = vexa.plan_memory(
        noisy.shape, stage="wiener", num_threads=2, memory_limit=full.estimate - 1
    )[0]
    assert planned.split_block_extraction == (False, True, False)
    basic = vexa.vexa(noisy, 0.1, stage="hard", **FAST)
    args = dict(stage="wiener", basic_estimate=basic, **FAST)
    np.testing.assert_allclose(
        vexa.vexa(noisy, 0.1, memory_limit=full.estimate - 1, **args),
        vexa.vexa(noisy, 0.1, **args),
        atol=1e-4,
    )


def test_stored_matches_reproduce_the_output(noisy2d):
    _, noisy = noisy2d
    plain = vexa.vexa(noisy, 0.1, stage="hard", num_threads=1)
    store = vexa.MatchStore()
    filled = vexa.vexa(noisy, 0.1, stage="hard", matches=store, num_threads=1)
    assert store.filled
    counts = store.counts()
    # One slot per grid point (64 // 3 + 1 per axis, z: 1 // 1 + 1); only the 20 x 20
    # positions below the last block origin plus a step are visited.
    assert counts.size == 22 * 22 * 2
    used = counts[counts > 0]
    assert used.size == 20 * 20
    assert used.max() <= 16 and np.all(used & (used - 1) == 0)
    reused = vexa.vexa(noisy, 0.1, stage="hard", matches=store, num_threads=1)
    np.testing.assert_array_equal(filled, plain)
    np.testing.assert_allclose(reused, filled, atol=1e-6)
    with pytest.raises(ValueError, match="another grid"):
        vexa.vexa(noisy[:, :60], 0.1, stage="hard", matches=store)


def test_wiener_stage_reusing_hard_matches(noisy3d):
    clean, noisy = noisy3d
    out = vexa.vexa(noisy, 0.1, VEXAProfile(reuse_matches=True), **FAST)
    assert psnr(clean, out) > psnr(clean, noisy) + 5.0


# ---------------------------------------------------------------- progress and cancellation


def test_progress_reaches_the_total(noisy2d):
    _, noisy = noisy2d
    seen = []
    vexa.vexa(
        noisy, 0.1, progress=lambda stage, done, total: seen.append((stage, done, total)), **FAST
    )
    for stage in ("hard", "wiener"):
        last = [s for s in seen if s[0] == stage][-1]
        assert last[2] > 0 and last[1] == last[2], last
        dones = [d for s, d, _ in seen if s == stage]
        assert dones == sorted(dones)


def test_progress_bar_on_request(noisy2d, capsys):
    pytest.importorskip("tqdm")
    _, noisy = noisy2d
    out = vexa.vexa(noisy, 0.1, progress=True, **FAST)
    err = capsys.readouterr().err
    assert "vexa hard" in err and "vexa wiener" in err and "400/400" in err
    assert out.shape == noisy.shape


def _slow_volume():
    clean = smooth_image((40, 40, 40))
    return clean + 0.1 * np.random.default_rng(9).standard_normal(clean.shape)


SLOW = VEXAProfile(
    hard=HardThresholdSettings(step=1, search_radius=4),
    wiener=WienerSettings(step=1, search_radius=4),
    num_threads=1,
)


def _assert_stage_ended():
    # Stopped early, and nothing runs on: the counters stand still, no stage thread is left.
    done, total = _lib.get_progress()
    assert 0 < total and done < total
    time.sleep(0.3)
    assert _lib.get_progress() == (done, total)
    assert not [t for t in threading.enumerate() if t.name.startswith("vexa-")]


def test_cancel_from_the_progress_callback_then_a_new_call_works(noisy2d):
    z = _slow_volume()
    seen = []

    def stop(stage, done, total):
        seen.append((done, total))
        if done > 0:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        vexa.vexa(z, 0.1, SLOW, stage="hard", progress=stop)
    assert seen[-1][0] < seen[-1][1]
    _assert_stage_ended()
    _, noisy = noisy2d
    assert vexa.vexa(noisy, 0.1, **FAST).shape == noisy.shape


def test_ctrl_c_cancels_cleanly(noisy2d):
    z = _slow_volume()
    # A process started in the background by a shell ignores SIGINT, and then
    # interrupt_main does nothing: Python's own handler is put in for the test.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(0.5, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            vexa.vexa(z, 0.1, SLOW, stage="hard")
    finally:
        timer.cancel()
        signal.signal(signal.SIGINT, previous)
    _assert_stage_ended()
    _, noisy = noisy2d
    again = vexa.vexa(noisy, 0.1, **FAST)
    np.testing.assert_allclose(again, vexa.vexa(noisy, 0.1, **FAST), atol=1e-4)


# ---------------------------------------------------------------- failures


class _FakeEntry:
    """Stands in for an entry point: writes into the output and returns a status."""

    def __init__(self, status, value=1.0):
        self.status, self.value = status, value

    def __call__(self, out):
        out[...] = self.value
        return self.status


@pytest.mark.parametrize(
    "status, exc",
    [
        (_lib.STATUS_OUT_OF_MEMORY, vexa.VexaMemoryError),
        (_lib.STATUS_INTERNAL, vexa.VexaError),
        (_lib.STATUS_INVALID_ARGUMENT, vexa.VexaError),
        (_lib.STATUS_CANCELLED, vexa.VexaCancelled),
    ],
)
def test_status_becomes_an_exception(status, exc):
    out = np.zeros(4, np.float32)
    with pytest.raises(exc, match="hard stage failed") as info:
        run_stage_call("hard", _FakeEntry(status), (out,), out)
    assert info.value.status == status
    if status == _lib.STATUS_OUT_OF_MEMORY:
        assert isinstance(info.value, MemoryError)
    else:
        assert isinstance(info.value, RuntimeError)


def test_non_finite_output_is_never_returned():
    out = np.zeros(4, np.float32)
    with pytest.raises(vexa.VexaError, match="non-finite"):
        run_stage_call("wiener", _FakeEntry(0, np.nan), (out,), out)


# ---------------------------------------------------------------- validation


def _img():
    return smooth_image((32, 32)).astype(np.float32)


INVALID = [
    (lambda: vexa.vexa(np.ones(10), 0.1), "2 or 3 spatial axes"),
    (lambda: vexa.vexa(np.ones((4, 4, 4, 4)), 0.1), "2 or 3 spatial axes"),
    (lambda: vexa.vexa(np.ones((16, 16), complex), 0.1), "real numbers"),
    (lambda: vexa.vexa(np.ones((16, 16), bool), 0.1), "real numbers"),
    (lambda: vexa.vexa(np.where(np.eye(16) > 0, np.nan, 1.0), 0.1), "NaN or infinite"),
    (lambda: vexa.vexa(np.full((16, 16), np.inf), 0.1), "NaN or infinite"),
    (lambda: vexa.vexa(_img(), 0.0), "sigma_psd.*> 0"),
    (lambda: vexa.vexa(_img(), -1.0), "sigma_psd.*> 0"),
    (lambda: vexa.vexa(_img(), float("nan")), "sigma_psd"),
    (lambda: vexa.vexa(_img(), np.ones((4, 4, 4))), "sigma_psd.*2 axes"),
    (lambda: vexa.vexa(_img(), -np.ones((4, 4))), "non-negative"),
    (lambda: vexa.vexa(_img(), np.zeros((4, 4))), "positive power"),
    (lambda: vexa.vexa(_img(), np.full((4, 4), np.nan)), "sigma_psd must not contain NaN"),
    (lambda: vexa.vexa(_img(), 0.1, stage="third"), "stage must be one of"),
    (lambda: vexa.vexa(_img(), 0.1, stage="wiener"), "basic_estimate is required"),
    (
        lambda: vexa.vexa(_img(), 0.1, stage="wiener", basic_estimate=np.ones((8, 8))),
        "basic_estimate must have",
    ),
    (lambda: vexa.vexa(_img(), 0.1, basic_estimate=_img()), "only used with stage='wiener'"),
    (
        lambda: vexa.vexa(np.ones((6, 32)), 0.1),
        r"block_size \(8, 8\) must not exceed the data shape \(6, 32\)",
    ),
    (
        lambda: vexa.vexa(
            _img(), 0.1, VEXAProfile(hard=HardThresholdSettings(search_radius=1, min_group_size=8))
        ),
        "min_group_size must be at most 4",
    ),
    (
        lambda: vexa.vexa(_img(), 0.1, stage="wiener", basic_estimate=np.full((32, 32), np.nan)),
        "basic_estimate must not contain NaN",
    ),
    (
        lambda: vexa.vexa(
            np.broadcast_to(np.float32(0), (700, 700, 700)),
            0.1,
            VEXAProfile(hard=HardThresholdSettings(search_radius=1000)),
        ),
        "search window .* more than the library's limit",
    ),
    (
        lambda: vexa.vexa(np.broadcast_to(np.float32(0), (2**16, 2**16, 1)), 0.1),
        "at most 2\\*\\*31 - 1",
    ),
    (lambda: vexa.vexa(_img(), 0.1, channel_axis=3), "channel_axis"),
    (
        lambda: vexa.plan_memory((32, 32), psd=np.ones((4, 4)), psd_shape=(4, 4)),
        "either psd or psd_shape",
    ),
    (lambda: vexa.plan_memory((32, 32), psd=np.ones((4, 4, 4))), "psd must have one axis per"),
    (lambda: vexa.plan_memory((32, 32), psd=-np.ones((4, 4))), "psd must be a non-empty"),
    (lambda: vexa.vexa(np.ones((32, 32, 2)), [0.1], channel_axis=2), "2 values"),
    (
        lambda: vexa.vexa(np.ones((32, 32, 2)), 0.1, channel_axis=2, matches=vexa.MatchStore()),
        "matches cannot",
    ),
    (lambda: vexa.vexa(_img(), 0.1, matches=object()), "matches must be"),
    (lambda: vexa.vexa(_img(), 0.1, progress="yes"), "progress must be"),
    (lambda: vexa.vexa(_img(), 0.1, profile=3), "profile must be"),
    (lambda: vexa.vexa(_img(), 0.1, profile="slow"), "profile must be one of"),
    (lambda: vexa.vexa(_img(), 0.1, num_threads=-1), "num_threads"),
    (lambda: vexa.vexa(_img(), 0.1, memory_limit=-5), "memory_limit"),
    (lambda: vexa.denoise(_img(), 0.1, psd=np.ones((4, 4))), "either sigma or psd"),
    (lambda: vexa.denoise(_img(), psd=np.ones((4, 4)), kernel=np.ones((2, 2))), "at most one"),
    (lambda: vexa.denoise(np.zeros((32, 32))), "no noise to estimate"),
    (lambda: vexa.denoise(_img(), -1.0), "^sigma as a noise standard deviation"),
    (lambda: vexa.denoise(_img(), psd=-np.ones((4, 4))), "^psd must be non-negative"),
    (lambda: vexa.denoise(np.ones((4, 4, 4, 4)), 0.1), "^image must have 2 or 3 spatial axes"),
    (lambda: vexa.estimate_sigma(_img(), -1), "average_sigmas must be True or False"),
]


@pytest.mark.parametrize("call, match", INVALID, ids=[m for _, m in INVALID])
def test_invalid_arguments_raise_value_error(call, match):
    with pytest.raises(ValueError, match=match):
        call()
