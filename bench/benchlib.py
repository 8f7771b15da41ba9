"""Shared pieces of the vexa benchmarks: data, noise, metrics, memory, README.

Every figure the benchmark scripts print comes from the helpers here, so the
comparison, the tuning sweep and the speed figures agree on what "noisy
input", "PSNR" and "peak memory" mean.
"""

from __future__ import annotations

import glob
import importlib
import json
import os
import re
import subprocess
import sys
import threading
import time
import zlib
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
BENCH = ROOT / "bench"
RESULTS = BENCH / "results"
README = BENCH / "README.md"
CH2_NAME = "ch2better.nii.gz"
CROP = 96
WHITE_SIGMAS = (0.05, 0.10, 0.15, 0.20)
CORRELATED_SIGMA = 0.10


# --------------------------------------------------------------------------
# set-up on a fresh machine
# --------------------------------------------------------------------------

PEER_MODULES = ("scipy", "skimage", "pywt", "dipy", "cv2", "nibabel", "matplotlib", "psutil")


def ensure_dependencies(need_vexa: bool = True) -> None:
    """Install the data and the peers when they are missing (apt + pip)."""
    missing = [m for m in PEER_MODULES if importlib.util.find_spec(m) is None]
    if missing or find_ch2() is None:
        print(f"installing benchmark dependencies (missing: {missing or CH2_NAME})", flush=True)
        env = dict(os.environ, PYTHON=sys.executable)
        subprocess.run(["bash", str(ROOT / "tools" / "install_bench_deps.sh")], check=True, env=env)
        importlib.invalidate_caches()
    if need_vexa and importlib.util.find_spec("vexa") is None:
        print("installing the vexa package from the repository (builds the library)", flush=True)
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", str(ROOT)], check=True)
        importlib.invalidate_caches()


def find_ch2() -> Path | None:
    for pattern in ("/usr/share/mricron/**/" + CH2_NAME, "/usr/share/**/" + CH2_NAME):
        hits = sorted(glob.glob(pattern, recursive=True))
        if hits:
            return Path(hits[0])
    return None


# --------------------------------------------------------------------------
# data
# --------------------------------------------------------------------------


def normalise(a: np.ndarray) -> np.ndarray:
    a = a.astype(np.float64)
    lo, hi = float(a.min()), float(a.max())
    if hi <= lo:
        raise ValueError("cannot normalise a constant array")
    return ((a - lo) / (hi - lo)).astype(np.float32)


