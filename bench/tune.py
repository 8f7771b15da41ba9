#!/usr/bin/env python3
"""Sweep vexa's profile settings and choose the defaults and the fast preset.

    python bench/tune.py --ndim 3          # the 96^3 T1 crop
    python bench/tune.py --ndim 2          # camera and astronaut
    python bench/tune.py --report-only     # rebuild the README section

Coordinate sweep: starting from the current default preset, every setting
in SWEEP is varied alone over its grid with the settings already chosen
kept; the value kept maximises PSNR - DEFAULT_RATE * log2(CPU seconds)
(PSNR: mean over the tuning data and noise cases), i.e. a doubling of the
time must buy DEFAULT_RATE dB. The fast preset takes, per setting, the
value that maximises the same score with FAST_RATE. Hard-stage settings are judged on the final estimate
(both stages); Wiener-stage settings on the Wiener stage alone, run on a
fixed basic estimate (the default hard stage), which halves their cost.
Every evaluation is cached in bench/results/tune_<n>d.jsonl, so a rerun
resumes. The sweep runs the presets as they stand (adapt_to_noise off); the
noise-dependent values are measured as VARIANTS on top of the choice.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import benchlib as bl  # noqa: E402
import vexa_runner as vr  # noqa: E402

# dB a doubling of the run time must buy: the default maximises
# PSNR - rate * log2(seconds) with DEFAULT_RATE, the fast preset with FAST_RATE
DEFAULT_RATE = 0.15
FAST_RATE = 0.6

TUNE_DATA = {3: ["ch2crop"], 2: ["camera", "astronaut"]}
TUNE_CASES = ["white0.10", "gauss1", "line5"]

# (setting key, grid) in sweep order; keys as vexa_runner.apply_overrides takes them
SWEEP = {
    3: [
        ("hard.step", [2, 3, 4]),
        ("hard.search_radius", [2, 3, 4]),
        ("hard.threshold", [2.4, 2.7, 3.0]),
        ("hard.block_size", [4, 5]),
        ("hard.max_group_size", [8, 16, 32]),
        ("hard.match_threshold", [0.75, 1.5, 3.0]),
        ("hard.variance_group_size", [2, 4, 8]),
        ("psd_resample_size", [8, 16]),
        ("wiener.step", [2, 3, 4]),
        ("wiener.search_radius", [2, 3, 4]),
        ("wiener.block_size", [4, 5]),
        ("wiener.max_group_size", [16, 32, 64]),
        ("wiener.match_threshold", [0.25, 0.5, 1.0, 2.0]),
        ("wiener.variance_group_size", [2, 4, 8]),
        ("wiener.wiener_factor", [0.7, 1.0, 1.3]),
    ],
    2: [
        ("hard.step", [3, 4, 6]),
        ("hard.search_radius", [5, 8, 12]),
        ("hard.threshold", [2.4, 2.7, 3.0]),
        ("wiener.match_threshold", [0.25, 0.5, 1.0, 2.0]),
        ("wiener.wiener_factor", [0.4, 0.55, 0.7, 1.0]),
        ("hard.max_group_size", [8, 16, 32]),
        ("wiener.max_group_size", [16, 32, 64]),
        ("psd_resample_size", [16, 32, 64]),
        ("wiener.step", [3, 4, 6]),
        ("wiener.search_radius", [5, 8, 12]),
        ("hard.match_threshold", [0.75, 1.5, 3.0]),
        ("hard.variance_group_size", [2, 4, 8]),
        ("wiener.variance_group_size", [2, 4, 8]),
        ("hard.block_size", [6, 8, 12]),
        ("wiener.block_size", [6, 8, 12]),
    ],
}


# combinations measured together after the sweep: the noise kinds pull some
# settings apart, so a PSD-dependent choice is measured on each kind alone
VARIANTS = {
    3: {
        "low-pass: blocks 5, λ 3.0, Wiener factor 1.3": {
            "hard.block_size": 5, "wiener.block_size": 5, "hard.threshold": 3.0, "wiener.wiener_factor": 1.3},
        "low-pass: blocks 6, λ 3.0, Wiener factor 1.3": {
            "hard.block_size": 6, "wiener.block_size": 6, "hard.threshold": 3.0, "wiener.wiener_factor": 1.3},
        "low-pass: blocks 6, λ 3.5, Wiener factor 1.3": {
            "hard.block_size": 6, "wiener.block_size": 6, "hard.threshold": 3.5, "wiener.wiener_factor": 1.3},
        "low-pass: blocks 6, λ 3.5, Wiener factor 1.6": {
            "hard.block_size": 6, "wiener.block_size": 6, "hard.threshold": 3.5, "wiener.wiener_factor": 1.6},
        "low-pass: blocks 8, λ 3.0, Wiener factor 1.3": {
            "hard.block_size": 8, "wiener.block_size": 8, "hard.threshold": 3.0, "wiener.wiener_factor": 1.3},
        "low-pass: λ 3.0, Wiener factor 1.3": {"hard.threshold": 3.0, "wiener.wiener_factor": 1.3},
        "line: blocks 5, λ 3.0, Wiener factor 1.3": {
            "hard.block_size": 5, "wiener.block_size": 5, "hard.threshold": 3.0, "wiener.wiener_factor": 1.3},
        "line: Wiener factor 0.7": {"wiener.wiener_factor": 0.7},
        "white: Wiener factor 0.7": {"wiener.wiener_factor": 0.7},
        "white: Wiener factor 0.85": {"wiener.wiener_factor": 0.85},
    },
    2: {
        "correlated: blocks 12": {"hard.block_size": 12, "wiener.block_size": 12},
        "correlated: Wiener blocks 12": {"wiener.block_size": 12},
        "white: Wiener blocks 12": {"wiener.block_size": 12},
    },
}
# the noise cases each kind of variant is measured on (white: every level)
VARIANT_CASES = {
    "white": ["white0.05", "white0.10", "white0.15", "white0.20"],
    "correlated": ["gauss1", "line5"],
    "low-pass": ["gauss1"],
    "line": ["line5"],
}


def variants(ndim):
    """Each variant on top of the chosen default, on the noise kind it is meant for."""
    s = json.loads((bl.RESULTS / f"tune_{ndim}d_summary.json").read_text())
    out = {}
    for name, extra in VARIANTS[ndim].items():
        cases = VARIANT_CASES[name.split(":")[0]]
        ev = Evaluator(ndim, cases, results_path(ndim))
        base = ev.evaluate(s["chosen"], "all")
        var = ev.evaluate(dict(s["chosen"], **extra), "all")
        out[name] = dict(cases=cases, base=base, variant=var, overrides=extra)
        print(f"{ndim}-D {name}: {base.get('psnr', float('nan')):.3f} -> {var.get('psnr', float('nan')):.3f} dB, "
              f"{base.get('seconds', 0):.1f} -> {var.get('seconds', 0):.1f} s", flush=True)
    s["variants"] = out
    (bl.RESULTS / f"tune_{ndim}d_summary.json").write_text(json.dumps(s, indent=1, default=str))


def parse_args(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--ndim", type=int, choices=(2, 3), action="append", help="dimensionality to tune")
    ap.add_argument("--cases", nargs="*", default=TUNE_CASES, help="noise cases")
    ap.add_argument("--params", nargs="*", help="only these settings (keys of the sweep)")
    ap.add_argument("--report-only", action="store_true")
    ap.add_argument("--variants", action="store_true", help="measure VARIANTS on top of the chosen values")
    ap.add_argument("--budget-min", type=float, default=None, help="stop sweeping after this many minutes")
    return ap.parse_args(argv)


def results_path(ndim):
    return bl.RESULTS / f"tune_{ndim}d.jsonl"


def key_of(overrides: dict) -> str:
    return json.dumps(overrides, sort_keys=True)


class Evaluator:
    """PSNR and seconds of one setting combination, per dataset and noise case, cached."""

    def __init__(self, ndim, cases, path):
        self.ndim = ndim
        self.path = path
        self.cases = [c for c in bl.noise_cases() if c.name in cases]
        # runs made against other preset values (the host's presets may change) do not count
        self.base = base_fingerprint(ndim)
        self.cache = {}
        for r in bl.load_records(path):
            if r.get("base") == self.base:
                self.cache[(r["overrides"], r["dataset"], r["case"], r["stage"])] = r
        self.inputs = {}
        self.basics = {}

    def noisy(self, dataset, case):
        key = (dataset, case.name)
        if key not in self.inputs:
            clean = bl.load_dataset(dataset)
            self.inputs[key] = (clean, clean + bl.make_noise(clean.shape, case, bl.seed_for(dataset, case)))
        return self.inputs[key]

    def basic(self, dataset, case, base_overrides):
        """The hard stage of the chosen hard settings: the fixed pilot of the Wiener sweeps."""
        key = (dataset, case.name, key_of(base_overrides))
        if key not in self.basics:
            _, noisy = self.noisy(dataset, case)
            prof = vr.profile("default", adapt_to_noise=False, **base_overrides)
            self.basics[key] = vr.run(noisy, case, prof, stage="hard", progress=False)
        return self.basics[key]

    def evaluate(self, overrides: dict, stage: str, hard_overrides: dict | None = None) -> dict:
        """Mean PSNR / seconds over the tuning set; stage 'all' or 'wiener' (on a fixed pilot)."""
        okey = key_of(overrides)
        psnrs, secs, per_case = [], [], {}
        for dataset in TUNE_DATA[self.ndim]:
            for case in self.cases:
                ck = (okey, dataset, case.name, stage)
                rec = self.cache.get(ck)
                if rec is None:
                    clean, noisy = self.noisy(dataset, case)
                    try:
                        prof = vr.profile("default", adapt_to_noise=False, **overrides)
                        kw = dict(progress=False)
                        if stage == "wiener":
                            kw["basic_estimate"] = self.basic(dataset, case, hard_overrides or {})
                        est, t, mib = bl.timed(vr.run, noisy, case, prof, stage, **kw)
                        rec = dict(overrides=okey, dataset=dataset, case=case.name, stage=stage, base=self.base,
                                   psnr=bl.psnr(clean, est), wall_seconds=t,
                                   seconds=bl.LAST_CPU_SECONDS[0], peak_mib=mib)
                    except Exception as exc:  # an invalid combination is recorded, not fatal
                        rec = dict(overrides=okey, dataset=dataset, case=case.name, stage=stage, base=self.base,
                                   error=f"{type(exc).__name__}: {exc}"[:300])
                    bl.append_record(self.path, rec)
                    self.cache[ck] = rec
                if "error" in rec:
                    return dict(error=rec["error"])
                psnrs.append(rec["psnr"])
                secs.append(rec["seconds"])
                per_case[f"{dataset}/{case.name}"] = rec["psnr"]
        white = [v for k, v in per_case.items() if "white" in k]
        corr = [v for k, v in per_case.items() if "white" not in k]
        return dict(psnr=float(np.mean(psnrs)), seconds=float(np.sum(secs)),
                    white=float(np.mean(white)) if white else float("nan"),
                    correlated=float(np.mean(corr)) if corr else float("nan"), per_case=per_case)


def choose(results: list[tuple], rate: float):
    """The value with the best PSNR - rate * log2(seconds); failed runs never win."""
    ok = [(v, r) for v, r in results if "error" not in r]
    if not ok:
        return None
    return max(ok, key=lambda vr_: vr_[1]["psnr"] - rate * np.log2(max(vr_[1]["seconds"], 1e-6)))[0]


def base_fingerprint(ndim) -> str:
    """The default preset's resolved values: the base every override is relative to."""
    import dataclasses

    text = json.dumps(dataclasses.asdict(vr.profile("default").resolve(ndim)), sort_keys=True, default=str)
    return hashlib.sha1(text.encode()).hexdigest()[:12]


