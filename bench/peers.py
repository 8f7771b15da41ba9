"""The denoisers a user would otherwise pick, called the way the comparison does.

Each peer is given the true noise standard deviation where it takes one and
a short grid of its other settings; the comparison keeps the best of the
grid by PSNR against the clean data (an oracle choice that favours the
peers: vexa runs its default profile only).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Callable

import numpy as np


@dataclass(frozen=True)
class Peer:
    name: str
    run: Callable  # run(noisy, sigma, setting) -> estimate
    grid: Callable  # grid(ndim, quick) -> list of setting dicts
    threads: str  # how many threads it uses here
    note: str  # how it is called


def _nl_means(noisy, sigma, s):
    from skimage.restoration import denoise_nl_means

    return denoise_nl_means(
        noisy,
        patch_size=s["patch"],
        patch_distance=s["dist"],
        h=s["h"] * sigma,
        sigma=sigma,
        fast_mode=True,
        preserve_range=True,
    )


def _nl_means_grid(ndim, quick):
    # 3-D search windows are kept small: the cost grows with (2 dist + 1)^3
    geom = [(7, 11)] if ndim == 2 else [(5, 3)]
    hs = (0.5, 0.65) if quick else (0.4, 0.5, 0.6, 0.7, 0.8, 1.0)
    return [{"patch": p, "dist": d, "h": h} for p, d in geom for h in hs]


def _wavelet(noisy, sigma, s):
    from skimage.restoration import cycle_spin, denoise_wavelet

    kw = dict(sigma=sigma, wavelet=s["wavelet"], mode="soft", method="BayesShrink", rescale_sigma=True)
    if s.get("cycle_spin"):
        try:
            return cycle_spin(noisy, denoise_wavelet, max_shifts=1, func_kw=kw, workers=1)
        except TypeError:  # scikit-image before 0.26
            return cycle_spin(noisy, denoise_wavelet, max_shifts=1, func_kw=kw, num_workers=1)
    return denoise_wavelet(noisy, **kw)


def _wavelet_grid(ndim, quick):
    if quick:
        return [{"wavelet": "sym4"}, {"wavelet": "sym4", "cycle_spin": True}]
    return [{"wavelet": w} for w in ("db1", "db2", "sym4")] + [{"wavelet": "sym4", "cycle_spin": True}]


def _tv(noisy, sigma, s):
    from skimage.restoration import denoise_tv_chambolle

    return denoise_tv_chambolle(noisy, weight=s["weight"] * sigma)


def _tv_grid(ndim, quick):
    cs = (0.5, 0.7, 1.0) if quick else (0.4, 0.5, 0.6, 0.7, 0.8, 1.0, 1.25, 1.5)
    return [{"weight": c} for c in cs]


# dipy's nlmeans with rician=False pulls flat regions that are exactly zero
# towards sigma; shifting the data away from zero and back removes that.
DIPY_OFFSET = 1.0


def _dipy(noisy, sigma, s):
    from dipy.denoise.nlmeans import nlmeans

    vol = noisy if noisy.ndim == 3 else noisy[:, :, None]
    off = s.get("offset", DIPY_OFFSET)
    out = nlmeans(
        (vol + off).astype(np.float32),
        sigma=sigma,
        patch_radius=s["patch_radius"],
        block_radius=s["block_radius"],
        rician=False,
        num_threads=None,
    )
    out = np.asarray(out, np.float32) - off
    return out if noisy.ndim == 3 else out[:, :, 0]


def _dipy_grid(ndim, quick):
    pairs = [(1, 1), (2, 2)] if quick else [(1, 1), (1, 2), (2, 1), (2, 2), (2, 3), (3, 2)]
    return [{"patch_radius": p, "block_radius": b} for p, b in pairs]


def to_uint8(noisy):
    """Map [min, max] of the noisy data onto 0..255 (no clipping); return the map."""
    lo, hi = float(noisy.min()), float(noisy.max())
    scale = 255.0 / (hi - lo)
    u8 = np.clip(np.rint((noisy - lo) * scale), 0, 255).astype(np.uint8)
    return u8, lo, scale


def _opencv(noisy, sigma, s):
    import cv2

    u8, lo, scale = to_uint8(noisy)
    h = float(s["h"] * sigma * scale)
    tw, sw = s.get("template", 7), s.get("search", 21)
    if noisy.ndim == 2:
        out = cv2.fastNlMeansDenoising(u8, None, h, tw, sw)
    elif s.get("temporal", 1) == 1:
        out = np.stack([cv2.fastNlMeansDenoising(np.ascontiguousarray(sl), None, h, tw, sw) for sl in u8])
    else:
        # neighbouring slices as the "frames" of the multi-frame variant
        t = s["temporal"]
        r = t // 2
        frames = [np.ascontiguousarray(sl) for sl in u8]
        pad = frames[r:0:-1] + frames + frames[-2 : -r - 2 : -1]
        out = np.stack(
            [cv2.fastNlMeansDenoisingMulti(pad[i : i + t], r, t, None, h, tw, sw) for i in range(len(frames))]
        )
    return out.astype(np.float32) / scale + lo


def _opencv_grid(ndim, quick):
    cs = (0.9, 1.1) if quick else (0.7, 0.85, 1.0, 1.15, 1.3)
    grid = [{"h": c} for c in cs]
    if ndim == 3:
        grid += [{"h": c, "temporal": 3} for c in cs]
    return grid


def _gauss(noisy, sigma, s):
    from scipy.ndimage import gaussian_filter

    return gaussian_filter(noisy, s["std"], mode="reflect")


def _gauss_grid(ndim, quick):
    return [{"std": v} for v in ((0.7, 1.0, 1.5) if quick else (0.5, 0.7, 1.0, 1.25, 1.5, 2.0))]


PEERS = [
    Peer("skimage nl_means", _nl_means, _nl_means_grid, "1",
         "denoise_nl_means(fast_mode=True, sigma=σ, h=c·σ, preserve_range=True); 3-D on volumes"),
    Peer("skimage wavelet", _wavelet, _wavelet_grid, "1",
         "denoise_wavelet(BayesShrink, soft, sigma=σ, rescale_sigma=True); optional cycle_spin(max_shifts=1)"),
    Peer("skimage TV", _tv, _tv_grid, "1", "denoise_tv_chambolle(weight=c·σ)"),
    Peer("dipy nlmeans", _dipy, _dipy_grid, "all (OpenMP)",
         f"nlmeans(sigma=σ, rician=False, blockwise) on data + {DIPY_OFFSET}, minus it after; 2-D as one slice"),
    Peer("OpenCV NLM", _opencv, _opencv_grid, "all (OpenCV pool)",
         "fastNlMeansDenoising on [min,max]→0..255 uint8, h=c·σ·255/(max−min), windows 7/21; "
         "volumes slice by slice, or fastNlMeansDenoisingMulti over 3 neighbouring slices"),
    Peer("Gaussian", _gauss, _gauss_grid, "1", "scipy.ndimage.gaussian_filter(std)"),
]


def setting_text(s: dict) -> str:
    return ", ".join(f"{k}={v}" for k, v in s.items())
