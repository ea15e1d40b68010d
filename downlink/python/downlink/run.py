"""The installed programs ``stackle`` and ``plenor`` run from Python.

Every switch of a program is a keyword argument named after it without the dash:
``stackle(di=[...], do="coadd.fits", cf=0.2, ls=True)`` runs
``stackle -di LIST -do coadd.fits -cf 0.2 -ls``.  A sequence (a list or tuple) is a file
list: its names are written one to a line into a list file in a temporary folder, made
absolute against the working folder, and the switch gets that file.  ``True`` gives the
switch alone, ``False`` and ``None`` leave it out, anything else is passed as text.

The programs are taken from `bin_dir`: the ``bin`` folder of the installed tree this
package belongs to, or the environment variable ``DOWNLINK_BIN_DIR`` when it is set.
"""
import os
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Dict, List, NamedTuple

__all__ = ["stackle", "plenor", "RunResult", "RunError", "bin_dir"]

# lib/python3/downlink/run.py -> bin
bin_dir = os.environ.get("DOWNLINK_BIN_DIR") or str(Path(__file__).resolve().parents[3] / "bin")

EXIT_FAILURE = 64

# The switches that name products, by program (stackle's weights list has a default name).
_PRODUCTS = {
    "stackle": ("do", "so", "am", "wo"),
    "plenor": ("o", "uo", "d", "l"),
}
_DEFAULT_PRODUCTS = {"stackle": {"wo": "kestack_wt.txt"}, "plenor": {}}


class RunResult(NamedTuple):
    """What a finished run left.

    Attributes
    ----------
    status : int
        The exit status (0 on success).
    output : str
        Everything the program printed, standard output and standard error interleaved.
    products : dict of str to str
        The product files that exist after the run, by switch (``"do"``, ``"o"`` ...), as
        absolute paths.
    """

    status: int
    output: str
    products: Dict[str, str]


class RunError(RuntimeError):
    """A program ended with exit status 64.

    Attributes
    ----------
    program : str
        The program's name.
    status : int
        Its exit status.
    output : str
        Everything it printed.
    args_used : list of str
        Its command line.
    """

    def __init__(self, program, status, output, args_used):
        self.program, self.status, self.output, self.args_used = program, status, output, args_used
        tail = "\n".join(output.rstrip("\n").splitlines()[-12:])
        super().__init__(f"{program} ended with exit status {status}:\n{tail}")

    @property
    def messages(self) -> List[str]:
        """The lines the program printed."""
        return self.output.splitlines()


def _write_list(folder, switch, names, cwd):
    path = os.path.join(folder, f"{switch}.list")
    with open(path, "w") as f:
        for name in names:
            f.write(os.path.join(cwd, os.fspath(name)) + "\n")
    return path


def _command(program, switches, folder, cwd):
    args = [program]
    for switch, value in switches.items():
        if value is None or value is False:
            continue
        args.append("-" + switch)
        if value is True:
            continue
        if isinstance(value, (list, tuple)):
            args.append(_write_list(folder, switch, value, cwd))
        else:
            args.append(os.fspath(value) if isinstance(value, os.PathLike) else str(value))
    return args


def _products(name, switches, cwd, started):
    """The named products that exist, and the default-named ones this run wrote."""
    found = {}
    for switch, default in _DEFAULT_PRODUCTS[name].items():
        path = os.path.join(cwd, default)
        if os.path.isfile(path) and os.stat(path).st_mtime_ns >= started:
            found[switch] = path
    for switch in _PRODUCTS[name]:
        value = switches.get(switch)
        if value not in (None, False):
            path = os.path.join(cwd, os.fspath(value))
            found.pop(switch, None)
            if os.path.isfile(path):
                found[switch] = path
    return found


def _run(name, switches, program, cwd, timeout):
    cwd = os.path.abspath(cwd or os.getcwd())
    program = os.fspath(program or os.path.join(bin_dir, name))
    started = time.time_ns() - 10**9  # file times lag the clock by up to a tick
    with tempfile.TemporaryDirectory(prefix=f"downlink-{name}-") as folder:
        args = _command(program, switches, folder, cwd)
        done = subprocess.run(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=timeout, check=False)
    output = done.stdout.decode("utf-8", errors="replace")
    if done.returncode == EXIT_FAILURE:
        raise RunError(name, done.returncode, output, args)
    return RunResult(done.returncode, output, _products(name, switches, cwd, started))


_RUN_DOC = """Run the installed ``{name}``.

Parameters
----------
program : path, optional
    The program to run instead of the one in `bin_dir`.
cwd : path, optional
    The working folder of the run (default: the current one); relative names, in file lists
    too, are taken from it.
timeout : float, optional
    Seconds after which the run is stopped (`subprocess.TimeoutExpired`).
**switches
    The program's switches without their dash, e.g. {example}.

Returns
-------
RunResult
    The exit status, the printed output and the paths of the products written.

Raises
------
RunError
    When the program ends with exit status 64; it carries the program's messages.

Examples
--------
>>> result = downlink.run.{name}({example})
>>> result.products
"""


def stackle(*, program=None, cwd=None, timeout=None, **switches):
    return _run("stackle", switches, program, cwd, timeout)


def plenor(*, program=None, cwd=None, timeout=None, **switches):
    return _run("plenor", switches, program, cwd, timeout)


stackle.__doc__ = _RUN_DOC.format(
    name="stackle", example='di=["f1.fits", "f2.fits"], do="coadd.fits", cf=0.2')
plenor.__doc__ = _RUN_DOC.format(
    name="plenor", example='i="dce.fits", f="flat.fits", o="dce_flat.fits"')
