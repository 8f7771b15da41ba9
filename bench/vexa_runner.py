"""How the benchmarks call vexa's Python host, in one place."""

from __future__ import annotations

import dataclasses

import numpy as np

import benchlib as bl


def import_vexa():
    import vexa

    return vexa


def profile(name: str | None = None, **overrides):
    """A host profile by preset name (None: the default), with fields replaced."""
    vexa = import_vexa()
    cls = vexa.VEXAProfile
    if name is None or name == "default":
        base = cls()
    elif hasattr(cls, name) and callable(getattr(cls, name)):
        base = getattr(cls, name)()
    elif hasattr(vexa, "profiles") and hasattr(vexa.profiles, "get_profile"):
        base = vexa.profiles.get_profile(name)
    else:
        raise ValueError(f"unknown vexa profile {name!r}")
    return apply_overrides(base, overrides)


def apply_overrides(prof, overrides: dict):
    """Replace fields; 'ht.x' / 'wie.x' address a per-stage field, plain 'x' both stages."""
    if not overrides:
        return prof
    prof = dataclasses.replace(prof)
    for key, value in overrides.items():
        if "." in key:
            stage, name = key.split(".", 1)
            sub = dataclasses.replace(getattr(prof, stage), **{name: value})
            setattr(prof, stage, sub)
        elif hasattr(prof, key):
            setattr(prof, key, value)
        else:
            for stage in ("ht", "wie"):
                sub = getattr(prof, stage)
                setattr(prof, stage, dataclasses.replace(sub, **{key: value}))
    return prof


def noise_argument(noisy: np.ndarray, case: bl.NoiseCase, prof=None):
    """The true noise description: sigma for white noise, the kernel's PSD otherwise."""
    kernel = bl.noise_kernel(case, noisy.ndim)
    if kernel is None:
        return case.sigma
    vexa = import_vexa()
    if hasattr(vexa, "psd_from_kernel"):
        return vexa.psd_from_kernel(kernel, noisy.shape)
    return bl.true_psd(noisy.shape, case).astype(np.float32)


def run(noisy: np.ndarray, case: bl.NoiseCase, prof=None, stage: str = "all", **kw):
    vexa = import_vexa()
    return vexa.vexa(noisy, noise_argument(noisy, case, prof), profile=prof, stage=stage, **kw)
