"""vexa.dask: chunked runs equal the whole-volume run; Zarr in and out; a cluster; a budget."""

from __future__ import annotations

import dask.array as da
import numpy as np
import pytest
import vexa
import vexa.dask as vd
import zarr
from vexa import HardThresholdSettings, VEXAProfile, WienerSettings
from vexa.cli import main as cli_main
from vexa.errors import VexaMemoryError
from vexa.zarr_io import read_zarr, write_zarr


def small_profile(**extra):
    # Hard and Wiener steps differ, so the two grids align differently.
    return VEXAProfile(
        hard=HardThresholdSettings(search_radius=1, step=2, max_group_size=4),
        wiener=WienerSettings(search_radius=1, step=3, max_group_size=4),
        num_threads=1,
        **extra,
    )


def image_profile():
    return VEXAProfile(
        hard=HardThresholdSettings(search_radius=3, max_group_size=8),
        wiener=WienerSettings(search_radius=2, step=4, max_group_size=8),
        num_threads=1,
    )


def noisy_data(shape, sigma=0.1, kernel=None, seed=0, dtype=np.float32):
    rng = np.random.default_rng(seed)
    grids = np.meshgrid(*[np.linspace(0, 3, n) for n in shape], indexing="ij")
    clean = np.sin(sum(grids)) + (grids[0] > 1.5)
    noise = rng.standard_normal(shape)
    if kernel is not None:
        axes = tuple(range(len(shape)))
        spectrum = np.fft.fftn(kernel, shape, axes=axes)
        noise = np.real(np.fft.ifftn(np.fft.fftn(noise) * spectrum))
    return (clean + sigma * noise).astype(dtype)


def chunked(x, chunks, noise, profile, **kw):
    arr = da.from_array(x, chunks=chunks)
    if np.ndim(noise):
        kw["psd"] = noise
    else:
        kw["sigma"] = noise
    return vd.denoise(arr, profile=profile, num_threads=1, **kw).compute(scheduler="sync")


LOWPASS_3D = np.outer([1.0, 2.0, 1.0], [1.0, 2.0, 1.0]).reshape(1, 3, 3) / 6.0
LOWPASS_2D = np.outer([1.0, 2.0, 1.0], [1.0, 2.0, 1.0]) / 6.0


@pytest.mark.parametrize(
    "shape, chunks, correlated",
    [
        ((40, 35, 31), ((13, 14, 13), (11, 24), (31,)), False),  # odd sizes; chunks of 11 = minimum
        ((40, 35, 31), ((20, 20), (12, 12, 11), (16, 15)), True),  # barely above the halo
        ((23, 19, 21), ((23,), (19,), (21,)), False),  # one chunk
    ],
)
def test_volume_chunks_equal_the_whole_volume(shape, chunks, correlated):
    profile = small_profile()
    if correlated:
        noise = vexa.psd_from_kernel(LOWPASS_3D, (8, 8, 8), sigma=0.1)
    else:
        noise = 0.1
    x = noisy_data(shape, kernel=LOWPASS_3D if correlated else None)
    assert vd.halo(shape, profile).minimum_chunk() == (11, 11, 11)
    kw = {"psd": noise} if correlated else {"sigma": noise}
    # chunks run single-scale: they equal the whole volume's single-scale run
    whole = vexa.denoise(x, profile=small_profile(multiscale=False), progress=False, **kw)
    out = chunked(x, chunks, noise, profile)
    assert out.dtype == whole.dtype == np.float32
    np.testing.assert_array_equal(out, whole)


def test_boxes_off_the_reference_grid_change_the_result(monkeypatch):
    # The equality above rests on boxes that start on each stage's reference grid.
    import vexa._halo as halo_module

    x = noisy_data((30, 24, 22))
    chunks = ((15, 15), (24,), (22,))
    whole = vexa.denoise(x, 0.1, profile=small_profile(), progress=False)
    monkeypatch.setattr(halo_module, "_align_down", lambda value, step: max(value, 0))
    out = chunked(x, chunks, 0.1, small_profile())
    assert np.count_nonzero(out != whole) > 100


