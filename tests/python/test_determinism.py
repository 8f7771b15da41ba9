"""deterministic=True: bitwise reproducible results with several threads."""

import numpy as np
import pytest

import vexa


@pytest.fixture(scope="module")
def volume():
    rng = np.random.default_rng(8)
    clean = np.zeros((20, 24, 24), np.float32)
    clean[5:15, 6:18, 6:18] = 1.0
    return clean + 0.2 * rng.standard_normal(clean.shape).astype(np.float32)


def test_repeated_runs_are_bitwise_equal(volume):
    runs = [
        vexa.denoise(volume, 0.2, profile="fast", num_threads=4, deterministic=True,
                     progress=False)
        for _ in range(3)
    ]
    for other in runs[1:]:
        np.testing.assert_array_equal(runs[0], other)
    free = vexa.denoise(volume, 0.2, profile="fast", num_threads=4, progress=False)
    np.testing.assert_allclose(free, runs[0], atol=1e-5)


def test_flag_must_be_a_boolean(volume):
    with pytest.raises(ValueError, match="deterministic must be True or False"):
        vexa.denoise(volume, 0.2, deterministic="yes", progress=False)


def test_memory_plan_counts_the_thread_volumes():
    from vexa.stages import plans
    from vexa.profiles import VEXAProfile

    resolved = VEXAProfile.from_name("fast").resolve(3, None, (64, 64, 64))
    args = (resolved, (64, 64, 64), 512, ("hard",), 4, None, 0)
    free = plans(*args)[0].estimate
    fixed = plans(*args, deterministic=True)[0].estimate
    assert fixed - free == 8 * 4 * 64**3
