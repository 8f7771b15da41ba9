#!/usr/bin/env python3
"""What the noise-PSD estimate costs and what it gives, before and after a change.

    python bench/estimate_cost.py                       # crop + both images, 7 cases, vs main
    python bench/estimate_cost.py --before HEAD~3 --datasets ch2crop --cases gauss1
    python bench/estimate_cost.py --datasets ch2 --cases white0.10 --estimate-only

Per dataset and noise case it prints: the seconds of ``vexa.estimate_psd``
(best of ``--repeats``, wall and CPU), the seconds of denoising with the true
noise (sigma for white noise, the true PSD otherwise) and with the estimate,
the estimate's share of the denoising time, the PSNR with the true and the
estimated noise, and the estimate's errors on the PSD grid (total power
ratio, mean absolute error over the mean power, flatness). The estimator of
git revision ``--before`` (python/vexa/estimation.py and residual.py) is
loaded next to the working tree's and measured in the same run, so both
face the same load on the machine. Records go to
bench/results/estimate_cost.jsonl.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import benchlib as bl  # noqa: E402
import vexa_runner as vr  # noqa: E402

DATASETS = ["ch2crop", "camera", "astronaut"]


def load_estimator(rev: str, workdir: Path):
    """``estimate_psd`` of git revision ``rev``, as a module inside the vexa package."""
    import vexa

    names = {"estimation": "_before_estimation", "residual": "_before_residual"}
    for name, new in names.items():
        text = subprocess.run(["git", "show", f"{rev}:python/vexa/{name}.py"], cwd=bl.ROOT,
                              check=True, capture_output=True, text=True).stdout
        text = text.replace("from .residual import", "from ._before_residual import")
        text = text.replace("from . import estimation as est", "from . import _before_estimation as est")
        path = workdir / f"{new}.py"
        path.write_text(text)
    modules = {}
    for new in names.values():
        spec = importlib.util.spec_from_file_location(f"vexa.{new}", workdir / f"{new}.py")
        modules[new] = importlib.util.module_from_spec(spec)
        sys.modules[f"vexa.{new}"] = modules[new]
        setattr(vexa, new, modules[new])
    for mod in modules.values():
        mod.__spec__.loader.exec_module(mod)
    return modules["_before_estimation"].estimate_psd


def timed(fn, *args, **kw):
    t0, c0 = time.perf_counter(), time.process_time()
    out = fn(*args, **kw)
    return out, time.perf_counter() - t0, time.process_time() - c0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--datasets", nargs="*", default=DATASETS)
    ap.add_argument("--cases", nargs="*", help="noise cases (default: all 7)")
    ap.add_argument("--before", default="main", help="git revision of the earlier estimator")
    ap.add_argument("--no-before", action="store_true", help="measure the working tree's only")
    ap.add_argument("--repeats", type=int, default=2, help="estimate runs per variant (best kept)")
    ap.add_argument("--estimate-only", action="store_true",
                    help="no denoising (e.g. on the full volume): estimate seconds and errors only")
    ap.add_argument("--results", type=Path, default=bl.RESULTS / "estimate_cost.jsonl")
    args = ap.parse_args()

    import vexa

    variants = {"after": vexa.estimate_psd}
    tmp = tempfile.TemporaryDirectory()
    if not args.no_before:
        variants = {"before": load_estimator(args.before, Path(tmp.name)), **variants}
    cases = [c for c in bl.noise_cases() if not args.cases or c.name in args.cases]
    prof = vexa.VEXAProfile()
    vexa.vexa(np.zeros((24, 24, 24), np.float32) + 0.1, 0.1, progress=False)  # load the library
    head = (f"{'data':10s} {'noise':9s} {'variant':7s} {'est s':>6s} {'est cpu':>7s} {'den s':>6s} "
            f"{'share':>6s} {'den est s':>9s} {'dB true':>7s} {'dB est':>7s} {'Δ dB':>6s} "
            f"{'power':>6s} {'l1':>6s} {'flat':>6s}/{'true':<6s}")
    print(head, flush=True)
    for dataset in args.datasets:
        clean = bl.load_dataset(dataset)
        grid = vr.psd_grid(prof, clean.ndim)
        for case in cases:
            noisy = (clean + bl.make_noise(clean.shape, case, bl.seed_for(dataset, case))).astype(np.float32)
            given = vr.noise_argument(noisy, case, prof)
            den_s = den_cpu = psnr_true = float("nan")
            if not args.estimate_only:
                out, den_s, den_cpu = timed(vexa.vexa, noisy, given, prof, progress=False)
                psnr_true = bl.psnr(clean, out)
            true = bl.true_psd(grid, case)
            for name, estimator in variants.items():
                runs = [timed(estimator, noisy, grid) for _ in range(max(1, args.repeats))]
                psd, est_s, est_cpu = min(runs, key=lambda r: r[1])
                den_est_s, psnr_est = float("nan"), float("nan")
                if not args.estimate_only:
                    out, den_est_s, _ = timed(vexa.vexa, noisy, psd, prof, progress=False)
                    psnr_est = bl.psnr(clean, out)
                rec = dict(
                    dataset=dataset, case=case.name, variant=name, rev=args.before if name == "before" else "worktree",
                    estimate_seconds=est_s, estimate_cpu=est_cpu, denoise_seconds=den_s, denoise_cpu=den_cpu,
                    denoise_estimated_seconds=den_est_s, share=est_s / den_s, psnr_true=psnr_true,
                    psnr_estimated=psnr_est, power=float(psd.mean() / true.mean()),
                    l1=float(np.abs(psd - true).mean() / true.mean()),
                    flatness=float(vexa.psd_flatness(psd)), flatness_true=float(vexa.psd_flatness(true)),
                )
                with open(args.results, "a") as f:
                    f.write(json.dumps(rec) + "\n")
                print(f"{dataset:10s} {case.name:9s} {name:7s} {est_s:6.2f} {est_cpu:7.2f} {den_s:6.2f} "
                      f"{100 * rec['share']:5.0f}% {den_est_s:9.2f} {psnr_true:7.2f} {rec['psnr_estimated']:7.2f} "
                      f"{rec['psnr_estimated'] - psnr_true:+6.2f} {rec['power']:6.3f} {rec['l1']:6.3f} "
                      f"{rec['flatness']:6.3f}/{rec['flatness_true']:<6.3f}", flush=True)


if __name__ == "__main__":
    main()
