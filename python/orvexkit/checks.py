"""Clash checks over loaded models: what a check asks for, the kind of each clash, selections
by object type, the run that turns a list of checks into a report, groups, and status
across runs.

    models = {"structure": orvexkit.Model(Path("structure.txt")), "services": ...}
    checks = [Check("hard", "structure", "services"),
              Check("clearance", "structure", "services", clearance=0.05, touching=0.001)]
    report = run_checks(checks, models)
    group_clashes(report.clashes, distance=3.0)
    apply_baseline(report, read_json("last-week.json"))

Distances and tolerances are in model units; the engine measures in float32 and every
comparison below is made in float32, the way orvexkit.clash compares `min_dist`.
"""
from __future__ import annotations

import functools
import hashlib
import itertools
import json
import math
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, replace
from datetime import datetime, timezone

import numpy as np

from orvexkit import _native
from orvexkit._clash import DEFAULT_REACH, ClashResult, clash
from orvexkit._model import Model
from orvexkit._overlap import DEFAULT_DUPLICATE_TOLERANCE, OverlapResult, overlaps
from orvexkit.shards import clash_shard
from orvexkit.reports.model import CheckInfo, Clash, ModelInfo, ObjectRef, Report

#: The kinds a clash can have; classify() gives indices into this tuple. The last two come
#: from volumetric checks only.
KINDS = ("crossing", "touching", "clearance", "duplicate", "contained")
CROSSING, TOUCHING, CLEARANCE, DUPLICATE, CONTAINED = range(len(KINDS))
#: What decides a hard clash: the surface distance, or the overlap solid's thickness.
HARD_BY = ("surface", "volume")
#: classify's code of a pair that no rule reports.
NOT_REPORTED = -1

#: Statuses a person may set in a report for the next run to carry over to its clash.
KEPT_STATUSES = ("approved", "ignored")
STATUSES = ("new", "active", "resolved", *KEPT_STATUSES)
#: Clashes someone still has to act on: what --fail-on-clash counts.
OPEN_STATUSES = ("new", "active")

GROUP_BY = ("distance", "a", "b", "pair", "level", "none")
DEFAULT_GROUP_DISTANCE = 3.0


_FLOAT32_MAX = float(np.finfo(np.float32).max)


def _float32(value: float | None) -> np.float32 | None:
    return None if value is None else np.float32(value)


