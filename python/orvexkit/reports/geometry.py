"""Where the writers get meshes from: the ``GeometrySource`` protocol and an in-memory source."""
from __future__ import annotations

from typing import Protocol

import numpy as np

from orvexkit import _native
from orvexkit._threads import resolve_threads

ObjectId = tuple[str, str]   # (model, key)


class GeometrySource(Protocol):
    def mesh(self, model: str, key: str) -> tuple[np.ndarray, np.ndarray]:
        """Vertices (n, 3) float32 and triangles (m, 3) uint32 in model units; KeyError if absent."""

    def bounds(self, model: str, key: str) -> np.ndarray:
        """The object's box as (2, 3) float32: minimum corner, maximum corner."""

    def near(self, point, radius: float, limit: int) -> list[ObjectId]:
        """(model, key) of at most ``limit`` objects whose boxes come within ``radius`` of
        ``point``, nearest first."""

    # A source may also answer for many objects or points at once; ``SceneCache`` uses
    # these when present and asks object by object otherwise:
    #   meshes_of(objects) -> (vertices (N, 3) float32, triangles (M, 3) uint32 counted from
    #       each mesh's first vertex, counts (n, 2) int64 of vertices and triangles per
    #       object, -1 for an object the source does not know), in the order of ``objects``;
    #       A source whose meshes_of leaves out every triangle that names a missing or
    #       non-finite vertex says so with ``checked_meshes = True``, and is not checked again;
    #   boxes_of(objects) -> (n, 2, 3) float64, NaN for an object the source does not know;
    #   near_all(points (n, 3), radii (n,), limit) -> one ``near`` list per point, of
    #       (model, key) tuples of str.
    # A source that numbers its objects 0 to ``object_count`` - 1 is asked by number
    # instead of all of these, so that no (model, key) is made for an object only counted:
    #   numbers_of(objects) -> int64 (n,), -1 for an object it does not know;
    #   objects_of(numbers) -> the (model, key) of each number;
    #   meshes_by_number(numbers), boxes_by_number(numbers): meshes_of and boxes_of, -1
    #       standing for an object it does not know;
    #   near_by_number(points, radii, limit, excludes (n, w) int64, -1 for none) -> (point
    #       index, object number) int64 arrays: near_all as pairs, by point, without each
    #       point's excludes, up to ``limit`` each.


_BY_NUMBER = ("object_count", "numbers_of", "objects_of", "meshes_by_number",
              "boxes_by_number", "near_by_number")


class DictGeometry:
    """A ``GeometrySource`` over ``{(model, key): (vertices, triangles)}``, for tests and scripts.

    ``near`` is a linear scan over the boxes: fine for thousands of objects, not for a building.
    """

    def __init__(self, meshes):
        self.meshes = {}
        for (model, key), (vertices, triangles) in meshes.items():
            v = np.ascontiguousarray(vertices, dtype=np.float32).reshape(-1, 3)
            t = np.ascontiguousarray(triangles, dtype=np.int64).reshape(-1, 3)
            if t.size and (t.min() < 0 or t.max() >= len(v)):
                raise ValueError(f"{model}/{key}: triangle index outside the {len(v)} vertices")
            self.meshes[(model, key)] = (v, t.astype(np.uint32))
        self._ids = list(self.meshes)
        self._index = {obj: i for i, obj in enumerate(self._ids)}
        # An object's box holds its triangles whose corners are finite, as a model's does.
        boxes = np.full((len(self._ids), 2, 3), np.nan)
        for i, (v, t) in enumerate(self.meshes.values()):
            corners = v[t[np.isfinite(v[t]).all(axis=(1, 2))]].reshape(-1, 3)
            if len(corners):
                boxes[i] = corners.min(axis=0), corners.max(axis=0)
        self._boxes = boxes

    def mesh(self, model, key):
        return self.meshes[(model, key)]

    def bounds(self, model, key):
        return self._boxes[self._index[(model, key)]].astype(np.float32)

    def near(self, point, radius, limit):
        p = np.asarray(point, dtype=np.float64)
        outside = np.maximum(self._boxes[:, 0] - p, 0) + np.maximum(p - self._boxes[:, 1], 0)
        dist = np.sqrt((outside ** 2).sum(axis=1))
        close = np.flatnonzero(dist <= radius)       # NaN (objects without vertices) is not
        order = close[np.argsort(dist[close], kind="stable")]
        return [self._ids[i] for i in order[:max(limit, 0)]]


