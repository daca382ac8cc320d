"""Clash matrices: the checks of a federated project over its discipline models, run on
every core of one machine or as tasks on a Dask cluster, into one report.

    matrix = read_matrix("matrix.json")
    run = run_matrix(matrix)                               # this machine
    run = run_matrix(matrix, client=Client("tcp://scheduler:8786"))
    run.report        # every cell's clashes, in the file's order of cells
    run.failed        # {cell: why it has no result}; run.complete is not run.failed

A matrix file is a clash-set file (orvexkit.runs.read_clash_set) with named models whose
checks are called cells, may take their members from "defaults" and may ask to be cut
into spatial shards on a cluster (see the README):

    {"title": "Tower A, revision 12",
     "models": {"structure": "structure.txt", "ducts": "ducts.txt", "pipes": "pipes.ifc"},
     "defaults": {"touching": 0.001},
     "cells": [{"a": "structure", "b": "ducts", "clearance": 0.05, "shards": 4},
               {"a": "pipes", "ignore_same_type": true}]}

A cell is named "a × b" ("a" for a model against itself) unless it has a "name".

Both runs load each model once (on a cluster: once per worker that needs it), start the
cells in order of their estimated cost, dearest first (estimate_pairs), and give the same
report: a cell's clashes are those of orvexkit.checks.run_check, bit for bit and in its
order, whether the cell ran whole or in shards. A model that cannot be read fails the
cells that use it, with the reason in their CheckInfo.error; the other cells complete.
"""
from __future__ import annotations

import os
from collections.abc import Callable, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from orvexkit._clash import ClashResult
from orvexkit._model import Diagnostic, Model
from orvexkit._overlap import _VOLUMETRIC_FIELDS, OverlapResult
from orvexkit._threads import resolve_threads
from orvexkit.checks import (Check, TypeSelector, _Objects, check_clashes, check_pairs,
                             make_report, model_info)
from orvexkit.reports.model import Clash, ModelInfo, ObjectRef, Report
from orvexkit.runs import (InputError, ModelSource, clash_set, convert_ifc, is_ifc, load_model,
                           read_json_file)
from orvexkit.shards import merge_shards, shard_plan

_CELL_ONLY = {"shards"}
_TOP = {"title", "models", "defaults", "cells"}


@dataclass
class Matrix:
    """A matrix file read: its title, the models, the cells (as checks) and the number of
    shards of each cell (1: whole)."""

    title: str | None
    models: list[ModelSource]
    checks: list[Check]
    shards: dict[str, int] = field(default_factory=dict)


def cell_name(a: str, b: str | None) -> str:
    """The default name of a cell: "a × b", or "a" for a model against itself."""
    return a if b is None or b == a else f"{a} × {b}"


def read_matrix(path: str | os.PathLike[str]) -> Matrix:
    """Reads a matrix file (JSON; see the module's docstring and the README). InputError
    says what is wrong with it."""
    path = os.fspath(path)
    top = read_json_file(path)
    if not isinstance(top, dict):
        raise InputError(f"{path}: expected an object with \"models\" and \"cells\"")
    unknown = set(top) - _TOP
    if unknown:
        raise InputError(f"{path}: unknown member {sorted(unknown)[0]!r}")
    models, cells = top.get("models"), top.get("cells")
    if not isinstance(models, dict) or not models:
        raise InputError(f"{path}: \"models\" must be an object of name: file")
    if not isinstance(cells, list) or not cells:
        raise InputError(f"{path}: \"cells\" must be a non-empty list")
    defaults = top.get("defaults", {})
    if not isinstance(defaults, dict) or {"name", "a", "b"} & set(defaults):
        raise InputError(f"{path}: \"defaults\" must be an object of check members other "
                         "than name, a and b")
    checks, shards = [], []
    for i, cell in enumerate(cells, 1):
        where = f"{path}: cell {i}"
        if not isinstance(cell, dict):
            raise InputError(f"{where}: expected an object")
        for side in ("a", "b"):
            if side in cell and not (isinstance(cell[side], str) and cell[side] in models):
                raise InputError(f"{where}: {side!r} must name one of the models "
                                 f"({', '.join(models)}), not {cell[side]!r}")
        if "a" not in cell:
            raise InputError(f"{where}: \"a\" is missing")
        entry = {**defaults, **{k: v for k, v in cell.items() if k not in _CELL_ONLY}}
        entry.setdefault("name", cell_name(cell["a"], cell.get("b")))
        count = cell.get("shards", defaults.get("shards", 1))
        if isinstance(count, bool) or not isinstance(count, int) or count < 1:
            raise InputError(f"{where}: \"shards\" must be a whole number >= 1, not {count!r}")
        entry.pop("shards", None)
        checks.append(entry)
        shards.append(count)
    read = clash_set({"title": top.get("title"), "models": models, "checks": checks}, path)
    for i, (check, count) in enumerate(zip(read.checks, shards), 1):
        if check.volumetric and count > 1:
            raise InputError(f"{path}: cell {i}: a volumetric cell runs whole (\"shards\" 1)")
    return Matrix(read.title, read.models, read.checks,
                  {c.name: count for c, count in zip(read.checks, shards)})


