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
    #       (model, key) tuples of str;
    #   near_all_except(points, radii, limit, excludes) -> near_all without each point's
    #       objects in its list of ``excludes``, without duplicates, up to ``limit``.


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
    """Meshes and boxes fetched once per object, checked so that nothing downstream can index
    out of bounds or draw NaN.

    An object the source does not know (``LookupError``) or returns in an unusable shape is
    absent (None); triangles that reference a missing or non-finite vertex are dropped.
    """

    def __init__(self, geometry: GeometrySource):
        self.geometry = geometry
        self.meshes: dict[ObjectId, tuple[np.ndarray, np.ndarray] | None] = {}
        self._boxes: dict[ObjectId, np.ndarray | None] = {}

    def mesh(self, obj: ObjectId):
        if obj not in self.meshes:         # one object: the source's own call is quicker
            vertices, triangles, counts = _checked(*self._mesh_by_mesh([obj]))
            self.meshes[obj] = None if counts[0, 0] < 0 else (vertices, triangles)
        return self.meshes[obj]

    def mesh_runs(self, objs):
        """The meshes of ``objs`` in one run: (vertices (N, 3) float32, triangles (M, 3)
        uint32 counted from each mesh's first vertex, counts (n, 2) int64 of each object's
        vertices and usable triangles; -1 vertices for an absent object)."""
        fetched = None
        if hasattr(self.geometry, "meshes_of"):
            try:
                vertices, triangles, counts = self.geometry.meshes_of(list(objs))
                trusted = getattr(self.geometry, "checked_meshes", False) is True
                fetched = (np.asarray(vertices, dtype=np.float32).reshape(-1, 3),
                           np.asarray(triangles).astype(np.uint32 if trusted else np.int64,
                                                        copy=False).reshape(-1, 3),
                           np.asarray(counts, dtype=np.int64).reshape(-1, 2))
                if not _adds_up(*fetched) or len(fetched[2]) != len(objs):
                    fetched = None
                elif trusted:
                    return np.ascontiguousarray(fetched[0]), *fetched[1:]
            except (LookupError, ValueError, TypeError):
                fetched = None
        if fetched is None:
            fetched = self._mesh_by_mesh(objs)
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
        if obj not in self._boxes:
            self.boxes([obj])
        return self._boxes[obj]

    def boxes(self, objs) -> np.ndarray:
        """``box`` of each object as (n, 2, 3) float64, NaN where it has none."""
        objs = list(objs)
        out = np.full((len(objs), 2, 3), np.nan)
        wanted = [i for i, o in enumerate(objs) if o not in self._boxes]
        asked = [objs[i] for i in wanted]
        from_source = None
        if hasattr(self.geometry, "boxes_of"):
            try:
                from_source = np.asarray(self.geometry.boxes_of(asked), dtype=np.float64).reshape(-1, 2, 3)
            except (LookupError, ValueError, TypeError):
                from_source = None
        if from_source is None:
            from_source = np.full((len(asked), 2, 3), np.nan)
            for j, obj in enumerate(asked):
                try:
                    from_source[j] = np.asarray(self.geometry.bounds(*obj), dtype=np.float64).reshape(2, 3)
                except (LookupError, ValueError, TypeError):
                    pass
        usable = np.isfinite(from_source).all(axis=(1, 2)) & (from_source[:, 0] <= from_source[:, 1]).all(axis=1)
        for j, obj in enumerate(asked):
            box = from_source[j] if usable[j] else None
            if box is None:              # from the vertices that usable triangles use
                m = self.mesh(obj)
                if m is not None and len(m[1]):
                    used = m[0][np.unique(m[1])].astype(np.float64)
                    box = np.stack([used.min(axis=0), used.max(axis=0)])
            self._boxes[obj] = box
        for i, obj in enumerate(objs):
            if self._boxes[obj] is not None:
                out[i] = self._boxes[obj]
        return out

    def near(self, point, radius, limit, exclude=()) -> list[ObjectId]:
        """Neighbours of ``point`` without ``exclude`` and duplicates, in the source's order."""
        return self.near_all([point], [radius], limit, [exclude])[0]

    def near_all(self, points, radii, limit, excludes) -> list[list[ObjectId]]:
        """``near`` for each point, radius and exclude list."""
        if limit <= 0:
            return [[] for _ in points]
        points = np.asarray(points, dtype=np.float64).reshape(-1, 3)
        radii = np.asarray(radii, dtype=np.float64).reshape(-1)
        if hasattr(self.geometry, "near_all_except"):
            return self.geometry.near_all_except(points, radii, limit, [list(e) for e in excludes])
        skips = [set(e) for e in excludes]
        ask = int(limit) + max(map(len, skips), default=0)
        if hasattr(self.geometry, "near_all"):
            found = self.geometry.near_all(points, radii, ask)
        else:
            found = [[(str(m), str(k)) for m, k in self.geometry.near(tuple(p), r, ask)]
                     for p, r in zip(points.tolist(), radii.tolist())]
        return [[o for o in dict.fromkeys(objs) if o not in skip][:limit]
                for skip, objs in zip(skips, found)]


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

    Meshes and boxes are the models' own arrays, fetched for many objects in one native call
    (``meshes_of``, ``boxes_of``; meshes without the triangles that have a non-finite
    corner); ``near`` and ``near_all`` ask each model's hierarchy of object boxes, on every
    core, and merge the models' answers.
    """

    checked_meshes = True

    def __init__(self, models):
        self.models = dict(models)
        self._all_keys = None
        self._first = np.cumsum([0] + [len(m) for m in self.models.values()])

    def _keys(self):
        """The key of every object of every model, in model order, as an object array."""
        if self._all_keys is None:
            keys = np.empty(self._first[-1], dtype=object)
            for first, model in zip(self._first.tolist(), self.models.values()):
                keys[first:first + len(model)] = model._key_tuple()
            self._all_keys = keys
        return self._all_keys

    def mesh(self, model, key):
        obj = self.models[model][key]              # KeyError for an unknown model or key
        return obj.vertices, obj.triangles

    def bounds(self, model, key):
        m = self.models[model]
        return m.object_bounds[m.index_of(key)]

    def _indices(self, objects):
        """Per model name, (positions in ``objects``, object indices in the model); the
        positions of objects no model has are left out."""
        names = np.fromiter((name for name, _ in objects), dtype=object, count=len(objects))
        keys = [key for _, key in objects]
        out = {}
        for name, model in self.models.items():
            at = np.flatnonzero(names == name)
            index = np.asarray(model._handle.find_all([keys[i] for i in at.tolist()]))
            found = index >= 0
            if found.any():
                out[name] = (at[found], index[found])
        return out

    def meshes_of(self, objects):
        numbers = self._numbers(objects)
        known = numbers >= 0
        owners = np.searchsorted(self._first, numbers[known], side="right") - 1
        v, t, c = (np.asarray(a) for a in _native.meshes(
            [m._handle for m in self.models.values()], owners, numbers[known] - self._first[owners]))
        counts = np.zeros((len(objects), 2), np.int64)
        counts[:, 0] = -1
        counts[known] = c
        return v, t, counts

    def boxes_of(self, objects):
        out = np.full((len(objects), 2, 3), np.nan)
        for name, (at, index) in self._indices(objects).items():
            out[at] = self.models[name].object_bounds[index]
        return out

    def near(self, point, radius, limit):
        return self.near_all(np.reshape(np.asarray(point, dtype=np.float64), (1, 3)),
                             [radius], limit)[0]

    def near_all(self, points, radii, limit):
        """``near`` of each row of ``points`` with its radius: the objects whose boxes lie
        within it (the distance from the point to the box), nearest first, ties in model
        order and then object order, at most ``limit``."""
        return self.near_all_except(points, radii, limit, None)

    def near_all_except(self, points, radii, limit, excludes):
        """``near_all`` where each point's objects leave out those of its list in
        ``excludes`` (None: none) and are still up to ``limit``."""
        p = np.ascontiguousarray(points, dtype=np.float64).reshape(-1, 3)
        r = np.ascontiguousarray(radii, dtype=np.float64).reshape(-1)
        out: list[list] = [[] for _ in range(len(p))]
        if limit <= 0 or not len(p) or not self.models:
            return out
        excludes = excludes or []
        width = max(map(len, excludes), default=0)
        query, owner, index = (np.asarray(a) for a in _native.nearest(
            [m._handle for m in self.models.values()], p, r, int(limit) + width, resolve_threads(None)))
        found = self._first[owner] + index            # numbered over all models
        if width:
            counts = np.array([len(e) for e in excludes], dtype=np.int64)
            left_out = np.full((len(p), width), -1, dtype=np.int64)
            left_out[np.repeat(np.arange(len(excludes)), counts),
                     np.arange(counts.sum()) - np.repeat(np.cumsum(counts) - counts, counts)] = \
                self._numbers([o for e in excludes for o in e])
            kept = ~(found[:, None] == left_out[query]).any(axis=1)
            query, found = query[kept], found[kept]
            # The answers come by query, so each one's rank is its place after the first.
            rank = np.arange(len(query)) - np.searchsorted(query, query)
            query, found = query[rank < limit], found[rank < limit]
        # One (model, key) per object found, shared by every answer that names it.
        objects, which = np.unique(found, return_inverse=True)
        names = list(self.models)
        owners = np.searchsorted(self._first, objects, side="right") - 1
        ids = np.fromiter(zip([names[m] for m in owners.tolist()], self._keys()[objects].tolist()),
                          dtype=object, count=len(objects))[which].tolist()
        bounds = np.flatnonzero(np.r_[True, query[1:] != query[:-1], True]).tolist() if len(query) else []
        for start, end in zip(bounds[:-1], bounds[1:]):
            out[int(query[start])] = ids[start:end]
        return out

    def _numbers(self, objects):
        """The number over all models of each (model, key), -1 for one no model has."""
        numbers = np.full(len(objects), -1, dtype=np.int64)
        first = dict(zip(self.models, self._first.tolist()))
        for name, (where, index) in self._indices(objects).items():
            numbers[where] = first[name] + index
        return numbers
