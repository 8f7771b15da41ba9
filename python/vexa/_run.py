"""One stage call on a worker thread, with progress reporting and clean cancellation.

ctypes releases the GIL for the duration of the call, so the calling thread
stays free to poll the library's progress counters and to receive Ctrl-C.
The buffers handed to the library stay referenced until the call returns,
even when the caller is interrupted.
"""

from __future__ import annotations

import sys
import threading
from typing import Callable, Optional

import numpy as np

from . import _lib
from ._checks import all_finite
from .errors import VexaCancelled, VexaError, VexaMemoryError

__all__ = ["run_stage_call", "cancel", "make_reporter"]

POLL_SECONDS = 0.05

# The library runs one stage at a time per process.
_call_lock = threading.Lock()

ProgressCallback = Callable[[str, int, int], object]


def cancel() -> None:
    """Asks the running stage (called from any thread) to stop early."""
    _lib.request_cancel()


class _TqdmReporter:
    def __init__(self, tqdm_cls):
        self._tqdm = tqdm_cls
        self._bar = None
        self._stage = None

    def __call__(self, stage, done, total):
        if self._bar is None or stage != self._stage:
            self.close()
            self._stage = stage
            self._bar = self._tqdm(
                total=max(total, 1), desc=f"vexa {stage}", unit="ref", leave=True
            )
        if total > 0 and self._bar.total != total:
            self._bar.total = total
            self._bar.refresh()
        if done > self._bar.n:
            self._bar.update(done - self._bar.n)
            if done >= total:
                self._bar.refresh()  # updates are rate-limited; the last one must show

    def close(self):
        if self._bar is not None:
            self._bar.close()
            self._bar = None


def make_reporter(progress) -> Optional[ProgressCallback]:
    """The progress sink for ``progress``: None (auto), False, True (tqdm) or a callable.

    Auto shows a tqdm bar when tqdm is installed and standard error is a terminal.
    """
    if progress is False:
        return None
    if callable(progress):
        return progress
    if progress is None or progress is True:
        try:
            from tqdm.auto import tqdm
        except ImportError:
            return None
        if progress is None and not (hasattr(sys.stderr, "isatty") and sys.stderr.isatty()):
            return None
        return _TqdmReporter(tqdm)
    raise ValueError(f"progress must be None, True, False or a callable, got {progress!r}")


def _report(reporter, stage):
    if reporter is not None:
        done, total = _lib.get_progress()
        reporter(stage, done, total)


def _cancel_and_wait(finished: threading.Event):
    # The library still uses the buffers: wait for it whatever arrives meanwhile.
    # The request is repeated because one made before the stage started is dropped.
    while not finished.is_set():
        _lib.request_cancel()
        try:
            finished.wait(POLL_SECONDS)
        except KeyboardInterrupt:
            pass


def run_stage_call(stage: str, fn, args, output: np.ndarray, reporter=None) -> None:
    """Calls ``fn(*args)`` (an entry point) and turns its status into an exception.

    ``output`` is checked for non-finite values after a successful call. On
    KeyboardInterrupt, or any exception from the progress callback, the
    stage is cancelled, the call awaited, and the exception re-raised.
    """
    result = {}
    # An Event, not Thread.join/is_alive: an interrupted join can make is_alive()
    # report a running thread as finished.
    finished = threading.Event()

    def target():
        try:
            result["status"] = int(fn(*args))
        except BaseException as exc:  # noqa: BLE001 - handed back to the caller's thread
            result["error"] = exc
        finally:
            finished.set()

    with _call_lock:
        worker = threading.Thread(target=target, name=f"vexa-{stage}", daemon=True)
        try:
            worker.start()
            while not finished.wait(POLL_SECONDS):
                _report(reporter, stage)
            _report(reporter, stage)
        except BaseException:
            if worker.ident is not None:
                _cancel_and_wait(finished)
            raise
        finally:
            close = getattr(reporter, "close", None)
            if close is not None:
                close()

    if "error" in result:
        raise VexaError(f"vexa: the {stage} stage raised {result['error']!r}") from result["error"]
    status = result.get("status", _lib.STATUS_INTERNAL)
    if status == _lib.STATUS_OK:
        if not all_finite(output):
            raise VexaError(
                f"vexa: the {stage} stage returned non-finite values; no estimate is returned",
                status,
                _lib.last_message(),
            )
        return
    message = _lib.last_message()
    name = _lib.STATUS_NAMES.get(status, f"status {status}")
    text = f"vexa: the {stage} stage failed ({name})"
    if status == _lib.STATUS_OUT_OF_MEMORY:
        if "split_block_extraction" in message:
            text += (
                " (the library's advice lists axes as x, y, z; VEXAProfile.split_block_extraction"
                " lists them in array order, so its [False, False, True] is [True, False, False]"
                " for a (z, y, x) volume here, and 'auto' plans it from the memory available)"
            )
        raise VexaMemoryError(text, status, message)
    if status == _lib.STATUS_CANCELLED:
        raise VexaCancelled(text, status, message)
    raise VexaError(text, status, message)


def as_float_ptr(a: Optional[np.ndarray]):
    if a is None:
        return None
    return a.ctypes.data_as(_lib.FloatPtr)

