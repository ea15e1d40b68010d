"""The run wrappers on sample data written by the installed mksample."""
import os
import subprocess
from pathlib import Path

import pytest

from downlink import run, RunError


def test_stackle_and_plenor_products_and_a_failing_run(tmp_path):
    subprocess.run([os.path.join(run.bin_dir, "mksample"), "-o", str(tmp_path), "-n", "3",
                    "-W", "16", "-H", "12"], check=True, stdout=subprocess.DEVNULL)
    # stackle takes its file lists as sequences
    frames = [f"data_00{k}.fits" for k in (1, 2, 3)]
    result = run.stackle(di=frames, si=[f.replace("data", "sdev") for f in frames],
                         do="coadd.fits", so="coadd_sdev.fits", cf=0.2, V=True, cwd=tmp_path)
    assert (result.status, result.products) == (0, {
        k: str(tmp_path / n) for k, n in (("do", "coadd.fits"), ("so", "coadd_sdev.fits"),
                                          ("wo", "kestack_wt.txt"))})
    weights = Path(result.products["wo"]).read_text().split()  # weight, frame on each line
    assert weights[1::2] == [str(tmp_path / f) for f in frames]
    result = run.plenor(i="dce.fits", ui="dce_unc.fits", f="flat.fits", o="dce_flat.fits",
                        uo="dce_flat_unc.fits", l="plenor.log", cwd=tmp_path)
    assert (result.status, sorted(result.products)) == (0, ["l", "o", "uo"])
    with pytest.raises(RunError) as failed:
        run.plenor(i="missing.fits", f="flat.fits", o="never.fits", cwd=tmp_path)
    assert failed.value.status == 64 and "exit code 64" in failed.value.messages[-1]
    assert not (tmp_path / "never.fits").exists()
