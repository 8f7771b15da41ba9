#!/usr/bin/env python3
"""Compare vexa with the denoisers a user would otherwise pick.

    python bench/compare.py --quick     # 96^3 crop + 2-D images, ~10 min on 2 cores
    python bench/compare.py             # adds the full T1 volume; run once, takes long

Every run is appended to bench/results/<mode>.jsonl as it finishes, so an
interrupted run resumes where it stopped (--fresh starts over). At the end
the tables of bench/README.md (between the <mode> markers) and the PNG plots
in bench/results/ are regenerated from that file (--report-only does just
that).
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import benchlib as bl  # noqa: E402

QUICK_DATA = ["ch2crop", "camera", "astronaut"]
FULL_DATA = ["ch2crop", "camera", "astronaut", "ch2"]
# the full volume takes minutes per peer: these noise cases first
FULL_VOLUME_ORDER = ["white0.10", "gauss1", "line5", "ct", "white0.05", "white0.20", "white0.15"]
VEXA_PRESETS = ["default", "fast"]
# vexa's default profile told less about the noise: the PSD it estimates, sigma alone
VEXA_NOISE_VARIANTS = {"vexa estimated": "estimated", "vexa sigma": "sigma"}
SLICE_CASES = ("white0.10", "gauss1", "line5")
DATA_TITLES = {
    "ch2crop": "T1 crop 96³",
    "ch2": "T1 volume (316, 370, 301)",
    "camera": "camera 512²",
    "astronaut": "astronaut grey 512²",
    "smoke3d": "smoke 24³",
    "smoke2d": "smoke 64²",
}


def parse_args(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="crop and 2-D images, short setting grids")
    ap.add_argument("--smoke", action="store_true", help="tiny synthetic inputs, to check the harness")
    ap.add_argument("--datasets", nargs="*", help="subset of datasets")
    ap.add_argument("--cases", nargs="*", help="subset of noise cases, e.g. white0.10 gauss1")
    ap.add_argument("--methods", nargs="*", help="subset of methods (vexa, peer names)")
    ap.add_argument(
        "--exact", action="store_true", help="--methods names one row each ('vexa': the default only)"
    )
    ap.add_argument("--no-vexa", action="store_true", help="peers only")
    ap.add_argument("--fresh", action="store_true", help="discard this mode's earlier results")
    ap.add_argument("--report-only", action="store_true", help="only rebuild tables and plots")
    ap.add_argument("--no-install", action="store_true", help="do not install missing dependencies")
    ap.add_argument("--results", type=Path, help="results file (default bench/results/<mode>.jsonl)")
    return ap.parse_args(argv)


def mode_of(args) -> str:
    return "smoke" if args.smoke else ("quick" if args.quick else "full")


def slice_of(a: np.ndarray) -> np.ndarray:
    """The 2-D view shown in the montage: a mid axial slice, at most 128² around the centre."""
    s = a[a.shape[0] // 2] if a.ndim == 3 else a
    h = min(128, s.shape[0])
    w = min(128, s.shape[1])
    y0, x0 = (s.shape[0] - h) // 2, (s.shape[1] - w) // 2
    return np.asarray(s[y0 : y0 + h, x0 : x0 + w], np.float32)


def slice_path(mode, dataset, case, method):
    safe = method.replace(" ", "_")
    return bl.BENCH / "out" / "slices" / mode / f"{dataset}_{case}_{safe}.npy"


def methods_for(args, dataset_ndim, quick):
    import peers

    out = []
    if not args.no_vexa:
        import vexa_runner

        for preset in VEXA_PRESETS:
            name = "vexa" if preset == "default" else f"vexa {preset}"
            out.append((name, "vexa", [{"profile": preset}], vexa_runner))
        for name, noise in VEXA_NOISE_VARIANTS.items():
            out.append((name, "vexa", [{"profile": "default", "noise": noise}], vexa_runner))
    for p in peers.PEERS:
        out.append((p.name, "peer", p.grid(dataset_ndim, quick), p))
    if args.methods:
        out = [
            m
            for m in out
            if m[0] in args.methods or (not args.exact and m[0].split()[0] in args.methods)
        ]
    return out


def warm_up(methods):
    """Imports and first-call costs are not part of any figure."""
    import peers

    tiny3 = np.random.default_rng(0).random((16, 16, 16), dtype=np.float32)
    tiny2 = tiny3[0].copy()
    case = bl.noise_cases()[1]
    for name, kind, grid, obj in methods:
        for tiny in (tiny2, tiny3):
            try:
                if kind == "vexa":
                    obj.run(tiny, case, obj.profile(grid[0]["profile"]))
                else:
                    obj.run(tiny, case.sigma, grid[0])
            except Exception as exc:  # a failure here shows again, with context, in the real run
                print(f"  warm-up of {name} failed: {exc}", flush=True)


# Unwindowed, vexa's buffers for the full volume take up to 17 GiB of a 24 GiB
# machine shared with others: the comparison caps the plan (the speed figures do not).
LARGE_VOXELS = 10_000_000
LARGE_MEMORY_LIMIT = 8 << 30


def run_one(kind, obj, setting, noisy, case):
    if kind == "vexa":
        prof = obj.profile(setting["profile"])
        kw = dict(progress=False, noise=setting.get("noise", "true"))
        if noisy.size > LARGE_VOXELS:
            kw["memory_limit"] = LARGE_MEMORY_LIMIT
        return bl.timed(obj.run, noisy, case, prof, **kw)
    return bl.timed(obj.run, noisy, case.sigma, setting)


def benchmark(args, mode, results: Path):
    import peers

    quick = mode != "full"
    datasets = args.datasets or (["smoke3d", "smoke2d"] if args.smoke else QUICK_DATA if quick else FULL_DATA)
    cases = [c for c in bl.noise_cases() if not args.cases or c.name in args.cases]
    if mode == "full":
        adopt_quick_runs(results, datasets)
    earlier = bl.load_records(results)
    done = {record_key(r) for r in earlier}
    known_best = best_records(earlier)
    warmed = False
    for dataset, order in plan(datasets, cases):
        clean = bl.load_dataset(dataset)
        for case in order:
            noisy = clean + bl.make_noise(clean.shape, case, bl.seed_for(dataset, case))
            noisy_psnr = bl.psnr(clean, noisy)
            print(f"[{time.strftime('%H:%M:%S')}] {dataset} {case.name}: noisy PSNR {noisy_psnr:.2f} dB", flush=True)
            if case.name in SLICE_CASES:
                for m, a in (("clean", clean), ("noisy", noisy)):
                    p = slice_path(mode, dataset, case.name, m)
                    p.parent.mkdir(parents=True, exist_ok=True)
                    np.save(p, slice_of(a))
            methods = methods_for(args, clean.ndim, quick)
            if not warmed:
                warm_up(methods)
                warmed = True
            for name, kind, grid, obj in methods:
                if dataset == "ch2" and kind == "peer":
                    # the full volume is too slow for a grid: the crop's best setting
                    chosen = best_by_key(bl.load_records(results)).get(("ch2crop", case.name, name))
                    grid = [chosen] if chosen is not None else grid[:1]
                key = (dataset, case.name, name)
                best = known_best[key]["psnr"] if key in known_best else -np.inf
                for setting in grid:
                    text = peers.setting_text(setting)
                    fingerprint = None
                    if kind == "vexa":
                        if setting.get("noise") == "sigma" and not case.correlated:
                            continue  # the true noise already is sigma alone
                        fingerprint = obj.settings_hash(
                            noisy, case, obj.profile(setting["profile"]), setting.get("noise", "true"))
                    if (dataset, case.name, name, text, fingerprint) in done:
                        continue
                    try:
                        est, secs, mib = run_one(kind, obj, setting, noisy, case)
                    except Exception as exc:
                        print(f"    {name} [{text}] FAILED: {type(exc).__name__}: {exc}", flush=True)
                        bl.append_record(results, dict(dataset=dataset, case=case.name, method=name,
                                                       kind=kind, setting=text, error=str(exc)[:300]))
                        continue
                    rec = dict(
                        dataset=dataset, case=case.name, sigma=case.sigma, method=name, kind=kind,
                        setting=text, setting_dict=setting, psnr=bl.psnr(clean, est),
                        ssim=bl.ssim(clean, est), seconds=secs, peak_mib=mib,
                        noisy_psnr=noisy_psnr, shape=list(clean.shape),
                        memory_method=bl.PeakMemory.method,
                    )
                    if fingerprint is not None:
                        rec["settings_hash"] = fingerprint
                    if setting.get("noise") == "estimated":
                        rec.update(obj.LAST_ESTIMATE)
                    bl.append_record(results, rec)
                    print(f"    {name:18s} {text:42s} PSNR {rec['psnr']:6.2f}  SSIM {rec['ssim']:.3f}  "
                          f"{secs:7.2f} s  {mib:8.1f} MiB", flush=True)
                    if case.name in SLICE_CASES and (kind == "vexa" or rec["psnr"] > best):
                        best = rec["psnr"]  # the montage shows each method's best setting
                        np.save(slice_path(mode, dataset, case.name, name), slice_of(est))
                    del est


def adopt_quick_runs(results: Path, datasets):
    """Runs of the quick mode on the same data (same seeds, same calls) count for the full one."""
    quick = bl.RESULTS / "quick.jsonl"
    have = {record_key(r) for r in bl.load_records(results)}
    n = 0
    for r in bl.load_records(quick):
        key = record_key(r)
        if "psnr" in r and r["dataset"] in datasets and key not in have:
            bl.append_record(results, dict(r, adopted_from="quick"))
            have.add(key)
            n += 1
    if n:
        print(f"adopted {n} runs of the quick mode", flush=True)
        src = bl.BENCH / "out" / "slices" / "quick"
        dst = bl.BENCH / "out" / "slices" / "full"
        if src.is_dir():
            dst.mkdir(parents=True, exist_ok=True)
            for f in src.glob("*.npy"):
                if not (dst / f.name).exists():
                    (dst / f.name).write_bytes(f.read_bytes())


def plan(datasets, cases):
    """(dataset, cases) in run order: the full volume's first cases right after the crop,
    whose results pick the peers' settings there, and its other cases last."""
    first = [c for c in cases if c.name in FULL_VOLUME_ORDER[:4]]
    rest = [c for c in cases if c.name not in FULL_VOLUME_ORDER[:4]]
    first.sort(key=lambda c: FULL_VOLUME_ORDER.index(c.name))
    rest.sort(key=lambda c: FULL_VOLUME_ORDER.index(c.name))
    out = []
    for d in datasets:
        if d != "ch2":
            out.append((d, cases))
    if "ch2" in datasets:
        pos = 1 + next((i for i, (d, _) in enumerate(out) if d == "ch2crop"), -1)
        out.insert(pos, ("ch2", first))
        out.append(("ch2", rest))
    return [(d, cs) for d, cs in out if cs]


