"""Zarr in and out, lazily as Dask arrays: Zarr v2 and v3 arrays, and the
full-resolution level of an OME-Zarr image (``multiscales``, v0.4 or v0.5).

Needs the optional extra: ``pip install 'vexa[dask]'``.
"""

from __future__ import annotations

import copy
import importlib
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Optional, Tuple

__all__ = ["ZarrSource", "is_zarr", "read_zarr", "write_zarr"]

_MARKERS = (".zarray", ".zgroup", "zarr.json")


def _need(module: str):
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ImportError(
            f"Zarr files need the '{module}' package: pip install 'vexa[dask]'"
        ) from None


def is_zarr(path) -> bool:
    """A path named ``*.zarr`` or a folder holding Zarr metadata."""
    p = Path(path)
    if str(path).rstrip("/\\").lower().endswith(".zarr"):
        return True
    return p.is_dir() and any((p / m).exists() for m in _MARKERS)


@dataclass
class ZarrSource:
    """Where an array came from: what :func:`write_zarr` needs to write a look-alike."""

    path: str
    component: Optional[str]  # the array inside the store ("0" for an OME-Zarr level), or None
    zarr_format: int
    axes: Optional[list] = None  # OME-Zarr axes ({"name", "type"}) of the level
    ome: Optional[dict] = None  # the OME-Zarr group attributes, or None
    attrs: dict = field(default_factory=dict)  # the array's own attributes
    chunks: Tuple[int, ...] = ()

    def spatial_axes(self) -> Optional[list]:
        """Indexes of the OME-Zarr axes of type "space" (None when not OME-Zarr)."""
        if not self.axes:
            return None
        return [i for i, ax in enumerate(self.axes) if _axis_type(ax) == "space"]

    def channel_axis(self) -> Optional[int]:
        if not self.axes:
            return None
        found = [i for i, ax in enumerate(self.axes) if _axis_type(ax) == "channel"]
        return found[0] if found else None


def _axis_type(ax) -> Optional[str]:
    if isinstance(ax, dict):
        return ax.get("type")
    return {"x": "space", "y": "space", "z": "space", "c": "channel", "t": "time"}.get(str(ax))


def _multiscales(attrs: dict):
    ms = attrs.get("multiscales")
    if ms is None and isinstance(attrs.get("ome"), dict):
        ms = attrs["ome"].get("multiscales")
    return ms


def read_zarr(path, component: Optional[str] = None):
    """(dask array, :class:`ZarrSource`) of a Zarr array, a group's ``component``, or
    the full-resolution level of an OME-Zarr image. Nothing is read but metadata."""
    zarr = _need("zarr")
    da = _need("dask.array")
    p = Path(path)
    if not p.exists():
        raise FileNotFoundError(f"{path}: no such Zarr store")
    try:
        node = zarr.open(store=str(p), mode="r")
    except Exception as exc:  # noqa: BLE001 - zarr raises several kinds for a bad store
        raise ValueError(f"{path}: not a readable Zarr store ({exc})") from None
    ome = None
    axes = None
    if isinstance(node, zarr.Group):
        attrs = node.attrs.asdict()
        ms = _multiscales(attrs)
        if component is None:
            if not ms:
                names = sorted(node.array_keys())
                raise ValueError(
                    f"{path}: a Zarr group without OME-Zarr multiscales; name the array "
                    f"(component), one of {names}"
                )
            component = ms[0]["datasets"][0]["path"]
            axes = ms[0].get("axes")
            ome = attrs
        try:
            node = node[component]
        except KeyError:
            raise ValueError(f"{path}: no array {component!r} in the group") from None
        if not isinstance(node, zarr.Array):
            raise ValueError(f"{path}/{component} is a group, not an array")
    elif component is not None:
        raise ValueError(f"{path} is a single array; it has no component {component!r}")
    source = ZarrSource(
        path=str(p),
        component=component,
        zarr_format=int(node.metadata.zarr_format),
        axes=copy.deepcopy(axes),
        ome=ome,
        attrs=node.attrs.asdict(),
        chunks=tuple(int(c) for c in node.chunks),
    )
    return da.from_array(node, chunks=node.chunks, asarray=False, fancy=False), source


def _aligned(chunks, edge) -> bool:
    """Every dask chunk boundary falls on a multiple of the Zarr chunk edge."""
    for sizes, e in zip(chunks, edge):
        pos = 0
        for s in sizes[:-1]:
            pos += s
            if pos % e:
                return False
    return True


def write_zarr(
    path,
    array,
    *,
    like: Optional[ZarrSource] = None,
    zarr_format: Optional[int] = None,
    chunks: Optional[Tuple[int, ...]] = None,
    compute: bool = True,
    **compute_kwargs: Any,
):
    """Writes a dask array to a new Zarr store at ``path``, chunk by chunk as they finish.

    ``like``: the source read with :func:`read_zarr`; an OME-Zarr source gives an
    OME-Zarr image with one level (its metadata kept), and its format and the
    array's attributes are kept. Refuses an existing ``path``. With
    ``compute=False`` returns the Dask object to compute.
    """
    zarr = _need("zarr")
    da = _need("dask.array")
    p = Path(path)
    if p.exists():
        raise FileExistsError(f"{path} exists; choose a new output path (nothing is overwritten)")
    if not isinstance(array, da.Array):
        array = da.from_array(array)
    if zarr_format is None:
        zarr_format = like.zarr_format if like is not None else 3
    if zarr_format not in (2, 3):
        raise ValueError(f"zarr_format must be 2 or 3, got {zarr_format!r}")
    if chunks is None:
        chunks = tuple(max(1, c[0]) for c in array.chunks)
    chunks = tuple(int(c) for c in chunks)
    if len(chunks) != array.ndim or not _aligned(array.chunks, chunks):
        array = array.rechunk(chunks)
    attrs = dict(like.attrs) if like is not None else {}
    if like is not None and like.ome is not None:
        group = zarr.open_group(store=str(p), mode="w-", zarr_format=zarr_format)
        meta = copy.deepcopy(like.ome)
        ms = _multiscales(meta)
        ms[0]["datasets"] = [dict(ms[0]["datasets"][0], path="0")]
        group.attrs.update(meta)
        target = group.create_array(
            "0", shape=array.shape, chunks=chunks, dtype=array.dtype, attributes=attrs
        )
    else:
        target = zarr.create_array(
            store=str(p),
            shape=array.shape,
            chunks=chunks,
            dtype=array.dtype,
            zarr_format=zarr_format,
            attributes=attrs,
        )
    return da.store(array, target, lock=False, compute=compute, **compute_kwargs)
