"""The ``vexa noise`` command and the estimated-noise report of ``vexa denoise``."""

from __future__ import annotations

import os

import numpy as np

__all__ = ["add_noise_parser", "cmd_noise", "estimated_noise", "psd_figure"]


def add_noise_parser(sub) -> None:
    n = sub.add_parser(
        "noise",
        help="estimate the noise PSD of a file, save it and show it beside the data's spectrum",
    )
    n.add_argument("input", help="noisy .npy, .nii/.nii.gz or .tif/.tiff file (2-D or 3-D)")
    n.add_argument("--psd-out", metavar="FILE", help="write the estimated PSD here (.npy)")
    n.add_argument("--plot", metavar="FILE", help="PNG of the PSD's central slices (log scale)")
    n.add_argument(
        "--shape",
        type=int,
        nargs="+",
        metavar="N",
        help="PSD grid in array order (default: the default profile's, 8^3 or 32^2)",
    )
    n.add_argument("--mask", metavar="FILE", help="noise-only region: nonzero where only noise")


def _summary(psd) -> str:
    from .psd import noise_variance, psd_flatness

    return f"sigma {np.sqrt(noise_variance(psd)):.4g}, flatness {psd_flatness(psd):.3f}"


def estimated_noise(data, profile, channel_axis=None, quiet=False):
    """The PSD ``vexa denoise`` uses when no noise option is given, reported on stdout."""
    from .api import estimated_psd

    spatial = np.ndim(data) - (0 if channel_axis is None else 1)
    if spatial not in (2, 3):
        raise ValueError(
            f"input must have 2 or 3 spatial axes (plus --channel-axis), got shape {np.shape(data)}"
        )
    psd = estimated_psd(np.asarray(data), profile, spatial, channel_axis)
    if not quiet:
        each = psd if isinstance(psd, list) else [psd]
        for c, p in enumerate(each):
            where = "" if len(each) == 1 else f" (channel {c})"
            print(f"vexa: estimated noise{where}: {_summary(p)}")
    return psd


def _same_file(a, b) -> bool:
    try:
        return os.path.exists(a) and os.path.exists(b) and os.path.samefile(a, b)
    except OSError:
        return False


def cmd_noise(args) -> None:
    from .estimation import estimate_psd
    from .io import read_volume

    outputs = (("--psd-out", args.psd_out, ".npy"), ("--plot", args.plot, ".png"))
    for option, path, suffix in outputs:
        if path is None:
            continue
        if not path.lower().endswith(suffix):
            raise ValueError(f"{option} must name a {suffix} file, got {path!r}")
        if _same_file(path, args.input) or (args.mask and _same_file(path, args.mask)):
            raise ValueError(f"{option} must not name an input file ({path})")
    data = read_volume(args.input).data
    if data.ndim not in (2, 3):
        raise ValueError(f"input must be 2-D or 3-D, got shape {data.shape}")
    mask = None
    if args.mask:
        mask = read_volume(args.mask).data
        if mask.shape != data.shape:
            raise ValueError(f"--mask must have the input's shape {data.shape}, got {mask.shape}")
        mask = mask != 0
    psd = estimate_psd(data, args.shape, mask=mask)
    print(f"vexa: estimated noise PSD on a {'x'.join(map(str, psd.shape))} grid: {_summary(psd)}")
    if args.psd_out:
        np.save(args.psd_out, psd)
        print(f"vexa: wrote {args.psd_out}")
    if args.plot:
        psd_figure(args.plot, data, psd)
        print(f"vexa: wrote {args.plot}")


def _data_spectrum(data, points):
    """Periodogram of the Hann-windowed, mean-removed data in the PSD convention of a
    grid of ``points`` samples (so that both pictures share one scale)."""
    x = np.asarray(data, np.float64)
    x = x - x.mean()
    window = np.ones(1)
    for n in x.shape:
        window = np.multiply.outer(window, np.hanning(n) if n > 2 else np.ones(n))
    window = window.reshape(x.shape)
    f = np.fft.fftn(x * window)
    return (np.abs(f) ** 2) / (x.size * np.mean(window**2)) * points


def _central_slices(a):
    """fftshifted planes through the zero frequency: one per axis pair (3-D), the array (2-D)."""
    s = np.fft.fftshift(a)
    if s.ndim == 2:
        return [("(y, x)", s)]
    c = [n // 2 for n in s.shape]
    return [("(y, x)", s[c[0]]), ("(z, x)", s[:, c[1]]), ("(z, y)", s[:, :, c[2]])]


def psd_figure(path, data, psd) -> None:
    """Saves a PNG: the estimate's central slices (log scale) beside the data's spectrum."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("--plot needs matplotlib: pip install matplotlib") from None
    spectrum = _data_spectrum(data, psd.size)
    rows = [
        ("estimated noise PSD", _central_slices(psd)),
        ("spectrum of the data", _central_slices(spectrum)),
    ]
    floor = max(float(np.max(psd)) * 1e-4, 1e-30)
    values = np.log10(np.maximum(np.concatenate([psd.ravel(), [floor]]), floor))
    lo, hi = float(values.min()), float(values.max()) + 1.0
    cols = len(rows[0][1])
    fig, axes = plt.subplots(2, cols, figsize=(3.2 * cols, 6.2), squeeze=False)
    for r, (title, planes) in enumerate(rows):
        for c, (label, plane) in enumerate(planes):
            ax = axes[r][c]
            im = ax.imshow(
                np.log10(np.maximum(plane, floor)),
                extent=(-0.5, 0.5, -0.5, 0.5),
                origin="lower",
                vmin=lo,
                vmax=hi,
                cmap="viridis",
                interpolation="nearest",
            )
            ax.set_title(f"{title}\nplane {label}", fontsize=8)
            ax.set_xlabel("cycles / sample", fontsize=7)
            ax.tick_params(labelsize=6)
    fig.colorbar(im, ax=axes.ravel().tolist(), shrink=0.8, label="log10 power")
    fig.savefig(path, dpi=80)
    plt.close(fig)