def test_correlated_noise_adapts_the_blocks_and_the_halo():
    # Strongly low-pass noise gets 6x6x6 blocks: a wider halo, still the same result.
    psd = vexa.psd_from_kernel(np.ones((5, 5, 5)) / 125**0.5, (8, 8, 8), sigma=0.1)
    profile = small_profile()
    shape = (38, 30, 33)
    assert vd.halo(shape, profile, psd=psd).minimum_chunk() == (15, 15, 15)
    x = noisy_data(shape, kernel=np.ones((5, 5, 5)) / 125**0.5)
    # chunks run single-scale: they equal the whole volume's single-scale run
    single = small_profile(multiscale=False)
    whole = vexa.denoise(x, psd=psd, profile=single, progress=False)
    out = chunked(x, ((19, 19), (30,), (16, 17)), psd, profile)
    np.testing.assert_array_equal(out, whole)


@pytest.mark.parametrize("correlated", [False, True])
def test_image_chunks_equal_the_whole_image(correlated):
    profile = image_profile()
    shape = (90, 77)
    x = noisy_data(shape, kernel=LOWPASS_2D if correlated else None, dtype=np.float64)
    noise = vexa.psd_from_kernel(LOWPASS_2D, (32, 32), sigma=0.1) if correlated else 0.1
    kw = {"psd": noise} if correlated else {"sigma": noise}
    whole = vexa.denoise(x, profile=profile, progress=False, **kw)
    out = chunked(x, ((30, 30, 30), (40, 37)), noise, profile)
    assert out.dtype == np.float64
    np.testing.assert_array_equal(out, whole)


def test_single_stages_reused_matches_and_integer_data_equal_the_whole_volume():
    x = (noisy_data((30, 28, 26)) * 1000 + 5000).astype(np.uint16)
    chunks = ((15, 15), (14, 14), (26,))
    profile = small_profile()
    basic = vexa.denoise(x, 100.0, profile=profile, stage="hard", progress=False)
    np.testing.assert_array_equal(chunked(x, chunks, 100.0, profile, stage="hard"), basic)
    final = vexa.denoise(
        x, 100.0, profile=profile, stage="wiener", basic_estimate=basic, progress=False
    )
    wiener = chunked(x, chunks, 100.0, profile, stage="wiener", basic_estimate=basic)
    np.testing.assert_array_equal(wiener, final)
    # Shared matches: both stages on one box (equal steps, as reuse needs).
    reuse = VEXAProfile(
        hard=HardThresholdSettings(search_radius=1, step=2, max_group_size=4),
        wiener=WienerSettings(search_radius=2, step=2, max_group_size=4),
        num_threads=1,
        reuse_matches=True,
    )
    whole = vexa.denoise(x, 100.0, profile=reuse, progress=False)
    np.testing.assert_array_equal(chunked(x, ((15, 15), (28,), (13, 13)), 100.0, reuse), whole)


def test_channels_and_threads():
    x = np.stack([noisy_data((26, 24, 22)), 3 * noisy_data((26, 24, 22), seed=1)], axis=-1)
    profile = small_profile()
    whole = vexa.denoise(x, [0.1, 0.3], profile=profile, channel_axis=-1, progress=False)
    arr = da.from_array(x, chunks=(13, 12, 22, 1))
    out = vd.denoise(arr, [0.1, 0.3], profile=profile, channel_axis=-1, num_threads=1)
    np.testing.assert_array_equal(out.compute(scheduler="sync"), whole)
    # Several library threads: only the aggregation order differs.
    two = vd.denoise(arr, [0.1, 0.3], profile=profile, channel_axis=-1, num_threads=2)
    diff = two.compute(scheduler="sync") - whole
    assert np.sqrt(np.mean(diff**2)) <= 1e-4 * np.sqrt(np.mean(whole**2))