@dataclass(frozen=True)
class Check:
    """One clash check: model `a` against model `b` (None, or `a` again: `a` against itself).

    hard: crossings deeper than this count (dist < -hard); 0 reports every crossing.
    clearance: pairs closer than this count too (dist < clearance), crossings included.
    touching: pairs with |dist| <= touching are their own kind, "touching"; with
        ignore_touching they are left out (ignore_touching alone means touching=0).
    a_include, a_exclude, b_include, b_exclude: type names that select the objects of
        each side (see TypeSelector); in a self clash the b side is the same model.
    ignore_same_type: pairs of two objects of the same (known) type are left out.
    volumetric: the pairs come from orvexkit.overlaps: duplicates and containments are
        kinds of their own, and clashes carry the overlap's volume, thickness and centre.
    hard_by: "volume" decides the crossing rule by the overlap's thickness (> hard) where
        both meshes are closed, by the surface distance where one is open; it makes the
        check volumetric.
    duplicate_tolerance: how far apart two meshes may lie and still be duplicates.

    classify() holds the rules that turn a distance into a kind; check_clashes adds the
    volumetric ones.
    """

    name: str
    a: str
    b: str | None = None
    hard: float = 0.0
    clearance: float | None = None
    touching: float | None = None
    ignore_touching: bool = False
    a_include: tuple[str, ...] = ()
    a_exclude: tuple[str, ...] = ()
    b_include: tuple[str, ...] = ()
    b_exclude: tuple[str, ...] = ()
    ignore_same_type: bool = False
    volumetric: bool = False
    hard_by: str = "surface"
    duplicate_tolerance: float = DEFAULT_DUPLICATE_TOLERANCE

    def __post_init__(self) -> None:
        if not isinstance(self.name, str) or not self.name:
            raise ValueError("a check needs a name")
        if self.b == self.a:
            object.__setattr__(self, "b", None)
        if self.hard_by not in HARD_BY:
            raise ValueError(f"check {self.name!r}: hard_by must be one of {', '.join(HARD_BY)}, "
                             f"not {self.hard_by!r}")
        if self.hard_by == "volume":
            object.__setattr__(self, "volumetric", True)
        for label, value in (("hard", self.hard), ("clearance", self.clearance),
                             ("touching", self.touching),
                             ("duplicate_tolerance", self.duplicate_tolerance)):
            if value is None:
                continue
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise ValueError(f"check {self.name!r}: {label} must be a number, not {value!r}")
            # Finite in float32 too: the engine compares in float32.
            if not 0 <= value <= _FLOAT32_MAX:
                raise ValueError(f"check {self.name!r}: {label} must be a finite number >= 0, "
                                 f"not {value!r}")
        if self.ignore_touching and self.touching is None:
            object.__setattr__(self, "touching", 0.0)
        for label in ("a_include", "a_exclude", "b_include", "b_exclude"):
            names = getattr(self, label)
            object.__setattr__(self, label, (names,) if isinstance(names, str) else tuple(names))

    @property
    def min_dist(self) -> float:
        """The engine's threshold: the least float32 value above every distance a rule
        reports (orvexkit.clash keeps dist < min_dist)."""
        hard = np.float32(self.hard)
        clearance, touching = _float32(self.clearance), _float32(self.touching)
        bounds = [-hard]
        if clearance is not None:
            bounds.append(clearance)
        if touching is not None:
            bounds.append(np.nextafter(touching, np.float32(np.inf)))
        return float(max(bounds))

    @property
    def reach(self) -> float:
        """The contact query's reach: the default, or more for a clearance beyond it."""
        return max(DEFAULT_REACH, self.min_dist)

    def settings(self) -> dict:
        """What the check asks for, as reports record it."""
        out: dict = {"hard": self.hard}
        for name in ("clearance", "touching"):
            if getattr(self, name) is not None:
                out[name] = getattr(self, name)
        if self.ignore_touching:
            out["ignore_touching"] = True
        for name in ("a_include", "a_exclude", "b_include", "b_exclude"):
            if getattr(self, name):
                out[name] = list(getattr(self, name))
        if self.ignore_same_type:
            out["ignore_same_type"] = True
        if self.volumetric:
            out.update(volumetric=True, hard_by=self.hard_by, duplicate_tolerance=self.duplicate_tolerance)
        return out


def classify(dist: np.ndarray, check: Check, hard: np.ndarray | None = None) -> np.ndarray:
    """The kind of each distance under `check`: an int8 array of indices into KINDS, or
    NOT_REPORTED.

    The first rule that holds decides; d is the float32 distance, T, H and D the check's
    touching, hard and clearance tolerances rounded to float32:

        touching   T is set and -T <= d <= T   (NOT_REPORTED with ignore_touching)
        crossing   d < -H
        clearance  D is set and d < D
        otherwise  NOT_REPORTED

    `hard`, one flag per distance, replaces the crossing rule and comes first: a check
    decided by volume (OverlapResult.hard) calls an overlap thicker than H crossing
    whatever its surfaces do, so a flush insertion is not taken for a touch.
    """
    d = np.asarray(dist, dtype=np.float32)
    clearance, touching = _float32(check.clearance), _float32(check.touching)
    never = np.zeros(d.shape, dtype=bool)
    touches = (TOUCHING, never if touching is None else (-touching <= d) & (d <= touching))
    rules: tuple[tuple[int, np.ndarray], ...]
    if hard is None:
        rules = (touches, (CROSSING, d < -np.float32(check.hard)))
    else:
        rules = ((CROSSING, np.asarray(hard, dtype=bool)), touches)
    rules += ((CLEARANCE, never if clearance is None else d < clearance),)
    kinds = np.full(d.shape, NOT_REPORTED, dtype=np.int8)
    undecided = np.ones(d.shape, dtype=bool)
    for kind, holds in rules:
        kinds[undecided & holds] = kind
        undecided &= ~holds
    if check.ignore_touching:
        kinds[kinds == TOUCHING] = NOT_REPORTED
    return kinds


# --- selections by type ------------------------------------------------------------------------

_IFC_PREFIX = "IFC."
_SCHEMAS = ("IFC4", "IFC4X3_ADD2", "IFC2X3")


def _ifc_schemas() -> list | None:
    """ifcopenshell's schema declarations, or None without the ifc extra."""
    try:
        from ifcopenshell import ifcopenshell_wrapper
    except ImportError:
        return None
    return [ifcopenshell_wrapper.schema_by_name(name) for name in _SCHEMAS]


