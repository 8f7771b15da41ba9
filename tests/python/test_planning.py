"""Memory planning: block-buffer sizes, the choice of windowed axes, and clear failures."""

import pytest

import vexa
from vexa.planning import _collection_floats, estimate_stage_memory, plan_stage
from vexa.profiles import HardThresholdSettings, VEXAProfile


def test_block_buffer_sizes_follow_the_library_formula():
    # 256^3 volume, 4^3 blocks: every block (253^3 of 64 floats, about 4.1 GB) ...
    whole = _collection_floats((256, 256, 256), (4, 4, 4), (11, 11, 11), (False, False, False))
    assert whole == 253**3 * 64
    assert 4.0e9 < whole * 4 < 4.2e9
    # ... or, with z windowed at radius 11, the 23 slices of origins of the
    # search window (about 0.38 GB).
    z_only = _collection_floats((256, 256, 256), (4, 4, 4), (11, 11, 11), (False, False, True))
    assert z_only == 253 * 253 * 23 * 64
    # y and z windowed: 23 x 23 origins of every x.
    yz = _collection_floats((256, 256, 256), (4, 4, 4), (11, 11, 11), (False, True, True))
    assert yz == 253 * 23 * 23 * 64
    # An image: 8x8x1 blocks, y windowed.
    img = _collection_floats((100, 90, 1), (8, 8, 1), (5, 5, 0), (False, True, False))
    assert img == 93 * (2 * 5 + 1) * 1 * 64
    # A window wider than the volume holds every origin, no more.
    small = _collection_floats((12, 12, 12), (4, 4, 4), (11, 11, 11), (True, True, True))
    assert small == 9**3 * 64


def _stage(**kw):
    return VEXAProfile(hard=HardThresholdSettings(**kw)).resolve(3).hard


def test_windowed_buffers_are_per_job_and_wiener_holds_two():
    st = _stage(search_radius=2)
    args = (st, (64, 64, 64), 512, (8, 8, 8), True)
    _, shared = estimate_stage_memory(*args, (False, False, False), 4, wiener=False)
    _, shared_w = estimate_stage_memory(*args, (False, False, False), 4, wiener=True)
    assert shared_w == 2 * shared
    _, one = estimate_stage_memory(*args, (False, False, True), 1, wiener=False)
    _, four = estimate_stage_memory(*args, (False, False, True), 4, wiener=False)
    assert four == 4 * one
    assert one < shared


def test_auto_windows_z_first_then_more_axes_until_one_fits():
    st = _stage(search_radius=2)
    args = (st, (64, 64, 64), 512, (8, 8, 8), True, "auto", 2, False)
    costs = {
        s: estimate_stage_memory(*args[:5], s, 2, False)[0]
        for s in [
            (False, False, False),
            (False, False, True),
            (False, True, True),
            (True, True, True),
        ]
    }
    assert costs[(False, False, True)] < costs[(False, False, False)]
    # The z window comes first: it slides, so it costs no time and little memory.
    for limit in (costs[(False, False, False)], costs[(False, False, True)]):
        assert plan_stage(*args, memory_limit=limit).split_block_extraction == (False, False, True)
    assert plan_stage(
        *args, memory_limit=costs[(False, False, True)] - 1
    ).split_block_extraction == (False, True, True)
    with pytest.raises(MemoryError, match="needs about .* even with"):
        plan_stage(*args, memory_limit=min(costs.values()) - 1)
    # A cut axis no longer than the search window gains nothing from a window:
    # whole buffers, shared by the jobs, come first.
    short = (st, (64, 64, 7), 512, (8, 8, 8), True, "auto", 2, False)
    assert plan_stage(*short, memory_limit=1 << 40).split_block_extraction == (False, False, False)


def test_auto_without_a_limit_keeps_the_plan_within_a_share_of_memory(monkeypatch):
    import vexa.planning as planning

    st = _stage(search_radius=2)
    args = (st, (64, 64, 64), 512, (8, 8, 8), True, "auto", 2, False)
    z_only = estimate_stage_memory(*args[:5], (False, False, True), 2, False)[0]
    # Plenty of memory: the z window.
    monkeypatch.setattr(planning, "available_memory", lambda: 8 * z_only)
    assert plan_stage(*args).split_block_extraction == (False, False, True)
    # The z window would take half of what is available: window y too.
    monkeypatch.setattr(planning, "available_memory", lambda: 2 * z_only)
    plan = plan_stage(*args)
    assert plan.split_block_extraction == (False, True, True)
    assert plan.limit == int(2 * z_only * 0.8)


def test_auto_on_images_windows_y_first():
    st = VEXAProfile().resolve(2).hard
    args = (st, (256, 256, 1), 1024, (32, 32, 1), True, "auto", 2, False)
    full = estimate_stage_memory(*args[:5], (False, False, False), 2, False)[0]
    assert plan_stage(*args, memory_limit=full - 1).split_block_extraction == (False, True, False)


def test_explicit_split_that_cannot_fit_reports_the_estimate():
    st = _stage()
    with pytest.raises(
        MemoryError,
        match=r"needs about [0-9.]+ MiB with split_block_extraction \[False, False, False\]",
    ):
        plan_stage(
            st,
            (64, 64, 64),
            512,
            (8, 8, 8),
            True,
            (False, False, False),
            2,
            False,
            memory_limit=1 << 20,
        )


def test_plan_memory_public_entry():
    plans = vexa.plan_memory((48, 48, 48), memory_limit=1 << 40, num_threads=2)
    assert [p.stage for p in plans] == ["hard", "wiener"]
    assert all(p.split_block_extraction == (False, False, True) for p in plans)
    small = vexa.plan_memory(
        (48, 48, 48), memory_limit=plans[0].estimate - 1, num_threads=2, stage="hard"
    )
    assert small[0].split_block_extraction == (False, True, True)
    assert vexa.split_in_array_order((False, False, True), flat=False) == [True, False, False]


def test_auto_keeps_block_buffers_near_the_volume_for_large_volumes(monkeypatch):
    import vexa
    import vexa.planning as planning

    # Plenty of memory: the cap, not the share of memory, decides.
    monkeypatch.setattr(planning, "available_memory", lambda: 256 << 30)
    full = (301, 370, 316)  # array order, 134 MiB as float32
    for plan in vexa.plan_memory(full, num_threads=2):
        assert plan.split_block_extraction == (False, True, True)
        assert plan.block_buffers <= planning.AUTO_LARGE_SHARE * 4 * 301 * 370 * 316
    # A crop windows z (its buffers slide) within the floor.
    for plan in vexa.plan_memory((96, 96, 96), num_threads=2):
        assert plan.split_block_extraction == (False, False, True)
    # Blocks larger than 4x4x4 are not capped: with this much memory the
    # cut axis alone is windowed.
    prof = vexa.VEXAProfile.from_name("default")
    prof.hard.block_size = 6
    prof.wiener.block_size = 6
    plans = vexa.plan_memory(full, prof, num_threads=2)
    assert all(p.split_block_extraction != (False, True, True) for p in plans)
