"""Checks of the benchmark harness itself: python -m pytest -q bench/test_bench.py

A fault here would make every figure of bench/README.md wrong without any
error: noise of the wrong level or spectrum, a PSD that does not describe
the noise, peers called on a wrong scale, results sections clobbered.
"""

import importlib.util
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
import benchlib as bl  # noqa: E402
import peers  # noqa: E402
import tune  # noqa: E402

CASES = {c.name: c for c in bl.noise_cases()}


class TestNoise:
    @pytest.mark.parametrize("name", ["white0.05", "white0.20", "gauss1", "line5", "ct"])
    @pytest.mark.parametrize("shape", [(128, 128), (32, 32, 32)])
    def test_noise_has_the_case_sigma(self, name, shape):
        n = bl.make_noise(shape, CASES[name], 3)
        assert n.dtype == np.float32
        assert abs(n.std() / CASES[name].sigma - 1) < 0.03

    @pytest.mark.parametrize("name", ["gauss1", "line5", "ct"])
    def test_empirical_spectrum_matches_true_psd(self, name):
        shape = (64, 64)
        case = CASES[name]
        psd = bl.true_psd(shape, case)
        acc = np.zeros(shape)
        for seed in range(40):
            acc += np.abs(np.fft.fftn(bl.make_noise(shape, case, seed).astype(np.float64))) ** 2
        acc /= 40
        # compare on frequencies that carry power; 40 draws give ~16 % scatter per bin
        strong = psd > 0.05 * psd.max()
        assert abs(np.median(acc[strong] / psd[strong]) - 1) < 0.05
        # the PSD's noise variance is the noise's (ct: scaled on a 256-point grid, not this one)
        assert abs(psd.sum() / psd.size**2 / case.sigma**2 - 1) < (1e-6 if name == "ct" else 1e-9)

    def test_ct_noise_is_white_along_z_and_ramp_filtered_in_plane(self):
        n = bl.make_noise((64, 64, 64), CASES["ct"], 2).astype(np.float64)
        along_z = np.mean(n[1:] * n[:-1]) / n.var()
        assert abs(along_z) < 0.03
        # the ramp removes the zero in-plane frequency: every z slice sums to zero
        assert np.abs(n.mean(axis=(1, 2))).max() < 1e-6 * n.std()
        psd = bl.true_psd((8, 8, 8), CASES["ct"])
        assert psd[:, 0, 0].max() == 0.0  # no power at zero in-plane frequency
        np.testing.assert_allclose(psd[3], psd[0])  # the same in-plane spectrum at every z frequency

    def test_line_kernel_correlates_along_the_last_axis_only(self):
        n = bl.make_noise((256, 256), CASES["line5"], 1).astype(np.float64)
        along = np.mean(n[:, 1:] * n[:, :-1]) / n.var()
        across = np.mean(n[1:, :] * n[:-1, :]) / n.var()
        assert along == pytest.approx(0.8, abs=0.03)  # 4 of 5 taps shared
        assert abs(across) < 0.03

    def test_seeds_are_fixed_and_differ_between_cases(self):
        a = bl.seed_for("camera", CASES["white0.10"])
        assert a == bl.seed_for("camera", CASES["white0.10"])
        assert a != bl.seed_for("camera", CASES["white0.20"])
        assert a != bl.seed_for("astronaut", CASES["white0.10"])

    @pytest.mark.skipif(importlib.util.find_spec("vexa") is None, reason="vexa host not importable")
    def test_host_psd_from_kernel_agrees_with_the_noise(self):
        import vexa

        for shape in [(8, 8, 8), (32, 32)]:
            for name in ("gauss1", "line5"):
                kernel = bl.noise_kernel(CASES[name], len(shape))
                host = vexa.psd_from_kernel(kernel, shape)
                mine = bl.true_psd(shape, CASES[name])
                # a 9-tap kernel folded on an 8-grid samples the same spectrum
                np.testing.assert_allclose(host, mine, rtol=1e-4, atol=1e-6 * mine.max())


