"""``vexa.dask.denoise`` with a channel axis: every channel on its own, as the
whole-array call does (its own scaling, its own noise)."""

from __future__ import annotations

import numbers

import numpy as np

__all__ = ["denoise_channels"]


def _per_channel(value, name, channels, scalar_ok=True):
    if value is None:
        return [None] * channels
    if scalar_ok and (isinstance(value, numbers.Real) or np.ndim(value) != 1):
        return [value] * channels
    values = list(value)
    if len(values) != channels:
        raise ValueError(
            f"{name} as one value per channel needs {channels} values, got {len(values)}"
        )
    return values


def denoise_channels(denoise, array, sigma, psd, kernel, basic, channel_axis, options):
    import dask.array as da

    if (
        isinstance(channel_axis, bool)
        or not isinstance(channel_axis, numbers.Integral)
        or not -array.ndim <= channel_axis < array.ndim
    ):
        raise ValueError(
            f"channel_axis must be an integer in [{-array.ndim}, {array.ndim - 1}], "
            f"got {channel_axis!r}"
        )
    axis = int(channel_axis) % array.ndim
    if array.ndim - 1 not in (2, 3):
        raise ValueError(
            f"array must have 2 or 3 spatial axes (plus channel_axis), got shape {array.shape}"
        )
    channels = array.shape[axis]
    if basic is not None and tuple(basic.shape) != tuple(array.shape):
        raise ValueError(
            f"basic_estimate must have the data's shape {array.shape}, got {basic.shape}"
        )
    sigmas = _per_channel(sigma, "sigma", channels)
    ranges = options.pop("value_range")
    ranges = (
        [None] * channels
        if ranges is None
        else _per_channel(ranges, "value_range", channels, False)
    )
    results = []
    for c in range(channels):
        index = tuple(c if a == axis else slice(None) for a in range(array.ndim))
        b = None if basic is None else basic[index]
        results.append(
            denoise(
                array[index],
                sigmas[c],
                psd=psd,
                kernel=kernel,
                basic_estimate=b,
                value_range=ranges[c],
                **options,
            )
        )
    return da.stack(results, axis=axis)