def best_by_key(records):
    """(dataset, case, method) -> the setting dict with the best PSNR."""
    return {k: v.get("setting_dict") for k, v in best_records(records).items()}


def record_key(r):
    """One run: data, noise, method, setting and, for vexa, the settings it resolved."""
    return (r["dataset"], r["case"], r["method"], r["setting"], r.get("settings_hash"))


def best_records(records):
    """(dataset, case, method) -> the record with the best PSNR; for vexa, whose presets are
    not a grid, the latest run (runs of earlier preset values are superseded)."""
    best = {}
    for r in records:
        if "psnr" not in r:
            continue
        key = (r["dataset"], r["case"], r["method"])
        if key not in best or r.get("kind") == "vexa" or r["psnr"] > best[key]["psnr"]:
            best[key] = r
    return best


# --------------------------------------------------------------------------
# report
# --------------------------------------------------------------------------


def fmt_secs(s):
    return f"{s:.2f}" if s < 10 else f"{s:.0f}" if s >= 100 else f"{s:.1f}"


def report(mode, results: Path, out_dir: Path, readme: Path):
    import peers

    records = bl.load_records(results)
    best = best_records(records)
    if not best:
        print("no results to report")
        return
    datasets = sorted({k[0] for k in best}, key=lambda d: (list(DATA_TITLES).index(d) if d in DATA_TITLES else 99))
    case_names = [c.name for c in bl.noise_cases()]
    method_order = ["vexa", "vexa estimated", "vexa sigma", "vexa fast"] + [p.name for p in peers.PEERS]
    parts = [f"Mode `{mode}`, generated {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())} on "
             f"{bl.machine_line()}. Peak memory: {records[-1].get('memory_method', '?')} "
             "(kernel peak RSS reset before each call, so C/C++ allocations count), "
             "as the increase over the resident size before the call. "
             "Peers: best PSNR of their setting grid (oracle choice); vexa: its presets, no per-case tuning."]
    summary_rows = []
    for d in datasets:
        parts.append(f"\n#### {DATA_TITLES.get(d, d)}\n")
        rows = []
        for c in case_names:
            recs = [best[(d, c, m)] for m in method_order if (d, c, m) in best]
            if not recs:
                continue
            top = max(r["psnr"] for r in recs)
            for r in sorted(recs, key=lambda r: -r["psnr"]):
                name = f"**{r['method']}**" if r["psnr"] == top else r["method"]
                rows.append([c, f"{r['noisy_psnr']:.2f}", name, f"{r['psnr']:.2f}", f"{r['ssim']:.3f}",
                             fmt_secs(r["seconds"]), f"{r['peak_mib']:.0f}",
                             r["setting"] if r["kind"] == "peer" else r["setting"].replace("profile=", "")])
            vx = best.get((d, c, "vexa"))
            peer_recs = [r for r in recs if r["kind"] == "peer"]
            if vx and peer_recs:
                bp = max(peer_recs, key=lambda r: r["psnr"])
                ve = best.get((d, c, "vexa estimated"))
                vs = best.get((d, c, "vexa sigma"), vx if not c.startswith(("gauss", "line", "ct")) else None)
                est = ["–"] * 3
                if ve:
                    est = [f"{ve['psnr']:.2f}", fmt_secs(ve["seconds"]),
                           f"{100 * ve.get('estimate_seconds', 0) / ve['seconds']:.0f} %"]
                summary_rows.append([DATA_TITLES.get(d, d), c, f"{vx['psnr']:.2f}", fmt_secs(vx["seconds"]), *est,
                                     f"{vs['psnr']:.2f}" if vs else "–",
                                     f"{bp['method']}", f"{bp['psnr']:.2f}", fmt_secs(bp["seconds"]),
                                     f"{vx['psnr'] - bp['psnr']:+.2f}",
                                     f"{ve['psnr'] - bp['psnr']:+.2f}" if ve else "–"])
        parts.append(bl.markdown_table(
            ["noise", "noisy dB", "method", "PSNR dB", "SSIM", "seconds", "peak MiB", "setting"], rows))
    if summary_rows:
        parts.insert(1, "\n#### vexa (default) against the best peer\n\n"
                     "vexa with the true noise (PSD, or σ for white noise), with the PSD it estimates "
                     "from the noisy data (`vexa.estimate_psd`, its time included; \"est. share\": the "
                     "estimate's part of it) and with the true σ alone (noise taken as white).\n\n"
                     + bl.markdown_table(
            ["data", "noise", "vexa dB", "vexa s", "estimated dB", "estimated s", "est. share", "σ only dB",
             "best peer", "peer dB", "peer s", "Δ dB", "Δ estimated dB"], summary_rows))
    estimate_rows = estimate_table(best, datasets, case_names)
    if estimate_rows:
        parts.insert(2, "\n#### The estimated noise PSD against the true one\n\n"
                     "On vexa's PSD grid (8³ on volumes, 32² on images): total power of the estimate over "
                     "the true one, mean absolute error over the grid relative to the true mean power, "
                     "flatness (`vexa.psd_flatness`) of both, and the estimate's seconds and share of the "
                     "whole call (estimate and denoising).\n\n" + bl.markdown_table(
                         ["data", "noise", "power ratio", "mean abs. error", "flatness est. / true",
                          "estimate s", "share"], estimate_rows))
    errors = [r for r in records if "error" in r]
    if errors:
        parts.append("\nFailed runs: " + "; ".join(
            f"{r['dataset']}/{r['case']}/{r['method']} [{r['setting']}]: {r['error'][:80]}" for r in errors[:10]))
    plots = make_plots(mode, best, datasets, method_order, out_dir)
    if plots:
        rel = out_dir.relative_to(readme.parent)
        parts.append("\n" + "\n".join(f"![{p.stem}]({rel.as_posix()}/{p.name})" for p in plots))
    bl.update_readme(f"{mode}-results", "\n".join(parts), readme)
    print(f"README section '{mode}-results' updated; plots: {[p.name for p in plots]}")


