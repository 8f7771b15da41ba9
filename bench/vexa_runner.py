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


def noise_argument(noisy: np.ndarray, case: bl.NoiseCase, prof=None):
    """The true noise description: sigma for white noise, the kernel's PSD otherwise."""
    if not case.correlated:
        return case.sigma
    vexa = import_vexa()
    if prof is None:
        prof = vexa.VEXAProfile()
    kernel = bl.noise_kernel(case, noisy.ndim)
    if kernel is None:  # a noise defined by its spectrum (ct)
        return bl.true_psd(psd_grid(prof, noisy.ndim), case).astype(np.float32)
    return vexa.psd_from_kernel(kernel, psd_grid(prof, noisy.ndim))


def settings_hash(noisy: np.ndarray, case: bl.NoiseCase, prof=None) -> str:
    """Fingerprint of the settings vexa resolves for this input (noise adaptation included):
    a result stays valid while it is unchanged."""
    import hashlib
    import json

    vexa = import_vexa()
    if prof is None:
        prof = vexa.VEXAProfile()
    noise = noise_argument(noisy, case, prof)
    flatness = None if np.isscalar(noise) else vexa.psd_flatness(noise)
    resolved = prof.resolve(noisy.ndim, flatness, noisy.shape)
    text = json.dumps(dataclasses.asdict(resolved), sort_keys=True, default=str)
    return hashlib.sha1(text.encode()).hexdigest()[:12]


def run(noisy: np.ndarray, case: bl.NoiseCase, prof=None, stage: str = "all", **kw):
    vexa = import_vexa()
    return vexa.vexa(noisy, noise_argument(noisy, case, prof), profile=prof, stage=stage, **kw)