def test_chunks_too_small_are_refused_or_rechunked():
    x = noisy_data((40, 33, 30))
    arr = da.from_array(x, chunks=(10, 33, 30))
    with pytest.raises(ValueError, match=r"axis 0 must be at least 11 voxels"):
        vd.denoise(arr, 0.1, profile=small_profile())
    # A trailing 4-voxel chunk joins its neighbour; 40 = 12 + 12 + 16.
    out = vd.denoise(arr, 0.1, profile=small_profile(), num_threads=1, chunks=12)
    assert out.chunks[0] == (12, 12, 16)
    whole = vexa.denoise(x, 0.1, profile=small_profile(), progress=False)
    np.testing.assert_array_equal(out.compute(scheduler="sync"), whole)
    with pytest.raises(ValueError, match="chunks must be"):
        vd.denoise(arr, 0.1, chunks=(12, 12))


def test_volume_beyond_the_library_limit_builds_lazily_and_plans_chunks():
    # 2**33 samples: more than one library call takes, fine in chunks. Nothing is computed
    # (sigma and the value range are given).
    shape = (2048, 2048, 2048)
    arr = da.zeros(shape, chunks=256, dtype=np.uint16)
    out = vd.denoise(arr, 3.0, value_range=(0, 4095))
    assert out.shape == shape and out.chunks == arr.chunks and out.dtype == np.float32
    edge = vd.plan_chunks(shape, 2 << 30, num_threads=4, dtype=np.uint16)
    assert 22 <= edge[0] < 2048
    need = vd.chunk_memory(edge, shape, num_threads=4, dtype=np.uint16, memory_limit=2 << 30)
    assert need <= 2 << 30
    bigger = tuple(e + 16 for e in edge)
    assert vd.chunk_memory(bigger, shape, num_threads=4, dtype=np.uint16) > need
    with pytest.raises(VexaMemoryError, match="smallest chunks"):
        vd.plan_chunks(shape, 1 << 20)
    with pytest.raises(VexaMemoryError, match="chunks='auto'"):  # refused before any work
        vd.denoise(arr, 3.0, value_range=(0, 4095), memory_limit=64 << 20)
    with pytest.raises(ValueError, match="memory_limit must be"):
        vd.denoise(arr, 3.0, value_range=(0, 4095), memory_limit=-1)
    with pytest.raises(ValueError, match="2\\*\\*31 - 1"):
        vd.denoise(da.zeros(shape, chunks=1400), 3.0, value_range=(0, 1))


def test_bad_data_and_noise_estimate():
    x = noisy_data((30, 30, 30))
    bad = x.copy()
    bad[3, 4, 5] = np.nan
    with pytest.raises(ValueError, match="NaN or infinite"):
        vd.denoise(da.from_array(bad, chunks=15), 0.1, profile=small_profile())
    with pytest.raises(ValueError, match="basic_estimate is required"):
        vd.denoise(da.from_array(x), 0.1, stage="wiener")
    # Sigma from a sample of chunks: pure noise of std 0.25.
    noise = 0.25 * np.random.default_rng(3).standard_normal((60, 60, 60))
    samples = [b.compute() for b in vd._sample_blocks(da.from_array(noise, chunks=20), 8)]
    assert len(samples) == 8
    assert abs(vd.estimate_noise(samples) - 0.25) < 0.025
    est = vd.denoise(da.from_array(x, chunks=15), profile=small_profile(), num_threads=1)
    assert np.isfinite(est.compute(scheduler="sync")).all()