def preset_value(ndim, key):
    """The default preset's value of a sweep key (None when it is not a plain preset entry)."""
    from vexa.presets import PRESETS

    base = PRESETS["default"][ndim]
    if "." in key:
        stage, name = key.split(".", 1)
        return base["hard" if stage == "hard" else "wiener"].get(name)
    return base.get(key)


def sweep(ndim, cases, params=None, budget_min=None):
    ev = Evaluator(ndim, cases, results_path(ndim))
    chosen, fast = {}, {}
    t_start = time.time()
    log = []
    for key, grid in SWEEP[ndim]:
        if params and key not in params:
            continue
        if budget_min is not None and time.time() - t_start > 60 * budget_min:
            print(f"budget reached, stopping before {key}")
            break
        stage = "wiener" if key.startswith("wiener.") else "all"
        hard_part = {k: v for k, v in chosen.items() if not k.startswith("wiener.")}
        results = []
        for value in grid:
            current = chosen.get(key, preset_value(ndim, key))
            # the current value is the run without the override: one evaluation, not two
            ov = dict(chosen) if value == current else dict(chosen, **{key: value})
            r = ev.evaluate(ov, stage, hard_part)
            results.append((value, r))
            msg = r.get("error") or f"PSNR {r['psnr']:.3f} (white {r['white']:.2f}, corr {r['correlated']:.2f}) {r['seconds']:.1f} s"
            print(f"[{time.strftime('%H:%M:%S')}] {ndim}-D {key}={value}: {msg}", flush=True)
        pick = choose(results, DEFAULT_RATE)
        pick_fast = choose(results, FAST_RATE)
        if pick is not None:
            chosen[key] = pick
        if pick_fast is not None:
            fast[key] = pick_fast
        log.append(dict(key=key, stage=stage, results=[(v, r) for v, r in results], pick=pick, fast=pick_fast))
    # the combined choices, measured together (settings interact)
    final = {"default (before)": ev.evaluate({}, "all"), "chosen default": ev.evaluate(chosen, "all"),
             "chosen fast": ev.evaluate(dict(chosen, **fast), "all")}
    out = dict(ndim=ndim, cases=cases, log=log, chosen=chosen, fast=fast, final=final)
    (bl.RESULTS / f"tune_{ndim}d_summary.json").write_text(json.dumps(out, indent=1, default=str))
    return out


