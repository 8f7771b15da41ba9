"""Profiles: presets, array-order to library-order mapping, and validation."""

import pytest

from vexa import NOISE_ADAPTATION, PRESETS, HardThresholdSettings, VEXAProfile, WienerSettings


def test_presets_resolve_for_both_dimensionalities():
    for name in PRESETS:
        for ndim in (2, 3):
            r = VEXAProfile.from_name(name).resolve(ndim)
            assert r.hard.max_group_size >= r.hard.min_group_size
            if ndim == 2:
                assert r.hard.block_size[2] == 1 and r.psd_resample_size[2] == 1
                assert r.hard.search_radius[2] == 0 and r.hard.step[2] == 1


def test_named_preset_overrides_only_its_own_values():
    d = VEXAProfile().resolve(3)
    f = VEXAProfile.from_name("fast").resolve(3)
    assert f.hard.step != d.hard.step
    assert f.hard.threshold == d.hard.threshold  # inherited from the default preset


def test_per_axis_values_map_to_library_order():
    pro = VEXAProfile(
        hard=HardThresholdSettings(block_size=(2, 4, 8), step=(1, 2, 3), search_radius=(5, 6, 7)),
        psd_resample_size=(8, 16, 32),
        split_block_extraction=[True, False, False],
    )
    r = pro.resolve(3)
    assert r.hard.block_size == (8, 4, 2)
    assert r.hard.step == (3, 2, 1)
    assert r.hard.search_radius == (7, 6, 5)
    assert r.psd_resample_size == (32, 16, 8)
    # Array axis 0 (z) windowed is the library's z flag.
    assert r.split_block_extraction == (False, False, True)
    r2 = VEXAProfile(
        hard=HardThresholdSettings(block_size=(4, 8), step=(2, 3)),
        split_block_extraction=(True, False),
    ).resolve(2)
    assert r2.hard.block_size == (8, 4, 1) and r2.hard.step == (3, 2, 1)
    assert r2.split_block_extraction == (False, True, False)


def test_explicit_zero_is_not_replaced_by_the_preset():
    r = VEXAProfile(hard=HardThresholdSettings(threshold=0.0, match_noise_factor=0.0)).resolve(2)
    assert r.hard.threshold == 0.0 and r.hard.match_noise_factor == 0.0


BAD = [
    (dict(psd_resample_size=12), "psd_resample_size.*1, 4, 8, 16, 32, 64"),
    (dict(psd_resample_size=(8, 8, 2)), "psd_resample_size"),
    (dict(psd_resample_size=(4, 4, 1)), "psd_resample_size.*at least"),
    (dict(hard=HardThresholdSettings(step=0)), r"hard\.step.*>= 1"),
    (dict(hard=HardThresholdSettings(step=5)), r"hard\.step must be in 1 \.\. block_size"),
    (dict(wiener=WienerSettings(step=(1, 2))), r"wiener\.step.*3 integers"),
    (dict(hard=HardThresholdSettings(block_size=0)), r"hard\.block_size"),
    (dict(hard=HardThresholdSettings(search_radius=-1)), r"hard\.search_radius.*>= 0"),
    (dict(hard=HardThresholdSettings(max_group_size=65)), r"hard\.max_group_size.*1 \.\. 64"),
    (dict(hard=HardThresholdSettings(max_group_size=0)), r"hard\.max_group_size"),
    (dict(hard=HardThresholdSettings(min_group_size=3)), r"hard\.min_group_size.*power of two"),
    (dict(wiener=WienerSettings(min_group_size=64)), r"wiener\.min_group_size.*max_group_size"),
    (dict(hard=HardThresholdSettings(variance_group_size=-1)), r"variance_group_size.*0 \.\. 64"),
    (dict(hard=HardThresholdSettings(threshold=float("nan"))), r"hard\.threshold.*finite"),
    (dict(hard=HardThresholdSettings(match_threshold=-1.0)), r"hard\.match_threshold.*>= 0"),
    (dict(hard=HardThresholdSettings(sharpen_alpha=0.0)), r"sharpen_alpha.*> 0"),
    (dict(wiener=WienerSettings(wiener_factor=0.0)), r"wiener_factor.*> 0"),
    (dict(hard=HardThresholdSettings(block_size=2**31)), "below 2\\*\\*31"),
    (dict(split_block_extraction="sometimes"), "split_block_extraction.*'auto'"),
    (dict(split_block_extraction=[True, False]), "split_block_extraction.*3 bools"),
    (dict(num_threads=-2), r"num_threads.*0 \.\. 1024"),
    (dict(memory_limit=0), "memory_limit"),
    (dict(psd_symmetry="yes"), "psd_symmetry"),
    (dict(preset="slow"), "profile must be one of"),
    (dict(hard=WienerSettings()), r"profile\.hard must be a HardThresholdSettings"),
]


