#!/usr/bin/env python3
"""Writes the stored stage outputs of tests/data/reference from a given library.

    VEXA_LIBRARY=/path/to/old/libvexa_linux.so PYTHONPATH=python \
        python tools/make_reference_outputs.py

Run it only with the library the stored outputs are meant to pin (the build
before the speed work); tests/python/test_reference_outputs.py compares the
working tree's library against these files.
"""

import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
import reference_cases as rc  # noqa: E402


def main():
    rc.DATA.mkdir(parents=True, exist_ok=True)
    for name in rc.CASES:
        noisy, sigma_psd = rc.make_input(name)
        basic, final = rc.run_case(name, noisy, sigma_psd)
        np.save(rc.DATA / f"{name}_input.npy", noisy)
        np.save(rc.DATA / f"{name}_basic.npy", basic)
        np.save(rc.DATA / f"{name}_final.npy", final)
        print(f"{name}: {noisy.shape}, basic rms {np.sqrt(np.mean(basic**2)):.4f}")


if __name__ == "__main__":
    main()