class TypeSelector:
    """Matches object types ("speckle_type" values) against selection names.

    A name is an IFC class when it starts with "Ifc" or "IFC." (any case): it matches the
    objects of type "IFC.<class>" of that class or, with ifcopenshell installed, of any
    of its subclasses in IFC4, IFC4X3 or IFC2X3 ("IfcBuildingElement", or IFC4X3's
    "IfcBuiltElement", takes walls, beams, slabs...). Without ifcopenshell a class matches itself only (`subclasses` is False).
    Any other name is a "speckle_type" and matches that type exactly.
    """

    def __init__(self) -> None:
        self._schema_list: list | None = None
        self._ancestries: dict[str, frozenset[str]] = {}

    @property
    def _schemas(self) -> list | None:
        # Loaded on first need: importing ifcopenshell takes a noticeable fraction of a second.
        if self._schema_list is None:
            self._schema_list = _ifc_schemas() or []
        return self._schema_list or None

    @property
    def subclasses(self) -> bool:
        """Whether IFC classes match their subclasses (ifcopenshell is installed)."""
        return self._schemas is not None

    @staticmethod
    def ifc_class(name: str) -> str | None:
        """The IFC class a name or type stands for, else None."""
        if name[:len(_IFC_PREFIX)].upper() == _IFC_PREFIX:
            name = name[len(_IFC_PREFIX):]
        return name if name[:3].lower() == "ifc" else None

    def check_names(self, names: Iterable[str]) -> None:
        """ValueError for an IFC class that no schema knows (only with ifcopenshell)."""
        for name in names:
            cls = self.ifc_class(name)
            if cls is not None and self._schemas is not None and not self._ancestry(cls):
                raise ValueError(f"unknown IFC class {name!r}")

    def _ancestry(self, cls: str) -> frozenset[str]:
        """The class and its supertypes, lower case; empty for a class no schema knows."""
        found = self._ancestries.get(cls)
        if found is None:
            found = self._ancestries[cls] = self._look_up(cls)
        return found

    def _look_up(self, cls: str) -> frozenset[str]:
        # Over every schema that knows the class: IFC4X3 renamed some supertypes
        # (IfcBuildingElement is IfcBuiltElement there), and either name selects.
        if self._schemas is None:
            return frozenset([cls.lower()])
        names = set()
        for schema in self._schemas:
            try:
                declaration = schema.declaration_by_name(cls)
            except RuntimeError:
                continue
            while declaration is not None:
                names.add(declaration.name().lower())
                declaration = declaration.supertype() if hasattr(declaration, "supertype") else None
        return frozenset(names)

    def matches(self, object_type: str, names: Sequence[str]) -> bool:
        cls = self.ifc_class(object_type)
        ancestry = self._ancestry(cls) if cls else frozenset()
        for name in names:
            wanted = self.ifc_class(name)
            if name == object_type or (wanted is not None and wanted.lower() in ancestry):
                return True
        return False

    def mask(self, types: Sequence[str] | Callable[[], Sequence[str]], include: Sequence[str],
             exclude: Sequence[str]) -> np.ndarray | None:
        """One flag per object: its type is among `include` (all when empty) and not among
        `exclude`. None when neither is given: every object. `types` may be the call that
        gives them, made only when they are needed."""
        if not include and not exclude:
            return None
        if callable(types):
            types = types()
        decided = {t: ((not include or self.matches(t, include))
                       and not (exclude and self.matches(t, exclude))) for t in set(types)}
        return np.fromiter((decided[t] for t in types), dtype=bool, count=len(types))


# --- running checks ----------------------------------------------------------------------------

def clash_id(check: str, a_key: str, b_key: str, self_clash: bool) -> str:
    """Stable id of a clash: the same pair in the same check gets the same id in every run.
    In a self clash the pair is unordered, so a model saved in another order keeps its ids."""
    if self_clash and b_key < a_key:
        a_key, b_key = b_key, a_key
    # json.dumps([check, a_key, b_key], ensure_ascii=False), without its per-call setup:
    # the id is computed for every clash of a run.
    text = f"[{_json_string(check)}, {_json_string(a_key)}, {_json_string(b_key)}]"
    return hashlib.blake2b(text.encode("utf-8", "surrogatepass"), digest_size=8).hexdigest()


_json_string = json.encoder.encode_basestring