# --- the pieces that run where the models are ---------------------------------------------------

@dataclass(frozen=True)
class ModelSummary:
    """What planning a run needs of a loaded model, small enough to send: counts, its
    diagnostics, every object's box and type."""

    objects: int
    triangles: int
    diagnostics: tuple[Diagnostic, ...]
    bounds: np.ndarray
    types: tuple[str, ...]


def summarise(models: Mapping[str, Model], threads: int, name: str) -> ModelSummary:
    """The summary of models[name] (the arguments of an orvexkit.distributed task)."""
    model = models[name]
    info = model_info(name, model)
    return ModelSummary(info.objects, info.triangles, tuple(model.diagnostics),
                        np.array(model.object_bounds), tuple(model.types))


@dataclass(frozen=True)
class CellPart:
    """The engine's pairs of a cell (or of one shard of it) as columns, without the models
    or keys, and the ObjectRef of every object they name: what a task sends back."""

    columns: tuple[np.ndarray, ...]     # a_index, b_index, dist, point_a, point_b
    self_clash: bool
    refs_a: dict[int, ObjectRef]
    refs_b: dict[int, ObjectRef]
    volumetric: dict[str, Any] | None = None    # OverlapResult's own columns, by name

    def pairs(self) -> ClashResult:
        a_index, b_index, dist, point_a, point_b = self.columns
        if self.volumetric is not None:
            return OverlapResult(None, None, a_index, b_index, dist, point_a, point_b,
                                 self_clash=self.self_clash, **self.volumetric)
        return ClashResult(None, None, a_index, b_index, dist, point_a, point_b,
                           self_clash=self.self_clash)


class _Refs:
    """ObjectRefs by object index, as check_clashes asks for them."""

    def __init__(self, made: Mapping[int, ObjectRef]) -> None:
        self.made = made

    def refs(self, indices: list[int]) -> list[ObjectRef]:
        return [self.made[i] for i in indices]


def cell_part(models: Mapping[str, Model], threads: int, check: Check, shards: int,
              index: int) -> CellPart:
    """Shard `index` of `shards` of the cell `check` (the arguments of an
    orvexkit.distributed task)."""
    a = models[check.a]
    b = None if check.b is None else models[check.b]
    part = None if shards == 1 else shard_plan(a.object_bounds, shards)[index]
    pairs = check_pairs(check, a, b, threads=threads, part=part)
    side_a = _Objects(check.a, a)
    side_b = side_a if check.b is None or b is None else _Objects(check.b, b)
    columns = (pairs.a_index, pairs.b_index, pairs.dist, pairs.point_a, pairs.point_b)
    used_a, used_b = np.unique(pairs.a_index).tolist(), np.unique(pairs.b_index).tolist()
    refs_a = dict(zip(used_a, side_a.refs(used_a)))
    refs_b = dict(zip(used_b, side_b.refs(used_b)))
    if b is None:
        refs_a.update(refs_b)
        refs_b = refs_a
    volumetric = None
    if isinstance(pairs, OverlapResult):
        volumetric = {name: getattr(pairs, name) for name in _VOLUMETRIC_FIELDS}
    return CellPart(columns, pairs.self_clash, refs_a, refs_b, volumetric)


def merge_parts(check: Check, parts: Sequence[CellPart]) -> list[Clash]:
    """The clashes of a cell from its shards' parts, in the order of the whole cell."""
    # A volumetric cell runs whole: its one part keeps its columns.
    pairs = parts[0].pairs() if len(parts) == 1 else merge_shards([p.pairs() for p in parts])
    refs_a: dict[int, ObjectRef] = {}
    refs_b: dict[int, ObjectRef] = {}
    for p in parts:
        refs_a.update(p.refs_a)
        refs_b.update(p.refs_b)
    return check_clashes(check, pairs, _Refs(refs_a), _Refs(refs_a if check.b is None else refs_b))


