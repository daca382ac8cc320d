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
    checks, shards = [], {}
    for i, cell in enumerate(cells, 1):
        where = f"{path}: cell {i}"
        if not isinstance(cell, dict):
            raise InputError(f"{where}: expected an object")
        for side in ("a", "b"):
            if side in cell and cell[side] not in models:
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
        shards[entry["name"]] = count
    read = clash_set({"title": top.get("title"), "models": models, "checks": checks}, path)
    return Matrix(read.title, read.models, read.checks,
                  {c.name: shards[raw["name"]] for c, raw in zip(read.checks, checks)})


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

    def pairs(self) -> ClashResult:
        a_index, b_index, dist, point_a, point_b = self.columns
        return ClashResult(None, None, a_index, b_index, dist, point_a, point_b,
                           self_clash=self.self_clash)


class _Refs:
    """ObjectRefs by object index, as check_clashes asks for them."""

    def __init__(self, refs: Mapping[int, ObjectRef]) -> None:
        self.refs = refs

    def ref(self, index: int) -> ObjectRef:
        return self.refs[index]


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
    refs_a = {i: side_a.ref(i) for i in np.unique(pairs.a_index).tolist()}
    refs_b = {i: side_b.ref(i) for i in np.unique(pairs.b_index).tolist()}
    if b is None:
        refs_a.update((i, side_a.ref(i)) for i in refs_b)
        refs_b = refs_a
    return CellPart(columns, pairs.self_clash, refs_a, refs_b)


def merge_parts(check: Check, parts: Sequence[CellPart]) -> list[Clash]:
    """The clashes of a cell from its shards' parts, in the order of the whole cell."""
    pairs = merge_shards([p.pairs() for p in parts])
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


def estimate_pairs(bounds_a: np.ndarray, bounds_b: np.ndarray | None, reach: float) -> int:
    """An upper bound of the object pairs whose boxes come within `reach`, the pairs the
    pass looks at: for each axis the pairs whose extents along it come within reach
    (counted by sorting, in O(n log n)), the least of the three; b None counts the
    distinct pairs of a with itself. Objects without a finite box count for nothing."""
    def finite(bounds: np.ndarray) -> np.ndarray:
        boxes = np.asarray(bounds, dtype=np.float64).reshape(-1, 2, 3)
        return boxes[np.isfinite(boxes).all(axis=(1, 2))]

    a = finite(bounds_a)
    b = a if bounds_b is None else finite(bounds_b)
    if not len(a) or not len(b):
        return 0
    best = -1
    for axis in range(3):
        lo, hi = np.sort(b[:, 0, axis]), np.sort(b[:, 1, axis])
        # Boxes of b that start before a's box ends, less those that end before it starts.
        count = (np.searchsorted(lo, a[:, 1, axis] + reach, side="right")
                 - np.searchsorted(hi, a[:, 0, axis] - reach, side="left"))
        total = int(count.sum())
        if bounds_b is None:
            total = (total - len(a)) // 2
        best = total if best < 0 else min(best, total)
    return best


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
        found = od.run_tasks(client, [od.Task(summarise, (n,), (n,)) for n in names], placed)
        summaries, infos = {}, {}
        for name, summary in zip(names, found):
            if isinstance(summary, od.TaskFailure):
                failed_models[name] = summary.message
                continue
            summaries[name] = summary
            source_path = next(s.path for s in matrix.models if s.name == name)
            infos[name] = ModelInfo(name, source_path, digests[name], summary.objects,
                                    summary.triangles, len(summary.diagnostics), units[name])
        order = _order(matrix, summaries)
        failed = {c.name: why for c in matrix.checks if (why := _model_failure(c, failed_models))}
        tasks, owners = [], []
        for check, cost in order:
            count = matrix.shards.get(check.name, 1)
            models = (check.a,) if check.b is None else (check.a, check.b)
            for index in range(count):
                tasks.append(od.Task(cell_part, models, (check, count, index), priority=cost))
                owners.append(check)
        say(f"clashing {len(order)} cells in {len(tasks)} tasks")
        parts = od.run_tasks(client, tasks, placed, failed_models)
    finally:
        od.release_models(client, placed)
    by_cell: dict[str, list[Any]] = {}
    for check, part in zip(owners, parts):
        by_cell.setdefault(check.name, []).append(part)
    results: dict[str, list[Clash]] = {}
    for check, _ in order:
        pieces = by_cell[check.name]
        failure = next((p for p in pieces if isinstance(p, od.TaskFailure)), None)
        if failure is not None:
            failed[check.name] = failure.message
        else:
            results[check.name] = merge_parts(check, pieces)
    diagnostics = {name: s.diagnostics for name, s in summaries.items()}
    return _finish(matrix, infos, results, failed, diagnostics, title)


__all__ = ["CellPart", "Matrix", "MatrixRun", "ModelSummary", "cell_name", "cell_part",
           "estimate_cost", "estimate_pairs", "merge_parts", "read_matrix", "run_matrix",
           "summarise"]