def model_info(name: str, model: Model, *, path: str | None = None, sha256: str | None = None,
               units: str = "m") -> ModelInfo:
    """The report's record of a loaded model."""
    triangles = model._handle.triangle_count()
    return ModelInfo(name, path if path is not None else model.path, sha256, len(model), triangles,
                     len(model.diagnostics), units)


class _Objects:
    """ObjectRefs of one model, made once per object."""

    def __init__(self, name: str, model: Model) -> None:
        self.name, self.model = name, model
        self._made: dict[int, ObjectRef] = {}

    def refs(self, indices: list[int]) -> list[ObjectRef]:
        """The ObjectRef of each object index; keys, types, names and levels (string
        members only) are read for all new objects in one call each."""
        new = [i for i in dict.fromkeys(indices) if i not in self._made]
        if new:
            at = np.array(new, dtype=np.int64)
            handle = self.model._handle
            self._made.update(zip(new, map(ObjectRef, itertools.repeat(self.name), handle.keys(at),
                                           handle.types(at), handle.string_members("name", at),
                                           handle.string_members("level", at))))
        return [self._made[i] for i in indices]


def check_pairs(check: Check, a: Model, b: Model | None, *, threads: int | None = None,
                selector: TypeSelector | None = None, part: np.ndarray | None = None) -> ClashResult:
    """The engine's pairs for `check` over its models (b None: a's self clash), before
    check_clashes decides their kinds. With `part` (indices of a's objects: a shard of
    orvexkit.shards.shard_plan) only the rows of those objects, with the single pass's
    values; shards put together with merge_shards are the pairs of the whole check.

    A self clash with different selections on its two sides comes back as a clash of
    the model with itself in both orientations (result.self_clash False); check_clashes
    keeps one of each pair. A volumetric check gives an OverlapResult, and runs whole."""
    selector = selector or TypeSelector()
    mask_a = selector.mask(a._type_tuple, check.a_include, check.a_exclude)
    other = a if b is None else b
    mask_b = selector.mask(other._type_tuple, check.b_include, check.b_exclude)
    options: dict = dict(min_dist=check.min_dist, reach=check.reach, threads=threads)
    run: Callable[..., ClashResult]
    if check.volumetric:
        if part is not None:
            raise ValueError(f"check {check.name!r}: a volumetric check runs whole, not in shards")
        run = functools.partial(overlaps, duplicate_tolerance=check.duplicate_tolerance)
    else:
        run = clash if part is None else functools.partial(clash_shard, part=part)
    same = (mask_a is None and mask_b is None) or (
        mask_a is not None and mask_b is not None and np.array_equal(mask_a, mask_b))
    if b is None and same:
        return run(a, None, select_a=mask_a, **options)
    return run(a, other, select_a=mask_a, select_b=mask_b, **options)


def check_clashes(check: Check, pairs: ClashResult, side_a, side_b) -> list[Clash]:
    """The clashes of `check` from its engine pairs (check_pairs), in their order: the
    first orientation of each pair where a self clash came back in both, the kind of each
    (classify; for an OverlapResult duplicates and containments first, then classify with
    the volume's crossing rule when the check is hard by volume), same-type pairs left out
    with ignore_same_type. side_a.refs(indices) and side_b.refs(indices) give the
    ObjectRefs of objects of a and of b."""
    rows = np.arange(len(pairs.a_index))
    if check.b is None and not pairs.self_clash and len(rows):
        # Both orientations come back where both objects are on both sides; the first,
        # (lower, higher), is kept.
        low = np.minimum(pairs.a_index, pairs.b_index)
        high = np.maximum(pairs.a_index, pairs.b_index)
        _, first = np.unique(low * (int(high.max()) + 1) + high, return_index=True)
        rows = np.sort(first)
    dist = pairs.dist[rows]
    if isinstance(pairs, OverlapResult):
        hard = pairs.hard(check.hard)[rows] if check.hard_by == "volume" else None
        kinds = classify(dist, check, hard)
        kinds[pairs.kind[rows] == "contained"] = CONTAINED
        kinds[pairs.kind[rows] == "duplicate"] = DUPLICATE
    else:
        kinds = classify(dist, check)
    reported = kinds != NOT_REPORTED
    rows, kinds, dist = rows[reported], kinds[reported], dist[reported]
    self_clash = check.b is None
    clashes = []
    for row, ref_a, ref_b, d, kind, pa, pb in zip(
            rows.tolist(), side_a.refs(pairs.a_index[rows].tolist()),
            side_b.refs(pairs.b_index[rows].tolist()), dist.tolist(), kinds.tolist(),
            pairs.point_a[rows].tolist(), pairs.point_b[rows].tolist()):
        if check.ignore_same_type and ref_a.type == ref_b.type and ref_a.type:
            continue
        clash_ = Clash(clash_id(check.name, ref_a.key, ref_b.key, self_clash), check.name,
                       KINDS[kind], d, tuple(pa), tuple(pb), ref_a, ref_b)
        if isinstance(pairs, OverlapResult):
            _measures(clash_, pairs, row)
        clashes.append(clash_)
    return clashes


