"""Values at the edges of what the host can pass on: refused before any work with an
error naming the argument, or carried through in float64 without overflow."""

import numpy as np
import pytest

import vexa
from vexa import VEXAProfile


@pytest.fixture(scope="module")
def image():
    rng = np.random.default_rng(3)
    return (0.5 + 0.1 * rng.standard_normal((24, 24))).astype(np.float32)


def profile(**settings):
    p = VEXAProfile.from_name("fast")
    for key, value in settings.items():
        stage, name = key.split("__")
        setattr(getattr(p, stage), name, value)
    return p


def never_called(monkeypatch):
    """Makes any stage call fail the test: the error must come before any work."""
    from vexa import stages

    def refuse(*args, **kwargs):
        raise AssertionError("a stage ran")

    monkeypatch.setattr(stages, "run_stage_call", refuse)


@pytest.mark.parametrize(
    "setting, value",
    [
        ("wiener__wiener_factor", 1e-50),
        ("wiener__wiener_factor", 1e40),
        ("hard__sharpen_alpha", 1e-50),
        ("hard__sharpen_alpha_first_slice", 1e39),
        ("hard__threshold", 1e20),
        ("hard__match_noise_factor", 1e39),
    ],
)
def test_settings_beyond_float32_are_refused_up_front(image, monkeypatch, setting, value):
    never_called(monkeypatch)
    field = setting.replace("__", ".")
    with pytest.raises(ValueError, match=field.replace(".", r"\.")) as err:
        vexa.denoise(image, 0.1, profile=profile(**{setting: value}), progress=False)
    assert "float32" in str(err.value)


def test_largest_float32_settings_still_run(image):
    p = profile(hard__threshold=1.8e19, wiener__wiener_factor=3e38)
    out = vexa.denoise(image, 0.1, profile=p, progress=False)
    assert np.all(np.isfinite(out))


@pytest.mark.parametrize("threads", [1025, 10**6, -1, 2.0])
def test_thread_count_range(image, monkeypatch, threads):
    never_called(monkeypatch)
    with pytest.raises(ValueError, match=r"num_threads must be an integer in 0 \.\. 1024"):
        vexa.denoise(image, 0.1, num_threads=threads, progress=False)


@pytest.mark.parametrize("limit", [float("nan"), float("inf"), -1.0, 0])
def test_memory_limit_must_be_positive_and_finite(image, monkeypatch, limit):
    never_called(monkeypatch)
    with pytest.raises(ValueError, match="memory_limit must be a positive, finite number"):
        vexa.denoise(image, 0.1, memory_limit=limit, progress=False)


@pytest.mark.parametrize("sigma, shown", [(1e300, "1e+300"), (1e19, "1e+19"), (1e-30, "1e-30")])
def test_noise_level_outside_the_supported_range_names_the_users_value(
    image, monkeypatch, sigma, shown
):
    never_called(monkeypatch)
    with pytest.raises(ValueError) as err:
        vexa.vexa(image, sigma, progress=False)
    text = str(err.value)
    assert f"sigma_psd = {shown}" in text and "times the data's range" in text
    assert "1e-12 .. 1e+12" in text


def test_tiny_data_names_the_users_sigma_not_an_internal_one(image):
    with pytest.raises(ValueError, match=r"sigma_psd = 0\.1 is [\d.]+e\+309 times"):
        vexa.vexa(image.astype(np.float64) * 1e-310, 0.1, progress=False)


def test_data_at_the_float64_limits_is_scaled_without_overflow(image):
    data = image.astype(np.float64) * 1e307
    data[0, 0], data[1, 1] = 1.7e308, -1.7e308
    out = vexa.vexa(data, 1e307, progress=False)
    assert out.dtype == np.float64 and np.all(np.isfinite(out))
    # Same result as the data divided by a power of two, where nothing overflows.
    small = vexa.vexa(data / 2.0**1000, 1e307 / 2.0**1000, progress=False)
    np.testing.assert_allclose(out / 2.0**1000, small, rtol=1e-5, atol=1e-5 * 1.7e308 / 2**1000)


def test_subnormal_data_is_denoised_like_unit_data(image):
    tiny = vexa.vexa(image.astype(np.float64) * 1e-300, 0.1e-300, progress=False)
    unit = vexa.vexa(image.astype(np.float64), 0.1, progress=False)
    np.testing.assert_allclose(tiny * 1e300, unit, rtol=1e-6, atol=1e-6)


def test_psd_of_extreme_power_names_its_noise_level(image, monkeypatch):
    never_called(monkeypatch)
    with pytest.raises(ValueError, match=r"psd describes noise of std 6\.25e\+148"):
        vexa.denoise(image, psd=np.full((16, 16), 1e300), progress=False)


def test_empty_channel_axis(monkeypatch):
    never_called(monkeypatch)
    with pytest.raises(ValueError, match="channel_axis=2 has length 0"):
        vexa.denoise(np.zeros((24, 24, 0)), 0.1, channel_axis=2, progress=False)


def test_every_channel_is_checked_before_the_first_runs(image, monkeypatch):
    never_called(monkeypatch)
    pair = np.stack([image, image], axis=-1)
    with pytest.raises(ValueError, match="sigma = 1e\\+30"):
        vexa.denoise(pair, [0.1, 1e30], channel_axis=-1, progress=False)


@pytest.mark.parametrize("noise", ["0.1", b"0.1", 0.1 + 0j, object()])
def test_noise_of_the_wrong_type(image, noise):
    with pytest.raises(TypeError, match="sigma_psd must be a number or an array of numbers"):
        vexa.vexa(image, noise, progress=False)
    with pytest.raises(TypeError, match="sigma must be a number or an array of numbers"):
        vexa.denoise(image, noise, progress=False)


def test_store_read_by_a_stage_with_larger_groups(image):
    small = profile(hard__max_group_size=8, wiener__max_group_size=8, wiener__search_radius=8)
    large = profile(hard__max_group_size=8, wiener__max_group_size=32, wiener__search_radius=8)
    grown = vexa.MatchStore()
    basic = vexa.denoise(image, 0.1, profile=small, stage="hard", matches=grown, progress=False)
    assert grown.max_matches == 8
    final = vexa.denoise(
        image, 0.1, profile=large, stage="wiener", basic_estimate=basic, matches=grown,
        progress=False,
    )
    assert grown.max_matches == 32
    # A store sized for 32 from the start holds the same groups and gives the same result.
    roomy = vexa.MatchStore()
    vexa.denoise(image, 0.1, profile=large, stage="hard", matches=roomy, progress=False)
    np.testing.assert_array_equal(grown.counts(), roomy.counts())
    again = vexa.denoise(
        image, 0.1, profile=large, stage="wiener", basic_estimate=basic, matches=roomy,
        progress=False,
    )
    np.testing.assert_array_equal(final, again)
