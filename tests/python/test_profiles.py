"""Profiles: presets, array-order to library-order mapping, and validation."""

import pytest

from vexa import PRESETS, HardThresholdSettings, VEXAProfile, WienerSettings


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
    (dict(num_threads=-2), "num_threads.*>= 0"),
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
