"""The vexa command: round trips through the three file formats, demo, info, errors."""

import struct
import subprocess
import sys
import zlib

import numpy as np
import pytest
from conftest import psnr, smooth_image

from vexa.demo import phantom, write_png


def run_cli(*args, check=True):
    proc = subprocess.run(
        [sys.executable, "-m", "vexa", *map(str, args)], capture_output=True, text=True, timeout=300
    )
    if check:
        assert proc.returncode == 0, proc.stderr
    return proc


@pytest.fixture(scope="module")
def volume():
    clean = smooth_image((20, 24, 24)).astype(np.float32)
    noisy = clean + 0.1 * np.random.default_rng(11).standard_normal(clean.shape).astype(np.float32)
    return clean, noisy


def test_npy_round_trip(tmp_path, volume):
    clean, noisy = volume
    src, dst = tmp_path / "in.npy", tmp_path / "out.npy"
    np.save(src, noisy)
    run_cli("denoise", src, dst, "--sigma", 0.1, "--profile", "fast", "--threads", 2, "--quiet")
    out = np.load(dst)
    assert out.shape == noisy.shape and out.dtype == np.float32
    assert psnr(clean, out) > psnr(clean, noisy) + 4.0


def test_stages_one_at_a_time_match_the_full_run(tmp_path, volume):
    _, noisy = volume
    np.save(tmp_path / "in.npy", noisy)
    common = ["--sigma", 0.1, "--profile", "fast", "--threads", 2, "--quiet"]
    run_cli("denoise", tmp_path / "in.npy", tmp_path / "full.npy", *common)
    run_cli("denoise", tmp_path / "in.npy", tmp_path / "basic.npy", "--stage", "hard", *common)
    run_cli(
        "denoise",
        tmp_path / "in.npy",
        tmp_path / "final.npy",
        "--stage",
        "wiener",
        "--basic",
        tmp_path / "basic.npy",
        *common,
    )
    np.testing.assert_allclose(
        np.load(tmp_path / "final.npy"), np.load(tmp_path / "full.npy"), atol=1e-4
    )


def test_nifti_round_trip_keeps_header_and_affine(tmp_path, volume):
    nib = pytest.importorskip("nibabel")
    clean, noisy = volume
    affine = np.diag([0.5, 0.7, 1.2, 1.0])
    affine[:3, 3] = [10.0, -4.0, 3.0]
    img = nib.Nifti1Image(noisy * 1000.0, affine)
    img.header.set_xyzt_units("mm", "sec")
    img.header["descrip"] = b"vexa test"
    src, dst = tmp_path / "in.nii.gz", tmp_path / "out.nii.gz"
    nib.save(img, str(src))
    run_cli("denoise", src, dst, "--sigma", 100.0, "--profile", "fast", "--threads", 2, "--quiet")
    res = nib.load(str(dst))
    np.testing.assert_allclose(res.affine, affine)
    assert res.header.get_xyzt_units() == ("mm", "sec")
    assert res.header["descrip"].tobytes().startswith(b"vexa test")
    out = np.asarray(res.dataobj) / 1000.0
    assert psnr(clean, out) > psnr(clean, noisy) + 4.0


def test_tiff_stack_round_trip_with_estimated_sigma(tmp_path, volume):
    tifffile = pytest.importorskip("tifffile")
    clean, noisy = volume
    src, dst = tmp_path / "in.tif", tmp_path / "out.tif"
    tifffile.imwrite(str(src), (np.clip(noisy, 0, 1) * 60000).astype(np.uint16))
    run_cli("denoise", src, dst, "--estimate-sigma", "--profile", "fast", "--threads", 2, "--quiet")
    out = tifffile.imread(str(dst)) / 60000.0
    assert out.shape == noisy.shape
    assert psnr(clean, out) > psnr(clean, noisy) + 3.0


def test_psd_and_kernel_files(tmp_path, volume):
    _, noisy = volume
    src = tmp_path / "in.npy"
    np.save(src, noisy[:, :, :])
    np.save(tmp_path / "psd.npy", np.full((8, 8, 8), 0.01 * 512, np.float32))
    k = np.zeros((1, 1, 1))
    k[0, 0, 0] = 0.1
    np.save(tmp_path / "k.npy", k)
    run_cli(
        "denoise",
        src,
        tmp_path / "a.npy",
        "--psd",
        tmp_path / "psd.npy",
        "--profile",
        "fast",
        "--quiet",
    )
    run_cli(
        "denoise",
        src,
        tmp_path / "b.npy",
        "--kernel",
        tmp_path / "k.npy",
        "--profile",
        "fast",
        "--quiet",
    )
    a, b = np.load(tmp_path / "a.npy"), np.load(tmp_path / "b.npy")
    np.testing.assert_allclose(a, b, atol=1e-4)