# --- cost ---------------------------------------------------------------------------------------

def _mask(selector: TypeSelector, summary: ModelSummary, include: Sequence[str],
          exclude: Sequence[str]) -> np.ndarray:
    chosen = selector.mask(summary.types, include, exclude)
    return np.ones(summary.objects, dtype=bool) if chosen is None else chosen


# The objects of a that estimate_pairs tests, at most.
_SAMPLE = 256


def estimate_pairs(bounds_a: np.ndarray, bounds_b: np.ndarray | None, reach: float) -> int:
    """About how many object pairs have boxes within `reach` of each other along every
    axis: the pairs the pass's broad phase hands to the contact query. Exact for up to 256
    objects of a; beyond, a's objects at even steps (256 of them) are tested and the count
    scaled up. Each is tested against the boxes of b that start along x within its reach
    (b sorted by where its boxes start), so a test costs what its neighbourhood holds.
    b None counts the distinct pairs of a with itself. Objects without a finite box count
    for nothing."""
    def finite(bounds: np.ndarray) -> np.ndarray:
        boxes = np.asarray(bounds, dtype=np.float64).reshape(-1, 2, 3)
        return boxes[np.isfinite(boxes).all(axis=(1, 2))]

    a = finite(bounds_a)
    b = a if bounds_b is None else finite(bounds_b)
    if not len(a) or not len(b):
        return 0
    b = b[np.argsort(b[:, 0, 0], kind="stable")]
    starts = b[:, 0, 0]
    longest = float((b[:, 1, 0] - b[:, 0, 0]).max())
    picked = np.unique(np.linspace(0, len(a) - 1, min(len(a), _SAMPLE)).astype(np.int64))
    found = 0
    for lo, hi in a[picked]:
        window = b[np.searchsorted(starts, lo[0] - reach - longest):
                   np.searchsorted(starts, hi[0] + reach, side="right")]
        found += int(((lo <= window[:, 1] + reach) & (window[:, 0] <= hi + reach)).all(axis=1).sum())
    if bounds_b is None:
        found -= len(picked)                    # each box and itself
    total = found * len(a) / len(picked)
    return round(total / 2) if bounds_b is None else round(total)


def estimate_cost(check: Check, summaries: Mapping[str, ModelSummary],
                  selector: TypeSelector) -> int:
    """The cost of a cell, to start the dearest first: estimate_pairs over the objects its
    selections keep, plus the objects themselves (a pass visits each once)."""
    a = summaries[check.a]
    b = a if check.b is None else summaries[check.b]
    keep_a = _mask(selector, a, check.a_include, check.a_exclude)
    keep_b = _mask(selector, b, check.b_include, check.b_exclude)
    if check.b is None:
        keep = keep_a | keep_b
        pairs = estimate_pairs(a.bounds[keep], None, check.reach)
    else:
        pairs = estimate_pairs(a.bounds[keep_a], b.bounds[keep_b], check.reach)
    return pairs + int(keep_a.sum()) + int(keep_b.sum())


# Seconds on one core here per triangle loaded and meshed and per unit of estimate_cost
# (bench/matrix_bench.py, medians over the sample project's models and cells): what
# plan_workers weighs a model's loading on one more worker against the cells' time.
LOAD_SECONDS_PER_TRIANGLE = 6e-7
PASS_SECONDS_PER_COST = 1e-6


def plan_workers(tasks: Sequence[tuple[tuple[str, ...], float]], workers: Sequence[str],
                 holding: Mapping[str, set[str]], load_seconds: Mapping[str, float]) -> list[str]:
    """A worker for each task (models it needs, its seconds), taken in the given order
    (dearest first): the worker where it would end first, counting the loading of the
    models that worker does not hold yet (holding: models by worker; it then holds them).
    Cells that share models gather on few workers, so that a model is loaded by the
    workers its cells need rather than by every worker."""
    busy = {w: 0.0 for w in workers}
    held = {w: set(holding.get(w, ())) for w in workers}
    out = []
    for models, seconds in tasks:
        def end(w: str) -> float:
            return busy[w] + seconds + sum(load_seconds[m] for m in models if m not in held[w])
        chosen = min(workers, key=end)
        busy[chosen] = end(chosen)
        held[chosen].update(models)
        out.append(chosen)
    return out


