"""``vexa denoise in.zarr out.zarr``: chunk by chunk with Dask, locally or on a cluster."""

from __future__ import annotations

import time

__all__ = ["add_zarr_arguments", "denoise_zarr"]


def add_zarr_arguments(parser) -> None:
    g = parser.add_argument_group("Zarr stores (chunk by chunk, with Dask; needs vexa[dask])")
    g.add_argument(
        "--chunks",
        default="auto",
        help="chunk edge in voxels: one int, one per axis (comma-separated), or 'auto' "
        "(default: the largest that fits --memory-limit)",
    )
    g.add_argument(
        "--memory-limit",
        metavar="BYTES",
        help="memory of one worker, e.g. 2GB (default: a quarter of the memory available)",
    )
    g.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="address of a dask.distributed scheduler (tcp://host:8786); default: this machine",
    )
    g.add_argument("--component", help="array inside the input group (default: OME-Zarr level 0)")
    g.add_argument(
        "--zarr-format",
        type=int,
        choices=(2, 3),
        help="format of the output (default: the input's)",
    )


def _chunks(text, failure):
    if text == "auto":
        return "auto"
    try:
        values = tuple(int(v) for v in text.split(","))
    except ValueError:
        raise failure(f"--chunks must be 'auto', an int or comma-separated ints, got {text!r}")
    if any(v < 1 for v in values):
        raise failure(f"--chunks must be positive, got {text!r}")
    return values[0] if len(values) == 1 else values


def _spatial_view(x, source, failure):
    """The array with OME-Zarr's singleton time/channel axes dropped, its channel axis,
    and how to put the dropped axes back."""
    spatial = source.spatial_axes()
    if spatial is None:
        return x, None, None
    keep, drop, channel = [], [], None
    for i, ax in enumerate(source.axes):
        kind = ax.get("type") if isinstance(ax, dict) else None
        if i in spatial:
            keep.append(i)
        elif x.shape[i] == 1:
            drop.append(i)
        elif kind == "channel":
            keep.append(i)
            channel = i
        else:
            raise failure(f"input: axis {i} ({ax}) has {x.shape[i]} entries; only channels can")
    view = x[tuple(0 if i in drop else slice(None) for i in range(x.ndim))]
    if channel is not None:
        channel = keep.index(channel)
    return view, channel, drop


def denoise_zarr(args, failure) -> None:
    import numpy as np

    from . import dask as vdask
    from .io import read_volume
    from .profiles import VEXAProfile
    from .zarr_io import is_zarr, read_zarr, write_zarr

    try:
        import dask
        from dask.utils import parse_bytes
    except ImportError:
        raise failure("Zarr stores need dask: pip install 'vexa[dask]'") from None
    if not (is_zarr(args.input) and is_zarr(args.output)):
        raise failure("a Zarr store is denoised into a Zarr store: give .zarr for both")
    try:
        x, source = read_zarr(args.input, args.component)
    except (OSError, ValueError, ImportError) as exc:
        raise failure(f"input: {exc}") from None
    view, channel_axis, dropped = _spatial_view(x, source, failure)
    if channel_axis is None and dropped is None:
        channel_axis = args.channel_axis
    kwargs = {}
    if args.sigma is not None:
        kwargs["sigma"] = args.sigma
    elif args.psd:
        kwargs["psd"] = read_volume(args.psd).data
    elif args.kernel:
        kwargs["kernel"] = read_volume(args.kernel).data
        kwargs["sigma"] = args.kernel_sigma
    if args.basic:
        basic, _ = read_zarr(args.basic)
        kwargs["basic_estimate"] = (
            basic if dropped is None else _spatial_view(basic, source, failure)[0]
        )
    profile = VEXAProfile.from_name(args.profile)
    profile.adapt_to_noise = not args.no_adapt
    limit = None
    if args.memory_limit:
        try:
            limit = parse_bytes(args.memory_limit)
        except ValueError:
            raise failure(f"--memory-limit must be a size like 2GB, got {args.memory_limit!r}")
    client = None
    if args.scheduler:
        try:
            from distributed import Client
        except ImportError:
            raise failure("--scheduler needs distributed: pip install 'vexa[dask]'") from None
        client = Client(args.scheduler, timeout="30s")
    try:
        start = time.perf_counter()
        import contextlib

        from dask.diagnostics import ProgressBar

        # The pass that finds the value range (and samples the noise) shows a bar too.
        scan = ProgressBar() if client is None and not args.quiet else contextlib.nullcontext()
        if not args.quiet:
            print("vexa: scanning the data for its value range")
        with scan:
            estimate = vdask.denoise(
                view,
                profile=profile,
                stage=args.stage,
                channel_axis=channel_axis,
                num_threads=args.threads or None,
                memory_limit=limit,
                chunks=_chunks(args.chunks, failure),
                **kwargs,
            )
        if dropped:
            estimate = estimate[tuple(None if i in dropped else slice(None) for i in range(x.ndim))]
        target = write_zarr(
            args.output, estimate, like=source, zarr_format=args.zarr_format, compute=False
        )
        if not args.quiet:
            chunks = tuple(c[0] for c in estimate.chunks)
            print(f"vexa: {x.shape} {x.dtype} in {estimate.npartitions} chunks of {chunks}")
        if client is not None:
            future = client.compute(target)
            if not args.quiet:
                from distributed import progress

                progress(future)
                print()
            future.result()
        else:
            from dask.diagnostics import ProgressBar

            # One chunk task at a time: the memory plan is for one chunk per process.
            with dask.config.set(scheduler="threads", num_workers=1):
                if args.quiet:
                    dask.compute(target)
                else:
                    with ProgressBar():
                        dask.compute(target)
        if not args.quiet:
            seconds = time.perf_counter() - start
            print(f"vexa: wrote {args.output} ({np.dtype(estimate.dtype)}) in {seconds:.2f} s")
    finally:
        if client is not None:
            client.close()
