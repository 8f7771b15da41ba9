"""No file is ever lost: outputs are written whole or not at all, existing files are
refused unless --overwrite, unreadable inputs give one line and exit status 1."""

import gzip
import os
import subprocess
import sys

import numpy as np
import pytest

from vexa import io as vio


def run_cli(*args):
    return subprocess.run(
        [sys.executable, "-m", "vexa", *map(str, args)], capture_output=True, text=True, timeout=300
    )


def one_line_failure(proc):
    assert proc.returncode == 1, proc.stderr
    lines = proc.stderr.strip().splitlines()
    assert len(lines) == 1, proc.stderr
    assert "Traceback" not in proc.stderr
    return lines[0]


def leftovers(folder):
    return [p.name for p in folder.iterdir() if ".partial" in p.name]


@pytest.fixture
def noisy_file(tmp_path):
    rng = np.random.default_rng(5)
    data = (0.5 + 0.1 * rng.standard_normal((24, 24))).astype(np.float32)
    path = tmp_path / "in.npy"
    np.save(path, data)
    return path


FAST = ("--sigma", 0.1, "--profile", "fast", "--threads", 1, "--quiet")


def test_input_as_output_is_refused_and_kept(noisy_file):
    before = noisy_file.read_bytes()
    line = one_line_failure(run_cli("denoise", noisy_file, noisy_file, *FAST))
    assert "is the input" in line and "--overwrite" in line
    assert noisy_file.read_bytes() == before


def test_existing_output_refused_then_replaced_with_overwrite(noisy_file, tmp_path):
    out = tmp_path / "out.npy"
    out.write_bytes(b"precious")
    line = one_line_failure(run_cli("denoise", noisy_file, out, *FAST))
    assert "exists" in line and "--overwrite" in line
    assert out.read_bytes() == b"precious"
    proc = run_cli("denoise", noisy_file, out, *FAST, "--overwrite")
    assert proc.returncode == 0, proc.stderr
    assert np.load(out).shape == (24, 24)
    assert leftovers(tmp_path) == []


def test_input_replaced_in_place_only_with_overwrite(noisy_file, tmp_path):
    noisy = np.load(noisy_file)
    proc = run_cli("denoise", noisy_file, noisy_file, *FAST, "--overwrite")
    assert proc.returncode == 0, proc.stderr
    out = np.load(noisy_file)
    assert out.shape == noisy.shape and not np.array_equal(out, noisy)
    assert leftovers(tmp_path) == []


def test_missing_output_folder_fails_before_any_work(noisy_file, tmp_path):
    line = one_line_failure(run_cli("denoise", noisy_file, tmp_path / "no" / "out.npy", *FAST))
    assert "does not exist" in line


@pytest.mark.parametrize(
    "name, content",
    [
        ("empty.npy", b""),
        ("truncated.npy", b"\x93NUMPY\x01\x00v\x00{'descr': '<f4', 'fortran_order'"),
        ("corrupt.nii", b"\x00" * 100),
        ("corrupt.nii.gz", b"not gzip at all" * 10),
        ("truncated.nii.gz", gzip.compress(b"\x5c\x01" + b"\x00" * 400)[:60]),
        ("corrupt.tif", b"II*\x00garbage"),
    ],
)
def test_unreadable_inputs_give_one_line(tmp_path, name, content):
    path = tmp_path / name
    path.write_bytes(content)
    line = one_line_failure(run_cli("denoise", path, tmp_path / "out.npy", *FAST))
    assert str(path) in line
    assert not (tmp_path / "out.npy").exists()


def test_unreadable_psd_file_gives_one_line(noisy_file, tmp_path):
    bad = tmp_path / "psd.npy"
    bad.write_bytes(b"")
    proc = run_cli("denoise", noisy_file, tmp_path / "out.npy", "--psd", bad, "--quiet")
    assert "--psd" in one_line_failure(proc)


def test_failed_write_keeps_the_old_file_and_leaves_nothing(tmp_path, monkeypatch):
    target = tmp_path / "out.npy"
    np.save(target, np.arange(4.0))
    before = target.read_bytes()

    def broken(path, fmt, data, like):
        with open(path, "wb") as f:
            f.write(b"half a file")
        raise OSError("disk full")

    monkeypatch.setattr(vio, "_write", broken)
    with pytest.raises(OSError, match="disk full"):
        vio.write_volume(target, np.zeros(3))
    assert target.read_bytes() == before
    assert leftovers(tmp_path) == []


def test_no_overwrite_also_when_the_file_appears_while_writing(tmp_path):
    target = tmp_path / "late.npy"
    with pytest.raises(FileExistsError):
        with vio.replacing_file(target, overwrite=False) as tmp:
            tmp.write_bytes(b"new")
            target.write_bytes(b"someone else's")
    assert target.read_bytes() == b"someone else's"
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("name", ["a.npy", "a.nii.gz", "a.nii", "a.tif"])
def test_round_trip_through_the_temporary_name(tmp_path, name):
    pytest.importorskip("nibabel")
    pytest.importorskip("tifffile")
    data = np.arange(24, dtype=np.float32).reshape(2, 3, 4)
    vio.write_volume(tmp_path / name, data)
    np.testing.assert_array_equal(vio.read_volume(tmp_path / name).data, data)
    assert leftovers(tmp_path) == []


@pytest.mark.skipif(not hasattr(os, "symlink"), reason="no symbolic links")
def test_symlinked_output_keeps_the_link(tmp_path):
    real = tmp_path / "real.npy"
    np.save(real, np.zeros(2))
    link = tmp_path / "link.npy"
    link.symlink_to(real)
    vio.write_volume(link, np.ones(3))
    assert link.is_symlink()
    np.testing.assert_array_equal(np.load(real), np.ones(3))


def test_demo_refuses_an_existing_picture(tmp_path):
    png = tmp_path / "demo.png"
    png.write_bytes(b"keep")
    line = one_line_failure(run_cli("demo", "--size", 16, "--quiet", "--output", png))
    assert "--overwrite" in line
    assert png.read_bytes() == b"keep"
