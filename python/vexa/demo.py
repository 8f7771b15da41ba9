"""A synthetic 3-D phantom, PSNR, and a dependency-free PNG writer for the demo."""

from __future__ import annotations

import struct
import zlib
from pathlib import Path

import numpy as np

__all__ = ["phantom", "psnr", "write_png", "slice_figure"]


def phantom(size: int = 48) -> np.ndarray:
    """Piecewise-smooth test volume in [0, 1]: a shaded ball with a hollow, a box and a rod."""
    if size < 8:
        raise ValueError(f"size must be at least 8, got {size}")
    c = (np.arange(size) + 0.5) / size
    z, y, x = np.meshgrid(c, c, c, indexing="ij")
    vol = 0.15 + 0.1 * x
    r2 = (x - 0.45) ** 2 + (y - 0.5) ** 2 + (z - 0.5) ** 2
    ball = r2 < 0.32**2
    vol[ball] = 0.55 + 0.3 * (1.0 - r2[ball] / 0.32**2)
    vol[r2 < 0.12**2] = 0.3
    box = (np.abs(x - 0.78) < 0.1) & (np.abs(y - 0.25) < 0.12) & (np.abs(z - 0.6) < 0.25)
    vol[box] = 0.9
    rod = ((x - 0.25) ** 2 + (y - 0.78) ** 2 < 0.05**2) & (z > 0.15) & (z < 0.85)
    vol[rod] = 1.0
    return vol.astype(np.float32)


def psnr(reference, estimate, data_range: float = 1.0) -> float:
    """Peak signal-to-noise ratio in dB."""
    ref = np.asarray(reference, dtype=np.float64)
    est = np.asarray(estimate, dtype=np.float64)
    mse = float(np.mean((ref - est) ** 2))
    if mse == 0.0:
        return float("inf")
    return 10.0 * np.log10(data_range * data_range / mse)


def _chunk(kind: bytes, payload: bytes) -> bytes:
    body = kind + payload
    return struct.pack(">I", len(payload)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def write_png(path, image: np.ndarray) -> None:
    """Writes a 2-D array (values in [0, 1], clipped) as an 8-bit greyscale PNG."""
    img = np.asarray(image, dtype=np.float64)
    if img.ndim != 2 or img.size == 0:
        raise ValueError(f"write_png needs a non-empty 2-D array, got shape {img.shape}")
    pixels = np.round(np.clip(np.nan_to_num(img), 0.0, 1.0) * 255.0).astype(np.uint8)
    h, w = pixels.shape
    rows = b"".join(b"\x00" + pixels[r].tobytes() for r in range(h))
    png = b"\x89PNG\r\n\x1a\n"
    png += _chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 0, 0, 0, 0))
    png += _chunk(b"IDAT", zlib.compress(rows, 9))
    png += _chunk(b"IEND", b"")
    Path(path).write_bytes(png)


def slice_figure(path, panels, titles) -> str:
    """Saves side-by-side slices; matplotlib when installed, else the plain PNG writer.

    Returns the tool used ("matplotlib" or "png").
    """
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        gap = np.ones((panels[0].shape[0], 2))
        strip = [panels[0]]
        for p in panels[1:]:
            strip += [gap, p]
        image = np.concatenate(strip, axis=1)
        zoom = max(1, 192 // image.shape[0])  # small slices are enlarged, pixel for pixel
        write_png(path, np.kron(image, np.ones((zoom, zoom))))
        return "png"
    fig, axes = plt.subplots(1, len(panels), figsize=(3.2 * len(panels), 3.4))
    for ax, panel, title in zip(np.atleast_1d(axes), panels, titles):
        ax.imshow(panel, cmap="gray", vmin=0.0, vmax=1.0, interpolation="nearest")
        ax.set_title(title, fontsize=9)
        ax.axis("off")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return "matplotlib"