class TestMetricsAndMemory:
    def test_psnr_of_known_error(self):
        clean = np.zeros((10, 10), np.float32)
        assert bl.psnr(clean, clean + 0.1) == pytest.approx(20.0, abs=1e-4)
        assert bl.psnr(clean, clean) == float("inf")

    def test_peak_memory_sees_an_allocation_freed_inside(self):
        def work():
            a = np.ones(100 * 2**20 // 8)  # 100 MiB, freed before the block ends
            return float(a.sum())

        _, _, mib = bl.timed(work)
        assert 90 < mib < 200
        _, _, idle = bl.timed(lambda: None)
        assert idle < 5

    def test_normalise_and_crop(self):
        a = np.arange(1000, dtype=np.uint8).reshape(10, 10, 10) % 200 + 5
        n = bl.normalise(a)
        assert n.min() == 0 and n.max() == 1
        c = bl.central_crop(np.arange(5**3).reshape(5, 5, 5), 3)
        assert c[0, 0, 0] == 1 * 25 + 1 * 5 + 1
        with pytest.raises(ValueError, match="crop size"):
            bl.central_crop(np.zeros((4, 4)), 5)


class TestReadmeSections:
    def test_replace_keeps_other_text_and_is_idempotent(self):
        text = "intro\n<!-- BEGIN a -->\nold\n<!-- END a -->\nmiddle\n<!-- BEGIN b -->\nkeep\n<!-- END b -->\ntail\n"
        once = bl.replace_section(text, "a", "new $1 \\1 table")
        assert "old" not in once and "new $1 \\1 table" in once
        assert "intro" in once and "middle" in once and "keep" in once and "tail" in once
        assert bl.replace_section(once, "a", "new $1 \\1 table") == once

    def test_missing_section_is_appended(self):
        out = bl.replace_section("# title\n", "quick-results", "rows")
        assert out.startswith("# title\n") and out.rstrip().endswith("<!-- END quick-results -->")


class TestPeerCalls:
    def test_uint8_map_is_lossless_to_half_a_step(self):
        x = np.random.default_rng(0).normal(0.5, 0.3, (50, 50)).astype(np.float32)
        u8, lo, scale = peers.to_uint8(x)
        assert u8.min() == 0 and u8.max() == 255
        assert np.max(np.abs(u8 / scale + lo - x)) <= 0.5 / scale + 1e-6

    def test_opencv_result_is_back_on_the_data_scale(self):
        pytest.importorskip("cv2")
        x = np.full((64, 64), 0.3, np.float32)
        x += np.random.default_rng(1).normal(0, 0.05, x.shape).astype(np.float32)
        out = peers._opencv(x, 0.05, {"h": 1.0})
        assert out.shape == x.shape
        assert abs(out.mean() - 0.3) < 0.01 and out.std() < 0.03

    def test_dipy_offset_keeps_zero_regions_at_zero(self):
        pytest.importorskip("dipy")
        clean = np.zeros((24, 24, 24), np.float32)
        clean[6:18, 6:18, 6:18] = 0.8
        noisy = clean + bl.make_noise(clean.shape, CASES["white0.10"], 2)
        setting = {"patch_radius": 1, "block_radius": 2}
        shifted = peers._dipy(noisy, 0.10, setting)
        background = clean == 0
        assert abs(shifted[background].mean()) < 0.03
        assert abs(shifted[~background].mean() - 0.8) < 0.03

    @pytest.mark.parametrize("ndim", [2, 3])
    def test_every_peer_runs_and_denoises(self, ndim):
        pytest.importorskip("skimage")
        clean = bl.load_dataset("smoke3d" if ndim == 3 else "smoke2d")
        noisy = clean + bl.make_noise(clean.shape, CASES["white0.10"], 4)
        for p in peers.PEERS:
            best = max(bl.psnr(clean, p.run(noisy, 0.10, s)) for s in p.grid(ndim, True))
            assert best > bl.psnr(clean, noisy) + 3, p.name


class TestTuningChoice:
    def test_time_is_traded_at_the_given_rate_and_errors_are_skipped(self):
        results = [(2, {"psnr": 30.0, "seconds": 8.0}), (3, {"psnr": 29.9, "seconds": 4.0}),
                   (4, {"psnr": 29.5, "seconds": 2.0}), (5, {"error": "bad"})]
        assert tune.choose(results, 0.0) == 2  # quality only
        assert tune.choose(results, 0.15) == 3  # 0.1 dB does not pay for twice the time
        assert tune.choose(results, 0.5) == 4
        assert tune.choose(results, 0.05) == 2
        assert tune.choose([(1, {"error": "x"})], 0.1) is None


@pytest.mark.skipif(importlib.util.find_spec("vexa") is None, reason="vexa host not importable")
class TestProfileOverrides:
    def test_stage_prefix_plain_name_and_unknown(self):
        import vexa_runner as vr

        base = vr.profile("default")
        before = repr(base)
        p = vr.apply_overrides(base, {"hard.threshold": 3.1, "max_group_size": 8, "num_threads": 1})
        assert p.hard.threshold == 3.1 and p.wiener.max_group_size == 8 and p.hard.max_group_size == 8
        assert p.num_threads == 1 and p.wiener.step == base.wiener.step
        assert repr(base) == before  # the caller's profile is not changed
        with pytest.raises(ValueError, match="unknown profile setting"):
            vr.profile("default", no_such=1)


class TestComparisonBookkeeping:
    """The tables are built from the results file: wrong bookkeeping shows wrong winners."""

    def test_full_volume_main_cases_follow_the_crop_and_the_rest_come_last(self):
        import compare

        order = [(d, [c.name for c in cs]) for d, cs in compare.plan(compare.FULL_DATA, bl.noise_cases())]
        assert order[0][0] == "ch2crop"
        assert order[1] == ("ch2", ["white0.10", "gauss1", "line5", "ct"])
        assert order[-1][0] == "ch2" and sorted(order[-1][1]) == ["white0.05", "white0.15", "white0.20"]
        assert [d for d, _ in order].count("camera") == 1
        assert all(d != "ch2" for d, _ in compare.plan(compare.QUICK_DATA, bl.noise_cases()))

    def test_best_record_per_method_ignores_failed_runs(self):
        import compare

        recs = [dict(dataset="d", case="c", method="m", setting="a", psnr=30.0, setting_dict={"a": 1}),
                dict(dataset="d", case="c", method="m", setting="b", psnr=31.0, setting_dict={"b": 1}),
                dict(dataset="d", case="c", method="m", setting="e", error="boom"),
                dict(dataset="d", case="c2", method="m", setting="a", psnr=20.0, setting_dict={"a": 1})]
        best = compare.best_records(recs)
        assert best[("d", "c", "m")]["setting"] == "b" and best[("d", "c2", "m")]["psnr"] == 20.0
        assert compare.best_by_key(recs)[("d", "c", "m")] == {"b": 1}

    def test_a_new_vexa_run_supersedes_runs_of_other_settings(self, tmp_path, monkeypatch):
        import compare

        old = dict(dataset="d", case="c", method="vexa", kind="vexa", setting="profile=default",
                   psnr=31.0, settings_hash="aaa")
        new = dict(old, psnr=30.5, settings_hash="bbb")
        assert compare.best_records([old, new])[("d", "c", "vexa")]["settings_hash"] == "bbb"
        assert compare.record_key(old) != compare.record_key(new)
        # a quick run made with the new settings is adopted by the full mode next to the old one
        quick, full = tmp_path / "quick.jsonl", tmp_path / "full.jsonl"
        bl.append_record(full, dict(old, dataset="camera"))
        bl.append_record(quick, dict(new, dataset="camera"))
        monkeypatch.setattr(bl, "RESULTS", tmp_path)
        monkeypatch.setattr(bl, "BENCH", tmp_path)
        compare.adopt_quick_runs(full, ["camera"])
        best = compare.best_records(bl.load_records(full))
        assert best[("camera", "c", "vexa")]["settings_hash"] == "bbb"

    def test_settings_hash_follows_the_noise_adaptation(self):
        import vexa_runner as vr

        cases = {c.name: c for c in bl.noise_cases()}
        vol = np.zeros((16, 16, 16), np.float32)
        h = {n: vr.settings_hash(vol, cases[n], vr.profile("default")) for n in ("white0.10", "white0.20", "gauss1")}
        assert h["white0.10"] == h["white0.20"] != h["gauss1"]
        off = vr.profile("default", adapt_to_noise=False)
        assert vr.settings_hash(vol, cases["gauss1"], off) == h["white0.10"]

    def test_runs_with_an_estimated_psd_follow_the_estimator(self, monkeypatch):
        import vexa_runner as vr

        case = {c.name: c for c in bl.noise_cases()}["white0.10"]
        vol = np.random.default_rng(0).standard_normal((32, 32, 32)).astype(np.float32)
        prof = vr.profile("default")
        before = vr.settings_hash(vol, case, prof, "estimated")
        true = vr.settings_hash(vol, case, prof)
        monkeypatch.setattr(vr, "estimator_fingerprint", lambda: "another estimator")
        assert vr.settings_hash(vol, case, prof, "estimated") != before
        assert vr.settings_hash(vol, case, prof) == true  # runs given the noise stay valid

    def test_quick_runs_are_adopted_once(self, tmp_path, monkeypatch):
        import compare

        quick = tmp_path / "quick.jsonl"
        full = tmp_path / "full.jsonl"
        rec = dict(dataset="camera", case="white0.10", method="Gaussian", setting="std=1.0", psnr=25.0)
        bl.append_record(quick, rec)
        bl.append_record(quick, dict(rec, dataset="smoke2d"))  # not a dataset of this run
        monkeypatch.setattr(bl, "RESULTS", tmp_path)
        monkeypatch.setattr(bl, "BENCH", tmp_path)
        compare.adopt_quick_runs(full, ["camera"])
        compare.adopt_quick_runs(full, ["camera"])
        got = bl.load_records(full)
        assert len(got) == 1 and got[0]["adopted_from"] == "quick" and got[0]["dataset"] == "camera"

    def test_report_marks_the_winner_and_compares_vexa_with_the_best_peer(self, tmp_path):
        import compare

        base = dict(dataset="camera", case="white0.10", noisy_psnr=20.0, ssim=0.8, seconds=1.0, peak_mib=1.0)
        results = tmp_path / "r.jsonl"
        for method, kind, p in (("vexa", "vexa", 30.0), ("vexa estimated", "vexa", 29.5),
                                ("Gaussian", "peer", 25.0), ("skimage TV", "peer", 28.5)):
            bl.append_record(results, dict(base, method=method, kind=kind, psnr=p, setting="x=1",
                                           estimate_seconds=0.1))
        readme = tmp_path / "README.md"
        readme.write_text("# t\n")
        compare.report("quick", results, tmp_path, readme)
        text = readme.read_text()
        # white noise: sigma alone is the true noise, so the sigma column repeats vexa's
        assert ("| camera 512² | white0.10 | 30.00 | 1.00 | 29.50 | 1.00 | 10 % | 30.00 | skimage TV "
                "| 28.50 | 1.00 | +1.50 | +1.00 |") in text
        assert "**vexa**" in text and "**Gaussian**" not in text


class TestSpeedReport:
    def test_perf_rows_keep_their_order_and_kernel_symbols(self):
        import speed

        text = """# Samples: 1K of event 'cycles'
#
    27.70%  [k] clear_page_erms
    15.02%  [.] vexa::blockMatching<float>                      -      -
     0.10%  [.] main
"""
        rows = speed.parse_perf(text)
        assert rows == [(27.70, "clear_page_erms"), (15.02, "vexa::blockMatching<float>"), (0.10, "main")]

    def test_rows_pair_old_and_new_and_give_the_ratio(self, tmp_path):
        import speed

        results = tmp_path / "r.jsonl"
        base = dict(size="128", case="white0.10", threads=2, voxels=2_000_000, input_mib=8.0,
                    old_commit="abc1234", when="t", psnr=32.5, psnr_basic=31.0)
        bl.append_record(results, dict(base, build="old", hard_s=3.0, wiener_s=6.0, total_s=9.0,
                                       hard_peak_mib=500.0, wiener_peak_mib=950.0))
        bl.append_record(results, dict(base, build="new", hard_s=1.0, wiener_s=2.0, total_s=3.0,
                                       hard_peak_mib=20.0, wiener_peak_mib=30.0))
        # A row with only one build is left out rather than shown half empty.
        bl.append_record(results, dict(base, size="full", build="old", hard_s=1, wiener_s=1, total_s=2,
                                       hard_peak_mib=1, wiener_peak_mib=1))
        readme = tmp_path / "README.md"
        readme.write_text("# t\n")
        speed.report(results, readme)
        text = readme.read_text()
        assert "| 128³ | white0.10 | 2 | 3.00 / 1.00 | 6.00 / 2.00 | 9.00 / 3.00 | **3.00×** |  |" in text
        assert "| 950 / 30 |" in text and "abc1234" in text
        assert "316×370×301" not in text
        assert "Two threads against one" not in text  # no new build at both thread counts

    def test_thread_scaling_pairs_runs_of_one_invocation_only(self, tmp_path):
        import speed

        results = tmp_path / "r.jsonl"
        base = dict(size="full", case="gauss1", voxels=35_000_000, input_mib=134.0, old_commit="abc1234",
                    psnr=28.9, psnr_basic=28.0, hard_peak_mib=1.0, wiener_peak_mib=1.0, build="new")
        def run(when, threads, total, cpu):
            bl.append_record(results, dict(base, when=when, threads=threads, hard_s=total / 3,
                                           wiener_s=2 * total / 3, total_s=total, cpu_s=cpu))
        run("2026-01-01 10:00 UTC", 2, 100.0, 190.0)
        run("2026-01-01 10:00 UTC", 1, 185.0, 184.0)
        run("2026-01-02 09:00 UTC", 2, 50.0, 99.0)  # a later run without its one-thread partner
        run("2026-01-02 12:00 UTC", 1, 300.0, 300.0)
        # the old build never pairs with the new one
        bl.append_record(results, dict(base, build="old", when="2026-01-02 09:00 UTC", threads=1,
                                       hard_s=1, wiener_s=1, total_s=2, cpu_s=2))
        rows = speed.scaling_rows(bl.load_records(results))
        assert rows == [["316×370×301", "gauss1", "185.00", "100.00", "**1.85×**", "1.90",
                         "184.0 / 190.0", "2026-01-01 10:00 UTC"]]
        # The old/new table pairs runs of one invocation: the later new-only
        # run at two threads does not replace the new half of the 10:00 pair.
        bl.append_record(results, dict(base, build="old", when="2026-01-01 10:00 UTC", threads=2,
                                       hard_s=100, wiener_s=200, total_s=300.0, cpu_s=590.0))
        readme = tmp_path / "README.md"
        readme.write_text("# t\n")
        speed.report(results, readme)
        text = readme.read_text()
        assert "| 316×370×301 | gauss1 | 185.00 | 100.00 | **1.85×** | 1.90 |" in text
        assert "| 300.00 / 100.00 | **3.00×** | 590.0 / 190.0 |" in text
        assert "| 316×370×301 | gauss1 | 1 |" not in text  # the one-thread runs have no old partner


class TestMultiscaleTable:
    def test_paths_measured_in_different_runs_are_merged_per_case(self):
        import multiscale

        common = dict(dataset="ch2", case="gauss1", auto=True)
        records = [
            dict(common, single_psnr=28.0, single_seconds=300.0, single_cpu=500.0),
            dict(common, multi_psnr=29.5, multi_seconds=200.0, multi_cpu=350.0),
            dict(dataset="ch2crop", case="white0.10", auto=False, multi_psnr=31.0,
                 multi_seconds=9.0, multi_cpu=7.0),
        ]
        text = multiscale.readme_table(records)
        assert "| ch2 | gauss1 | on | 28.00 | 300.0 (500.0) | 29.50 | 200.0 (350.0) | +1.50 |" in text
        # a case with one path only shows no gain
        assert "| ch2crop | white0.10 | off |  |  | 31.00 | 9.0 (7.0) |  |" in text