def test_low_pass_kernel_reports_the_adapted_settings_and_no_adapt_keeps_the_preset(
    tmp_path, volume
):
    _, noisy = volume
    src = tmp_path / "in.npy"
    np.save(src, noisy)
    g = np.exp(-0.5 * np.arange(-3, 4) ** 2)
    k = g[:, None, None] * g[None, :, None] * g[None, None, :]
    np.save(tmp_path / "k.npy", 0.1 * k / np.sqrt(np.sum(k**2)))
    common = ("--kernel", tmp_path / "k.npy", "--profile", "fast", "--threads", "2")
    shown = run_cli("denoise", src, tmp_path / "a.npy", *common).stdout
    assert "flatness 0.0" in shown and "block_size=6" in shown and "--no-adapt" in shown
    kept = run_cli("denoise", src, tmp_path / "b.npy", *common, "--no-adapt").stdout
    assert "flatness" not in kept
    a, b = np.load(tmp_path / "a.npy"), np.load(tmp_path / "b.npy")
    assert np.max(np.abs(a - b)) > 1e-3  # the two runs used different blocks
    white = run_cli("denoise", src, tmp_path / "c.npy", "--sigma", "0.1", "--threads", "2").stdout
    assert "flatness" not in white


@pytest.mark.parametrize(
    "args, text",
    [
        (["denoise", "missing.npy", "out.npy", "--sigma", "1"], "no such file"),
        (["denoise", "in.npy", "out.xyz", "--sigma", "1"], "unknown file type"),
        (["denoise", "in.npy", "out.npy", "--sigma", "-1"], "sigma as a noise standard deviation"),
        (["denoise", "flat.npy", "out.npy", "--sigma", "1"], "2 or 3 spatial axes"),
    ],
)
def test_errors_are_one_line_with_a_non_zero_exit(tmp_path, args, text):
    np.save(tmp_path / "in.npy", np.ones((16, 16), np.float32))
    np.save(tmp_path / "flat.npy", np.ones(16, np.float32))
    proc = subprocess.run(
        [sys.executable, "-m", "vexa", *args],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=120,
    )
    assert proc.returncode == 1
    lines = proc.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("vexa: ") and text in lines[0], proc.stderr


def test_noise_options_exclude_each_other(tmp_path):
    proc = run_cli("denoise", "a.npy", "b.npy", "--sigma", 0.1, "--estimate-sigma", check=False)
    assert proc.returncode == 2 and "not allowed with" in proc.stderr


def test_info():
    out = run_cli("info").stdout
    assert out.startswith("vexa ")
    assert "libvexa_" in out and "threads: " in out


def test_demo_writes_a_png(tmp_path):
    png = tmp_path / "demo.png"
    out = run_cli(
        "demo", "--size", 24, "--profile", "fast", "--threads", 2, "--quiet", "--output", png
    ).stdout
    assert "noisy" in out and "final estimate" in out and "s" in out
    noisy_psnr = float(out.split("noisy")[1].split("PSNR")[1].split("dB")[0])
    final_psnr = float(out.split("final estimate")[1].split("PSNR")[1].split("dB")[0])
    assert final_psnr > noisy_psnr + 3.0
    assert png.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


def _decode_png(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, chunks = 8, {}
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos : pos + 4])
        kind = data[pos + 4 : pos + 8]
        body = data[pos + 8 : pos + 8 + length]
        (crc,) = struct.unpack(">I", data[pos + 8 + length : pos + 12 + length])
        assert crc == zlib.crc32(kind + body) & 0xFFFFFFFF
        chunks[kind] = chunks.get(kind, b"") + body
        pos += 12 + length
    w, h, depth, colour = struct.unpack(">IIBB", chunks[b"IHDR"][:10])
    raw = zlib.decompress(chunks[b"IDAT"])
    rows = [raw[r * (w + 1) : (r + 1) * (w + 1)] for r in range(h)]
    assert all(row[0] == 0 for row in rows)
    return depth, colour, np.array([list(row[1:]) for row in rows], dtype=np.uint8)


def test_png_writer_round_trip(tmp_path):
    img = np.linspace(0.0, 1.0, 35).reshape(5, 7)
    img[0, 0] = -3.0  # clipped
    write_png(tmp_path / "a.png", img)
    depth, colour, pixels = _decode_png((tmp_path / "a.png").read_bytes())
    assert (depth, colour) == (8, 0)
    expected = np.round(np.clip(img, 0, 1) * 255).astype(np.uint8)
    np.testing.assert_array_equal(pixels, expected)


def test_phantom_is_piecewise_smooth_in_unit_range():
    vol = phantom(32)
    assert vol.shape == (32, 32, 32) and vol.dtype == np.float32
    assert 0.0 <= vol.min() and vol.max() <= 1.0
    assert len(np.unique(np.round(vol, 2))) > 5