@pytest.mark.parametrize("kwargs, match", BAD, ids=[m for _, m in BAD])
def test_invalid_profile_values_name_the_parameter(kwargs, match):
    with pytest.raises(ValueError, match=match):
        VEXAProfile(**kwargs).resolve(3)


REUSE_BAD = [
    (dict(wiener=WienerSettings(step=2)), "block_size and step"),
    (dict(wiener=WienerSettings(block_size=8, step=3)), "block_size and step"),
    (dict(hard=HardThresholdSettings(search_radius=5)), "search_radius"),
    (dict(hard=HardThresholdSettings(max_group_size=64)), "max_group_size"),
]


@pytest.mark.parametrize("kwargs, match", REUSE_BAD)
def test_match_reuse_needs_compatible_stages(kwargs, match):
    with pytest.raises(ValueError, match="reuse_matches.*" + match):
        VEXAProfile(reuse_matches=True, **kwargs).resolve(3)
    VEXAProfile(reuse_matches=False, **kwargs).resolve(3)


# ---------------------------------------------------------------- noise adaptation

LOWPASS_3D = 0.06  # a Gaussian of std 1 sample along every axis of a volume
LINE_3D = 0.29  # 5 taps along one axis


def test_low_pass_noise_on_volumes_takes_the_adapted_values():
    table = NOISE_ADAPTATION[3][0]
    r = VEXAProfile().resolve(3, LOWPASS_3D)
    d = VEXAProfile().resolve(3)
    assert r.hard.block_size == (table["hard"]["block_size"],) * 3 != d.hard.block_size
    assert r.hard.threshold == table["hard"]["threshold"] != d.hard.threshold
    assert r.wiener.block_size == (table["wiener"]["block_size"],) * 3
    assert r.wiener.wiener_factor == table["wiener"]["wiener_factor"] != d.wiener.wiener_factor
    # everything outside the table stays the preset's
    assert (r.hard.step, r.wiener.search_radius, r.psd_resample_size) == (
        d.hard.step,
        d.wiener.search_radius,
        d.psd_resample_size,
    )
    # the fast preset keeps its own speed settings under the same adaptation
    f = VEXAProfile.from_name("fast").resolve(3, LOWPASS_3D)
    assert f.hard.block_size == r.hard.block_size and f.hard.step == (4, 4, 4)


@pytest.mark.parametrize("ndim, flatness", [(3, None), (3, 1.0), (3, 0.6), (2, 1.0), (2, 0.6)])
def test_white_and_mildly_coloured_noise_keep_the_preset(ndim, flatness):
    assert VEXAProfile().resolve(ndim, flatness) == VEXAProfile().resolve(ndim)
    assert VEXAProfile().adapted_settings(ndim, 1.0 if flatness is None else flatness) == {}


