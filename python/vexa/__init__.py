"""vexa: collaborative transform-domain denoising of volumes and images with
stationary, spatially correlated noise.

The C++ library does the work; this package loads it with ctypes, builds the
noise spectrum and the parameters, plans the memory and drives the two stages.

>>> import vexa
>>> estimate = vexa.vexa(noisy, 0.1)                 # white noise, sigma 0.1
>>> estimate = vexa.denoise(noisy, kernel=k, sigma=s)  # correlated noise
"""

from ._lib import library_path
from ._run import cancel
from .api import MatchStore, denoise, plan_memory, vexa
from .errors import VexaCancelled, VexaError, VexaMemoryError
from .planning import StagePlan, split_in_array_order
from .profiles import NOISE_ADAPTATION, PRESETS, HardThresholdSettings, VEXAProfile, WienerSettings, preset_names
from .psd import estimate_sigma, noise_variance, psd_flatness, psd_from_kernel, psd_white

try:
    from importlib.metadata import version

    __version__ = version("vexa")
except Exception:  # noqa: BLE001 - running from a source tree
    __version__ = "0.1.0"

__all__ = [
    "vexa",
    "denoise",
    "VEXAProfile",
    "HardThresholdSettings",
    "WienerSettings",
    "PRESETS",
    "NOISE_ADAPTATION",
    "preset_names",
    "MatchStore",
    "plan_memory",
    "StagePlan",
    "split_in_array_order",
    "psd_white",
    "psd_from_kernel",
    "estimate_sigma",
    "noise_variance",
    "psd_flatness",
    "cancel",
    "library_path",
    "VexaError",
    "VexaMemoryError",
    "VexaCancelled",
    "__version__",
]