def estimate_table(best, datasets, case_names):
    rows = []
    for d in datasets:
        for c in case_names:
            r = best.get((d, c, "vexa estimated"))
            if not r or "estimate_l1" not in r:
                continue
            case = next(k for k in bl.noise_cases() if k.name == c)
            grid = (8, 8, 8) if len(r.get("shape", [0, 0, 0])) == 3 else (32, 32)
            true = bl.true_psd(grid, case)
            flat_true = float(np.mean(true)) ** 2 / float(np.mean(true * true))
            rows.append([DATA_TITLES.get(d, d), c, f"{r['estimate_power_ratio']:.3f}",
                         f"{r['estimate_l1']:.3f}", f"{r['estimate_flatness']:.3f} / {flat_true:.3f}",
                         fmt_secs(r["estimate_seconds"]),
                         f"{100 * r['estimate_seconds'] / r['seconds']:.0f} %"])
    return rows


def make_plots(mode, best, datasets, method_order, out_dir):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return []
    out_dir.mkdir(parents=True, exist_ok=True)
    out = []
    white = [c for c in bl.noise_cases() if not c.correlated]
    fig, axes = plt.subplots(1, len(datasets), figsize=(3.2 * len(datasets), 3.0), squeeze=False)
    for ax, d in zip(axes[0], datasets):
        for m in method_order:
            pts = [(c.sigma, best[(d, c.name, m)]["psnr"]) for c in white if (d, c.name, m) in best]
            if pts:
                xs, ys = zip(*pts)
                ax.plot(xs, ys, marker="o", ms=3, lw=2.2 if m.startswith("vexa") else 1.1,
                        ls="-" if m.startswith("vexa") else "--", label=m)
        ax.set_title(DATA_TITLES.get(d, d), fontsize=9)
        ax.set_xlabel("σ (white)", fontsize=8)
        ax.tick_params(labelsize=7)
        ax.grid(alpha=0.3)
    axes[0][0].set_ylabel("PSNR dB", fontsize=8)
    axes[0][-1].legend(fontsize=6, loc="upper right")
    fig.tight_layout()
    p = out_dir / f"{mode}_psnr_vs_sigma.png"
    fig.savefig(p, dpi=80)
    plt.close(fig)
    _shrink_png(p, colours=48)
    out.append(p)
    p = plot_noise_cases(mode, best, datasets, out_dir, plt)
    if p is not None:
        out.append(p)
    # the full mode adds only the full volume's montages: the others are the quick mode's
    for d in datasets if mode != "full" else [d for d in datasets if d == "ch2"]:
        for case in ("white0.10", "line5"):
            panels = [("clean", "clean"), ("noisy", "noisy")] + [(m, m) for m in method_order]
            imgs = []
            for label, m in panels:
                f = slice_path(mode, d, case, m)
                if f.exists():
                    title = label if (d, case, m) not in best else f"{label}\n{best[(d, case, m)]['psnr']:.2f} dB"
                    imgs.append((title, np.load(f)))
            if len(imgs) < 3:
                continue
            cols = 5
            rows = (len(imgs) + cols - 1) // cols
            fig, axes = plt.subplots(rows, cols, figsize=(1.6 * cols, 2.05 * rows), squeeze=False)
            for ax in axes.ravel():
                ax.axis("off")
            for ax, (title, im) in zip(axes.ravel(), imgs):
                ax.imshow(np.clip(im, 0, 1), cmap="gray", vmin=0, vmax=1, interpolation="nearest")
                ax.set_title(title, fontsize=7)
            fig.suptitle(f"{DATA_TITLES.get(d, d)}, {case}", fontsize=8)
            fig.tight_layout()
            p = out_dir / f"{mode}_slices_{d}_{case}.png"
            fig.savefig(p, dpi=72)
            plt.close(fig)
            _shrink_png(p)
            out.append(p)
    return out