def test_noise_correlated_along_one_axis_of_a_volume_keeps_blocks_but_not_the_wiener_factor():
    r = VEXAProfile().resolve(3, LINE_3D)
    d = VEXAProfile().resolve(3)
    assert d.wiener.wiener_factor == 0.7 and r.wiener.wiener_factor == 1.0
    assert r.hard == d.hard and r.wiener.block_size == d.wiener.block_size
    # the lowest band wins where several would apply
    assert VEXAProfile().resolve(3, LOWPASS_3D).wiener.wiener_factor == 1.3
    assert VEXAProfile().adapted_settings(3, LINE_3D) == {"wiener": {"wiener_factor": 1.0}}


def test_correlated_noise_on_images_widens_only_the_wiener_blocks():
    r = VEXAProfile().resolve(2, 0.29)
    d = VEXAProfile().resolve(2)
    assert r.wiener.block_size == (12, 12, 1) and r.hard == d.hard
    assert VEXAProfile().adapted_settings(2, 0.29) == {"wiener": {"block_size": 12}}


def test_adaptation_never_overrides_what_the_caller_set():
    pro = VEXAProfile(
        hard=HardThresholdSettings(threshold=2.5, block_size=4),
        wiener=WienerSettings(wiener_factor=0.9),
    )
    r = pro.resolve(3, LOWPASS_3D)
    assert r.hard.threshold == 2.5 and r.hard.block_size == (4, 4, 4)
    assert r.wiener.wiener_factor == 0.9 and r.wiener.block_size == (6, 6, 6)
    off = VEXAProfile(adapt_to_noise=False)
    assert off.resolve(3, LOWPASS_3D) == VEXAProfile().resolve(3)
    assert off.adapted_settings(3, LOWPASS_3D) == {}


def test_adaptation_keeps_blocks_a_caller_grid_or_match_reuse_cannot_take():
    # a 4**3 PSD grid cannot hold 5**3 blocks: the thresholds still adapt
    r = VEXAProfile(psd_resample_size=4).resolve(3, LOWPASS_3D)
    assert r.hard.block_size == (4, 4, 4) and r.hard.threshold == 3.5
    # on images only the Wiener blocks would grow, which reuse cannot share
    r2 = VEXAProfile(reuse_matches=True).resolve(2, 0.29)
    assert r2.wiener.block_size == r2.hard.block_size == (8, 8, 1)
    # on volumes both stages grow together, so reuse keeps the larger blocks
    r3 = VEXAProfile(reuse_matches=True, wiener=WienerSettings(step=3)).resolve(3, LOWPASS_3D)
    assert r3.hard.block_size == r3.wiener.block_size == (6, 6, 6)
    # data narrower than the adapted blocks keeps the preset's blocks
    r4 = VEXAProfile().resolve(2, 0.29, data_shape=(10, 40))
    assert r4.wiener.block_size == (8, 8, 1)
    assert VEXAProfile().resolve(2, 0.29, data_shape=(12, 40)).wiener.block_size == (12, 12, 1)


@pytest.mark.parametrize("bad", [-0.1, 1.5, float("nan"), "low", True])
def test_psd_flatness_argument_is_checked(bad):
    with pytest.raises(ValueError, match=r"psd_flatness must be a number in \[0, 1\]"):
        VEXAProfile().resolve(3, bad)


def test_adapt_to_noise_must_be_boolean():
    with pytest.raises(ValueError, match="adapt_to_noise must be True or False"):
        VEXAProfile(adapt_to_noise="yes").resolve(3)


def test_adaptation_takes_the_spatial_shape_only():
    # A shape with a channel axis left in would keep blocks from the channel count.
    with pytest.raises(ValueError, match="data_shape must have the 3 spatial axes"):
        VEXAProfile().adapted_settings(3, 0.05, (24, 24, 24, 2))
    assert VEXAProfile().adapted_settings(3, 0.05, (24, 24, 24))["hard"]["block_size"] == 6
    assert "block_size" not in VEXAProfile().adapted_settings(3, 0.05, (24, 5, 24))["hard"]