class SceneCache:
    """Meshes and boxes of a source's objects, checked so that nothing downstream can index
    out of bounds or draw NaN. The writers name objects by number (``numbers``): the
    source's own where it numbers its objects, and numbers from ``object_count`` up, given
    here in order of asking, for the objects it does not (all of them, for a source that
    numbers none).

    An object the source does not know (``LookupError``) or returns in an unusable shape is
    absent (None); triangles that reference a missing or non-finite vertex are dropped.
    """

    def __init__(self, geometry: GeometrySource):
        self.geometry = geometry
        self.meshes: dict[ObjectId, tuple[np.ndarray, np.ndarray] | None] = {}
        self._numbered = all(hasattr(geometry, name) for name in _BY_NUMBER)
        self._base = int(geometry.object_count) if self._numbered else 0
        self._own: dict[ObjectId, int] = {}           # numbers from _base up
        self._own_ids: list[ObjectId] = []
        self._boxes: dict[int, np.ndarray | None] = {}   # boxes not answered by number

    def numbers(self, objs) -> np.ndarray:
        """The number of each (model, key), as int64."""
        objs = list(objs)
        out = np.full(len(objs), -1, dtype=np.int64)
        if self._numbered and objs:
            found = np.asarray(self.geometry.numbers_of(objs), dtype=np.int64).reshape(-1)
            if len(found) != len(objs) or not ((found >= -1) & (found < self._base)).all():
                raise ValueError("the geometry source numbered objects out of its range")
            out = found.copy()
        for i in np.flatnonzero(out < 0).tolist():
            k = self._own.get(objs[i])
            if k is None:
                k = self._own[objs[i]] = self._base + len(self._own_ids)
                self._own_ids.append(objs[i])
            out[i] = k
        return out

    def ids(self, numbers) -> list[ObjectId]:
        """The (model, key) of each number that ``numbers`` gave."""
        numbers = np.asarray(numbers, dtype=np.int64).reshape(-1)
        theirs = numbers < self._base
        if theirs.all():
            return list(self.geometry.objects_of(numbers)) if len(numbers) else []
        out = [self._own_ids[k - self._base] if k >= self._base else None for k in numbers.tolist()]
        if theirs.any():
            for i, obj in zip(np.flatnonzero(theirs).tolist(), self.geometry.objects_of(numbers[theirs])):
                out[i] = obj
        return out

    def mesh(self, obj: ObjectId):
        if obj not in self.meshes:         # one object: the source's own call is quicker
            vertices, triangles, counts = _checked(*self._mesh_by_mesh([obj]))
            self.meshes[obj] = None if counts[0, 0] < 0 else (vertices, triangles)
        return self.meshes[obj]

    def mesh_runs(self, numbers):
        """The meshes of the objects ``numbers`` names, in one run: (vertices (N, 3) float32,
        triangles (M, 3) uint32 counted from each mesh's first vertex, counts (n, 2) int64 of
        each object's vertices and usable triangles; -1 vertices for an absent object)."""
        numbers = np.asarray(numbers, dtype=np.int64).reshape(-1)
        objs = None if self._numbered else self.ids(numbers)
        fetched = None
        try:
            if self._numbered:
                fetched = self.geometry.meshes_by_number(np.where(numbers < self._base, numbers, -1))
            elif hasattr(self.geometry, "meshes_of"):
                fetched = self.geometry.meshes_of(objs)
            if fetched is not None:
                vertices, triangles, counts = fetched
                trusted = getattr(self.geometry, "checked_meshes", False) is True
                fetched = (np.asarray(vertices, dtype=np.float32).reshape(-1, 3),
                           np.asarray(triangles).astype(np.uint32 if trusted else np.int64,
                                                        copy=False).reshape(-1, 3),
                           np.asarray(counts, dtype=np.int64).reshape(-1, 2))
                if not _adds_up(*fetched) or len(fetched[2]) != len(numbers):
                    fetched = None
                elif trusted:
                    return np.ascontiguousarray(fetched[0]), *fetched[1:]
        except (LookupError, ValueError, TypeError):
            fetched = None
        if fetched is None:
            fetched = self._mesh_by_mesh(self.ids(numbers) if objs is None else objs)
        return _checked(*fetched)

    def _mesh_by_mesh(self, objs):
        vertices, triangles, counts = [], [], []
        for obj in objs:
            try:
                v, t = self.geometry.mesh(*obj)
                v = np.asarray(v, dtype=np.float32).reshape(-1, 3)
                t = np.asarray(t).astype(np.int64, copy=False).reshape(-1, 3)
            except (LookupError, ValueError, TypeError):
                counts.append((-1, 0))
                continue
            vertices.append(v)
            triangles.append(t)
            counts.append((len(v), len(t)))
        return (np.concatenate(vertices) if vertices else np.empty((0, 3), np.float32),
                np.concatenate(triangles) if triangles else np.empty((0, 3), np.int64),
                np.array(counts, dtype=np.int64).reshape(-1, 2))

    def box(self, obj: ObjectId):
        """The box as (2, 3) float64, from the source or else from the mesh; None if neither."""
        box = self.boxes(self.numbers([obj]))[0]
        return box if np.isfinite(box).all() else None

    def boxes(self, numbers) -> np.ndarray:
        """``box`` of each object ``numbers`` names as (n, 2, 3) float64, NaN where it has none."""
        numbers = np.asarray(numbers, dtype=np.int64).reshape(-1)
        out = np.full((len(numbers), 2, 3), np.nan)
        theirs = numbers < self._base
        if theirs.any():
            try:
                out[theirs] = np.asarray(self.geometry.boxes_by_number(numbers[theirs]),
                                         dtype=np.float64).reshape(-1, 2, 3)
            except (LookupError, ValueError, TypeError):
                pass
        # What the numbers did not answer is asked by (model, key), once per object.
        rest = np.flatnonzero(~_usable(out))
        new = [k for k in dict.fromkeys(numbers[rest].tolist()) if k not in self._boxes]
        if new:
            self._boxes.update(zip(new, self._boxes_by_id(self.ids(new))))
        for i, k in zip(rest.tolist(), numbers[rest].tolist()):
            if self._boxes[k] is not None:
                out[i] = self._boxes[k]
        return out

    def _boxes_by_id(self, objs) -> list[np.ndarray | None]:
        from_source = None
        if hasattr(self.geometry, "boxes_of"):
            try:
                from_source = np.asarray(self.geometry.boxes_of(objs), dtype=np.float64).reshape(-1, 2, 3)
            except (LookupError, ValueError, TypeError):
                from_source = None
        if from_source is None:
            from_source = np.full((len(objs), 2, 3), np.nan)
            for j, obj in enumerate(objs):
                try:
                    from_source[j] = np.asarray(self.geometry.bounds(*obj), dtype=np.float64).reshape(2, 3)
                except (LookupError, ValueError, TypeError):
                    pass
        out = []
        for obj, box, usable in zip(objs, from_source, _usable(from_source).tolist()):
            if not usable:                 # from the vertices that usable triangles use
                m = self.mesh(obj)
                box = None
                if m is not None and len(m[1]):
                    used = m[0][np.unique(m[1])].astype(np.float64)
                    box = np.stack([used.min(axis=0), used.max(axis=0)])
            out.append(box)
        return out

    def near(self, point, radius, limit, exclude=()) -> list[ObjectId]:
        """Neighbours of ``point`` without ``exclude`` and duplicates, in the source's order."""
        _, found = self.near_all([point], [radius], limit, self.numbers(exclude)[None, :])
        return self.ids(found)

    def near_all(self, points, radii, limit, excludes) -> tuple[np.ndarray, np.ndarray]:
        """``near`` of each point and radius without the numbers in its row of ``excludes``
        ((n, w), -1 for none), as (point index, object number) int64 arrays by point."""
        points = np.asarray(points, dtype=np.float64).reshape(-1, 3)
        radii = np.asarray(radii, dtype=np.float64).reshape(-1)
        if limit <= 0 or not len(points):
            return np.empty(0, np.int64), np.empty(0, np.int64)
        excludes = np.asarray(excludes, dtype=np.int64).reshape(len(points), -1)
        if self._numbered:
            query, found = self.geometry.near_by_number(points, radii, int(limit), excludes)
            return np.asarray(query, dtype=np.int64), np.asarray(found, dtype=np.int64)
        ask = int(limit) + excludes.shape[1]
        if hasattr(self.geometry, "near_all"):
            lists = self.geometry.near_all(points, radii, ask)
        else:
            lists = [self.geometry.near(tuple(p), r, ask) for p, r in zip(points.tolist(), radii.tolist())]
        lists = [[(str(m), str(k)) for m, k in objs] for objs in lists]
        numbers = self.numbers([o for objs in lists for o in objs]).tolist()
        query, found, at = [], [], 0
        for i, (objs, skip) in enumerate(zip(lists, excludes.tolist())):
            kept = [k for k in dict.fromkeys(numbers[at:at + len(objs)]) if k not in skip][:limit]
            at += len(objs)
            query += [i] * len(kept)
            found += kept
        return np.array(query, dtype=np.int64), np.array(found, dtype=np.int64)


