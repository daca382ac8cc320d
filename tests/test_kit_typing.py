"""The type stubs of orvex and orvexkit against the modules themselves (mypy's stubtest),
and orvexkit's annotations under mypy --strict, from a script that uses both."""

import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

import orvex
import orvexkit

pytest.importorskip("mypy")

ROOT = pathlib.Path(__file__).resolve().parent.parent

USE = """
    import pathlib
    import numpy as np
    import orvex
    import orvexkit

    found: list[orvex.Collision] = orvex.clash_detection("", "", 0.1)
    model = orvexkit.Model(pathlib.Path("a.txt"), threads=2)
    result = orvexkit.clash(model, min_dist=0.01, select_a=np.ones(len(model), bool))
    first: orvexkit.ClashRecord = next(iter(result))
    dist: float = first.dist + found[0].dist
    points: np.ndarray = model[0].vertices
    kinds: list[str] = [d.kind for d in model.diagnostics]
    volumetric = orvexkit.overlaps(model, duplicate_tolerance=0.002, volumes=False)
    record: orvexkit.OverlapRecord = volumetric[0]
    hard: np.ndarray = volumetric.hard(0.002) & model.closed[volumetric.a_index]
"""


def mypy(tmp_path, *args):
    # orvex's stubs ship as the stub-only package orvex-stubs; here they are read as
    # orvex.pyi, so that the check works in a build tree as well as when installed.
    stubs = tmp_path / "stubs"
    stubs.mkdir(exist_ok=True)
    shutil.copy(ROOT / "python" / "orvex-stubs" / "__init__.pyi", stubs / "orvex.pyi")
    # Both read the modules this suite imports, wherever they are.
    found = [os.path.dirname(orvex.__file__), os.path.dirname(os.path.dirname(orvexkit.__file__))]
    env = dict(os.environ, MYPYPATH=str(stubs), MYPY_CACHE_DIR=str(tmp_path / "cache"),
               PYTHONPATH=os.pathsep.join(found))
    return subprocess.run([sys.executable, "-m", *args],
                          capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600)


def test_stubs_match_the_modules(tmp_path):
    # orvexkit's Python modules are their own stubs; the native layer's are written.
    done = mypy(tmp_path, "mypy.stubtest", "orvex", "orvexkit._native")
    assert done.returncode == 0, done.stdout + done.stderr


def test_annotations_hold_under_strict_checking(tmp_path):
    (tmp_path / "use.py").write_text(textwrap.dedent(USE))
    done = mypy(tmp_path, "mypy", "--strict", "use.py")
    assert done.returncode == 0, done.stdout + done.stderr
