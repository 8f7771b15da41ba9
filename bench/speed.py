#!/usr/bin/env python3
"""Speed and peak memory of vexa, before and after, from one run.

    python bench/speed.py --old 83c9b8f                      # 128^3 and the full volume
    python bench/speed.py --old 83c9b8f --sizes 96 --tv      # the crop, with TV beside it
    python bench/speed.py --old 83c9b8f --perf 64            # where the time goes, both builds
    python bench/speed.py --report-only

The old library is built from the given commit (``git archive`` into a cache
folder, then cmake) and driven by that commit's own Python host, so its
memory plan is the old one too; the new library is built from the working
tree. Every configuration runs old then new, each in a fresh process, so the
two see the same machine load; compare them as ratios on a shared machine.

Input: central crops of the normalised T1 volume (full: 316x370x301, x
fastest) with white noise of sigma 0.10 or low-pass noise (``gauss1``, run
with its PSD, so with the noise adaptation: 6^3 blocks, lambda 3.5, Wiener
factor 1.3). Each stage is timed on its own (the Wiener stage on the hard
stage's output); peak memory is the kernel's peak resident size during the
stage (VmHWM, reset before it) above the size before it, so the caller's
input and output arrays are excluded. ``--tv`` times skimage's
denoise_tv_chambolle at its best setting on the same data (weight 0.7 sigma
for white noise, 1.0 sigma for gauss1; bench/README.md's comparison).
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH))
import benchlib as bl  # noqa: E402

RESULTS = bl.RESULTS / "speed_compare.jsonl"
PERF = bl.RESULTS / "speed_perf.json"
CACHE = Path(os.environ.get("VEXA_SPEED_CACHE", Path.home() / ".cache" / "vexa-speed"))
CASES = {"white0.10": bl.NoiseCase("white0.10", 0.10, "white"),
         "gauss1": bl.NoiseCase("gauss1", 0.10, "gauss1")}
TV_WEIGHT = {"white0.10": 0.7, "gauss1": 1.0}
PSD_GRID = (8, 8, 8)  # the default profile's frequency grid for volumes


def parse_args(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--old", help="commit of the library to compare against")
    ap.add_argument("--sizes", nargs="*", default=["128", "full"], help="cube edges or 'full'")
    ap.add_argument("--cases", nargs="*", default=list(CASES), choices=list(CASES))
    ap.add_argument("--threads", nargs="*", type=int, default=[1, 2])
    ap.add_argument("--tv", action="store_true", help="time denoise_tv_chambolle on the same data")
    ap.add_argument("--perf", type=int, metavar="SIZE", help="perf profile of both builds on a SIZE^3 crop")
    ap.add_argument("--builds", nargs="*", default=["old", "new"], choices=["old", "new"],
                    help="which builds to run (default both, back to back)")
    ap.add_argument("--report-only", action="store_true")
    ap.add_argument("--since", metavar="'YYYY-MM-DD HH:MM'",
                    help="report only runs started at or after this time (UTC)")
    ap.add_argument("--worker", nargs=4, metavar=("KIND", "SIZE", "CASE", "THREADS"), help=argparse.SUPPRESS)
    return ap.parse_args(argv)


# ----------------------------------------------------------------- builds


def _build(src: Path, build: Path) -> Path:
    lib = build / "libvexa_linux.so"
    subprocess.run(["cmake", "-S", str(src), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "--target", "vexa", "-j2"], check=True,
                   stdout=subprocess.DEVNULL)
    return lib


def build_old(commit: str) -> tuple[Path, Path]:
    """(library, python host folder) of a commit, built once into the cache."""
    sha = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", commit], check=True,
                         capture_output=True, text=True).stdout.strip()
    src = CACHE / f"src-{sha}"
    if not (src / "CMakeLists.txt").exists():
        src.mkdir(parents=True, exist_ok=True)
        archive = subprocess.run(["git", "-C", str(ROOT), "archive", sha], check=True, capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", str(src)], input=archive, check=True)
    return _build(src, src / "build"), src / "python"


def build_new() -> tuple[Path, Path]:
    return _build(ROOT, ROOT / "build" / "speed"), ROOT / "python"


# ----------------------------------------------------------------- data


def data(size: str, case: str) -> tuple[np.ndarray, np.ndarray]:
    """(clean, noisy) float32, cached on disk."""
    CACHE.mkdir(parents=True, exist_ok=True)
    clean_path, noisy_path = CACHE / f"{size}_clean.npy", CACHE / f"{size}_{case}.npy"
    if not clean_path.exists() or not noisy_path.exists():
        vol = bl.load_ch2()
        clean = vol if size == "full" else bl.central_crop(vol, int(size))
        nc = CASES[case]
        noisy = clean + bl.make_noise(clean.shape, nc, bl.seed_for(f"speed{size}", nc))
        np.save(clean_path, clean.astype(np.float32))
        np.save(noisy_path, noisy.astype(np.float32))
    return np.load(clean_path), np.load(noisy_path)


# ----------------------------------------------------------------- one measurement (own process)


def worker(kind: str, size: str, case: str, threads: int) -> dict:
    clean, noisy = data(size, case)
    nc = CASES[case]
    if kind == "tv":
        from skimage.restoration import denoise_tv_chambolle

        out, secs, mib = bl.timed(denoise_tv_chambolle, noisy, weight=TV_WEIGHT[case] * nc.sigma)
        return dict(total_s=secs, peak_mib=mib, psnr=bl.psnr(clean, out))
    import vexa  # the host of the build under test (PYTHONPATH)

    # Only calls both hosts share: the old build is driven by its own host.
    kernel = bl.noise_kernel(nc, noisy.ndim)
    noise = nc.sigma if kernel is None else vexa.psd_from_kernel(kernel, PSD_GRID)
    prof = vexa.VEXAProfile.from_name("default")
    prof.num_threads = threads

    def run(stage, **kw):
        return vexa.vexa(noisy, noise, prof, stage, progress=False, **kw)

    basic, t_hard, m_hard = bl.timed(run, "hard")
    cpu_hard = bl.LAST_CPU_SECONDS[0]
    final, t_wie, m_wie = bl.timed(run, "wiener", basic_estimate=basic)
    cpu_wie = bl.LAST_CPU_SECONDS[0]
    return dict(hard_s=t_hard, wiener_s=t_wie, total_s=t_hard + t_wie, cpu_s=cpu_hard + cpu_wie,
                hard_peak_mib=m_hard,
                wiener_peak_mib=m_wie, psnr_basic=bl.psnr(clean, basic), psnr=bl.psnr(clean, final))


def run_worker(kind: str, size: str, case: str, threads: int, lib: Path | None, host: Path | None,
               prefix=()) -> dict:
    env = dict(os.environ)
    if lib is not None:
        env["VEXA_LIBRARY"] = str(lib)
        env["PYTHONPATH"] = str(host)
    cmd = [*prefix, sys.executable, str(Path(__file__).resolve()), "--worker", kind, size, case, str(threads)]
    proc = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True)
    return json.loads(proc.stdout.strip().splitlines()[-1])


# ----------------------------------------------------------------- perf


def perf_top(size: int, lib: Path, host: Path, top: int = 12) -> list[tuple[float, str]]:
    out = CACHE / "perf.data"
    data(str(size), "white0.10")
    run_worker("vexa", str(size), "white0.10", 1, lib, host,
               prefix=("perf", "record", "-q", "-o", str(out), "--"))
    text = subprocess.run(["perf", "report", "-i", str(out), "--no-children", "--sort", "symbol", "--stdio"],
                          check=True, capture_output=True, text=True).stdout
    return parse_perf(text)[:top]


def parse_perf(text: str) -> list[tuple[float, str]]:
    """(percent, symbol) rows of `perf report --stdio --sort symbol`, in its order."""
    rows = []
    for line in text.splitlines():
        m = re.match(r"\s*([\d.]+)%\s+\[[.k]\]\s+(.*\S)", line)
        if m:  # some perf versions pad the line with empty "-" columns
            rows.append((float(m.group(1)), re.sub(r"(\s+-)+$", "", m.group(2))))
    return rows


# ----------------------------------------------------------------- report


def _shape(size, noisy_shape=None):
    if size == "full":
        return "316×370×301"
    return f"{size}³"


SIZE_ORDER = {"96": 0, "128": 1, "full": 2}


def _latest_runs(recs: list[dict], key, part, needed) -> dict:
    """Per key(record), the records of the latest invocation ("when") holding every part in
    needed, by part(record): rows built from them compare runs made back to back."""
    runs = {}
    for r in recs:
        runs.setdefault((key(r), r.get("when", "")), {})[part(r)] = r
    latest = {}
    for (k, _), parts in sorted(runs.items(), key=lambda kv: kv[0][1]):
        if all(p in parts for p in needed):
            latest[k] = parts
    return latest


def scaling_rows(recs: list[dict]) -> list[list]:
    """Rows of the new build's one- against two-thread runs that started in the same invocation."""
    latest = _latest_runs([r for r in recs if r.get("build") == "new"],
                          lambda r: (r["size"], r["case"]), lambda r: r["threads"], (1, 2))
    rows = []
    for (size, case), runs in sorted(latest.items(), key=lambda kv: (SIZE_ORDER.get(kv[0][0], 9), kv[0][1])):
        one, two = runs[1], runs[2]
        busy = f"{two['cpu_s'] / two['total_s']:.2f}" if "cpu_s" in two else ""
        cpu = f"{one['cpu_s']:.1f} / {two['cpu_s']:.1f}" if "cpu_s" in one and "cpu_s" in two else ""
        rows.append([_shape(size), case, f"{one['total_s']:.2f}", f"{two['total_s']:.2f}",
                     f"**{one['total_s'] / two['total_s']:.2f}×**", busy, cpu, one["when"]])
    return rows