@pytest.mark.parametrize("zarr_format", [2, 3])
def test_zarr_round_trip_and_cli(tmp_path, zarr_format, capsys):
    x = (noisy_data((38, 30, 28)) * 100).astype(np.float32)
    src = tmp_path / "in.zarr"
    z = zarr.create_array(
        store=str(src), shape=x.shape, chunks=(19, 15, 28), dtype=x.dtype, zarr_format=zarr_format
    )
    z[:] = x
    z.attrs["unit"] = "um"
    arr, source = read_zarr(src)
    assert isinstance(arr, da.Array) and arr.chunks == ((19, 19), (15, 15), (28,))
    copy = tmp_path / "copy.zarr"
    write_zarr(copy, arr + 1, like=source)
    back, info = read_zarr(copy)
    assert info.zarr_format == zarr_format and info.attrs == {"unit": "um"}
    np.testing.assert_array_equal(back.compute(), x + 1)
    with pytest.raises(FileExistsError):
        write_zarr(copy, arr)

    out = tmp_path / "out.zarr"
    argv = ["denoise", str(src), str(out), "--sigma", "10", "--threads", "1", "--profile", "fast"]
    assert cli_main(argv + ["--chunks", "15"]) == 1  # below the halo of 19: refused
    assert "at least 19 voxels" in capsys.readouterr().err
    argv += ["--chunks", "19"]
    assert cli_main(argv) == 0
    assert "100% Completed" in capsys.readouterr().out
    fast = VEXAProfile.from_name("fast")
    fast.num_threads = 1
    whole = vexa.denoise(x, 10.0, profile=fast, progress=False)
    result, info = read_zarr(out)
    # 30 and 28 voxels: a second chunk would be below the halo, so one chunk.
    assert info.zarr_format == zarr_format and result.chunks == ((19, 19), (30,), (28,))
    np.testing.assert_array_equal(result.compute(), whole)
    assert cli_main(argv) == 1  # the output exists: refused, kept
    assert "exists" in capsys.readouterr().err


def test_ome_zarr_full_resolution_level(tmp_path):
    x = (noisy_data((38, 28, 26)) * 50).astype(np.float32)
    axes = [{"name": n, "type": "channel" if n == "c" else "space"} for n in "czyx"]
    group = zarr.open_group(str(tmp_path / "img.zarr"), mode="w", zarr_format=3)
    datasets = [
        {"path": p, "coordinateTransformations": [{"type": "scale", "scale": [1.0, s, s, s]}]}
        for p, s in (("0", 0.5), ("1", 1.0))
    ]
    group.attrs["ome"] = {"version": "0.5", "multiscales": [{"axes": axes, "datasets": datasets}]}
    level = group.create_array("0", shape=(1,) + x.shape, chunks=(1, 19, 14, 26), dtype=x.dtype)
    level[:] = x[None]
    group.create_array("1", shape=(1, 19, 14, 13), chunks=(1, 19, 14, 13), dtype=x.dtype)
    out = tmp_path / "den.zarr"
    argv = ["denoise", str(tmp_path / "img.zarr"), str(out), "--sigma", "5", "--quiet"]
    assert cli_main(argv + ["--chunks", "19,28,26", "--threads", "1", "--profile", "fast"]) == 0
    result, info = read_zarr(out)
    assert result.shape == (1,) + x.shape and info.component == "0"
    assert info.ome["ome"]["multiscales"][0]["datasets"] == datasets[:1]
    fast = VEXAProfile.from_name("fast")
    fast.num_threads = 1
    whole = vexa.denoise(x, 5.0, profile=fast, progress=False)
    np.testing.assert_array_equal(result.compute()[0], whole)


def _start_rss_sampler(dask_worker):
    import threading
    import time

    import psutil

    proc = psutil.Process()
    state = {"base": proc.memory_info().rss, "peak": 0, "stop": threading.Event()}

    def sample():
        while not state["stop"].is_set():
            state["peak"] = max(state["peak"], proc.memory_info().rss)
            time.sleep(0.002)

    threading.Thread(target=sample, daemon=True).start()
    dask_worker.vexa_rss = state


def _stop_rss_sampler(dask_worker):
    state = dask_worker.vexa_rss
    state["stop"].set()
    return state["peak"] - state["base"]


