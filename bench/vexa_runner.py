"""How the benchmarks call vexa's Python host, in one place."""

from __future__ import annotations

import dataclasses

import numpy as np

import benchlib as bl


def import_vexa():
    import vexa

    return vexa


def profile(name: str | None = None, **overrides):
    """A host profile by preset name (None: the default), with fields replaced.

    Keys 'hard.x' / 'wiener.x' set one stage's field, a plain stage field
    name sets it in both stages, other keys set the profile's own field.
    """
    vexa = import_vexa()
    prof = vexa.VEXAProfile.from_name(name or "default")
    return apply_overrides(prof, overrides)


STAGES = ("hard", "wiener")


def apply_overrides(prof, overrides: dict):
    prof = dataclasses.replace(
        prof, **{st: dataclasses.replace(getattr(prof, st)) for st in STAGES}
    )
    for key, value in overrides.items():
        if "." in key:
            stage, name = key.split(".", 1)
            if stage not in STAGES:
                raise ValueError(f"stage prefix must be one of {STAGES}, got {stage!r}")
            setattr(getattr(prof, stage), name, value)
        elif any(f.name == key for f in dataclasses.fields(prof)):
            setattr(prof, key, value)
        else:
            hit = False
            for stage in STAGES:
                sub = getattr(prof, stage)
                if any(f.name == key for f in dataclasses.fields(sub)):
                    setattr(sub, key, value)
                    hit = True
            if not hit:
                raise ValueError(f"unknown profile setting {key!r}")
    return prof


def psd_grid(prof, ndim: int) -> tuple:
    """The profile's PSD grid in array axis order (the host then skips resampling)."""
    return prof.resolve(ndim).psd_shape


# How vexa learns the noise: the true PSD (sigma for white noise), the PSD it
# estimates from the noisy data, or the true sigma alone (treated as white).
NOISE_MODES = ("true", "estimated", "sigma")
# Figures of the last estimate made by run(..., noise="estimated").
LAST_ESTIMATE = {}


def noise_argument(noisy: np.ndarray, case: bl.NoiseCase, prof=None, noise: str = "true"):
    """The noise description vexa gets: by default the true one (sigma for white noise, the
    kernel's PSD otherwise); ``noise="sigma"`` the true sigma alone; ``"estimated"`` None
    (vexa estimates the PSD)."""
    if noise not in NOISE_MODES:
        raise ValueError(f"noise must be one of {NOISE_MODES}, got {noise!r}")
    if noise == "estimated":
        return None
    if noise == "sigma" or not case.correlated:
        return case.sigma
    vexa = import_vexa()
    if prof is None:
        prof = vexa.VEXAProfile()
    kernel = bl.noise_kernel(case, noisy.ndim)
    if kernel is None:  # a noise defined by its spectrum (ct)
        return bl.true_psd(psd_grid(prof, noisy.ndim), case).astype(np.float32)
    return vexa.psd_from_kernel(kernel, psd_grid(prof, noisy.ndim))


def settings_hash(noisy: np.ndarray, case: bl.NoiseCase, prof=None, noise: str = "true") -> str:
    """Fingerprint of the settings vexa resolves for this input (noise adaptation included):
    a result stays valid while it is unchanged."""
    import hashlib
    import json

    vexa = import_vexa()
    if prof is None:
        prof = vexa.VEXAProfile()
    given = noise_argument(noisy, case, prof, noise)
    if given is None:
        given = vexa.estimate_psd(noisy, psd_grid(prof, noisy.ndim))
    flatness = None if np.isscalar(given) else vexa.psd_flatness(given)
    resolved = prof.resolve(noisy.ndim, flatness, noisy.shape)
    values = dataclasses.asdict(resolved)
    if not values.get("multiscale"):
        values.pop("multiscale", None)  # off: the single-scale result, as before the setting
    text = json.dumps(values, sort_keys=True, default=str)
    if noise != "true":
        text += noise
    if noise == "estimated":
        text += estimator_fingerprint()
    return hashlib.sha1(text.encode()).hexdigest()[:12]


def estimator_fingerprint() -> str:
    """The estimator's source files: runs with an estimated PSD are redone when it changes."""
    import hashlib
    from pathlib import Path

    vexa = import_vexa()
    h = hashlib.sha1()
    for name in ("estimation.py", "residual.py"):
        path = Path(vexa.__file__).parent / name
        if path.exists():
            h.update(path.read_bytes())
    return h.hexdigest()[:12]


def run(noisy: np.ndarray, case: bl.NoiseCase, prof=None, stage: str = "all", noise="true", **kw):
    """vexa on the noisy data; with ``noise="estimated"`` the PSD estimate is part of the call
    (and of its time), its own seconds and its error against the true PSD go to LAST_ESTIMATE."""
    import time

    vexa = import_vexa()
    given = noise_argument(noisy, case, prof, noise)
    if noise == "estimated":
        grid = psd_grid(prof if prof is not None else vexa.VEXAProfile(), noisy.ndim)
        t0 = time.perf_counter()
        given = vexa.estimate_psd(noisy, grid)
        seconds = time.perf_counter() - t0
        true = bl.true_psd(grid, case)
        LAST_ESTIMATE.clear()
        LAST_ESTIMATE.update(
            estimate_seconds=seconds,
            estimate_power_ratio=float(given.mean() / true.mean()),
            estimate_l1=float(np.abs(given - true).mean() / true.mean()),
            estimate_flatness=float(vexa.psd_flatness(given)),
        )
    return vexa.vexa(noisy, given, profile=prof, stage=stage, **kw)
