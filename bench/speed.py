#!/usr/bin/env python3
"""Seconds per stage, megavoxels per second and peak memory of vexa.

    python bench/speed.py                       # 64^3, 128^3, full volume; 1 and 2 threads
    python bench/speed.py --sizes 64 128        # skip the full volume
    python bench/speed.py --callgrind           # where the time goes (valgrind, small run)
    python bench/speed.py --sizes 128 --case gauss1   # low-pass noise: the adapted profile

Input: central crops of the normalised T1 volume (full: 301×370×316 in
array order, 316×370×301 x-fastest) with white noise of σ = 0.10. Each
stage is timed on its own (the Wiener stage on the hard stage's output);
peak memory is the kernel's peak resident size during the stage (VmHWM,
reset before it) above the size before it. Results go to
bench/results/speed.jsonl and the README's speed section.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import benchlib as bl  # noqa: E402
import vexa_runner as vr  # noqa: E402

RESULTS = bl.RESULTS / "speed.jsonl"
CASE = bl.NoiseCase("white0.10", 0.10, "white")


def parse_args(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", nargs="*", default=["64", "128", "full"], help="cube edges or 'full'")
    ap.add_argument("--threads", nargs="*", type=int, default=[1, 2])
    ap.add_argument("--profile", default="default")
    ap.add_argument("--case", default="white0.10", choices=[c.name for c in bl.noise_cases()],
                    help="noise case (correlated ones run with their PSD and the noise adaptation)")
    ap.add_argument("--callgrind", action="store_true", help="profile a small run under callgrind")
    ap.add_argument("--callgrind-size", type=int, default=32)
    ap.add_argument("--report-only", action="store_true")
    return ap.parse_args(argv)


def volume(size: str) -> np.ndarray:
    vol = bl.load_ch2()
    return vol if size == "full" else bl.central_crop(vol, int(size))


def case_named(name: str) -> bl.NoiseCase:
    return next(c for c in bl.noise_cases() if c.name == name)


def profile_label(preset: str, case: bl.NoiseCase) -> str:
    return preset if case.name == CASE.name else f"{preset}, {case.name} noise"


def measure(size: str, threads: int, preset: str, case: bl.NoiseCase = CASE) -> dict:
    clean = volume(size)
    noisy = clean + bl.make_noise(clean.shape, case, bl.seed_for(f"speed{size}", case))
    prof = vr.profile(preset, num_threads=threads)
    basic, t_hard, m_hard = bl.timed(vr.run, noisy, case, prof, "hard", progress=False)
    final, t_wie, m_wie = bl.timed(vr.run, noisy, case, prof, "wiener", basic_estimate=basic, progress=False)
    mvox = noisy.size / 1e6
    return dict(size=size, shape=list(noisy.shape), threads=threads, profile=profile_label(preset, case),
                hard_s=t_hard, wiener_s=t_wie, total_s=t_hard + t_wie, mvox=mvox,
                mvox_per_s=mvox / (t_hard + t_wie), hard_peak_mib=m_hard, wiener_peak_mib=m_wie,
                input_mib=noisy.nbytes / 2**20, psnr_basic=bl.psnr(clean, basic),
                psnr_final=bl.psnr(clean, final), when=time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()))


CALLGRIND_SCRIPT = """
import sys, numpy as np
sys.path.insert(0, {bench!r})
import benchlib as bl, vexa_runner as vr
clean = bl.central_crop(bl.load_ch2(), {size})
noisy = clean + bl.make_noise(clean.shape, bl.NoiseCase("white0.10", 0.10, "white"), 1)
prof = vr.profile({preset!r}, num_threads=1)
vr.run(noisy, bl.NoiseCase("white0.10", 0.10, "white"), prof, "all", progress=False)
"""


def callgrind(size: int, preset: str, top: int = 15) -> list[tuple[float, str]]:
    """Top functions by instructions executed, inside the library only."""
    if shutil.which("valgrind") is None or shutil.which("callgrind_annotate") is None:
        raise RuntimeError("valgrind is not installed: run tools/install_bench_deps.sh")
    with tempfile.TemporaryDirectory() as tmp:
        script = Path(tmp) / "run.py"
        script.write_text(CALLGRIND_SCRIPT.format(bench=str(bl.BENCH), size=size, preset=preset))
        out = Path(tmp) / "callgrind.out"
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, str(script)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        text = subprocess.run(["callgrind_annotate", "--inclusive=no", str(out)], check=True,
                              capture_output=True, text=True).stdout
    rows = []
    total = None
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+)\s+\(\s*([\d.]+)%\)\s+(.*)", line)
        if m is None:
            continue
        pct, where = float(m.group(2)), m.group(3)
        if "PROGRAM TOTALS" in where:
            total = m.group(1)
            continue
        rows.append((pct, where))
    lib = [(p, w) for p, w in rows if "libvexa" in w]
    return (lib or rows)[:top], sum(p for p, w in rows if "libvexa" in w), total


def report(profile_name: str):
    recs = [r for r in bl.load_records(RESULTS) if "hard_s" in r]
    latest = {}
    for r in recs:
        latest[(r["size"], r["threads"], r["profile"])] = r
    order = {"64": 0, "128": 1, "full": 2}
    rows = []
    for (size, threads, prof), r in sorted(latest.items(), key=lambda kv: (order.get(kv[0][0], 9), kv[0][2], kv[0][1])):
        shape = "×".join(str(s) for s in r["shape"][::-1])
        rows.append([shape, prof, threads, f"{r['hard_s']:.2f}", f"{r['wiener_s']:.2f}", f"{r['total_s']:.2f}",
                     f"{r['mvox_per_s']:.3f}", f"{r['hard_peak_mib']:.0f}", f"{r['wiener_peak_mib']:.0f}",
                     f"{r['input_mib']:.0f}", f"{r['psnr_final']:.2f}"])
    parts = [f"Machine: {bl.machine_line()}; shared with other work, so figures vary by some 10 %. "
             "Sizes are x×y×z (x fastest). White noise σ = 0.10 on the normalised T1 volume (rows naming another "
             "noise case: that noise, σ = 0.10, run with its PSD, so with the noise adaptation); the Wiener stage "
             "is timed on the hard stage's output. Peak MiB: kernel peak RSS (VmHWM) during the stage above "
             "the resident size before it (input and output arrays of the caller excluded).\n"]
    parts.append(bl.markdown_table(["size (x×y×z)", "profile", "threads", "hard s", "Wiener s", "total s",
                                    "Mvox/s", "hard peak MiB", "Wiener peak MiB", "input MiB", "PSNR dB"], rows))
    cg = bl.RESULTS / "callgrind.json"
    if cg.exists():
        c = json.loads(cg.read_text())
        parts.append(f"\nWhere the time goes: `valgrind --tool=callgrind` on a {c['size']}³ crop, both stages, "
                     f"1 thread, profile `{c['profile']}` (instructions executed, exclusive; the library's "
                     f"share of the whole Python process: {c['lib_share']:.1f} %):\n")
        parts.append(bl.markdown_table(["% of all instructions", "function"],
                                       [[f"{p:.2f}", "`" + re.sub(r"\s*\[[^\]]*\]$", "", w.split(":", 1)[-1]).strip()[:150] + "`"]
                                        for p, w in c["top"]]))
    prof_file = bl.RESULTS / "speed_profile.json"
    if prof_file.exists():
        parts.append("\nProfile used (library order x, y, z):\n\n```\n" + prof_file.read_text().strip() + "\n```")
    bl.update_readme("speed", "\n".join(parts))
    print("README section 'speed' updated")


def main(argv=None):
    args = parse_args(argv)
    if not args.report_only:
        import dataclasses

        case = case_named(args.case)
        vexa = vr.import_vexa()
        prof = vr.profile(args.profile)
        noise = vr.noise_argument(np.zeros((64, 64, 64), np.float32), case, prof)
        flatness = None if np.isscalar(noise) else vexa.psd_flatness(noise)
        resolved = prof.resolve(3, flatness)
        (bl.RESULTS).mkdir(parents=True, exist_ok=True)
        label = profile_label(args.profile, case)
        kept = {}
        path = bl.RESULTS / "speed_profile.json"
        if path.exists():
            for line in path.read_text().splitlines():
                if ": " in line and not line.startswith(label + ": "):
                    kept[line.split(": ", 1)[0]] = line
        kept[label] = f"{label}: " + json.dumps(dataclasses.asdict(resolved), default=str, indent=None)
        path.write_text("\n".join(kept.values()) + "\n")
        if args.callgrind:
            top, share, total = callgrind(args.callgrind_size, args.profile)
            (bl.RESULTS / "callgrind.json").write_text(json.dumps(
                dict(size=args.callgrind_size, profile=args.profile, top=top, lib_share=share, total=total)))
            for p, w in top:
                print(f"{p:6.2f}%  {w}")
        else:
            for size in args.sizes:
                for threads in args.threads:
                    r = measure(size, threads, args.profile, case)
                    bl.append_record(RESULTS, r)
                    print(f"{size:>5} threads {threads}: hard {r['hard_s']:.2f} s, Wiener {r['wiener_s']:.2f} s, "
                          f"{r['mvox_per_s']:.3f} Mvox/s, peak {r['hard_peak_mib']:.0f}/{r['wiener_peak_mib']:.0f} "
                          f"MiB, PSNR {r['psnr_final']:.2f}", flush=True)
    report(args.profile)


if __name__ == "__main__":
    main()