@pytest.fixture
def cluster_factory():
    distributed = pytest.importorskip("distributed")
    made = []

    def make(workers, **kw):
        cluster = distributed.LocalCluster(
            n_workers=workers,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
            **kw,
        )
        client = distributed.Client(cluster)
        made.append((client, cluster))
        return client

    yield make
    for client, cluster in made:
        client.close()
        cluster.close()


def test_local_cluster_of_two_processes(cluster_factory, tmp_path):
    from distributed import get_task_stream

    client = cluster_factory(2)
    x = noisy_data((40, 36, 30))
    profile = small_profile()
    arr = da.from_array(x, chunks=(20, 18, 15))
    with get_task_stream(client) as stream:
        # No num_threads: each worker uses its own thread count (1 here).
        future = client.compute(vd.denoise(arr, 0.1, profile=profile))
        out = future.result(timeout=180)
    whole = vexa.denoise(x, 0.1, profile=profile, progress=False)
    np.testing.assert_array_equal(out, whole)
    workers = {t["worker"] for t in stream.data if "vexa-denoise" in t["key"][0]}
    assert len(workers) == 2

    # The command line on the same cluster, by its address.
    src = tmp_path / "in.zarr"
    write_zarr(src, arr, zarr_format=2)
    argv = ["denoise", str(src), str(tmp_path / "out.zarr"), "--sigma", "0.1", "--profile", "fast"]
    address = client.scheduler.address
    assert cli_main(argv + ["--chunks", "20", "--scheduler", address, "--quiet"]) == 0
    fast = VEXAProfile.from_name("fast")
    fast.num_threads = 1
    expected = vexa.denoise(x, 0.1, profile=fast, progress=False)
    np.testing.assert_array_equal(read_zarr(tmp_path / "out.zarr")[0].compute(), expected)


def test_memory_budget_run_stays_under_the_budget(cluster_factory, tmp_path):
    # A budget of a few MiB leaves the worker's own allocations (zarr buffers,
    # task results, allocator slack: up to about 1 MiB here) within the 15 %
    # the planner keeps free only by chance; at 12 MiB they fit with room.
    budget = 12 << 20
    shape = (104, 104, 104)  # too large for the budget even with y and z windowed
    profile = small_profile()
    with pytest.raises(VexaMemoryError):
        vexa.plan_memory(shape, profile, num_threads=1, memory_limit=budget)
    # Stored in the chunks the plan picks, as a pipeline planned for a budget would.
    edge = vd.plan_chunks(shape, budget, profile=profile, num_threads=1)
    store = zarr.create_array(
        store=str(tmp_path / "big.zarr"), shape=shape, chunks=edge, dtype=np.float32
    )
    store[:] = noisy_data(shape)
    arr, _ = read_zarr(tmp_path / "big.zarr")

    client = cluster_factory(1)
    # Warm up the worker on the same road (zarr, dask, the library, 3 chunks per axis)
    # with a small volume, so that one-time costs are not counted.
    small = zarr.create_array(
        store=str(tmp_path / "small.zarr"), shape=(36,) * 3, chunks=(12,) * 3, dtype=np.float32
    )
    small[:] = noisy_data((36, 36, 36))
    warm = vd.denoise(read_zarr(tmp_path / "small.zarr")[0], 0.1, profile=profile, chunks=12)
    client.compute(write_zarr(tmp_path / "warm.zarr", warm, compute=False)).result(timeout=60)
    client.run(_start_rss_sampler)
    estimate = vd.denoise(
        arr, 0.1, profile=profile, num_threads=1, memory_limit=budget, chunks="auto"
    )
    assert estimate.npartitions > 1
    target = write_zarr(tmp_path / "den.zarr", estimate, compute=False)
    client.compute(target).result(timeout=300)
    (grown,) = client.run(_stop_rss_sampler).values()
    assert 1 << 20 < grown <= budget, f"the worker's peak grew by {grown / 2**20:.1f} MiB"
    result, _ = read_zarr(tmp_path / "den.zarr")
    assert np.isfinite(result[::16, ::16, ::16].compute()).all()