def report(results: Path = RESULTS, readme: Path = bl.README, since: str | None = None):
    recs = [r for r in bl.load_records(results) if since is None or r.get("when", "") >= since]
    # Old and new of a row come from one invocation; a later run of one build
    # alone does not replace its half of the pair.
    build = lambda r: r["build"]  # noqa: E731
    paired = _latest_runs(recs, lambda r: (r["size"], r["case"], r["threads"]), build, ("old", "new"))
    tvs = _latest_runs(recs, lambda r: (r["size"], r["case"]), build, ("tv",))
    keys = sorted(paired, key=lambda k: (SIZE_ORDER.get(k[0], 9), k[1], k[2]))
    rows = []
    for size, case, threads in keys:
        run = paired[(size, case, threads)]
        old, new = run["old"], run["new"]
        tv = tvs.get((size, case), {}).get("tv")
        mvox = new["voxels"] / 1e6
        rows.append([
            _shape(size), case, threads,
            f"{old['hard_s']:.2f} / {new['hard_s']:.2f}", f"{old['wiener_s']:.2f} / {new['wiener_s']:.2f}",
            f"{old['total_s']:.2f} / {new['total_s']:.2f}", f"**{old['total_s'] / new['total_s']:.2f}×**",
            f"{old['cpu_s']:.1f} / {new['cpu_s']:.1f}" if "cpu_s" in old and "cpu_s" in new else "",
            f"{mvox / old['total_s']:.3f} / {mvox / new['total_s']:.3f}",
            f"{max(old['hard_peak_mib'], old['wiener_peak_mib']):.0f} / "
            f"{max(new['hard_peak_mib'], new['wiener_peak_mib']):.0f}",
            f"{new['input_mib']:.0f}",
            f"{old['psnr']:.2f} / {new['psnr']:.2f}",
            "" if tv is None else f"{tv['total_s']:.2f} ({tv['psnr']:.2f} dB)",
        ])
    parts = [f"Machine: {bl.machine_line()}; shared with other work, so absolute figures vary by 10 % and "
             "more; each row's old and new runs are back to back, so read the ratio. Old: the library and "
             f"host of commit `{recs[-1]['old_commit'] if recs else '?'}` (before the speed work); new: this "
             "tree. Default profile; gauss1 rows run with the PSD, so with the noise adaptation (6×6×6 "
             "blocks, λ 3.5, Wiener factor 1.3). Peak: the larger of the two stages' VmHWM above the "
             "resident size before the stage (caller's arrays excluded). CPU s: processor time of all "
             "threads, which a busy machine inflates less than the wall time. TV: skimage "
             "`denoise_tv_chambolle` at its best weight on the same data (one thread).\n"]
    parts.append(bl.markdown_table(
        ["size (x×y×z)", "noise", "threads", "hard s old / new", "Wiener s old / new", "total s old / new",
         "speed-up", "CPU s old / new", "Mvox/s old / new", "peak MiB old / new", "input MiB", "PSNR dB old / new", "TV s (PSNR)"],
        rows))
    scaling = scaling_rows(recs)
    if scaling:
        parts.append("\nTwo threads against one, this tree, the two runs of each row back to back (one "
                     "invocation with `--threads 1 2`): total seconds, the ratio, and how many cores the "
                     "two-thread run kept busy (its CPU seconds over its wall seconds):\n")
        parts.append(bl.markdown_table(
            ["size (x×y×z)", "noise", "1 thread s", "2 threads s", "2 threads against 1", "cores busy",
             "CPU s 1 / 2 threads", "run"], scaling))
    if PERF.exists():
        prof = json.loads(PERF.read_text())
        parts.append(f"\nWhere the time goes: `perf record` on the {prof['size']}³ crop, white noise, both "
                     "stages, 1 thread, whole Python process (loading the input included); self time per "
                     "function:\n")
        n = max(len(prof["old"]), len(prof["new"]))
        table = []
        for i in range(n):
            o = prof["old"][i] if i < len(prof["old"]) else ("", "")
            w = prof["new"][i] if i < len(prof["new"]) else ("", "")
            table.append([f"{o[0]:.1f}" if o[0] != "" else "", f"`{o[1][:70]}`" if o[1] else "",
                          f"{w[0]:.1f}" if w[0] != "" else "", f"`{w[1][:70]}`" if w[1] else ""])
        parts.append(bl.markdown_table(["old %", "old function", "new %", "new function"], table))
    bl.update_readme("speed", "\n".join(parts), readme)
    print("README section 'speed' updated")