def _usable(boxes) -> np.ndarray:
    """Per (2, 3) box: finite and not inverted."""
    return np.isfinite(boxes).all(axis=(1, 2)) & (boxes[:, 0] <= boxes[:, 1]).all(axis=1)


def _adds_up(vertices, triangles, counts) -> bool:
    nv, nt = counts[:, 0], counts[:, 1]
    return bool((nt >= 0).all() and (nv >= -1).all() and ((nv >= 0) | (nt == 0)).all()
                and np.maximum(nv, 0).sum() == len(vertices) and nt.sum() == len(triangles))


def _checked(vertices, triangles, counts):
    """Triangles that name a missing or non-finite vertex of their own mesh dropped, and the
    counts of those kept; what ``SceneCache.mesh_runs`` returns."""
    nv, nt = np.maximum(counts[:, 0], 0), counts[:, 1]
    mesh_of = np.repeat(np.arange(len(counts)), nt)
    first = (np.cumsum(nv) - nv)[mesh_of]
    keep = ((triangles >= 0) & (triangles < nv[mesh_of, None])).all(axis=1)
    finite = np.isfinite(vertices).all(axis=1)
    keep[keep] = finite[triangles[keep] + first[keep, None]].all(axis=1)
    kept = counts.copy()
    kept[:, 1] = np.bincount(mesh_of[keep], minlength=len(counts))
    return np.ascontiguousarray(vertices), triangles[keep].astype(np.uint32), kept


