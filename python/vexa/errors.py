"""Exceptions raised when a stage call fails."""

from __future__ import annotations

from typing import Optional

__all__ = ["VexaError", "VexaMemoryError", "VexaCancelled"]


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
