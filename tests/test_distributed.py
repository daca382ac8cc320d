"""Clash work on a Dask LocalCluster (2 worker processes, shared by the module's tests):
sharded pairs against the single call, models read by the workers or sent to them, a
worker killed mid-run, a model no worker can read."""

import json
import logging
import os
import signal

import numpy as np
import pytest

import orvexkit
from orvexkit import cli
from orvexkit.checks import run_checks
from orvexkit.matrix import read_matrix, run_matrix
from orvexkit.reports.records import read_json
from test_ifc import DATA, needs_data
from test_kit import building
from test_matrix import SAMPLE, assert_same_result

distributed = pytest.importorskip("distributed")
od = pytest.importorskip("orvexkit.distributed")


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=logging.CRITICAL) as cluster:
        with distributed.Client(cluster) as c:
            yield c


@pytest.fixture
def workers(client):
    """The client once both workers are up (a test before may have killed one)."""
    client.wait_for_workers(2, timeout=60)
    return client


@pytest.fixture(scope="module")
def pair(tmp_path_factory):
    folder = tmp_path_factory.mktemp("pair")
    paths = []
    for name, text in zip(("a.txt", "b.txt"), building.generate(n_objects=600, seed=5, near=0.3)):
        (folder / name).write_text(text)
        paths.append(folder / name)
    return paths


class KillOnce(distributed.WorkerPlugin):
    """Kills the process of the first worker that starts a task of `prefix`, once per
    marker file (SIGKILL: no goodbye to the scheduler, as when a machine fails)."""

    def __init__(self, marker, prefix):
        self.marker, self.prefix = str(marker), prefix

    def transition(self, key, start, finish, **kwargs):
        if finish == "executing" and str(key).startswith(self.prefix + "-"):
            try:
                os.close(os.open(self.marker, os.O_CREAT | os.O_EXCL))
            except FileExistsError:
                return
            os.kill(os.getpid(), signal.SIGKILL)


@pytest.mark.parametrize("mode", ["files", "send"])
def test_sharded_pair_equals_one_call(workers, pair, mode):
    a, b = (orvexkit.Model(p) for p in pair)
    pick = np.random.default_rng(2).random(len(a)) < 0.8
    for other, path_b in ((b, pair[1]), (None, None)):
        for shards in (1, 2, 7):
            want = orvexkit.clash(a, other, 0.06, select_a=pick)
            got = od.clash_sharded(workers, pair[0], path_b, 0.06, shards=shards, select_a=pick, mode=mode)
            assert got.a is None
            assert_same_result(got, want)
    got = od.clash_sharded(workers, a, b, 0.06, shards=3)
    assert got.a is a and got.b is b
    assert_same_result(got, orvexkit.clash(a, b, 0.06))


@pytest.fixture(scope="module")
def sample():
    """The sample project's matrix and its run on this machine."""
    matrix = read_matrix(SAMPLE)
    return matrix, run_matrix(matrix).report


@pytest.mark.parametrize("mode", ["files", "send"])
def test_matrix_on_the_cluster_equals_the_run_here(workers, sample, mode):
    matrix, here = sample
    assert any(count > 1 for count in matrix.shards.values())
    run = run_matrix(matrix, workers, mode=mode)
    assert run.complete
    assert run.report.clashes == here.clashes
    assert run.report.models == here.models and run.report.checks == here.checks


def test_killed_worker_is_replaced(workers, sample, tmp_path):
    matrix, here = sample
    before = set(workers.run(os.getpid).values())
    workers.register_plugin(KillOnce(tmp_path / "killed", "_task"), name="kill-once")
    try:
        run = run_matrix(matrix, workers, mode="files")
    finally:
        workers.unregister_worker_plugin("kill-once")
    assert (tmp_path / "killed").exists()
    assert run.complete and run.report.clashes == here.clashes
    workers.wait_for_workers(2, timeout=60)
    assert set(workers.run(os.getpid).values()) != before


def test_command_with_a_scheduler(workers, sample, tmp_path):
    matrix, here = sample
    matrix_data = json.loads(SAMPLE.read_text())
    matrix_data["models"] = {name: str(SAMPLE.parent / path)
                             for name, path in matrix_data["models"].items()}
    matrix_data["models"]["ducts"] = str(tmp_path / "gone.txt")
    (tmp_path / "m.json").write_text(json.dumps(matrix_data))
    address = workers.scheduler.address
    status = cli.main(["matrix", str(tmp_path / "m.json"), "--scheduler", address, "-q",
                       "--json", str(tmp_path / "out.json")])
    assert status == cli.EXIT_INCOMPLETE
    report = read_json(tmp_path / "out.json")
    failed = {c.name for c in report.checks if c.error}
    assert failed == {c.name for c in matrix.checks if "ducts" in (c.a, c.b)}
    assert [(c.id, c.dist) for c in report.clashes] == \
        [(c.id, c.dist) for c in here.clashes if c.check not in failed]


def test_unreadable_model(workers, pair, tmp_path):
    with pytest.raises(od.ModelUnavailable, match="missing.txt"):
        od.clash_sharded(workers, tmp_path / "missing.txt", pair[1], shards=2)
    # The client's file differs from the workers': they must not load theirs.
    ref = od.ModelRef("a", str(pair[0]), "0" * 64)
    placed = {"a": ref}
    [failure] = od.run_tasks(workers, [od.Task(_count, ("a",))], placed)
    assert isinstance(failure, od.TaskFailure) and "other content" in failure.message


def _count(models, threads):
    return len(models["a"])


IFC_FILES = {"steel": "design_ROOT/IFC-staal.ifc", "lintels": "design_ROOT/IFC-lateien_en_geveldragers.ifc",
             "railings": "design_ROOT/IFC-traphekken.ifc", "floors": "design_ROOT/IFC-breedplaatvloeren.ifc",
             "slabs": "subcontractors/GEELEN-Breedplaat V1.ifc", "stairs": "design_ROOT/IFC-prefab_trappen.ifc"}


@needs_data
def test_ifc_matrix(workers, tmp_path):
    """The shared IFC data, converted once: the cluster reads the conversions cached by the
    run here, and both give the clash-set run's clashes."""
    cells = [{"a": "steel", "b": "floors"}, {"a": "steel", "b": "lintels"},
             {"a": "floors", "b": "slabs", "shards": 3}, {"a": "stairs", "b": "floors"},
             {"a": "railings", "b": "stairs", "clearance": 0.05}, {"a": "steel", "shards": 2}]
    matrix_data = {"models": {n: str(DATA / "schependomlaan" / f) for n, f in IFC_FILES.items()},
            "defaults": {"touching": 0.001}, "cells": cells}
    (tmp_path / "ifc.json").write_text(json.dumps(matrix_data))
    matrix = read_matrix(tmp_path / "ifc.json")
    cache = tmp_path / "cache"
    here = run_matrix(matrix, cache_dir=cache)
    conversions = {p: p.stat().st_mtime_ns for p in cache.rglob("*.txt")}
    assert len(conversions) == len(IFC_FILES)
    there = run_matrix(matrix, workers, cache_dir=cache)
    assert {p: p.stat().st_mtime_ns for p in cache.rglob("*.txt")} == conversions
    assert here.complete and there.complete
    assert there.report.clashes == here.report.clashes and there.report.models == here.report.models
    want = run_checks(matrix.checks, here.models)
    assert here.report.clashes == want.clashes
    assert {c.check for c in want.clashes} >= {"steel × floors", "floors × slabs"}
