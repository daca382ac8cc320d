"""Clash matrices run on one machine, and one pair cut into spatial shards: the shards'
merged rows against the single call."""

import json
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import orvexkit
from orvexkit import cli
from orvexkit.checks import run_checks
from orvexkit.matrix import estimate_pairs, plan_workers, read_matrix, run_matrix
from orvexkit.reports.records import read_json
from orvexkit.runs import InputError
from orvexkit.shards import clash_shard, merge_shards, shard_box, shard_plan
from test_kit import ROOT, building, hostile

COLUMNS = ("a_index", "b_index", "dist", "point_a", "point_b")


def assert_same_result(got, want):
    for name in COLUMNS:
        assert np.array_equal(getattr(got, name), getattr(want, name)), name
    assert got.a_ids == want.a_ids and got.b_ids == want.b_ids
    assert got.self_clash == want.self_clash


@pytest.fixture(scope="module")
def scenes():
    return {"building": [orvexkit.Model(t) for t in building.generate(n_objects=500, seed=4, near=0.3)],
            "hostile": [orvexkit.Model(t) for t in hostile()]}


@pytest.mark.parametrize("scene", ["building", "hostile"])
def test_shards_merge_into_the_single_call(scenes, scene):
    a, b = scenes[scene]
    rng = np.random.default_rng(3)
    pick_a, pick_b = rng.random(len(a)) < 0.7, rng.random(len(b)) < 0.7
    cases = [(b, {}), (None, {}), (b, {"select_a": pick_a, "select_b": np.flatnonzero(pick_b)}),
             (None, {"select_a": pick_a})]
    cut_boxes = 0
    for shards in (1, 2, 7):
        parts = shard_plan(a.object_bounds, shards)
        assert len(parts) == shards
        assert np.array_equal(np.sort(np.concatenate(parts)), np.arange(len(a)))   # each once
        boxes = [shard_box(a.object_bounds, p) for p in parts]
        cut_boxes += sum(bool((x[0] < y[1]).all() and (y[0] < x[1]).all())
                         for i, x in enumerate(boxes) for y in boxes[i + 1:])
        for other, select in cases:
            for min_dist, reach in ((0.0, 0.5), (0.06, 0.5), (np.inf, 0.3)):
                want = orvexkit.clash(a, other, min_dist, reach=reach, **select)
                got = [clash_shard(a, other, p, min_dist, reach=reach, **select) for p in parts]
                assert_same_result(merge_shards(got), want)
                # As they come back from workers: columns and keys, no models.
                unpickled = [r.__reduce__()[0](*r.__reduce__()[1]) for r in got]
                assert_same_result(merge_shards(unpickled[::-1]), want)
    if scene == "building":
        assert cut_boxes, "no shard cuts through an object's box"


def test_shard_plan_edges():
    boxes = np.array([[[0, 0, 0], [1, 1, 1]], [[np.inf] * 3, [-np.inf] * 3],
                      [[5, 0, 0], [6, 1, 1]]], dtype=np.float32)
    parts = shard_plan(boxes, 5)       # more shards than objects: some are empty
    assert [p.tolist() for p in parts] == [[0], [], [], [2], [1]]     # no finite box: last
    with pytest.raises(ValueError):
        shard_plan(boxes, 0)


# --- matrices on one machine -------------------------------------------------------------------

SAMPLE = ROOT / "examples" / "matrix.json"


def reference(matrix):
    """The cells as the clash-set run of the `orvex clash` command runs them."""
    models = {s.name: orvexkit.Model(pathlib.Path(s.path)) for s in matrix.models}
    return run_checks(matrix.checks, models), models


@pytest.mark.parametrize("threads", [1, 2, 5])
def test_sample_matrix_equals_the_checks_one_by_one(threads):
    matrix = read_matrix(SAMPLE)
    assert len(matrix.models) >= 4 and len(matrix.checks) >= 10
    run = run_matrix(matrix, threads=threads)
    want, models = reference(matrix)
    assert run.complete and run.report.clashes == want.clashes
    assert [c.name for c in run.report.checks] == [c.name for c in matrix.checks]
    assert [(m.name, m.objects, m.triangles) for m in run.report.models] == \
        [(m.name, m.objects, m.triangles) for m in want.models]
    # ... and the plain pairwise call of every cell without selections: the same pairs,
    # distances and points, in the pass's order.
    for check in matrix.checks:
        if check.a_include or check.b_include or check.ignore_same_type:
            continue
        plain = orvexkit.clash(models[check.a], None if check.b is None else models[check.b],
                               check.min_dist, reach=check.reach)
        rows = {(k1, k2): (d, p) for k1, k2, d, p, _ in plain}
        got = [c for c in run.report.clashes if c.check == check.name]
        assert [(c.a.key, c.b.key) for c in got] == [k for k in rows if k in
                                                      {(c.a.key, c.b.key) for c in got}]
        for c in got:
            assert rows[(c.a.key, c.b.key)] == (np.float32(c.dist), c.point_a)


