"""errva over numpy arrays against liberrva's entry points called one element at a time
through ctypes on the installed library."""
import ctypes
from pathlib import Path

import numpy as np
import pytest

import downlink
from downlink import errva

LIB = ctypes.CDLL(str(Path(downlink.__file__).resolve().parents[2] / "liberrva.so"))
CHANGED = dict(bad_mask=0x1, suspect_mask=0x2, state_mask=(0x10, 0x1, 0x20, 0x40),
               approx_limit=0.5, throw_on_unapprox=1)


@pytest.mark.parametrize("changed", [False, True])
@pytest.mark.parametrize("kind", [np.float32, np.float64])
@pytest.mark.parametrize("op", ["add", "sub", "mul", "div"])
def test_every_element_is_the_entry_points_result(op, kind, changed):
    # Operands in the entry points' order (a, a_sigma, a_flags, b, b_sigma, b_flags, flags), of
    # shapes (n, 1), (n, m) and (m,), drawn from special values, noise-dominated sigmas,
    # ordinary numbers and masked flag words.
    rng = np.random.default_rng(7)
    values = np.array([0.0, -0.0, 1.0, -2.5, 1e-40, 3e38, np.inf, np.nan], dtype=kind)
    sigmas = np.array([0.0, 0.05, 1.0, 10.0, 50.0, np.nan, np.inf], dtype=kind)
    words = np.array([0, 0, 0, 0x100, 0x4000, 0x1, 0x2, 0x4103, -1], dtype=np.intc)

    def draw(pool, shape):
        return np.where(rng.random(shape) < 0.5, rng.choice(pool, shape),
                        rng.normal(0, 5, shape).astype(kind))
    operands = (draw(values, (30, 1)), draw(sigmas, (30, 40)), rng.choice(words, (30, 1)),
                draw(values, 40), draw(sigmas, 40), rng.choice(words, 40),
                rng.choice(words, (30, 40)))
    t = ctypes.c_float if kind == np.float32 else ctypes.c_double
    entry = getattr(LIB, f"errva_{op}" if kind == np.float32 else f"errva_d{op}")
    entry.argtypes = [ctypes.POINTER(t), ctypes.POINTER(t), ctypes.POINTER(ctypes.c_int),
                      t, t, ctypes.c_int, t, t, ctypes.c_int]
    settings, before = errva.settings, repr(errva.settings)
    with settings(**(CHANGED if changed else {})):
        if changed:  # set one by one, and refused without changing any
            settings.noise_ratio = 2.0
            with pytest.raises(ValueError):
                settings.state_mask = (1, 2)
            with pytest.raises(AttributeError), settings(bad_mask=0x8, no_such_setting=1):
                pass
            assert (settings.noise_ratio, settings.state_mask, settings.bad_mask) == \
                (2.0, CHANGED["state_mask"], CHANGED["bad_mask"])
        got = getattr(errva, op)(*(operands[k] for k in (0, 1, 3, 4, 2, 5, 6)))
        want = []
        for e in np.nditer(np.broadcast_arrays(*operands)):
            out = t(), t(), ctypes.c_int(int(e[6]))
            state = entry(*out, *(float(x) if k % 3 < 2 else int(x) for k, x in enumerate(e[:6])))
            want.append([o.value for o in out] + [state])
    assert repr(settings) == before
    assert got[0].dtype == kind and got[0].shape == operands[6].shape
    for k, w in enumerate(zip(*want)):  # values and sigmas bit for bit, NaNs included
        as_bits = np.asarray if k > 1 else lambda v: np.asarray(v, kind).view(f"u{kind().itemsize}")
        np.testing.assert_array_equal(as_bits(got[k].ravel()), as_bits(w))
    # The operands reach every state the operation has; other than real numbers are refused.
    assert set(np.unique(got[3])) == ({0, 1, 2, 3} if op == "div" else {0, 1})
    with pytest.raises(TypeError):
        getattr(errva, op)(1j, 0.1, 2.0, 0.2)
