"""downlink: the toolkit's libraries on numpy arrays and its programs from Python.

Modules
-------
errva
    Values with uncertainties and flag words (liberrva) over numpy arrays.
integrate
    Exact, flux-conserving resampling by overlap area (libintegrate).
run
    The installed programs ``stackle`` and ``plenor`` run from Python.
"""
from . import errva, integrate, run
from .run import RunError, RunResult

__all__ = ["errva", "integrate", "run", "RunError", "RunResult"]