# --- runs ---------------------------------------------------------------------------------------

@dataclass
class MatrixRun:
    """The outcome of run_matrix: the report (failed cells have CheckInfo.error and no
    clashes), why each failed cell failed, each model's diagnostics, and the models loaded
    here (none for a run on a cluster)."""

    report: Report
    failed: dict[str, str]
    diagnostics: dict[str, tuple[Diagnostic, ...]]
    models: dict[str, Model] = field(default_factory=dict)

    @property
    def complete(self) -> bool:
        """Every cell ran."""
        return not self.failed


def _models_used(matrix: Matrix) -> list[ModelSource]:
    used = {n for c in matrix.checks for n in (c.a, c.b) if n is not None}
    return [s for s in matrix.models if s.name in used]


def _order(matrix: Matrix, summaries: Mapping[str, ModelSummary]) -> list[tuple[Check, int]]:
    """(cell, cost) of the cells whose models are there, dearest first (file order among
    equals)."""
    selector = TypeSelector()
    runnable = [c for c in matrix.checks if c.a in summaries and (c.b is None or c.b in summaries)]
    costs = [(c, estimate_cost(c, summaries, selector)) for c in runnable]
    return sorted(costs, key=lambda item: -item[1])


def _model_failure(check: Check, failed_models: Mapping[str, str]) -> str | None:
    for side in (check.a, check.b):
        if side is not None and side in failed_models:
            return f"model {side!r}: {failed_models[side]}"
    return None


def run_matrix(matrix: Matrix, client: Any = None, *, threads: int | None = None,
               mode: str = "auto", title: str | None = None, cache_dir: Any = None,
               use_cache: bool = True, step: Callable[[str], None] | None = None) -> MatrixRun:
    """Runs every cell of `matrix` and returns its report: clashes of every cell in the
    file's order of cells, status "new", no groups (orvexkit.checks.group_clashes and
    apply_baseline do those).

    client=None runs on this machine: every model loaded once, then the cells, dearest
    first, `threads` of them at a time (default: the cores this process may use) with
    the cores shared among the cells running. With a dask.distributed Client the cells
    (or their shards) are tasks on the cluster; `mode` says how models reach the workers
    (orvexkit.distributed.place_models). IFC files are converted here, through the cache
    (cache_dir, use_cache). `step(text)` is called as the run goes.
    """
    say = step or (lambda text: None)
    if client is None:
        return _run_here(matrix, threads, title, cache_dir, use_cache, say)
    return _run_on(client, matrix, mode, title, cache_dir, use_cache, say)


def _finish(matrix: Matrix, infos: dict[str, ModelInfo], results: dict[str, list[Clash]],
            failed: dict[str, str], diagnostics: dict[str, tuple[Diagnostic, ...]],
            title: str | None,
            models: dict[str, Model] | None = None) -> MatrixRun:
    for source in _models_used(matrix):
        if source.name not in infos:
            infos[source.name] = ModelInfo(source.name, source.path, None, 0, 0, 0, source.units)
    clashes = [c for check in matrix.checks for c in results.get(check.name, [])]
    report = make_report(matrix.checks, infos, clashes, title or matrix.title, failed)
    return MatrixRun(report, failed, diagnostics, models or {})


