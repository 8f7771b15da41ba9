"""Properties of the host for any input: a ValueError/TypeError that names a parameter,
or a finite estimate of the input's shape; the caller's arrays are never modified."""

import dataclasses
import os
import re

import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import vexa  # noqa: E402
from vexa import VEXAProfile  # noqa: E402

# The arguments of denoise and every profile setting.
_NAMES = {"image", "z", "sigma", "sigma_psd", "psd", "kernel", "profile", "stage",
          "channel_axis", "num_threads", "memory_limit", "basic_estimate", "matches"}
_NAMES |= {f.name for cls in (VEXAProfile, vexa.HardThresholdSettings, vexa.WienerSettings)
           for f in dataclasses.fields(cls)}
PARAMETER = re.compile(r"\b(" + "|".join(sorted(_NAMES, key=len, reverse=True)) + r")\b")

# A fixed set of examples in the test suite; VEXA_PROPERTY_EXAMPLES=N runs N fresh ones.
_EXAMPLES = os.environ.get("VEXA_PROPERTY_EXAMPLES")
PROPERTY = settings(
    max_examples=int(_EXAMPLES) if _EXAMPLES else 60,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    derandomize=not _EXAMPLES,
    database=None,
)

DTYPES = ["<f4", ">f4", "<f8", ">f8", "<i2", ">i4", "u1", "?", "c8", "O", "f2"]


@st.composite
def shapes(draw):
    ndim = draw(st.sampled_from([2, 2, 3]))
    kind = draw(st.sampled_from(["thin", "small", "odd", "any"]))
    if kind == "thin":  # 1 x N and N x 1
        n = draw(st.integers(1, 40))
        shape = [1, n] if draw(st.booleans()) else [n, 1]
        return tuple(shape + [draw(st.integers(1, 9))] * (ndim - 2))
    top = {"small": 7, "odd": 25, "any": 24}[kind]
    sizes = st.integers(1, top).map(lambda v: v | 1) if kind == "odd" else st.integers(1, top)
    return tuple(draw(sizes) for _ in range(ndim))


@st.composite
def images(draw):
    shape = draw(shapes())
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    scale = draw(st.sampled_from([1.0, 1e-3, 255.0, 1e6]))
    values = rng.random(shape) * scale
    if dtype.kind == "O":
        return values.astype(object)
    if dtype.kind == "c":
        return (values + 1j * values).astype(dtype)
    with np.errstate(over="ignore", invalid="ignore"):
        return values.astype(dtype)


NOISE_SCALARS = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(1e-4, 10.0),
    st.integers(-3, 3),
    st.sampled_from(["0.1", None, True, 0j]),
)


@st.composite
def psds(draw, ndim):
    shape = tuple(draw(st.integers(1, 9)) for _ in range(draw(st.sampled_from([ndim, ndim, 1]))))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    kind = draw(st.sampled_from(["white", "random", "zeros", "negative", "nan"]))
    p = {"white": np.ones(shape), "random": rng.random(shape), "zeros": np.zeros(shape)}.get(
        kind, rng.random(shape)
    )
    if kind == "negative":
        p.flat[0] = -1.0
    if kind == "nan":
        p.flat[-1] = np.nan
    return p * draw(st.sampled_from([1e-6, 0.01, 1.0, 1e6]))


@st.composite
def profiles(draw, ndim):
    p = VEXAProfile.from_name(draw(st.sampled_from(["fast", "default"])))
    stage = draw(st.sampled_from(["hard", "wiener"]))
    field = draw(
        st.sampled_from(
            [None, "block_size", "step", "search_radius", "max_group_size", "min_group_size",
             "match_threshold", "threshold", "wiener_factor", "sharpen_alpha"]
        )
    )
    value = draw(
        st.one_of(
            st.integers(-2, 40),
            st.floats(allow_nan=True, allow_infinity=True),
            st.lists(st.integers(0, 9), min_size=ndim, max_size=ndim),
        )
    )
    target = p.hard if field in ("threshold", "sharpen_alpha") else getattr(p, stage)
    if field == "wiener_factor":
        target = p.wiener
    if field is not None:
        setattr(target, field, value)
    p.num_threads = draw(st.sampled_from([1, 2]))
    return p


def check_outcome(call, inputs, shape):
    copies = [np.array(a, copy=True) for a in inputs]
    try:
        out = call()
    except (ValueError, TypeError) as exc:
        text = str(exc)
        assert "\n" not in text.strip(), text
        assert PARAMETER.search(text), f"message names no parameter: {text}"
        out = None
    if out is not None:
        assert out.shape == shape
        assert np.all(np.isfinite(out))
    for before, after in zip(copies, inputs):
        assert before.dtype == after.dtype
        np.testing.assert_array_equal(before, after)


@PROPERTY
@given(st.data())
def test_any_image_and_sigma(data):
    img = data.draw(images())
    sigma = data.draw(NOISE_SCALARS)
    check_outcome(lambda: vexa.denoise(img, sigma, profile="fast", progress=False), [img], img.shape)


@PROPERTY
@given(st.data())
def test_any_psd(data):
    img = data.draw(images().filter(lambda a: a.dtype.kind in "fiu"))
    psd = data.draw(psds(img.ndim))
    check_outcome(
        lambda: vexa.denoise(img, psd=psd, profile="fast", num_threads=1, progress=False),
        [img, psd],
        img.shape,
    )


@PROPERTY
@given(st.data())
def test_any_profile_value(data):
    rng = np.random.default_rng(data.draw(st.integers(0, 1000)))
    shape = data.draw(st.sampled_from([(24, 24), (17, 31), (12, 12, 12), (9, 20, 8)]))
    img = rng.random(shape).astype(np.float32)
    p = data.draw(profiles(len(shape)))
    check_outcome(lambda: vexa.denoise(img, 0.1, profile=p, progress=False), [img], shape)


@PROPERTY
@given(st.data())
def test_channels_and_stages(data):
    rng = np.random.default_rng(data.draw(st.integers(0, 1000)))
    channels = data.draw(st.integers(0, 3))
    axis = data.draw(st.sampled_from([0, -1, 2, 5, None]))
    img = rng.random((16, 16, channels)).astype(np.float32)
    stage = data.draw(st.sampled_from(["all", "hard", "wiener", "both"]))
    basic = img.copy() if stage == "wiener" and data.draw(st.booleans()) else None
    inputs = [img] + ([basic] if basic is not None else [])
    check_outcome(
        lambda: vexa.denoise(
            img, 0.1, profile="fast", stage=stage, basic_estimate=basic, channel_axis=axis,
            progress=False,
        ),
        inputs,
        img.shape,
    )
