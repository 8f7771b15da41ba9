"""Exceptions raised when a stage call fails, and the error for a missing optional package."""

from __future__ import annotations

import importlib
from typing import Optional

__all__ = ["VexaError", "VexaMemoryError", "VexaCancelled", "need_package"]


class VexaError(RuntimeError):
    """A stage call ended with a non-zero status; carries the library's message."""

    def __init__(self, text: str, status: Optional[int] = None, library_message: str = ""):
        full = text if not library_message else f"{text}\n{library_message}"
        super().__init__(full)
        self.status = status
        self.library_message = library_message


class VexaMemoryError(VexaError, MemoryError):
    """The library, or the host's memory plan, could not obtain the memory a stage needs."""


class VexaCancelled(VexaError):
    """The stage was stopped by ``vexa.cancel()`` from another thread."""


def need_package(module: str, extra: str, purpose: str):
    """``module`` imported, or an ImportError naming the extra that installs it.

    ``purpose`` begins the message, e.g. "reading this file needs".
    """
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ImportError(
            f"{purpose} the '{module}' package: pip install 'vexa[{extra}]'"
        ) from None