def _measures(c: Clash, pairs: OverlapResult, row: int) -> None:
    """The overlap's measures of one row on its clash; unknown ones (NaN) stay None."""
    def known(x: float) -> float | None:
        return None if math.isnan(x) else x
    c.volume, c.thickness = known(float(pairs.volume[row])), known(float(pairs.thickness[row]))
    centre = pairs.centre[row].tolist()
    c.centre = None if any(math.isnan(x) for x in centre) else tuple(centre)
    if c.kind == "contained":
        c.contained = str(pairs.contained[row])
        c.approximate = bool(pairs.approximate[row])


def run_check(check: Check, models: Mapping[str, Model], *, threads: int | None = None,
              selector: TypeSelector | None = None,
              objects: dict[str, _Objects] | None = None) -> list[Clash]:
    """The clashes of one check, in the engine's order (by a's object, then b's)."""
    objects = {} if objects is None else objects
    a = models[check.a]
    b = None if check.b is None else models[check.b]
    pairs = check_pairs(check, a, b, threads=threads, selector=selector)
    for name, model in ((check.a, a), (check.b, b)):
        if name is not None and model is not None and name not in objects:
            objects[name] = _Objects(name, model)
    side_a = objects[check.a]
    side_b = side_a if check.b is None else objects[check.b]
    return check_clashes(check, pairs, side_a, side_b)


def run_checks(checks: Sequence[Check], models: Mapping[str, Model], *, threads: int | None = None,
               infos: Mapping[str, ModelInfo] | None = None, title: str | None = None,
               progress: Callable[[Check], None] | None = None) -> Report:
    """Runs `checks` over the loaded `models` (by name) and returns their report: the
    clashes of every check in check order, with status "new" and no group (see
    group_clashes and apply_baseline). `infos` describes the models (files, hashes);
    model_info() makes the missing ones. `progress(check)` is called before each check.

    ValueError for checks with equal names or naming a model that is not given."""
    names = [c.name for c in checks]
    if len(set(names)) != len(names):
        raise ValueError("check names must be unique: " + ", ".join(
            sorted({n for n in names if names.count(n) > 1})))
    for check in checks:
        for side in (check.a, check.b):
            if side is not None and side not in models:
                raise ValueError(f"check {check.name!r} names no loaded model {side!r}")
    used = list(dict.fromkeys(m for c in checks for m in (c.a, c.b) if m is not None))
    infos = dict(infos or {})
    for name in used:
        if name not in infos:
            infos[name] = model_info(name, models[name])
    for name in {m for c in checks if c.volumetric for m in (c.a, c.b) if m is not None}:
        infos[name] = replace(infos[name], open_meshes=models[name].open_count)
    selector = TypeSelector()
    objects: dict[str, _Objects] = {}
    clashes: list[Clash] = []
    for check in checks:
        if progress is not None:
            progress(check)
        clashes += run_check(check, models, threads=threads, selector=selector, objects=objects)
    return make_report(checks, infos, clashes, title)


def make_report(checks: Sequence[Check], infos: Mapping[str, ModelInfo], clashes: list[Clash],
                title: str | None = None, errors: Mapping[str, str] | None = None) -> Report:
    """The report of checks that ran: the models the checks use (infos by name), the
    checks with `errors` (why a check has no result, by check name), the clashes, created
    now; the title defaults to the models' names."""
    from orvexkit import __version__
    errors = errors or {}
    used = list(dict.fromkeys(m for c in checks for m in (c.a, c.b) if m is not None))
    created = datetime.now(timezone.utc).replace(microsecond=0).isoformat().replace("+00:00", "Z")
    if title is None:
        title = " × ".join(used) if checks else "no checks"
    return Report(title, created, f"orvex {__version__}", [infos[n] for n in used],
                  [CheckInfo(c.name, c.a, c.b, c.settings(), errors.get(c.name)) for c in checks],
                  clashes)