def test_missing_model_fails_only_its_cells(tmp_path):
    matrix_data = json.loads(SAMPLE.read_text())
    matrix_data["models"] = {name: str(SAMPLE.parent / path)
                             for name, path in matrix_data["models"].items()}
    matrix_data["models"]["ducts"] = str(tmp_path / "gone.txt")
    (tmp_path / "m.json").write_text(json.dumps(matrix_data))
    matrix = read_matrix(tmp_path / "m.json")
    run = run_matrix(matrix)
    uses = {c.name for c in matrix.checks if "ducts" in (c.a, c.b)}
    assert set(run.failed) == uses and all("gone.txt" in why for why in run.failed.values())
    whole = run_matrix(read_matrix(SAMPLE)).report.clashes
    assert run.report.clashes == [c for c in whole if c.check not in uses]
    assert {c.name: c.error is not None for c in run.report.checks} == \
        {c.name: c.name in uses for c in matrix.checks}
    # The command: exit status 4 (over --fail-on-clash's 3), the failed cells in the JSON,
    # and against last run's report their clashes are unknown, not resolved.
    assert cli.main(["matrix", str(SAMPLE), "-q", "--json", str(tmp_path / "base.json")]) == 0
    status = cli.main(["matrix", str(tmp_path / "m.json"), "-q", "--fail-on-clash", "--baseline",
                       str(tmp_path / "base.json"), "--json", str(tmp_path / "now.json")])
    assert status == cli.EXIT_INCOMPLETE == 4
    now = read_json(tmp_path / "now.json")
    assert {c.name for c in now.checks if c.error} == uses
    assert now.resolved == [] and {c.status for c in now.clashes} == {"active"}


@pytest.mark.parametrize("cells, message", [
    ([{"a": "structure", "b": "nowhere"}], "must name one of the models"),
    ([{"a": ["structure"]}], "must name one of the models"),
    ([{"a": "structure", "name": ["x"]}], "name"),
    ("structure", '"cells" must be a non-empty list'),
    ([{"b": "structure"}], '"a" is missing'),
    ([{"a": "structure", "shards": 0}], "shards"),
    ([{"a": "structure"}, {"a": "structure", "hard": 0.1}], "two checks are named 'structure'"),
    ([{"a": "structure", "clearance": -1}], "clearance"),
])
def test_bad_matrix_files(tmp_path, cells, message):
    matrix_data = {"models": {"structure": str(SAMPLE.parent / "data/project/structure.txt")},
                   "cells": cells}
    (tmp_path / "m.json").write_text(json.dumps(matrix_data))
    with pytest.raises(InputError, match=message):
        read_matrix(tmp_path / "m.json")


def test_estimate_pairs_against_brute_force():
    rng = np.random.default_rng(5)
    lo = rng.uniform(0, 30, (2000, 3))
    boxes = np.stack([lo, lo + rng.uniform(0, 3, (2000, 3))], axis=1).astype(np.float32)

    def brute(x, y, reach):
        x, other = x.astype(np.float64), (x if y is None else y).astype(np.float64)
        close = ((x[:, None, 0] <= other[None, :, 1] + reach)
                 & (other[None, :, 0] <= x[:, None, 1] + reach)).all(axis=2)
        return int(np.triu(close, 1).sum()) if y is None else int(close.sum())

    for reach in (0.0, 0.5):
        for a, b in ((boxes[:250], boxes[250:900]), (boxes[:250], None)):     # every object
            assert estimate_pairs(a, b, reach) == brute(a, b, reach)
        for a, b in ((boxes[:1500], boxes[1500:]), (boxes, None)):             # a sample
            want = brute(a, b, reach)
            assert abs(estimate_pairs(a, b, reach) - want) < 0.15 * want


def test_plan_workers_gathers_cells_by_model():
    pairs = [(("a", "b"), 1.0), (("c", "d"), 1.0), (("a", "b"), 1.0), (("c", "d"), 1.0), (("a", "c"), 0.5)]
    loads = dict.fromkeys("abcd", 10.0)
    assert plan_workers(pairs, ["w0", "w1"], {}, loads) == ["w0", "w1", "w0", "w1", "w0"]
    # Models held already, and loading that costs nothing: the earliest end only.
    assert plan_workers(pairs, ["w0", "w1"], {"w1": {"a", "b"}}, loads)[0] == "w1"
    free = dict.fromkeys("abcd", 0.0)
    assert plan_workers([(("a",), 5.0), (("a",), 3.0), (("a",), 3.0)], ["w0", "w1"], {}, free) == \
        ["w0", "w1", "w1"]


def test_without_dask(tmp_path):
    """The local run needs no dask; --scheduler says what to install."""
    script = f"""
import sys
sys.modules["distributed"] = sys.modules["dask"] = None          # not installed
from orvexkit import cli
assert cli.main(["matrix", {str(SAMPLE)!r}, "-q", "--json", {str(tmp_path / "here.json")!r}]) == 0
assert cli.main(["matrix", {str(SAMPLE)!r}, "--scheduler", "tcp://127.0.0.1:1"]) == 1
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "pip install 'orvex[distributed]'" in done.stderr
    assert (tmp_path / "here.json").exists()