def main(argv=None):
    args = parse_args(argv)
    if args.worker:
        kind, size, case, threads = args.worker
        print(json.dumps(worker(kind, size, case, int(threads))))
        return
    if not args.report_only:
        if not args.old:
            raise SystemExit("--old COMMIT is needed (the library to compare against)")
        old_lib, old_host = build_old(args.old) if "old" in args.builds or args.perf else (None, None)
        new_lib, new_host = build_new() if "new" in args.builds or args.perf else (None, None)
        if args.perf:
            PERF.write_text(json.dumps(dict(size=args.perf, old=perf_top(args.perf, old_lib, old_host),
                                            new=perf_top(args.perf, new_lib, new_host))))
        else:
            stamp = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
            for size in args.sizes:
                for case in args.cases:
                    _, noisy = data(size, case)
                    base = dict(size=size, case=case, voxels=int(noisy.size), input_mib=noisy.nbytes / 2**20,
                                old_commit=args.old, when=stamp)
                    if args.tv:
                        r = run_worker("tv", size, case, 1, None, None)
                        bl.append_record(RESULTS, dict(base, build="tv", threads=0, **r))
                        print(f"{size:>5} {case:9} TV: {r['total_s']:.2f} s, PSNR {r['psnr']:.2f}", flush=True)
                    for threads in args.threads:
                        for build, lib, host in (("old", old_lib, old_host), ("new", new_lib, new_host)):
                            if build not in args.builds:
                                continue
                            r = run_worker("vexa", size, case, threads, lib, host)
                            bl.append_record(RESULTS, dict(base, build=build, threads=threads, **r))
                            print(f"{size:>5} {case:9} threads {threads} {build}: hard {r['hard_s']:.2f} s, "
                                  f"Wiener {r['wiener_s']:.2f} s, peak {r['hard_peak_mib']:.0f}/"
                                  f"{r['wiener_peak_mib']:.0f} MiB, PSNR {r['psnr']:.3f}", flush=True)
    report(since=args.since)


if __name__ == "__main__":
    main()
