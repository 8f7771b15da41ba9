"""vexa: collaborative transform-domain denoising of volumes and images with
stationary, spatially correlated noise.

The C++ library does the work; this package loads it with ctypes, builds the
noise spectrum and the parameters, plans the memory and drives the two stages.

``vexa.denoise(image, sigma, psd=..., kernel=...)`` is the entry point;
``vexa.vexa(z, sigma_psd, profile, stage)`` its positional form.
With no noise given, both estimate the noise PSD from the data (``estimate_psd``).
"""

from ._lib import library_path
from ._run import cancel
from ._order import split_in_array_order
from .adaptation import NOISE_ADAPTATION
from .api import denoise, plan_memory, vexa
from .estimation import estimate_psd
from .errors import VexaCancelled, VexaError, VexaMemoryError
from .matches import MatchStore
from .planning import StagePlan
from .presets import PRESETS, preset_names
from .profiles import HardThresholdSettings, VEXAProfile, WienerSettings
from .psd import estimate_sigma, noise_variance, psd_flatness, psd_from_kernel, psd_white

try:
    from importlib.metadata import version

    __version__ = version("vexa")
except Exception:  # noqa: BLE001 - running from a source tree
    __version__ = "0.1.0"

__all__ = [
    "denoise",
    "vexa",
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
    "estimate_psd",
    "noise_variance",
    "psd_flatness",
    "cancel",
    "library_path",
    "VexaError",
    "VexaMemoryError",
    "VexaCancelled",
    "__version__",
]