def central_crop(a: np.ndarray, size: int) -> np.ndarray:
    if any(s < size for s in a.shape):
        raise ValueError(f"crop size {size} exceeds the array shape {a.shape}")
    starts = [(s - size) // 2 for s in a.shape]
    return np.ascontiguousarray(a[tuple(slice(b, b + size) for b in starts)])


def load_ch2() -> np.ndarray:
    """The T1 volume in C order: shape (301, 370, 316), last axis fastest."""
    import nibabel as nib

    path = find_ch2()
    if path is None:
        raise FileNotFoundError(f"{CH2_NAME} not found: run tools/install_bench_deps.sh")
    vol = np.asarray(nib.load(str(path)).dataobj)
    # nibabel gives (x, y, z); the library wants x fastest, i.e. C order (z, y, x)
    return np.ascontiguousarray(normalise(vol).transpose(2, 1, 0))


def load_dataset(name: str) -> np.ndarray:
    if name == "ch2":
        return load_ch2()
    if name == "ch2crop":
        return central_crop(load_ch2(), CROP)
    from skimage import color, data

    if name == "camera":
        return normalise(data.camera())
    if name == "astronaut":
        return normalise(color.rgb2gray(data.astronaut()))
    if name.startswith("smoke"):  # tiny smooth inputs for harness checks
        shape = (24, 24, 24) if name == "smoke3d" else (64, 64)
        grids = np.meshgrid(*[np.linspace(-1, 1, s) for s in shape], indexing="ij")
        r2 = sum(g * g for g in grids)
        return (0.2 + 0.5 * (r2 < 0.4) + 0.2 * grids[-1]).astype(np.float32)
    raise ValueError(f"unknown dataset {name!r}: use ch2, ch2crop, camera, astronaut")


# --------------------------------------------------------------------------
# noise
# --------------------------------------------------------------------------


@dataclass(frozen=True)
class NoiseCase:
    name: str  # e.g. "white0.10", "gauss1", "line5", "ct"
    sigma: float  # standard deviation of the noise at every sample
    kind: str  # "white", "gauss1", "line5" or "ct"

    @property
    def correlated(self) -> bool:
        return self.kind != "white"


def noise_cases() -> list[NoiseCase]:
    cases = [NoiseCase(f"white{s:.2f}", s, "white") for s in WHITE_SIGMAS]
    cases.append(NoiseCase("gauss1", CORRELATED_SIGMA, "gauss1"))
    cases.append(NoiseCase("line5", CORRELATED_SIGMA, "line5"))
    cases.append(NoiseCase("ct", CORRELATED_SIGMA, "ct"))
    return cases


def noise_kernel(case: NoiseCase, ndim: int) -> np.ndarray | None:
    """Kernel applied to unit white noise, scaled so the noise std is case.sigma.

    gauss1: separable Gaussian of std 1 sample in every axis, cut at 4 std.
    line5: five equal taps along the last (fastest) axis.
    """
    if case.kind in ("white", "ct"):
        return None
    if case.kind == "gauss1":
        t = np.arange(-4, 5, dtype=np.float64)
        g = np.exp(-0.5 * t * t)
        k = g
        for _ in range(ndim - 1):
            k = np.multiply.outer(k, g)
    elif case.kind == "line5":
        k = np.ones((1,) * (ndim - 1) + (5,))
    else:
        raise ValueError(f"unknown noise kind {case.kind!r}")
    # unit-variance white noise through k has variance sum(k^2)
    return k * (case.sigma / np.sqrt(np.sum(k * k)))


def seed_for(dataset: str, case: NoiseCase) -> int:
    return zlib.crc32(f"{dataset}/{case.name}".encode())


def circular_convolve(w: np.ndarray, kernel: np.ndarray) -> np.ndarray:
    """w convolved with kernel (centred), wrapping at the edges: stationary noise."""
    padded = np.roll(fold(kernel, w.shape), [-(s // 2) for s in kernel.shape], axis=tuple(range(w.ndim)))
    axes = tuple(range(w.ndim))
    return np.fft.irfftn(np.fft.rfftn(w) * np.fft.rfftn(padded), s=w.shape, axes=axes)


def fold(kernel: np.ndarray, shape: tuple) -> np.ndarray:
    """The kernel wrapped onto a grid (a grid smaller than the kernel adds up the overlaps)."""
    out = np.zeros(shape, np.float64)
    index = np.ix_(*[np.arange(n) % s for n, s in zip(kernel.shape, shape)])
    np.add.at(out, index, kernel)
    return out


# The CT-like filter is normalised on this in-plane grid, so that the noise and
# its PSD on any grid agree on the scale.
CT_NORM_GRID = 256


def ct_filter(shape: tuple) -> np.ndarray:
    """CT-like noise filter on a frequency grid of ``shape`` (unit-variance output for
    unit white noise): a ramp |f| in the plane of the last two axes, rolled off by a
    Hann window that reaches 0 at |f| = 0.5 cycles/sample; flat along a third axis."""
    fy = np.fft.fftfreq(shape[-2])[:, None]
    fx = np.fft.fftfreq(shape[-1])[None, :]
    rho = np.sqrt(fy * fy + fx * fx)
    h = np.where(rho <= 0.5, rho * 0.5 * (1.0 + np.cos(2.0 * np.pi * rho)), 0.0)
    if not hasattr(ct_filter, "gain"):
        g = np.fft.fftfreq(CT_NORM_GRID)
        r = np.sqrt(g[:, None] ** 2 + g[None, :] ** 2)
        hn = np.where(r <= 0.5, r * 0.5 * (1.0 + np.cos(2.0 * np.pi * r)), 0.0)
        ct_filter.gain = 1.0 / np.sqrt(np.mean(hn * hn))
    h = h * ct_filter.gain
    return np.broadcast_to(h, tuple(shape)) if len(shape) == 3 else h


def make_noise(shape: tuple, case: NoiseCase, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    w = rng.standard_normal(shape)
    if case.kind == "ct":
        h = ct_filter(shape)[..., : shape[-1] // 2 + 1]
        axes = tuple(range(len(shape)))
        n = np.fft.irfftn(np.fft.rfftn(w, axes=axes) * h, s=shape, axes=axes)
        return (case.sigma * n).astype(np.float32)
    kernel = noise_kernel(case, len(shape))
    if kernel is None:
        return (case.sigma * w).astype(np.float32)
    return circular_convolve(w, kernel).astype(np.float32)


def true_psd(shape: tuple, case: NoiseCase) -> np.ndarray:
    """PSD in the library's convention (unscaled DFT): N |K|^2, or sigma^2 N."""
    n = int(np.prod(shape))
    if case.kind == "ct":
        return n * case.sigma**2 * ct_filter(shape) ** 2
    kernel = noise_kernel(case, len(shape))
    if kernel is None:
        return np.full(shape, case.sigma**2 * n, np.float64)
    return n * np.abs(np.fft.fftn(fold(kernel, shape))) ** 2


# --------------------------------------------------------------------------
# metrics
# --------------------------------------------------------------------------


def psnr(clean: np.ndarray, est: np.ndarray) -> float:
    """PSNR for data range 1."""
    mse = float(np.mean((clean.astype(np.float64) - est.astype(np.float64)) ** 2))
    return float("inf") if mse == 0 else 10.0 * np.log10(1.0 / mse)


def ssim(clean: np.ndarray, est: np.ndarray) -> float:
    from skimage.metrics import structural_similarity

    return float(structural_similarity(clean.astype(np.float32), est.astype(np.float32), data_range=1.0))


# --------------------------------------------------------------------------
# time and peak memory of one call
# --------------------------------------------------------------------------


def _status_kib(field_name: str) -> int | None:
    try:
        with open("/proc/self/status") as f:
            m = re.search(rf"^{field_name}:\s+(\d+) kB", f.read(), re.M)
        return int(m.group(1)) if m else None
    except OSError:
        return None


def _can_reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return _status_kib("VmHWM") is not None
    except OSError:
        return False


class PeakMemory:
    """Peak resident memory added by the code inside the block, in MiB.

    On Linux the kernel's own peak (VmHWM) is reset before the call through
    /proc/self/clear_refs and read after it, so C and C++ allocations of the
    peers and of the library are all seen. Elsewhere RSS is sampled every
    2 ms with psutil, which can miss very short peaks.
    """

    method = "VmHWM" if _can_reset_peak() else "psutil"

    def __enter__(self):
        if self.method == "VmHWM":
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")
            self._base = _status_kib("VmRSS")
        else:
            import psutil

            self._proc = psutil.Process()
            self._base = self._proc.memory_info().rss // 1024
            self._peak = self._base
            self._stop = threading.Event()
            self._thread = threading.Thread(target=self._sample, daemon=True)
            self._thread.start()
        return self

    def _sample(self):
        while not self._stop.is_set():
            self._peak = max(self._peak, self._proc.memory_info().rss // 1024)
            self._stop.wait(0.002)

    def __exit__(self, *exc):
        if self.method == "VmHWM":
            peak = _status_kib("VmHWM")
        else:
            self._stop.set()
            self._thread.join()
            peak = max(self._peak, self._proc.memory_info().rss // 1024)
        self.mib = max(0, peak - self._base) / 1024.0
        return False


LAST_CPU_SECONDS = [0.0]


def timed(fn, *args, **kwargs):
    """(result, wall seconds, peak MiB) of fn(*args, **kwargs).

    The CPU seconds of the whole process (all threads) go to
    LAST_CPU_SECONDS[0]: on a shared machine they vary less than wall time.
    """
    with PeakMemory() as mem:
        c0 = time.process_time()
        t0 = time.perf_counter()
        out = fn(*args, **kwargs)
        secs = time.perf_counter() - t0
        LAST_CPU_SECONDS[0] = time.process_time() - c0
    return out, secs, mem.mib


# --------------------------------------------------------------------------
# results store and README sections
# --------------------------------------------------------------------------


def load_records(path: Path) -> list[dict]:
    if not path.exists():
        return []
    out = []
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line:
                out.append(json.loads(line))
    return out


def append_record(path: Path, record: dict) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "a") as f:
        f.write(json.dumps(record, sort_keys=True) + "\n")


def replace_section(text: str, name: str, body: str) -> str:
    """Put body between <!-- BEGIN name --> and <!-- END name -->, adding them if absent."""
    begin, end = f"<!-- BEGIN {name} -->", f"<!-- END {name} -->"
    block = f"{begin}\n{body.rstrip()}\n{end}"
    pattern = re.compile(re.escape(begin) + r".*?" + re.escape(end), re.S)
    if pattern.search(text):
        return pattern.sub(lambda _: block, text, count=1)
    return text.rstrip() + "\n\n" + block + "\n"


def update_readme(name: str, body: str, path: Path = README) -> None:
    text = path.read_text() if path.exists() else "# vexa benchmarks\n"
    path.write_text(replace_section(text, name, body))


def markdown_table(header: list[str], rows: list[list]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join(["---"] * len(header)) + "|"]
    for r in rows:
        lines.append("| " + " | ".join(str(c) for c in r) + " |")
    return "\n".join(lines)


def machine_line() -> str:
    import platform

    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            m = re.search(r"model name\s*:\s*(.+)", f.read())
            if m:
                cpu = m.group(1).strip()
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} logical cores, Python {platform.python_version()}, numpy {np.__version__}"
