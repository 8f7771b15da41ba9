"""Reading and writing volumes: NIfTI (nibabel), TIFF stacks (tifffile) and .npy; Zarr
stores lazily as Dask arrays (:func:`read_zarr`, :func:`write_zarr`, extra ``dask``)."""

from __future__ import annotations

import contextlib
import os
import secrets
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Iterator, Optional

import numpy as np

from .errors import need_package
from .zarr_io import ZarrSource, is_zarr, read_zarr, write_zarr

__all__ = [
    "Volume",
    "read_volume",
    "write_volume",
    "file_format",
    "replacing_file",
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


def _need(module: str):
    return need_package(module, "io", "reading this file needs")


def read_volume(path) -> Volume:
    """The array of a .npy, .nii/.nii.gz or .tif/.tiff file (with the NIfTI header and affine)."""
    path = Path(path)
    fmt = file_format(path)
    if not path.is_file():
        raise FileNotFoundError(f"{path}: no such file")
    reader = {"npy": _read_npy, "nifti": _read_nifti, "tiff": _read_tiff}[fmt]
    module = {"nifti": "nibabel", "tiff": "tifffile"}.get(fmt)
    if module is not None:
        _need(module)
    try:
        return reader(path)
    except (MemoryError, KeyboardInterrupt):
        raise
    except Exception as exc:  # noqa: BLE001 - every reader fails in its own way
        # Empty, truncated or corrupt files: one clear error whatever the reader raised.
        lines = str(exc).strip().splitlines()
        detail = lines[0] if lines else type(exc).__name__
        raise ValueError(f"{path}: not a readable {_NAMES[fmt]} file ({detail})") from None


_NAMES = {"npy": ".npy", "nifti": "NIfTI", "tiff": "TIFF"}


def _read_npy(path: Path) -> Volume:
    return Volume(np.load(path, allow_pickle=False), "npy")


def _read_nifti(path: Path) -> Volume:
    import nibabel as nib

    img = nib.load(str(path))
    return Volume(np.asanyarray(img.dataobj), "nifti", img.header.copy(), img.affine.copy())


def _read_tiff(path: Path) -> Volume:
    import logging

    import tifffile

    # tifffile logs a damaged file and returns an empty array; make that an error.
    log = logging.getLogger("tifffile")
    level = log.level
    log.setLevel(logging.CRITICAL)
    try:
        data = np.asarray(tifffile.imread(str(path)))
    finally:
        log.setLevel(level)
    if data.size == 0:
        raise ValueError("no image data found")
    return Volume(data, "tiff")


def _suffix(path: Path) -> str:
    name = path.name
    for suffix in sorted(_FORMATS, key=len, reverse=True):
        if name.lower().endswith(suffix):
            return name[len(name) - len(suffix) :]
    return path.suffix


def _sync(path: Path) -> None:
    try:
        fd = os.open(path, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


@contextlib.contextmanager
def replacing_file(path, overwrite: bool = True) -> Iterator[Path]:
    """A temporary path next to ``path`` that becomes ``path`` only when the block completes.

    The temporary file sits in the target's folder (so the final rename is
    atomic) and keeps the target's suffix (so writers that look at it pick
    the right format). If the block raises, the temporary file is removed and
    ``path`` is left as it was. With ``overwrite=False`` an existing ``path``
    is never replaced: FileExistsError, also when it appears while writing.
    A symbolic link as ``path`` keeps pointing where it did; its target is replaced.
    """
    path = Path(os.path.realpath(path)) if os.path.islink(path) else Path(path)
    if not overwrite and os.path.lexists(path):
        raise FileExistsError(f"{path} exists; it is not overwritten")
    stem = path.name[: len(path.name) - len(_suffix(path))]
    tmp = path.with_name(f".{stem}.{os.getpid()}-{secrets.token_hex(4)}.partial{_suffix(path)}")
    try:
        yield tmp
        if not tmp.is_file():
            raise OSError(f"{path}: nothing was written")
        _sync(tmp)
        if overwrite:
            os.replace(tmp, path)
            return
        try:
            os.link(tmp, path)  # fails if path exists, whoever created it
        except FileExistsError:
            raise FileExistsError(f"{path} exists; it is not overwritten") from None
        except OSError:
            if os.path.lexists(path):  # a file system without hard links
                raise FileExistsError(f"{path} exists; it is not overwritten") from None
            os.replace(tmp, path)
    finally:
        with contextlib.suppress(OSError):
            tmp.unlink()


def write_volume(
    path, data: np.ndarray, like: Optional[Volume] = None, *, overwrite: bool = True
) -> None:
    """Writes ``data``; a NIfTI output keeps the header and affine of ``like`` when it is NIfTI too.

    The file is written under a temporary name in the same folder and renamed
    into place when complete, so an interrupted write never leaves a partial
    file and never damages the file it replaces (see :func:`replacing_file`).
    """
    path = Path(path)
    fmt = file_format(path)
    data = np.asarray(data)
    with replacing_file(path, overwrite) as tmp:
        _write(tmp, fmt, data, like)


def _write(path: Path, fmt: str, data: np.ndarray, like: Optional[Volume]) -> None:
    if fmt == "npy":
        with open(path, "wb") as f:
            np.save(f, data, allow_pickle=False)
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
