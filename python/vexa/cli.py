"""The ``vexa`` command: denoise a file, run the demo, or show the installation."""

from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np

__all__ = ["main"]


class _Failure(Exception):
    """An error worth one line and exit status 1."""


def _positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected an integer, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected an integer >= 0, got {value}")
    return value


def _parser():
    from .profiles import preset_names

    parser = argparse.ArgumentParser(
        prog="vexa",
        description="Denoise volumes and images with stationary, correlated noise.",
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    d = sub.add_parser(
        "denoise", help="denoise a .npy, .nii/.nii.gz, .tif/.tiff file or a Zarr store (.zarr)"
    )
    d.add_argument("input", help="noisy file")
    d.add_argument("output", help="file to write the estimate to")
    noise = d.add_mutually_exclusive_group()
    noise.add_argument("--sigma", type=float, help="noise standard deviation, in the data's units")
    noise.add_argument("--psd", metavar="FILE", help="noise PSD as a .npy array")
    noise.add_argument("--kernel", metavar="FILE", help="noise kernel as a .npy array")
    noise.add_argument(
        "--estimate-sigma", action="store_true", help="estimate a white noise level only"
    )
    d.add_argument(
        "--kernel-sigma",
        type=float,
        default=1.0,
        help="std of the white noise the kernel filters (default 1)",
    )
    d.add_argument("--profile", default="default", choices=preset_names())
    d.add_argument("--stage", default="all", choices=("all", "hard", "wiener"))
    d.add_argument("--basic", metavar="FILE", help="basic estimate, for --stage wiener")
    d.add_argument("--threads", type=_positive_int, default=0, help="worker threads (0: all cores)")
    d.add_argument("--channel-axis", type=int, default=None, help="axis holding channels")
    d.add_argument(
        "--no-adapt",
        action="store_true",
        help="keep the preset's settings for correlated noise (no noise adaptation)",
    )
    d.add_argument("--quiet", action="store_true", help="no progress bar")
    from ._cli_zarr import add_zarr_arguments

    add_zarr_arguments(d)
    d.add_argument(
        "--overwrite", action="store_true", help="replace an existing output (the input included)"
    )

    from .noise_cli import add_noise_parser

    add_noise_parser(sub)

    m = sub.add_parser("demo", help="denoise a built-in synthetic phantom")
    m.add_argument("--size", type=int, default=48, help="edge length of the phantom (default 48)")
    m.add_argument("--sigma", type=float, default=0.1, help="noise std (default 0.1)")
    m.add_argument("--correlated", action="store_true", help="low-pass correlated noise")
    m.add_argument("--profile", default="default", choices=preset_names())
    m.add_argument("--threads", type=_positive_int, default=0)
    m.add_argument(
        "--output", default="vexa_demo.png", help="PNG of a slice (default vexa_demo.png)"
    )
    m.add_argument("--seed", type=int, default=0)
    m.add_argument("--quiet", action="store_true", help="no progress bar")
    m.add_argument("--overwrite", action="store_true", help="replace an existing output file")

    sub.add_parser("info", help="show the version, the library and the thread count")
    return parser


def _load_array(path, what):
    from .io import read_volume

    try:
        return read_volume(path)
    except (OSError, ValueError, ImportError, EOFError) as exc:
        raise _Failure(f"{what}: {_first_line(exc)}") from None


def _first_line(exc) -> str:
    lines = str(exc).strip().splitlines()
    return lines[0] if lines else type(exc).__name__


def _check_output(path, overwrite, inputs=()):
    """Refuses, before any work, an output that exists (unless overwrite) or cannot be written."""
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise _Failure(f"output: folder {folder} does not exist")
    if not os.access(folder, os.W_OK):
        raise _Failure(f"output: folder {folder} is not writable")
    if os.path.isdir(path):
        raise _Failure(f"output: {path} is a folder")
    if overwrite or not os.path.lexists(path):
        return
    for name in inputs:
        if name and os.path.exists(name) and os.path.samefile(name, path):
            raise _Failure(
                f"output: {path} is the input {name}; pass --overwrite to replace it "
                "(it is replaced only once the estimate is complete)"
            )
    raise _Failure(f"output: {path} exists; pass --overwrite to replace it")


def _report_adaptation(profile, shape, noise):
    """Says which settings the noise PSD changes, so a run is reproducible without the PSD."""
    from .psd import psd_flatness, psd_from_kernel

    ndim = len(shape)
    if ndim not in (2, 3) or ("psd" not in noise and "kernel" not in noise):
        return
    try:
        psd = noise.get("psd")
        if psd is None:
            psd = psd_from_kernel(noise["kernel"], profile.resolve(ndim).psd_shape)
        flatness = psd_flatness(psd)
        changes = profile.adapted_settings(ndim, flatness, shape)
    except ValueError:
        return  # the run itself reports the bad argument
    if changes:
        text = "; ".join(
            f"{stage} " + ", ".join(f"{k}={v}" for k, v in values.items())
            for stage, values in changes.items()
        )
        print(f"vexa: noise PSD flatness {flatness:.3f}: {text} (--no-adapt keeps the preset)")


def _cmd_denoise(args):
    from .api import denoise
    from .io import file_format, write_volume
    from .profiles import VEXAProfile
    from .zarr_io import is_zarr

    if is_zarr(args.input) or is_zarr(args.output):
        from ._cli_zarr import denoise_zarr

        return denoise_zarr(args, _Failure)
    try:
        file_format(args.output)
    except ValueError as exc:
        raise _Failure(f"output: {exc}") from None
    _check_output(args.output, args.overwrite, (args.input, args.psd, args.kernel, args.basic))
    vol = _load_array(args.input, "input")
    kwargs = {}
    if args.sigma is not None:
        kwargs["sigma"] = args.sigma
    elif args.psd:
        kwargs["psd"] = _load_array(args.psd, "--psd").data
    elif args.kernel:
        kwargs["kernel"] = _load_array(args.kernel, "--kernel").data
        kwargs["sigma"] = args.kernel_sigma
    elif args.estimate_sigma:
        from .psd import estimate_sigma

        kwargs["sigma"] = estimate_sigma(vol.data, channel_axis=args.channel_axis)
    basic = _load_array(args.basic, "--basic").data if args.basic else None
    profile = VEXAProfile.from_name(args.profile)
    profile.num_threads = args.threads
    profile.adapt_to_noise = not args.no_adapt
    if not kwargs:
        from .noise_cli import estimated_noise

        kwargs["psd"] = estimated_noise(vol.data, profile, args.channel_axis, args.quiet)
    if not args.quiet and args.channel_axis is None:
        _report_adaptation(profile, vol.data.shape, kwargs)
    start = time.perf_counter()
    estimate = denoise(
        vol.data,
        profile=profile,
        stage=args.stage,
        basic_estimate=basic,
        channel_axis=args.channel_axis,
        progress=False if args.quiet else None,
        **kwargs,
    )
    seconds = time.perf_counter() - start
    try:
        write_volume(args.output, estimate, like=vol, overwrite=args.overwrite)
    except FileExistsError:
        raise _Failure(f"output: {args.output} appeared while denoising; not overwritten") from None
    if not args.quiet:
        print(f"vexa: wrote {args.output} ({estimate.shape}, {estimate.dtype}) in {seconds:.2f} s")


def _cmd_demo(args):
    from .api import vexa
    from .demo import phantom, psnr, slice_figure
    from .io import replacing_file
    from .profiles import VEXAProfile
    from .psd import psd_from_kernel

    if args.size < 16:
        raise _Failure("--size must be at least 16")
    _check_output(args.output, args.overwrite)
    if not args.sigma > 0:
        raise _Failure("--sigma must be positive")
    clean = phantom(args.size)
    rng = np.random.default_rng(args.seed)
    white = rng.standard_normal(clean.shape)
    profile = VEXAProfile.from_name(args.profile)
    profile.num_threads = args.threads
    if args.correlated:
        # Separable binomial kernel scaled to unit gain in noise power.
        k1 = np.array([1.0, 2.0, 1.0])
        kernel = k1[:, None, None] * k1[None, :, None] * k1[None, None, :]
        kernel /= np.sqrt(np.sum(kernel**2))
        colored = np.real(np.fft.ifftn(np.fft.fftn(white) * np.fft.fftn(kernel, clean.shape)))
        noise = args.sigma * colored
        sigma_psd = psd_from_kernel(kernel, profile.resolve(3).psd_shape, sigma=args.sigma)
    else:
        noise = args.sigma * white
        sigma_psd = args.sigma
    noisy = (clean + noise).astype(np.float32)
    show = False if args.quiet else None

    t0 = time.perf_counter()
    basic = vexa(noisy, sigma_psd, profile, stage="hard", progress=show)
    t1 = time.perf_counter()
    final = vexa(noisy, sigma_psd, profile, stage="wiener", basic_estimate=basic, progress=show)
    t2 = time.perf_counter()

    print(
        f"vexa demo: {args.size}^3 phantom, {'correlated' if args.correlated else 'white'} "
        f"noise sigma {args.sigma}, profile {args.profile}"
    )
    print(f"  noisy          PSNR {psnr(clean, noisy):6.2f} dB")
    print(f"  basic estimate PSNR {psnr(clean, basic):6.2f} dB   hard stage   {t1 - t0:6.2f} s")
    print(f"  final estimate PSNR {psnr(clean, final):6.2f} dB   wiener stage {t2 - t1:6.2f} s")
    mid = args.size // 2
    with replacing_file(args.output, args.overwrite) as tmp:
        tool = slice_figure(
            tmp,
            [clean[mid], noisy[mid], basic[mid], final[mid]],
            ["clean", "noisy", "basic estimate", "final estimate"],
        )
    print(f"  slice z={mid} written to {args.output} ({tool})")


def _cmd_info(args):
    from . import __version__
    from ._lib import default_thread_count, library_path, library_version, load_library

    print(f"vexa {__version__}")
    path = library_path()
    print(f"library: {path}")
    try:
        load_library()
    except OSError as exc:
        raise _Failure(str(exc)) from None
    print(f"library version: {library_version()}")
    print(f"threads: {default_thread_count()}")


def main(argv=None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    from .noise_cli import cmd_noise

    handlers = {"denoise": _cmd_denoise, "noise": cmd_noise, "demo": _cmd_demo, "info": _cmd_info}
    try:
        handlers[args.command](args)
    except KeyboardInterrupt:
        print("vexa: interrupted", file=sys.stderr)
        return 130
    except _Failure as exc:
        print(f"vexa: {exc}", file=sys.stderr)
        return 1
    except (ValueError, TypeError, MemoryError, RuntimeError, OSError, ImportError, EOFError) as exc:
        first = _first_line(exc)
        if first.startswith("vexa: "):
            first = first[len("vexa: ") :]
        print(f"vexa: {first}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
