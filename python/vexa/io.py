"""Reading and writing volumes: NIfTI (nibabel), TIFF stacks (tifffile) and .npy; Zarr
stores lazily as Dask arrays (:func:`read_zarr`, :func:`write_zarr`, extra ``dask``)."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import Any, Optional

import numpy as np

from .zarr_io import ZarrSource, is_zarr, read_zarr, write_zarr

__all__ = [
    "Volume",
    "read_volume",
    "write_volume",
    "file_format",
    "ZarrSource",
    "is_zarr",
    "read_zarr",
    "write_zarr",
]

_FORMATS = {".npy": "npy", ".nii": "nifti", ".nii.gz": "nifti", ".tif": "tiff", ".tiff": "tiff"}


@dataclass
class Volume:
    data: np.ndarray
    format: str
    header: Any = None
    affine: Optional[np.ndarray] = None


def file_format(path) -> str:
    name = str(path).lower()
    for suffix in sorted(_FORMATS, key=len, reverse=True):
        if name.endswith(suffix):
            return _FORMATS[suffix]
    raise ValueError(f"{path}: unknown file type; use one of {', '.join(sorted(_FORMATS))}")


def _need(module: str, extra: str = "io"):
    try:
        return __import__(module)
    except ImportError:
        raise ImportError(
            f"reading this file needs the '{module}' package: pip install 'vexa[{extra}]'"
        ) from None


def read_volume(path) -> Volume:
    """The array of a .npy, .nii/.nii.gz or .tif/.tiff file (with the NIfTI header and affine)."""
    path = Path(path)
    fmt = file_format(path)
    if not path.is_file():
        raise FileNotFoundError(f"{path}: no such file")
    if fmt == "npy":
        return Volume(np.load(path, allow_pickle=False), fmt)
    if fmt == "nifti":
        nib = _need("nibabel")
        img = nib.load(str(path))
        return Volume(np.asanyarray(img.dataobj), fmt, img.header.copy(), img.affine.copy())
    tifffile = _need("tifffile")
    return Volume(np.asarray(tifffile.imread(str(path))), fmt)


def write_volume(path, data: np.ndarray, like: Optional[Volume] = None) -> None:
    """Writes ``data``; a NIfTI output keeps the header and affine of ``like`` when it is NIfTI too."""
    path = Path(path)
    fmt = file_format(path)
    data = np.asarray(data)
    if fmt == "npy":
        np.save(path, data, allow_pickle=False)
        return
    if fmt == "nifti":
        nib = _need("nibabel")
        if like is not None and like.format == "nifti":
            header = like.header.copy()
            header.set_data_dtype(data.dtype)
            # The estimate is written as is, not rescaled on load.
            header.set_slope_inter(1.0, 0.0)
            img = nib.Nifti1Image(data, like.affine, header)
        else:
            img = nib.Nifti1Image(data, np.eye(4))
        nib.save(img, str(path))
        return
    tifffile = _need("tifffile")
    tifffile.imwrite(str(path), data)