def _run_here(matrix: Matrix, threads: int | None, title: str | None, cache_dir: Any,
              use_cache: bool, say: Callable[[str], None]) -> MatrixRun:
    cores = resolve_threads(threads)
    models, infos, failed_models = {}, {}, {}
    for source in _models_used(matrix):
        say(f"loading {source.name}")
        try:
            models[source.name], infos[source.name] = load_model(
                source, threads=cores, cache_dir=cache_dir, use_cache=use_cache)
        except InputError as e:
            failed_models[source.name] = str(e)
    summaries = {name: summarise(models, cores, name) for name in models}
    order = _order(matrix, summaries)
    failed = {c.name: why for c in matrix.checks if (why := _model_failure(c, failed_models))}
    results: dict[str, list[Clash]] = {}
    objects: dict[str, _Objects] = {name: _Objects(name, m) for name, m in models.items()}
    slots = max(1, min(cores, len(order)))
    per_cell = max(1, cores // slots)

    def run(check: Check) -> list[Clash]:
        say(f"clash {check.name}")
        a = models[check.a]
        b = None if check.b is None else models[check.b]
        pairs = check_pairs(check, a, b, threads=per_cell)
        return check_clashes(check, pairs, objects[check.a], objects[check.b or check.a])

    # The engine releases the interpreter lock: cells running side by side share the
    # cores, and one cell's Python work overlaps another's pass.
    with ThreadPoolExecutor(slots) as pool:
        futures = [(check, pool.submit(run, check)) for check, _ in order]
        for check, future in futures:
            try:
                results[check.name] = future.result()
            except (OSError, ValueError, MemoryError) as e:
                failed[check.name] = f"{type(e).__name__}: {e}"
    diagnostics = {name: tuple(m.diagnostics) for name, m in models.items()}
    return _finish(matrix, infos, results, failed, diagnostics, title, models)


def _run_on(client: Any, matrix: Matrix, mode: str, title: str | None, cache_dir: Any,
            use_cache: bool, say: Callable[[str], None]) -> MatrixRun:
    from orvexkit import distributed as od
    texts, digests, units, failed_models = {}, {}, {}, {}
    for source in _models_used(matrix):
        units[source.name] = source.units
        try:
            if is_ifc(source.path):
                say(f"converting {source.name}")
                texts[source.name], digests[source.name] = convert_ifc(
                    source, None, cache_dir, use_cache, False)
            else:
                texts[source.name] = source.path
                digests[source.name] = od.file_sha256(source.path)
        except InputError as e:
            failed_models[source.name] = str(e)
        except OSError:             # the workers may still read it
            texts[source.name], digests[source.name] = source.path, None
    say("placing the models")
    placed, unplaced = od.place_models(client, texts, mode=mode)
    failed_models.update(unplaced)
    try:
        say("loading the models on the workers")
        names = [n for n in texts if n in placed]
        where: list[str | None] = []
        found = od.run_tasks(client, [od.Task(summarise, (n,), (n,)) for n in names], placed,
                             where=where)
        summaries, infos = {}, {}
        workers = sorted(client.scheduler_info()["workers"])
        sent = {n for n in names if not isinstance(placed[n], od.ModelRef)}
        holding = {w: set(sent) for w in workers}
        for name, summary, worker in zip(names, found, where):
            if isinstance(summary, od.TaskFailure):
                failed_models[name] = summary.message
                continue
            holding.setdefault(worker or "", set()).add(name)
            summaries[name] = summary
            source_path = next(s.path for s in matrix.models if s.name == name)
            infos[name] = ModelInfo(name, source_path, digests[name], summary.objects,
                                    summary.triangles, len(summary.diagnostics), units[name])
        order = _order(matrix, summaries)
        failed = {c.name: why for c in matrix.checks if (why := _model_failure(c, failed_models))}
        pieces, owners = [], []
        for check, cost in order:
            count = matrix.shards.get(check.name, 1)
            models = (check.a,) if check.b is None else (check.a, check.b)
            for index in range(count):
                pieces.append((models, (check, count, index), cost / count))
                owners.append(check)
        loads = {n: s.triangles * LOAD_SECONDS_PER_TRIANGLE for n, s in summaries.items()}
        chosen = plan_workers([(m, c * PASS_SECONDS_PER_COST) for m, _, c in pieces], workers,
                              holding, loads) if workers else [None] * len(pieces)
        tasks = [od.Task(cell_part, m, args, priority=c, worker=w)
                 for (m, args, c), w in zip(pieces, chosen)]
        say(f"clashing {len(order)} cells in {len(tasks)} tasks")
        parts = od.run_tasks(client, tasks, placed, failed_models)
    finally:
        od.release_models(client, placed)
    by_cell: dict[str, list[Any]] = {}
    for check, part in zip(owners, parts):
        by_cell.setdefault(check.name, []).append(part)
    results: dict[str, list[Clash]] = {}
    for check, _ in order:
        done = by_cell[check.name]
        failure = next((p for p in done if isinstance(p, od.TaskFailure)), None)
        if failure is not None:
            failed[check.name] = failure.message
        else:
            results[check.name] = merge_parts(check, done)
    diagnostics = {name: s.diagnostics for name, s in summaries.items()}
    return _finish(matrix, infos, results, failed, diagnostics, title)


__all__ = ["CellPart", "LOAD_SECONDS_PER_TRIANGLE", "Matrix", "MatrixRun", "ModelSummary",
           "PASS_SECONDS_PER_COST", "cell_name", "cell_part", "estimate_cost", "estimate_pairs",
           "merge_parts", "plan_workers", "read_matrix", "run_matrix", "summarise"]
