"""Arithmetic on values with one-sigma uncertainties and flag words, over numpy arrays.

Every function takes two operands, each a value, its sigma and its flag word, broadcast
against each other like numpy operands, and calls liberrva's entry point on every element:
``float32`` operands use the single-precision entry points (``errva_add`` ...), all others
the double-precision ones (``errva_dadd`` ...).  The results are those of the entry point
bit for bit, NaNs, flag words and states included.

States: 0 OK, 1 BAD (an operand NaN, bad or suspect), 2 UNAPPROX (divisor too uncertain for
the quotient's expansion), 3 EQUIV (both operands of a quotient pure noise).

The library's settings are attributes of `settings`; ``with settings(bad_mask=1): ...``
changes some for a block and restores all of them afterwards.
"""
import contextlib

import numpy as np

from . import _downlink

__all__ = ["add", "sub", "mul", "div", "settings", "mask_setup",
           "OK", "BAD", "UNAPPROX", "EQUIV"]

OK, BAD, UNAPPROX, EQUIV = 0, 1, 2, 3

_DOC = """{what} of two values with uncertainties and flag words, element by element.

Parameters
----------
a, a_sigma, b, b_sigma : array_like
    The operands' values and one-sigma uncertainties.  ``float32`` operands (all four)
    are computed in single precision, any other in double precision.
a_flags, b_flags : array_like of int, optional
    The operands' flag words (default 0).
flags : array_like of int, optional
    The caller's flag word that each result's flags are made from (default 0): its bits
    outside the settings' bad and suspect masks are kept, the state's bits added.

Returns
-------
value, sigma : ndarray
    The result and its uncertainty, of the operands' precision and broadcast shape.
flags : ndarray of int32
    The result flag words.
state : ndarray of int8
    The state of every element (`OK`, `BAD`{more}).

Examples
--------
>>> value, sigma, flags, state = downlink.errva.{name}(np.float32([1, 2]), 0.1, 3, 0.2)
"""


def _apply(op, a, a_sigma, b, b_sigma, a_flags, b_flags, flags):
    values = [np.asarray(v) for v in (a, a_sigma, b, b_sigma)]
    kind = np.result_type(*values)
    if kind.kind not in "biuf":
        raise TypeError(f"errva.{op} needs real numbers, not {kind}")
    kind = np.float32 if kind == np.float32 else np.float64
    operands = [v.astype(kind, copy=False) for v in values]
    operands += [np.asarray(f).astype(np.intc, casting="same_kind", copy=False)
                 for f in (a_flags, b_flags, flags)]
    shape = np.broadcast_shapes(*(v.shape for v in operands))
    return _downlink.errva_apply(op, *(np.broadcast_to(v, shape) for v in operands))


def _operation(name, what, more):
    def operation(a, a_sigma, b, b_sigma, a_flags=0, b_flags=0, flags=0):
        return _apply(name, a, a_sigma, b, b_sigma, a_flags, b_flags, flags)
    operation.__name__ = operation.__qualname__ = name
    operation.__doc__ = _DOC.format(what=what, name=name, more=more)
    return operation


add = _operation("add", "Sum", "")
sub = _operation("sub", "Difference", "")
mul = _operation("mul", "Product", "")
div = _operation("div", "Quotient", ", `UNAPPROX` or `EQUIV`")


def mask_setup(bad, suspect):
    """Set the bad and suspect masks as ``errva_mask_setup`` does.

    Parameters
    ----------
    bad, suspect : int
        The new ``bad_mask`` and ``suspect_mask``; ``flag_extrap`` becomes 0 and
        ``state_mask`` becomes ``(0, bad, state_mask[2], 0)``.
    """
    _downlink.errva_mask_setup(bad, suspect)


class Settings:
    """The library's settings object, one attribute per member.

    Attributes
    ----------
    bad_mask, suspect_mask : int
        Flag bits that make an operand unusable, or questionable.
    flag_extrap : int
        Non-zero: extrapolation marks the result suspect.
    state_mask : tuple of 4 int
        Bits ORed into the result flags, by state.
    noise_ratio : float
        Relative sigma above which an operand of a quotient is pure noise (single precision).
    approx_limit : float
        Relative sigma of a divisor above which the quotient's expansion does not hold
        (single precision).
    throw_on_unapprox : int
        Non-zero: an `UNAPPROX` quotient of the entry points returns state 0.

    Calling the object with settings as keywords gives a context manager that sets them and
    restores every setting on leaving the block.

    Examples
    --------
    >>> with downlink.errva.settings(bad_mask=0x1, suspect_mask=0x2):
    ...     downlink.errva.add(1.0, 0.1, 2.0, 0.2, a_flags=0x2)
    """

    _NAMES = ("bad_mask", "suspect_mask", "flag_extrap", "state_mask", "noise_ratio",
              "approx_limit", "throw_on_unapprox")

    def __getattr__(self, name):
        if name not in self._NAMES:
            raise AttributeError(f"no setting named {name}")
        return _downlink.errva_settings()[name]

    def __setattr__(self, name, value):
        _downlink.errva_configure({name: value})

    def __dir__(self):
        return list(self._NAMES)

    def __repr__(self):
        items = ", ".join(f"{k}={v!r}" for k, v in _downlink.errva_settings().items())
        return f"errva.settings({items})"

    @contextlib.contextmanager
    def __call__(self, **changes):
        saved = _downlink.errva_settings()
        try:
            _downlink.errva_configure(changes)
            yield self
        finally:
            _downlink.errva_configure(saved)


settings = Settings()