def report():
    parts = [f"Tuning rule: settings are swept one at a time (coordinate sweep, in the order of the table, "
             f"each with the values already chosen); the default keeps the value with the best mean PSNR − "
             f"{DEFAULT_RATE} dB × log2(seconds), i.e. doubling the time must buy {DEFAULT_RATE} dB; the fast "
             f"preset uses {FAST_RATE} dB per doubling. Hard-stage settings are judged on the final estimate, "
             f"Wiener-stage settings on the Wiener stage alone on a fixed basic estimate. Cases: "
             f"{', '.join(TUNE_CASES)}; 3-D on the 96³ T1 crop, 2-D on camera and astronaut. Seconds are CPU "
             f"seconds (all threads) summed over the tuning set on {bl.machine_line()} (2 threads; the machine "
             "is shared, and CPU time varies less with the load than wall time)."]
    for ndim in (3, 2):
        p = bl.RESULTS / f"tune_{ndim}d_summary.json"
        if not p.exists():
            continue
        s = json.loads(p.read_text())
        parts.append(f"\n#### {ndim}-D sweep\n")
        rows = []
        for entry in s["log"]:
            for value, r in entry["results"]:
                if "error" in r:
                    rows.append([entry["key"], value, "error", "", "", "", r["error"][:60]])
                    continue
                mark = ("default" if value == entry["pick"] else "") + (
                    " fast" if value == entry["fast"] else "")
                rows.append([entry["key"], value, f"{r['psnr']:.3f}", f"{r['white']:.2f}",
                             f"{r['correlated']:.2f}", f"{r['seconds']:.1f}", mark.strip()])
        parts.append(bl.markdown_table(["setting", "value", "mean PSNR", "white", "correlated", "seconds",
                                        "chosen"], rows))
        rows = [[name, f"{r['psnr']:.3f}", f"{r['white']:.2f}", f"{r['correlated']:.2f}", f"{r['seconds']:.1f}"]
                for name, r in s["final"].items() if "error" not in r]
        parts.append(f"\nCombined ({ndim}-D):\n")
        parts.append(bl.markdown_table(["profile", "mean PSNR", "white", "correlated", "seconds"], rows))
        if s.get("variants"):
            rows = []
            for name, v in s["variants"].items():
                if "error" in v["base"] or "error" in v["variant"]:
                    continue
                each = ", ".join(f"{k.split('/')[0]} {k.split('/')[1]} {d - v['base']['per_case'][k]:+.2f}"
                                 for k, d in v["variant"].get("per_case", {}).items()
                                 if k in v["base"].get("per_case", {}))
                rows.append([name, ", ".join(v["cases"]), f"{v['base']['psnr']:.3f}", f"{v['variant']['psnr']:.3f}",
                             f"{v['variant']['psnr'] - v['base']['psnr']:+.3f}", each,
                             f"{v['base']['seconds']:.1f} → {v['variant']['seconds']:.1f}"])
            parts.append(f"\nBy noise kind ({ndim}-D; variant on top of the chosen default, on its cases only):\n")
            parts.append(bl.markdown_table(["variant", "cases", "chosen dB", "variant dB", "Δ dB", "Δ per case",
                                            "seconds"], rows))
        parts.append(f"\nChosen {ndim}-D default overrides: `{json.dumps(s['chosen'])}`; "
                     f"fast: `{json.dumps(dict(s['chosen'], **s['fast']))}`")
    bl.update_readme("tuning", "\n".join(parts))
    print("README section 'tuning' updated")


def main(argv=None):
    args = parse_args(argv)
    if args.variants:
        for ndim in args.ndim or (3, 2):
            variants(ndim)
    elif not args.report_only:
        for ndim in args.ndim or (3, 2):
            out = sweep(ndim, args.cases, args.params, args.budget_min)
            print(json.dumps(dict(chosen=out["chosen"], fast=out["fast"]), indent=1))
            for name, r in out["final"].items():
                print(name, {k: v for k, v in r.items() if k != "per_case"})
    report()


if __name__ == "__main__":
    main()