def plot_noise_cases(mode, best, datasets, out_dir, plt):
    """PSNR per noise case: vexa with the true noise, the estimated PSD and sigma alone,
    against the best peer."""
    cases = [c.name for c in bl.noise_cases()]
    series = [("vexa", "vexa (true noise)", "o"), ("vexa estimated", "vexa (estimated PSD)", "s"),
              ("vexa sigma", "vexa (σ only)", "v")]
    shown = [d for d in datasets if any((d, c, "vexa estimated") in best for c in cases)]
    if not shown:
        return None
    fig, axes = plt.subplots(1, len(shown), figsize=(3.6 * len(shown), 3.2), squeeze=False)
    for ax, d in zip(axes[0], shown):
        xs = list(range(len(cases)))
        for method, label, marker in series:
            pts = []
            for i, c in enumerate(cases):
                r = best.get((d, c, method)) or (best.get((d, c, "vexa")) if method == "vexa sigma"
                                                   and c.startswith("white") else None)
                if r:
                    pts.append((i, r["psnr"]))
            if pts:
                ax.plot(*zip(*pts), marker=marker, ms=4, lw=0, label=label)
        peer = []
        for i, c in enumerate(cases):
            recs = [r for (dd, cc, _), r in best.items() if dd == d and cc == c and r["kind"] == "peer"]
            if recs:
                peer.append((i, max(r["psnr"] for r in recs)))
        if peer:
            ax.plot(*zip(*peer), marker="x", ms=5, lw=0, color="k", label="best peer")
        ax.set_xticks(xs)
        ax.set_xticklabels(cases, rotation=45, fontsize=7)
        ax.set_title(DATA_TITLES.get(d, d), fontsize=9)
        ax.tick_params(labelsize=7)
        ax.grid(alpha=0.3)
    axes[0][0].set_ylabel("PSNR dB", fontsize=8)
    axes[0][-1].legend(fontsize=6)
    fig.tight_layout()
    p = out_dir / f"{mode}_noise_cases.png"
    fig.savefig(p, dpi=80)
    plt.close(fig)
    _shrink_png(p, colours=48)
    return p


def _shrink_png(path, colours=None):
    """Palette PNGs are a fraction of matplotlib's RGBA ones (greys for the montages)."""
    try:
        from PIL import Image
    except ImportError:
        return
    im = Image.open(path)
    if colours is None:
        im = im.convert("L").quantize(40, dither=Image.Dither.NONE)
    else:
        im = im.convert("RGB").quantize(colours, dither=Image.Dither.NONE)
    im.save(path, optimize=True)


def main(argv=None):
    args = parse_args(argv)
    mode = mode_of(args)
    if not args.no_install:
        bl.ensure_dependencies(need_vexa=not args.no_vexa)
    # smoke runs check the harness only: they never touch the committed results
    out_dir = bl.BENCH / "out" / "smoke" if mode == "smoke" else bl.RESULTS
    readme = out_dir / "README.md" if mode == "smoke" else bl.README
    results = args.results or (out_dir / f"{mode}.jsonl")
    if args.fresh and results.exists() and not args.report_only:
        results.unlink()
    if not args.report_only:
        t0 = time.time()
        benchmark(args, mode, results)
        print(f"benchmark finished in {time.time() - t0:.0f} s")
    report(mode, results, out_dir, readme)


if __name__ == "__main__":
    main()