class ModelGeometry:
    """A ``GeometrySource`` over loaded ``orvexkit.Model``s by name (``{"structure": model}``).

    Its objects are numbered model after model, each model's in its own order. Meshes and
    boxes are the models' own arrays, fetched for many objects in one native call (meshes
    without the triangles that have a non-finite corner); ``near`` and ``near_by_number``
    ask each model's hierarchy of object boxes, on every core, and merge the models'
    answers.
    """

    checked_meshes = True

    def __init__(self, models):
        self.models = dict(models)
        self._all_bounds = None
        self._first = np.cumsum([0] + [len(m) for m in self.models.values()])

    @property
    def object_count(self) -> int:
        return int(self._first[-1])

    def mesh(self, model, key):
        obj = self.models[model][key]              # KeyError for an unknown model or key
        return obj.vertices, obj.triangles

    def bounds(self, model, key):
        m = self.models[model]
        return m.object_bounds[m.index_of(key)]

    def numbers_of(self, objects) -> np.ndarray:
        """The number of each (model, key), -1 for one no model has."""
        objects = list(objects)
        names = np.fromiter((name for name, _ in objects), dtype=object, count=len(objects))
        keys = [key for _, key in objects]
        numbers = np.full(len(objects), -1, dtype=np.int64)
        for first, (name, model) in zip(self._first.tolist(), self.models.items()):
            at = np.flatnonzero(names == name)
            index = np.asarray(model._handle.find_all([keys[i] for i in at.tolist()]), dtype=np.int64)
            found = index >= 0
            numbers[at[found]] = first + index[found]
        return numbers

    def objects_of(self, numbers) -> list[ObjectId]:
        numbers = self._checked_numbers(numbers)
        owners = np.searchsorted(self._first, numbers, side="right") - 1
        out: list = [None] * len(numbers)
        for m, (first, (name, model)) in enumerate(zip(self._first.tolist(), self.models.items())):
            at = np.flatnonzero(owners == m)
            for i, key in zip(at.tolist(), model._handle.keys(numbers[at] - first)):
                out[i] = (name, key)
        return out

    def _checked_numbers(self, numbers, unknown=False) -> np.ndarray:
        numbers = np.asarray(numbers, dtype=np.int64).reshape(-1)
        if len(numbers) and (numbers.min() < (-1 if unknown else 0) or numbers.max() >= self._first[-1]):
            raise IndexError(f"object numbers run from 0 to {self._first[-1] - 1}")
        return numbers

    def meshes_by_number(self, numbers):
        numbers = self._checked_numbers(numbers, unknown=True)
        known = numbers >= 0
        owners = np.searchsorted(self._first, numbers[known], side="right") - 1
        v, t, c = (np.asarray(a) for a in _native.meshes(
            [m._handle for m in self.models.values()], owners, numbers[known] - self._first[owners]))
        counts = np.zeros((len(numbers), 2), np.int64)
        counts[:, 0] = -1
        counts[known] = c
        return v, t, counts

    def boxes_by_number(self, numbers) -> np.ndarray:
        numbers = self._checked_numbers(numbers, unknown=True)
        if self._all_bounds is None:
            self._all_bounds = np.concatenate(
                [np.empty((0, 2, 3))] + [m.object_bounds for m in self.models.values()]).astype(np.float64)
        out = np.full((len(numbers), 2, 3), np.nan)
        out[numbers >= 0] = self._all_bounds[numbers[numbers >= 0]]
        return out

    def near(self, point, radius, limit):
        return self.near_all(np.reshape(np.asarray(point, dtype=np.float64), (1, 3)),
                             [radius], limit)[0]

    def near_all(self, points, radii, limit):
        """``near`` of each row of ``points`` with its radius: the objects whose boxes lie
        within it (the distance from the point to the box), nearest first, ties in model
        order and then object order, at most ``limit``."""
        query, found = self.near_by_number(points, radii, limit)
        out: list[list] = [[] for _ in range(len(np.reshape(points, (-1, 3))))]
        ids = self.objects_of(found)
        bounds = np.flatnonzero(np.r_[True, query[1:] != query[:-1], True]).tolist() if len(query) else []
        for start, end in zip(bounds[:-1], bounds[1:]):
            out[int(query[start])] = ids[start:end]
        return out

    def near_by_number(self, points, radii, limit, excludes=None):
        """``near_all`` as (point index, object number) int64 arrays, by point, where each
        point's objects leave out the numbers in its row of ``excludes`` ((n, w), -1 for
        none; None: none) and are still up to ``limit``."""
        p = np.ascontiguousarray(points, dtype=np.float64).reshape(-1, 3)
        r = np.ascontiguousarray(radii, dtype=np.float64).reshape(-1)
        if limit <= 0 or not len(p) or not self.models:
            return np.empty(0, np.int64), np.empty(0, np.int64)
        left_out = None if excludes is None else \
            np.ascontiguousarray(excludes, dtype=np.int64).reshape(len(p), -1)
        query, owner, index = (np.asarray(a, dtype=np.int64) for a in _native.nearest(
            [m._handle for m in self.models.values()], p, r, int(limit), resolve_threads(None), left_out))
        found = self._first[owner] + index
        return query, found