# --- groups ------------------------------------------------------------------------------------

def distance_components(points: np.ndarray, distance: float) -> np.ndarray:
    """Labels of the points joined transitively when within `distance`: points i and j
    get the same label when a chain of points, each within `distance` of the next,
    links them; within means a sum of squared coordinate differences, in float64, of at
    most distance ** 2, or equal points at distance 0. The label of a component is its
    smallest index; non-finite points stay alone. Exact for any coordinates, in the
    engine."""
    p = np.ascontiguousarray(points, dtype=np.float64).reshape(-1, 3)
    return np.asarray(_native.distance_groups(p, float(distance)))


def _clash_point(c: Clash) -> list[float]:
    """Where a clash is, for grouping: the middle of its two contact points."""
    return [(x + y) / 2 for x, y in zip(c.point_a, c.point_b)]


def _group_key(c: Clash, by: str):
    if by == "a":
        return c.a.model, c.a.key
    if by == "b":
        return c.b.model, c.b.key
    if by == "pair":
        ends = sorted([(c.a.model, c.a.key), (c.b.model, c.b.key)])
        return tuple(ends)
    return c.a.level if c.a.level is not None else c.b.level


def group_clashes(clashes: Sequence[Clash], *, by: str = "distance",
                  distance: float = DEFAULT_GROUP_DISTANCE) -> int:
    """Sets each clash's group and returns the number of groups.

    by="distance": clashes whose points (the middle of point_a and point_b) lie within
    `distance` of each other, joined transitively, over all checks; "a" / "b": clashes of
    the same a / b object; "pair": of the same two objects (in any check or orientation);
    "level": of the same level (a's, else b's; clashes without one form one group);
    "none": no groups. Labels are G1, G2, ... in the order of each group's first clash.
    """
    if by not in GROUP_BY:
        raise ValueError(f"group by must be one of {', '.join(GROUP_BY)}, not {by!r}")
    if by == "none":
        for c in clashes:
            c.group = None
        return 0
    if by == "distance":
        if not distance >= 0:
            raise ValueError(f"group distance must be a number >= 0, not {distance!r}")
        points = np.array([_clash_point(c) for c in clashes], dtype=np.float64).reshape(-1, 3)
        keys = distance_components(points, distance).tolist()
    else:
        keys = [_group_key(c, by) for c in clashes]
    labels: dict = {}
    for c, key in zip(clashes, keys):
        c.group = labels.setdefault(key, f"G{len(labels) + 1}")
    return len(labels)


# --- status across runs ------------------------------------------------------------------------

def apply_baseline(report: Report, baseline: Report) -> None:
    """Marks the report's clashes against an earlier run's report.

    A clash whose id the baseline holds is "active", with the baseline's distance as
    previous_dist, or keeps the status a person set there ("approved", "ignored"); any
    other clash is "new". The baseline's clashes of checks that ran again and that are
    gone become the report's `resolved` list, with status "resolved". Clashes of checks
    that did not run again, or that failed (CheckInfo.error), are not judged."""
    previous = {c.id: c for c in baseline.clashes}
    for c in report.clashes:
        old = previous.get(c.id)
        if old is None:
            c.status, c.previous_dist = "new", None
        else:
            c.status = old.status if old.status in KEPT_STATUSES else "active"
            c.previous_dist = old.dist
    current = {c.id for c in report.clashes}
    ran = {check.name for check in report.checks if check.error is None}
    report.resolved = [replace(old, status="resolved", previous_dist=old.dist, group=None,
                               extra=dict(old.extra))
                       for old in baseline.clashes if old.id not in current and old.check in ran]


def open_clashes(report: Report) -> int:
    """Clashes someone still has to act on (new or active)."""
    return sum(c.status in OPEN_STATUSES for c in report.clashes)


__all__ = ["CLEARANCE", "CONTAINED", "CROSSING", "Check", "DUPLICATE", "HARD_BY", "DEFAULT_GROUP_DISTANCE", "GROUP_BY", "KINDS",
           "KEPT_STATUSES", "NOT_REPORTED", "OPEN_STATUSES", "STATUSES", "TOUCHING",
           "TypeSelector", "apply_baseline", "check_clashes", "check_pairs", "classify", "clash_id", "distance_components",
           "group_clashes", "make_report", "model_info", "open_clashes", "run_check", "run_checks"]
